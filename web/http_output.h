// The response of a web request: HTTPOutput holds the header table and the
// body until it is sent; DexOutput sends it to the browser's socket.
//
// Headers go out with the first Send, in the order they were last added;
// after that, header additions are refused. A body that never reaches the
// flush threshold and is never flushed goes out at the final Send with a
// "Content-Length"; a larger or flushed one streams without it (unless the
// program set one): in chunks when the subclass allows (StreamsChunked),
// else ending when the connection closes.
//
// The body lives in fixed chunks so that a large response never
// reallocates and copies; at most about the flush threshold is held.
#ifndef LUMO_WEB_HTTP_OUTPUT_H_
#define LUMO_WEB_HTTP_OUTPUT_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/base/hash_table.h"
#include "core/base/string.h"
#include "core/context/output.h"

namespace lumo {

class Config;
class HTTPRequest;
class LumoApplication;

class HTTPOutput : public Output {
 public:
  static constexpr int32_t kDefaultChunkSize = 8192;
  static constexpr int32_t kDefaultFlushThreshold = 1048576;
  static constexpr int32_t kMinChunkSize = 512;
  static constexpr int32_t kMaxChunkSize = 16 << 20;
  static constexpr int32_t kMaxFlushThreshold = 256 << 20;
  // Microseconds between retries of a short send, when the configuration
  // has no usable "filedelay".
  static constexpr int32_t kDefaultFileDelay = 100;
  // The largest body sent in one piece with its head.
  static constexpr int64_t kBodyWithHead = 65536;

  // Sizes outside [kMinChunkSize, kMaxChunkSize] and thresholds outside
  // [1, kMaxFlushThreshold] give the defaults.
  explicit HTTPOutput(int32_t chunk_size = kDefaultChunkSize,
                      int32_t flush_threshold = kDefaultFlushThreshold);
  ~HTTPOutput() override;

  // New sizes (from the configuration), checked as by the constructor.
  // Chunks made before keep their size.
  void SetBufferSizes(int32_t chunk_size, int32_t flush_threshold);
  int32_t ChunkSize() const { return chunk_size_; }
  int32_t FlushThreshold() const { return flush_threshold_; }
  // Where the retry delay comes from; not owned, may be null (the
  // default delay applies).
  void SetConfiguration(Config* config);

  // Replaces a header of the same name (ignoring case), which then goes
  // out in the new place. Refused: after the headers went out, an empty
  // name, and a name or value holding CR, LF or NUL (a script's data must
  // not be able to end the header block or add headers of its own).
  bool AddHeader(std::string_view name, std::string_view value) override;
  int32_t Write(const char* data, int32_t length) override;
  using Output::Write;
  // Sends the headers (the first time; with "Content-Length" when final),
  // then the held body, and empties the body. The count of body bytes
  // sent, or -1 when the connection failed.
  int32_t Send(bool final) override;
  bool Flush() override { return Send(false) >= 0; }
  int Kind() const override { return kKindHTTP; }

  // Adds "Content-Length" with the body length written so far, unless the
  // table has one. Works after the headers were marked sent, for Send.
  void AddContentLength();
  // A body that streams goes out in chunks ("Transfer-Encoding: chunked")
  // when the subclass can say where it ends; asked once, as the headers
  // go out ahead of the whole body.
  virtual bool StreamsChunked() const { return false; }
  bool Chunked() const { return chunked_; }
  // Ends a chunked body (the last, empty chunk); nothing is sent after.
  // False when the connection failed.
  bool EndChunked();
  // Sends the status line and the header block; what SendRaw returned.
  virtual int32_t SendHeaders() = 0;
  // Sends bytes to the peer: the count sent (short when the peer stopped
  // taking them), negative when the connection failed.
  virtual int32_t SendRaw(const char* data, int32_t length) = 0;

  // For a HEAD request: the response is made as for GET (its length
  // included) but only its headers are sent; the body is dropped.
  void SetHeadersOnly(bool headers_only) { headers_only_ = headers_only; }
  bool HeadersOnly() const { return headers_only_; }

  bool HeadersSent() const { return headers_sent_; }
  // While the headers go out: with the whole body held (the final Send).
  bool SendingWhole() const { return sending_whole_; }
  // The value of a header in the table, or null.
  const String* FindHeader(std::string_view name) const;
  int32_t HeaderCount() const { return headers_.Count(); }
  int64_t TotalLength() const { return total_length_; }
  // Body bytes the peer was handed so far (what a HEAD drops is not).
  int64_t BodySent() const { return body_sent_; }
  // Bytes held and not yet sent.
  int64_t HeldLength() const;

