#include "core/context/console_application.h"

namespace lumo {

ConsoleApplication::ConsoleApplication(FILE* out, Config* config)
    : out_(out),
      own_config_(config == nullptr ? std::make_unique<Config>() : nullptr),
      config_(config != nullptr ? config : own_config_.get()),
      files_(StopFlag()) {}

ConsoleApplication::~ConsoleApplication() { fflush(out_); }

}  // namespace lumo
