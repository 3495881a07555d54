// The program context of a run outside the web server (lumorun, tests,
// benchmarks): output goes through a 64 KiB buffer to a stdio stream
// (flushed when the context goes, or by Flush of OutputStream), files go
// through a PosixFileManager, settings come from a configuration the owner
// passes in (or the built-in defaults). Error messages go to the output
// as well, unless the owner names a separate stream for them.
#ifndef LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_
#define LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_

#include <cstdio>
#include <memory>

#include "config/config.h"
#include "core/context/lumo_application.h"
#include "core/context/output.h"
#include "files/posix_file_manager.h"

namespace lumo {

class ConsoleApplication : public LumoApplication {
 public:
  // config is not owned and must outlive the context; null gives a
  // configuration of defaults owned by the context. errors (not owned)
  // receives the run's error messages; null keeps them in the output.
  explicit ConsoleApplication(FILE* out = stdout, Config* config = nullptr,
                              FILE* errors = nullptr);
  ~ConsoleApplication() override;

  Output* OutputStream() override { return output_; }
  // A null output puts the context's own stream back.
  Output* ReplaceOutput(Output* output) override;

  // Flushes the output first, so that where both streams reach one
  // terminal the message still follows what the run wrote before it.
  void WriteError(const String& text) override;

  Config* Configuration() override { return config_; }
  PosixFileManager* Files() override { return &files_; }

 private:
  FILE* out_;
  FILE* errors_;
  StdioOutput stdio_;
  Output* output_ = &stdio_;
  std::unique_ptr<Config> own_config_;
  Config* config_;
  PosixFileManager files_;
};

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_
