// DexApplication: the program context of one web request.
//
// The worker that accepted a request for a compiled program creates one,
// runs it and destroys it. Run loads the program through the sandbox,
// publishes the request as system and global variables, reads a POST body
// into form variables, sets the default headers and the caller-id cookie,
// runs the machine and sends the response. Every failure before the
// program starts is reported in the response body.
#ifndef LUMO_WEB_DEX_APPLICATION_H_
#define LUMO_WEB_DEX_APPLICATION_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "config/dex_config.h"
#include "core/base/dictionary.h"
#include "core/base/memory_budget.h"
#include "core/base/string.h"
#include "core/context/lumo_application.h"
#include "files/posix_file_manager.h"
#include "web/content_parser.h"
#include "web/http_server.h"

namespace lumo {

class DexOutput;
class ExtensionRun;
class File;
class HTTPListenerThread;
class HTTPRequest;
class LoadedProgram;
class LumoVM;
class Output;
class SystemVariableHash;
class VariableHash;

inline constexpr char kLumoVersion[] = "5.20";

class DexApplication : public LumoApplication {
 public:
  // `identity`: the program file as the request's routing found it (may
  // be null; not owned).
  DexApplication(HTTPListenerThread* worker, HTTPRequest* request, const String& path,
                 const PosixFileManager::FileIdentity* identity = nullptr);
  ~DexApplication() override;

  // Runs the request to its end and sends the response. The run's memory
  // is charged to its budget ("maxrunmemory") from here to the program's
  // end; running out of it, or out of memory at all, ends the run with
  // "Out of memory" and nothing else. One of the kProgram* outcomes.
  RequestOutcome Run();
  // The most the run had charged at once.
  int64_t MemoryPeak() const { return budget_.Peak(); }

  Config* Configuration() override { return &config_; }
  FileManager* Files() override { return &files_; }
  Output* OutputStream() override;
  Output* ReplaceOutput(Output* output) override;

  using LumoApplication::Write;
  void Write(const char* bytes, int32_t length) override;
  void WriteCompressed(const char* bytes, int32_t length) override;

  String LockHostName() override;
  bool GenerateCallerId(String* id) override;
  void Tick() override;
  void Wait(int32_t milliseconds) override;
  void Stop() override;
  void BeginExecution() override;
  void LogEvent(uint32_t mask, const LogField* fields) override;

  const HTTPRequest& Request() const { return *request_; }

 private:
  // Each returns false when the run must end (the reason is in the
  // response already).
  bool ConfigurationError(std::string_view message);
  bool LoadProgram();
  // The configuration library's say for this script; false (with the
  // reason in the response) when it refuses.
  bool LoadScriptConfiguration();
  bool PublishVariables();
  bool ReadPostBody();
  void SetUpDefaultHeaders();
  void ApplyLogCookie();
  void SetSystemText(std::string_view name, std::string_view value);
  // The run ran out of memory and the message is not out yet: the run's
  // memory goes back, then the message is written.
  void ReportOutOfMemory();
  void SetSystemInteger(std::string_view name, int32_t value);

  HTTPListenerThread* worker_;
  const PosixFileManager::FileIdentity* identity_;
  HTTPRequest* request_;
  MemoryBudget budget_;
  String path_;
  DexConfig config_;
  PosixFileManager files_;
  std::unique_ptr<DexOutput> response_;
  Output* output_ = nullptr;  // the response, or what replaced it

  std::unique_ptr<LoadedProgram> program_;
  SystemVariableHash* system_ = nullptr;  // program_'s tables, typed
  VariableHash* globals_ = nullptr;
  std::unique_ptr<LumoVM> vm_;
  // The run's extension functions and libraries; outlives the machine.
  std::unique_ptr<ExtensionRun> extensions_;

  bool headers_set_up_ = false;
  bool execution_begun_ = false;
  // Shared by the query string and the body.
  FormLimits form_limits_;
  std::unique_ptr<File> log_file_;
  bool log_file_failed_ = false;

  // Wakes a program sleeping in Wait when the run is stopped.
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
};

}  // namespace lumo

#endif  // LUMO_WEB_DEX_APPLICATION_H_
