#include "core/base/stream.h"

#include <cstring>

namespace lumo {

namespace {
constexpr char kUnexpectedEnd[] = "Unexpected end of file";
constexpr int32_t kGrowStep = 1 << 20;
}  // namespace

bool ReadFully(Stream& stream, void* buffer, int32_t length) {
  if (length < 0) {
    stream.SetErrorText(kUnexpectedEnd);
    return false;
  }
  // A reason left from an earlier failure must not explain this one.
  stream.SetErrorText("");
  int32_t got = stream.Read(buffer, length);
  if (got == length) return true;
  if (stream.ErrorText().IsEmpty()) stream.SetErrorText(kUnexpectedEnd);
  return false;
}

bool WriteFully(Stream& stream, const void* buffer, int32_t length) {
  stream.SetErrorText("");
  int32_t put = stream.Write(buffer, length);
  if (put == length) return true;
  if (stream.ErrorText().IsEmpty()) stream.SetErrorText("Unable to write");
  return false;
}

bool ReadFullyGrowing(Stream& stream, int64_t length, String& out) {
  out.SetLength(0);
  if (length < 0 || length > String::kMaxLength) {
    stream.SetErrorText(kUnexpectedEnd);
    return false;
  }
  int32_t total = static_cast<int32_t>(length);
  int32_t done = 0;
  while (done < total) {
    int32_t chunk = total - done < kGrowStep ? total - done : kGrowStep;
    out.Reserve(done + chunk);
    if (!ReadFully(stream, out.Data() + done, chunk)) {
      out.SetLength(done);
      return false;
    }
    done += chunk;
    out.SetLength(done);
  }
  return true;
}

int32_t MemoryStream::Read(void* buffer, int32_t length) {
  if (length < 0) return -1;
  int32_t available = data_.Length() - position_;
  int32_t n = length < available ? length : available;
  if (n > 0) memcpy(buffer, data_.Data() + position_, static_cast<size_t>(n));
  position_ += n;
  if (n < length) SetErrorText(kUnexpectedEnd);
  return n;
}

int32_t MemoryStream::Write(const void* buffer, int32_t length) {
  if (length < 0) return -1;
  int64_t end = static_cast<int64_t>(position_) + length;
  if (end > String::kMaxLength) {
    SetErrorText("Stream too large");
    return -1;
  }
  if (end > data_.Length()) {
    int32_t old = data_.Length();
    data_.SetLength(static_cast<int32_t>(end));
    if (position_ > old) memset(data_.Data() + old, 0, static_cast<size_t>(position_ - old));
  }
  if (length > 0) memcpy(data_.Data() + position_, buffer, static_cast<size_t>(length));
  position_ = static_cast<int32_t>(end);
  return length;
}

bool MemoryStream::Seek(int64_t position) {
  if (position < 0 || position > data_.Length()) {
    SetErrorText(kUnexpectedEnd);
    return false;
  }
  position_ = static_cast<int32_t>(position);
  return true;
}

}  // namespace lumo