 protected:
  // "name: value\r\n" for every header, in table order.
  void AppendHeaderLines(String* out) const;
  // For SendHeaders: the whole body is held and small enough to go out in
  // the head's own send (one system call for the response).
  bool BodyFitsWithHead() const;
  // Appends the held body to `out`; DropHeld then counts the bytes of it
  // that went out and empties the chunks.
  void AppendHeld(String* out) const;
  void DropHeld(int64_t sent);

 private:
  struct Header {
    String name;
    String value;
  };
  class HeaderTable : public HashTable<Header> {
   public:
    // A response has a handful of headers: 16 buckets, not thousands.
    HeaderTable() : HashTable<Header>(true, true, 4) {}
    ~HeaderTable() override { Clear(); }
    std::string_view KeyOf(const Header& header) const override { return header.name.View(); }
  };
  struct Chunk {
    std::unique_ptr<char[]> data;
    int32_t capacity;
    int32_t fill;
  };

  void PutHeader(std::string_view name, std::string_view value);
  int32_t FileDelay();
  // Sends the framing of a chunked body whole; false when it could not.
  bool SendFraming(const char* text, int32_t length);
  // Sends one chunk, retrying a short send; false when the chunk could
  // not be completed. *failed says the connection broke.
  bool SendChunk(const Chunk& chunk, int64_t* sent, bool* failed);

  int32_t chunk_size_ = kDefaultChunkSize;
  int32_t flush_threshold_ = kDefaultFlushThreshold;
  bool headers_sent_ = false;
  bool headers_only_ = false;
  bool sending_whole_ = false;
  bool chunked_ = false;
  bool chunks_ended_ = false;
  HeaderTable headers_;
  std::vector<Chunk> chunks_;  // the last one is the current chunk
  int64_t total_length_ = 0;
  int64_t since_send_ = 0;
  int64_t body_sent_ = 0;
  Config* config_ = nullptr;
  int32_t file_delay_ = -1;  // -1: not read yet
};

// The response to a browser over a connected socket (not owned: the
// listener closes it). The connection stays open after the response only
// when the request allows it and the response's length goes out in its
// head; a program's "Connection: close" header closes it, other
// "Connection" headers are refused. A "Status" header sets the status
// line instead of being sent.
class DexOutput : public HTTPOutput {
 public:
  static constexpr int32_t kDefaultSendWaitMs = 30000;

  // context is told to stop when the connection breaks; may be null.
  DexOutput(LumoApplication* context, int socket);

  bool AddHeader(std::string_view name, std::string_view value) override;
  int32_t SendHeaders() override;
  // Sends everything it can. When the socket takes nothing more it waits
  // for it to become writable, at most the send wait; when the wait runs
  // out the client is taken as gone: the run is stopped, the count sent so
  // far returned, and every later call gives -1 at once, so a client that
  // never reads costs one wait, not one per flush. Once the run is stopped
  // (its time-out, a stop), all waits together end one send wait after it.
  // Any other failure stops the run and gives -1. Never raises SIGPIPE,
  // and never blocks longer than the wait, whether or not the socket is
  // non-blocking.
  int32_t SendRaw(const char* data, int32_t length) override;

  // "200 OK" until a "Status" header sets it.
  std::string_view StatusText() const;
  // The request answered: whether it lets the connection stay open.
  void SetRequest(const HTTPRequest* request) { request_ = request; }
  // After the final Send (and EndChunked): the head offered to keep the
  // connection, and the body went out whole, exactly the length it
  // announced or in chunks ended by the last one.
  bool KeepsConnection() const;
  bool StreamsChunked() const override;
  void SetSendWait(int32_t milliseconds) { send_wait_ms_ = milliseconds; }

 private:
  class RunWait;
  LumoApplication* context_;
  const HTTPRequest* request_ = nullptr;
  int socket_;
  bool close_asked_ = false;  // the program said "Connection: close"
  bool keeping_ = false;      // the head said "keep-alive"
  bool failed_ = false;
  // Set while the head goes out ahead of a body: the kernel then sends
  // both in one segment.
  bool more_ = false;
  String status_;
  int32_t send_wait_ms_ = kDefaultSendWaitMs;
  // The client stopped taking data for a whole send wait.
  bool stalled_ = false;
  // Set when a wait first sees the run stopped: no wait goes past it.
  std::chrono::steady_clock::time_point give_up_at_{};
};

}  // namespace lumo

#endif  // LUMO_WEB_HTTP_OUTPUT_H_
