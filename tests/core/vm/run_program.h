// Runs assembled programs for the machine's tests (and the fuzz target):
// a program's parts, a context that keeps what the run writes, and a
// watchdog standing in for the server's run monitor. No GoogleTest here, so
// the fuzzer can share it.
#ifndef LUMO_TESTS_CORE_VM_RUN_PROGRAM_H_
#define LUMO_TESTS_CORE_VM_RUN_PROGRAM_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/context/console_application.h"
#include "core/program/program_file.h"
#include "core/vm/lumo_vm.h"
#include "expr/localized_languages.h"
#include "tools/lumoasm/assembler.h"
#include "values/system_variable_hash.h"

namespace lumo {

// Keeps what goes through Write in `output` and what goes through the
// whitespace-mode write in `compressed`, as given.
class CapturingContext : public ConsoleApplication {
 public:
  CapturingContext() { ReplaceOutput(&recorder_); }
  void LogEvent(uint32_t mask, const LogField*) override { events.push_back(mask); }

  std::string output;
  std::string compressed;
  std::vector<uint32_t> events;

 private:
  class Recorder : public NullOutput {
   public:
    explicit Recorder(CapturingContext* owner) : owner_(owner) {}
    int32_t Write(const char* data, int32_t length) override {
      if (length > 0) owner_->output.append(data, static_cast<size_t>(length));
      return length;
    }
    using NullOutput::Write;
    int32_t WriteText(const char* data, int32_t length) override {
      if (length > 0) owner_->compressed.append(data, static_cast<size_t>(length));
      return length;
    }

   private:
    CapturingContext* owner_;
  };
  Recorder recorder_{this};
};

// One program and one machine over it. The machine is made on first use,
// so a test can set up the context (log level, external calls) first.
class Machine {
 public:
  static constexpr const char* kName = "test.lmc";

  bool Assemble(std::string_view source) {
    uint32_t version = 0;
    return AssembleInto(source, "t", Parts(), &version, &error);
  }
  bool Load(std::string_view image) {
    TaggedFile file;
    if (!file.Attach(kName, new MemoryStream(image))) return false;
    return LoadProgram(file, Parts(), &error);
  }
  LumoVM& Vm() {
    if (!vm) vm = std::make_unique<LumoVM>(kName, &context, Parts());
    return *vm;
  }
  int Run() { return Vm().Run(); }
  // What the run wrote, followed by " => N" when its result N is not 1: one
  // text to compare says both how the run ended and what it printed.
  std::string RunPrinted() {
    const int result = Run();
    return result == 1 ? context.output : context.output + " => " + std::to_string(result);
  }
  std::string LastError() { return std::string(Vm().LastError().View()); }
  // A global's text, or "<none>" when the run made no such variable.
  std::string Global(std::string_view name) {
    Variable* v = nullptr;
    globals.Find(&v, name.data(), static_cast<int32_t>(name.size()), false);
    return v != nullptr ? std::string(v->Value().View()) : "<none>";
  }
  ProgramParts Parts() {
    return {&dictionary, &system, &globals, &segments, &functions, &languages};
  }

  Dictionary dictionary;
  SystemVariableHash system{&dictionary};
  VariableHash globals{&dictionary};
  SegmentManager segments;
  FunctionManager functions{&dictionary};
  LocalizedDictionary pieces;
  LocalizedLanguages languages{&dictionary, &pieces};
  CapturingContext context;
  std::unique_ptr<LumoVM> vm;  // last: it goes before the parts it runs over
  String error;
};

// RunPrinted of a source; one that does not assemble gives the
// assembler's message and " => -2".
inline std::string Printed(std::string_view source) {
  Machine m;
  if (!m.Assemble(source)) return std::string(m.error.View()) + " => -2";
  return m.RunPrinted();
}

// What Printed gives for a run that stops with a fatal error raised by
// the instruction at `offset` of the segment.
inline std::string Fatal(int32_t offset, std::string_view message, int32_t segment = 0) {
  char position[32];
  snprintf(position, sizeof position, "[%08x:%08x]: ", static_cast<uint32_t>(segment),
           static_cast<uint32_t>(offset));
  return std::string("Fatal error in ") + Machine::kName + " @ " + position +
         std::string(message) + "\n => 0";
}

// Stops the armed run once it has gone on longer than the limit, as the
// server's run monitor does with its time-out.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::milliseconds limit)
      : limit_(limit), thread_([this] { Watch(); }) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  void Arm(LumoApplication* context) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_ = context;
      deadline_ = std::chrono::steady_clock::now() + limit_;
    }
    wake_.notify_all();
  }
  // Must come before the armed context goes.
  void Disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = nullptr;
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      if (current_ == nullptr) {
        wake_.wait(lock);
      } else if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout &&
                 current_ != nullptr && std::chrono::steady_clock::now() >= deadline_) {
        current_->Stop();
        current_ = nullptr;
      }
    }
  }

  std::chrono::milliseconds limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  LumoApplication* current_ = nullptr;
  std::chrono::steady_clock::time_point deadline_;
  bool done_ = false;
  std::thread thread_;
};

// Loads a program image and runs it under the watchdog; false when the
// image does not load.
inline bool LoadAndRun(std::string_view image, Watchdog& watchdog) {
  Machine m;
  if (!m.Load(image)) return false;
  watchdog.Arm(&m.context);
  m.Run();
  watchdog.Disarm();
  return true;
}

}  // namespace lumo

#endif  // LUMO_TESTS_CORE_VM_RUN_PROGRAM_H_
