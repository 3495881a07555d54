// The program context of a run outside the web server (lumorun, tests,
// benchmarks): output goes to a stdio stream.
#ifndef LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_
#define LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_

#include <cstdio>

#include "core/context/lumo_application.h"

namespace lumo {

class ConsoleApplication : public LumoApplication {
 public:
  explicit ConsoleApplication(FILE* out = stdout) : out_(out) {}
  ~ConsoleApplication() override { fflush(out_); }

  using LumoApplication::Write;
  void Write(const char* bytes, int32_t length) override {
    if (length > 0) fwrite(bytes, 1, static_cast<size_t>(length), out_);
  }

 private:
  FILE* out_;
};

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_CONSOLE_APPLICATION_H_
