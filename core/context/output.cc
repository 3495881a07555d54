#include "core/context/output.h"

#include <cstring>

#include "core/base/ascii.h"

namespace lumo {

namespace {

bool IsSpace(char c) { return IsSpaceByte(static_cast<unsigned char>(c)); }

}  // namespace

Output::~Output() = default;

int32_t Output::WriteAndFlush(const char* data, int32_t length) {
  const int32_t written = Write(data, length);
  Flush();
  return written;
}

bool Output::AddHeader(std::string_view, std::string_view) { return false; }

int32_t Output::WriteText(const char* data, int32_t length) {
  if (whitespace_mode_ & 1) return WriteTrimOne(data, length);
  if (whitespace_mode_ & 2) return WriteCollapse(data, length);
  return Write(data, length);
}

int32_t Output::Send(bool) { return 0; }

int32_t Output::WriteTrimOne(const char* data, int32_t length) {
  if (length <= 0) return 0;
  const int32_t skip = ended_in_whitespace_ && IsSpace(data[0]) ? 1 : 0;
  if (length > skip) Write(data + skip, length - skip);
  return length;
}

int32_t Output::WriteCollapse(const char* data, int32_t length) {
  if (length <= 0) return 0;
  int32_t i = 0;
  if (ended_in_whitespace_) {
    while (i < length && IsSpace(data[i])) ++i;
  }
  int32_t start = i;
  while (i < length) {
    if (!IsSpace(data[i])) {
      ++i;
      continue;
    }
    Write(data + start, i + 1 - start);
    for (++i; i < length && IsSpace(data[i]); ++i) {
    }
    start = i;
  }
  if (start < length) Write(data + start, length - start);
  return length;
}

void Output::NoteWritten(const char* data, int32_t length) {
  ended_in_whitespace_ = IsSpace(data[length - 1]);
}

BufferedOutput::BufferedOutput(int32_t buffer_size)
    : size_(buffer_size > 0 ? buffer_size : kDefaultBufferSize),
      buffer_(std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size_))) {}

BufferedOutput::~BufferedOutput() = default;

int32_t BufferedOutput::Write(const char* data, int32_t length) {
  if (length <= 0) return 0;
  if (length <= size_) {
    if (length > size_ - fill_) Flush();
    memcpy(buffer_.get() + fill_, data, static_cast<size_t>(length));
    fill_ += length;
  } else {
    for (int32_t done = 0; done < length;) {
      if (fill_ == size_) Flush();
      const int32_t piece = length - done < size_ - fill_ ? length - done : size_ - fill_;
      memcpy(buffer_.get() + fill_, data + done, static_cast<size_t>(piece));
      fill_ += piece;
      done += piece;
    }
  }
  NoteWritten(data, length);
  return length;
}

bool BufferedOutput::Flush() {
  if (fill_ == 0) return true;
  const int32_t count = fill_;
  fill_ = 0;
  return WriteThrough(buffer_.get(), count);
}

int32_t NullOutput::Write(const char* data, int32_t length) {
  if (length <= 0) return 0;
  return callback_ ? callback_(data, length) : length;
}

StdioOutput::~StdioOutput() { StdioOutput::Flush(); }

bool StdioOutput::Flush() {
  const bool passed = BufferedOutput::Flush();
  return fflush(file_) == 0 && passed;
}

bool StdioOutput::WriteThrough(const char* data, int32_t count) {
  return fwrite(data, 1, static_cast<size_t>(count), file_) == static_cast<size_t>(count);
}

}  // namespace lumo
