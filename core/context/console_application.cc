#include "core/context/console_application.h"

namespace lumo {

ConsoleApplication::ConsoleApplication(FILE* out, Config* config, FILE* errors)
    : out_(out),
      errors_(errors),
      stdio_(out, 65536),
      own_config_(config == nullptr ? std::make_unique<Config>() : nullptr),
      config_(config != nullptr ? config : own_config_.get()),
      files_(StopFlag()) {}

ConsoleApplication::~ConsoleApplication() {
  stdio_.Flush();
  fflush(out_);
}

void ConsoleApplication::WriteError(const String& text) {
  if (errors_ == nullptr) {
    LumoApplication::WriteError(text);
    return;
  }
  stdio_.Flush();
  fflush(out_);
  fwrite(text.Text(), 1, static_cast<size_t>(text.Length()), errors_);
  fflush(errors_);
}

Output* ConsoleApplication::ReplaceOutput(Output* output) {
  Output* previous = output_;
  output_ = output != nullptr ? output : &stdio_;
  output_->SetWhitespaceMode(OutputLevel());
  return previous;
}

}  // namespace lumo
