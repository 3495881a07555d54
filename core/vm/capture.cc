#include "core/vm/capture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/base/string.h"
#include "core/context/lumo_application.h"
#include "values/variable.h"

namespace lumo {

CaptureOutput::CaptureOutput(Output* forward) : BufferedOutput(kChunkSize), forward_(forward) {}

// The collected text is charged to the run like any other text.
CaptureOutput::~CaptureOutput() { FreeText(text_, capacity_); }

bool CaptureOutput::AddHeader(std::string_view name, std::string_view value) {
  return forward_ != nullptr && forward_->AddHeader(name, value);
}

int32_t CaptureOutput::Send(bool final) { return forward_ != nullptr ? forward_->Send(final) : 0; }

bool CaptureOutput::WriteThrough(const char* data, int32_t count) {
  if (overflowed_) return false;
  const int64_t needed = int64_t{length_} + count + 1;
  if (needed > kMaxCaptured) {
    overflowed_ = true;
    return false;
  }
  if (needed > capacity_) {
    // Doubling keeps a large capture linear; room for one more chunk
    // besides, as the next write usually brings one.
    const int64_t wanted =
        std::min<int64_t>(std::max<int64_t>(needed + kChunkSize, int64_t{capacity_} * 2),
                          kMaxCaptured + kChunkSize);
    const int32_t capacity = RoundStringCapacity(wanted);
    text_ = ReallocateText(text_, capacity_, capacity);
    capacity_ = capacity;
  }
  memcpy(text_ + length_, data, static_cast<size_t>(count));
  length_ += count;
  text_[length_] = '\0';
  return true;
}

std::string_view CaptureOutput::Text() {
  Flush();
  return text_ != nullptr ? std::string_view(text_, static_cast<size_t>(length_))
                          : std::string_view();
}

char* CaptureOutput::TakeText(int32_t* length, int32_t* capacity) {
  Flush();
  if (text_ == nullptr) {
    text_ = AllocateText(1);
    text_[0] = '\0';
    capacity_ = 1;
  }
  char* text = text_;
  *length = length_;
  *capacity = capacity_;
  text_ = nullptr;
  length_ = 0;
  capacity_ = 0;
  return text;
}

Capture::Capture(LumoApplication* context, LumoVM* vm, LumoVM_Frame* frame, Variable* target)
    : Feature(context, vm, frame, kCapture), output_(context->OutputStream()), target_(target) {
  target_->AddReference();
}

Capture::~Capture() {
  // Never ended: the old output comes back and the text is dropped.
  Restore();
  target_->Free();
}

void Capture::Begin() {
  if (previous_ != nullptr) return;
  previous_ = Context()->ReplaceOutput(&output_);
  // Not every context hands its output level on to a new stream.
  output_.SetWhitespaceMode(Context()->OutputLevel());
}

bool Capture::End() {
  const bool complete = !output_.Overflowed();
  if (complete) {
    int32_t length = 0;
    int32_t capacity = 0;
    char* text = output_.TakeText(&length, &capacity);
    target_->SetValue_Nocopy(text, length, capacity);
  }
  Restore();
  return complete;
}

void Capture::Restore() {
  if (previous_ == nullptr) return;
  Context()->ReplaceOutput(previous_);
  previous_->SetWhitespaceMode(Context()->OutputLevel());
  previous_ = nullptr;
}

}  // namespace lumo
