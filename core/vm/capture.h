// LmCAPTURE: everything a block of the program writes goes into a
// variable instead of the response. A Capture puts its CaptureOutput in
// front of the context's current output; capture_end hands the collected
// text to the target variable and puts the old output back. A capture that
// is never ended (a fatal error, a return from the function that opened
// it, the end of the run) puts the old output back and drops its text; the
// variable keeps its old value.
//
// Captures nest: an inner capture stands in for the outer one's output,
// so its text reaches only its own variable.
#ifndef LUMO_CORE_VM_CAPTURE_H_
#define LUMO_CORE_VM_CAPTURE_H_

#include <cstdint>
#include <string_view>

#include "core/context/output.h"
#include "core/vm/feature.h"

namespace lumo {

class Variable;

// Keeps the body written to it in memory. What concerns the connection
// rather than the body (headers, sending) goes on to the output it stands
// in for, so a page can still set a cookie inside a captured block.
class CaptureOutput : public BufferedOutput {
 public:
  static constexpr int32_t kChunkSize = 8192;
  // Past this much text the capture stops growing and reports Overflowed:
  // a loop that writes without end must end the run, not the server.
  static constexpr int64_t kMaxCaptured = int64_t{256} << 20;

  explicit CaptureOutput(Output* forward);
  ~CaptureOutput() override;

  bool AddHeader(std::string_view name, std::string_view value) override;
  int32_t Send(bool final) override;

  // The text so far, the current chunk included.
  std::string_view Text();
  // Hands the text over as a malloc'ed, NUL-terminated buffer (never
  // null); the output is empty afterwards.
  char* TakeText(int32_t* length, int32_t* capacity);
  bool Overflowed() const { return overflowed_; }

 protected:
  bool WriteThrough(const char* data, int32_t count) override;

 private:
  Output* forward_;
  char* text_ = nullptr;
  int32_t length_ = 0;
  int32_t capacity_ = 0;
  bool overflowed_ = false;
};

class Capture : public Feature {
 public:
  // Holds a reference to `target` until destroyed.
  Capture(LumoApplication* context, LumoVM* vm, LumoVM_Frame* frame, Variable* target);
  ~Capture() override;

  // Puts the capture's output in front of the context's current one.
  virtual void Begin();
  // Hands the text to the target variable and puts the old output back;
  // false (and no text handed over) when the text grew past the limit.
  virtual bool End();

  CaptureOutput& Captured() { return output_; }

 private:
  void Restore();

  CaptureOutput output_;
  Output* previous_ = nullptr;
  Variable* target_;
};

}  // namespace lumo

#endif  // LUMO_CORE_VM_CAPTURE_H_
