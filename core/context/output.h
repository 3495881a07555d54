// Output: where everything a run writes goes (text, tag output, error
// messages, captured blocks, mail bodies). The program context owns one and
// may put another in front of it for a while (a capture, a mail body).
//
// The whitespace mode is the running frame's output level: 0 writes text
// unchanged, 1 drops one leading whitespace byte after whitespace, 2
// collapses runs of whitespace. It applies only to WriteText; Write never
// changes the bytes.
//
// An output belongs to the thread of its run; nothing here locks.
#ifndef LUMO_CORE_CONTEXT_OUTPUT_H_
#define LUMO_CORE_CONTEXT_OUTPUT_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>

namespace lumo {

class Output {
 public:
  // What Kind returns.
  static constexpr int kKindBuffered = 0;
  static constexpr int kKindHTTP = 1;
  static constexpr int kKindNull = 2;

  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  virtual ~Output();

  // Write, then Flush; the count Write returned.
  virtual int32_t WriteAndFlush(const char* data, int32_t length);
  // Adds a response header. False when this output has no headers (the
  // base), when they have already gone out, or when the output refuses the
  // header; nothing is kept then.
  virtual bool AddHeader(std::string_view name, std::string_view value);
  // Body bytes, unchanged; the count taken (a length below 1 writes
  // nothing and gives 0).
  virtual int32_t Write(const char* data, int32_t length) = 0;
  int32_t Write(std::string_view text) {
    return Write(text.data(), static_cast<int32_t>(text.size()));
  }
  // Body text under the whitespace mode; returns the length it was given
  // (what whitespace it dropped counts as taken).
  virtual int32_t WriteText(const char* data, int32_t length);
  // Sends what is held to the peer; the count sent. Outputs without a
  // peer send nothing.
  virtual int32_t Send(bool final);
  // Hands on what is held; false when the sink failed.
  virtual bool Flush() = 0;
  virtual int Kind() const = 0;

  int WhitespaceMode() const { return whitespace_mode_; }
  virtual void SetWhitespaceMode(int mode) { whitespace_mode_ = mode; }
  // Whether the last byte written was whitespace (isspace of the C
  // locale); true before anything is written, so that leading whitespace
  // of a run's first text counts as following whitespace.
  bool EndedInWhitespace() const { return ended_in_whitespace_; }

  // Mode 1: after whitespace, a text's first byte is dropped when it is
  // whitespace too.
  virtual int32_t WriteTrimOne(const char* data, int32_t length);
  // Mode 2: each run of whitespace is written as its first byte; a run at
  // the start disappears entirely after whitespace.
  virtual int32_t WriteCollapse(const char* data, int32_t length);

 protected:
  // Subclasses call this with every non-empty piece they take.
  void NoteWritten(const char* data, int32_t length);

  int whitespace_mode_ = 0;
  bool ended_in_whitespace_ = true;
};

// A buffer of fixed size in front of a sink that receives each full or
// flushed buffer. The destructor drops what is still buffered: a subclass
// whose data must not be lost flushes in its own destructor.
class BufferedOutput : public Output {
 public:
  static constexpr int32_t kDefaultBufferSize = 8192;

  // A size below 1 gives kDefaultBufferSize.
  explicit BufferedOutput(int32_t buffer_size);
  ~BufferedOutput() override;

  int32_t Write(const char* data, int32_t length) override;
  using Output::Write;
  // Passes the filled part to WriteThrough and empties the buffer; true
  // with nothing to pass.
  bool Flush() override;
  int Kind() const override { return kKindBuffered; }

  int32_t BufferSize() const { return size_; }
  int32_t Buffered() const { return fill_; }

 protected:
  // Receives `count` (at least 1) bytes; false when the sink failed (the
  // bytes are gone either way).
  virtual bool WriteThrough(const char* data, int32_t count) = 0;

 private:
  int32_t size_;
  int32_t fill_ = 0;
  std::unique_ptr<char[]> buffer_;
};

// Passes every write straight to a callback (or, without one, swallows
// it); no whitespace handling.
class NullOutput : public Output {
 public:
  // Takes (data, length), returns the count it took.
  using Callback = std::function<int32_t(const char*, int32_t)>;

  explicit NullOutput(Callback callback = nullptr) : callback_(std::move(callback)) {}

  int32_t Write(const char* data, int32_t length) override;
  using Output::Write;
  int32_t WriteText(const char* data, int32_t length) override { return Write(data, length); }
  bool Flush() override { return true; }
  int Kind() const override { return kKindNull; }

 private:
  Callback callback_;
};

// A buffered output over a stdio stream (the command-line context). Flush
// reaches the stream too, and so does destruction. The stream is not
// owned.
class StdioOutput : public BufferedOutput {
 public:
  explicit StdioOutput(FILE* file, int32_t buffer_size = 65536)
      : BufferedOutput(buffer_size), file_(file) {}
  ~StdioOutput() override;

  bool Flush() override;

 protected:
  bool WriteThrough(const char* data, int32_t count) override;

 private:
  FILE* file_;
};

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_OUTPUT_H_
