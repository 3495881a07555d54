// lumorun: runs one compiled program with its output on stdout.
//
// Exit status: 0 when the run ends normally, 1 on a fatal error or a
// time-out, 2 when the file cannot be loaded (the loader's message goes to
// stderr).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "core/base/conversions.h"
#include "core/base/stream.h"
#include "core/context/console_application.h"
#include "core/program/program_file.h"
#include "core/vm/lumo_vm.h"
#include "values/system_variable_hash.h"

namespace {

void Usage(FILE* out) {
  fputs("usage: lumorun [--timeout SECONDS] [--free-at-exit] FILE.lmc\n"
        "Runs a compiled Lumo Script program with its output on stdout.\n"
        "  --timeout SECONDS  stop the run after this long (default 90, 0: no limit)\n"
        "  --free-at-exit     release every object before exiting (for leak checkers)\n"
        "Exit status: 0 ended normally, 1 fatal error or time-out, 2 not loadable.\n",
        out);
}

bool ReadWholeFile(const char* path, lumo::String* contents, lumo::String* error) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) {
    error->Assign("Unable to open '");
    error->Append(path);
    error->Append("': ");
    error->Append(strerror(errno));
    return false;
  }
  char buffer[65536];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
    if (static_cast<int64_t>(contents->Length()) + static_cast<int64_t>(n) >
        lumo::String::kMaxLength) {
      fclose(f);
      error->Assign("File too large");
      return false;
    }
    contents->Append(buffer, static_cast<int32_t>(n));
  }
  const bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) {
    error->Assign("Unable to read '");
    error->Append(path);
    error->Append("'");
    return false;
  }
  return true;
}

// Ticks the run's context from another thread, as the server's run monitor
// does, so that the time-out applies.
class Monitor {
 public:
  explicit Monitor(lumo::LumoApplication* context)
      : thread_([this, context]() {
          std::unique_lock<std::mutex> lock(mutex_);
          while (!done_) {
            wake_.wait_for(lock, std::chrono::milliseconds(250));
            if (!done_) context->Tick();
          }
        }) {}
  ~Monitor() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  int32_t timeout = 90;
  bool free_at_exit = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      Usage(stdout);
      return 0;
    }
    if (strcmp(argv[i], "--free-at-exit") == 0) {
      free_at_exit = true;
      continue;
    }
    if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      bool failed = false;
      timeout = lumo::ParseInteger(argv[++i], -1, &failed);
      if (failed || timeout < 0) {
        fprintf(stderr, "lumorun: --timeout wants a number of seconds, not '%s'\n", argv[i]);
        return 2;
      }
      continue;
    }
    if (argv[i][0] == '-' || path != nullptr) {
      Usage(stderr);
      return 2;
    }
    path = argv[i];
  }
  if (path == nullptr) {
    Usage(stderr);
    return 2;
  }

  lumo::String contents;
  lumo::String error;
  if (!ReadWholeFile(path, &contents, &error)) {
    fprintf(stderr, "lumorun: %s\n", error.Text());
    return 2;
  }
  lumo::Dictionary dictionary;
  lumo::SystemVariableHash system(&dictionary);
  lumo::VariableHash globals(&dictionary);
  lumo::SegmentManager segments;
  lumo::FunctionManager functions(&dictionary);
  const lumo::ProgramParts parts{&dictionary, &system, &globals, &segments, &functions};
  lumo::TaggedFile file;
  if (!file.Attach(path, new lumo::MemoryStream(contents.View()))) {
    fprintf(stderr, "lumorun: %s: %s\n", path, file.ErrorText().Text());
    return 2;
  }
  contents.Clear();
  if (!lumo::LoadProgram(file, parts, &error)) {
    fprintf(stderr, "lumorun: %s: %s\n", path, error.Text());
    return 2;
  }

  static char out_buffer[1 << 16];
  setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  lumo::ConsoleApplication context(stdout);
  context.SetGlobalTimeout(timeout);
  context.BeginExecution();
  int result = 0;
  {
    Monitor monitor(&context);
    auto* vm = new lumo::LumoVM(path, &context, parts);
    result = vm->Run();
    // The process ends here: handing a large program's variables back to
    // the heap one by one would only delay the exit (lumorun --free-at-exit
    // does it anyway, for leak checkers).
    if (free_at_exit) delete vm;
  }
  fflush(stdout);
  if (!free_at_exit) _exit(result == 1 ? 0 : 1);
  return result == 1 ? 0 : 1;
}
