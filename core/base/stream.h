// Stream: the small positioned byte stream that readers and writers of the
// stored formats work over (a section of a compiled program file, a file, a
// buffer in memory). A stream that fails keeps the reason in its error
// text; readers that fail pass that text on unchanged.
#ifndef LUMO_CORE_BASE_STREAM_H_
#define LUMO_CORE_BASE_STREAM_H_

#include <cstdint>
#include <string_view>

#include "core/base/string.h"

namespace lumo {

class Stream {
 public:
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  virtual ~Stream() = default;

  // Reads up to `length` bytes at the current position and advances past
  // them. Returns the count read: fewer than asked at the end of the data
  // (with the error text saying so), -1 on failure.
  virtual int32_t Read(void* buffer, int32_t length) = 0;
  // Writes `length` bytes at the current position. Returns the count
  // written; anything but `length` is a failure described by the error text.
  virtual int32_t Write(const void* buffer, int32_t length) = 0;
  // Moves to an absolute position; false (with the error text) when the
  // position cannot be reached.
  virtual bool Seek(int64_t position) = 0;
  virtual int64_t Position() const = 0;

  virtual const String& ErrorText() const { return error_; }
  virtual void SetErrorText(std::string_view text) { error_ = String(text); }

 protected:
  String error_;
};

// Reads exactly `length` bytes. On a short read the stream's error text
// explains it ("Unexpected end of file" when the stream gave no reason).
bool ReadFully(Stream& stream, void* buffer, int32_t length);
bool WriteFully(Stream& stream, const void* buffer, int32_t length);

// Reads exactly `length` bytes into `out`, growing the buffer only as the
// bytes arrive: a corrupt count in a file can never make us allocate much
// more than the file holds.
bool ReadFullyGrowing(Stream& stream, int64_t length, String& out);

// A stream over a buffer in memory. Writing past the end extends it.
class MemoryStream : public Stream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::string_view contents) : data_(contents) {}

  int32_t Read(void* buffer, int32_t length) override;
  int32_t Write(const void* buffer, int32_t length) override;
  bool Seek(int64_t position) override;
  int64_t Position() const override { return position_; }

  // Takes over a buffer without copying it; reading starts at its start.
  void Adopt(String&& contents) {
    data_ = std::move(contents);
    position_ = 0;
  }
  const String& Contents() const { return data_; }
  int32_t Size() const { return data_.Length(); }

 private:
  String data_;
  int32_t position_ = 0;
};

}  // namespace lumo

#endif  // LUMO_CORE_BASE_STREAM_H_
