// The program context of a run outside the web server (lumorun, tests,
// benchmarks): output goes to a stdio stream, files go through a
// PosixFileManager, settings come from a configuration the owner passes in
// (or the built-in defaults).
#ifndef LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_
#define LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_

#include <cstdio>
#include <memory>

#include "config/config.h"
#include "core/context/lumo_application.h"
#include "files/posix_file_manager.h"

namespace lumo {

class ConsoleApplication : public LumoApplication {
 public:
  // config is not owned and must outlive the context; null gives a
  // configuration of defaults owned by the context.
  explicit ConsoleApplication(FILE* out = stdout, Config* config = nullptr);
  ~ConsoleApplication() override;

  using LumoApplication::Write;
  void Write(const char* bytes, int32_t length) override {
    if (length > 0) fwrite(bytes, 1, static_cast<size_t>(length), out_);
  }

  Config* Configuration() override { return config_; }
  PosixFileManager* Files() override { return &files_; }

 private:
  FILE* out_;
  std::unique_ptr<Config> own_config_;
  Config* config_;
  PosixFileManager files_;
};

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_
