// HTTPRequest: one accepted connection and the request read from it.
//
// The request line and the header lines are read with a bound on each line
// and on the whole head, so that a client cannot make the server hold an
// unbounded amount of memory; the body is left in the receive buffer and on
// the socket for the request context to read.
#ifndef LUMO_WEB_HTTP_REQUEST_H_
#define LUMO_WEB_HTTP_REQUEST_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

#include "core/base/string.h"
#include "web/http_head_parser.h"

namespace lumo {

class File;

class HTTPRequest {
 public:
  static constexpr int32_t kBufferSize = 8192;
  static constexpr int32_t kMaxLine = HTTPHeadParser::kMaxLine;
  static constexpr int32_t kMaxHead = HTTPHeadParser::kMaxHead;

  enum class ReadResult {
    kOk,
    kNothing,         // the connection closed or stayed silent before a request line
    kTooLong,         // a line or the whole head passed its bound
    kBadHeader,       // folded, blank before the colon, NUL or a bare CR: 400
    kBadLength,       // Content-Length not one plain decimal number: 400
    kLengthRequired,  // Transfer-Encoding (bodies are read by length only): 411
  };

  enum class BodyRead {
    kData,      // some bytes arrived
    kEnd,       // the client closed its side
    kTimedOut,  // the deadline passed, or nothing came for the I/O time-out
    kStopped,   // the run was stopped
  };

  // Takes the connected (non-blocking) socket; closes it when destroyed.
  explicit HTTPRequest(int socket);
  ~HTTPRequest();
  HTTPRequest(const HTTPRequest&) = delete;
  HTTPRequest& operator=(const HTTPRequest&) = delete;

  // Reads the request line and the headers, waiting for the socket.
  ReadResult Read();
  // Reads what the socket holds now, never waiting: false while the head
  // is still incomplete; true with *result once it is read or refused, or
  // the input ended (kNothing).
  bool ReadAvailable(ReadResult* result);
  // The head's time is up: what arrived is all there is (kNothing when it
  // makes no request).
  ReadResult EndHead();
  // A byte of the request line has arrived (the head has begun).
  bool HeadStarted() const { return head_started_; }
  // Bytes read from the socket beyond this request and its body (the next
  // pipelined requests); meaningful once the whole body was read.
  std::string_view Leftover() const {
    if (position_ >= filled_) return {};
    return std::string_view(buffer_.get() + position_, static_cast<size_t>(filled_ - position_));
  }
  // Bytes that arrived ahead of this request's head (a previous request's
  // Leftover); at most kBufferSize. `more`: the socket may hold more.
  void Prime(std::string_view bytes, bool more);
  // The last receive filled the whole buffer: the socket may hold more
  // than was read (a shorter one found it empty).
  bool MayHaveMore() const { return may_have_more_; }
  // Gives the socket up: the request no longer closes it.
  int ReleaseSocket() {
    const int socket = socket_;
    socket_ = -1;
    return socket;
  }

  // The client asks for the connection to stay open after the answer:
  // HTTP/1.1 unless it said "Connection: close", HTTP/1.0 only when it
  // said "Connection: keep-alive".
  bool ClientKeepsAlive() const;
  // Whether the answer offers to keep the connection; every answer's
  // "Connection" header follows it. Off unless the server turns it on.
  void SetKeepAlive(bool keep) { keep_alive_ = keep; }
  bool KeepAlive() const { return keep_alive_; }
  // "keep-alive" or "close", for the answer's "Connection" header.
  std::string_view ConnectionToken() const { return keep_alive_ ? "keep-alive" : "close"; }

  // Held sends: SendAll and SendFile queue what they are given (reporting
  // it all as sent) for SendHeld to send without waiting, so that one
  // thread can serve many connections.
  void HoldSends(bool hold) { hold_ = hold; }
  enum class HeldSend { kDone, kBlocked, kFailed };
  // Sends what the socket takes now of the held bytes, then the held file.
  HeldSend SendHeld();
  // What was held and never went out (a failed or abandoned send) comes
  // off the body count the access log shows.
  void AbandonHeld();

  // One receive: the bytes still in the receive buffer first, then the
  // socket, waiting up to the I/O time-out for data. 0 at the end of input,
  // on a time-out or an error.
  int32_t Receive(char* buffer, int32_t length);
  // One receive of body bytes: waits until data comes, but never past
  // `deadline` (steady clock; none when it is the epoch), the I/O time-out,
  // or the moment *stop is raised. *got is the count received.
  BodyRead ReceiveBody(char* buffer, int32_t length, int32_t* got,
                       std::chrono::steady_clock::time_point deadline,
                       const std::atomic<int32_t>* stop);
  // An HTTP/1.1 client that sent "Expect: 100-continue" and none of its
  // body yet waits for "100 Continue" before sending it (curl, for bodies
  // over a kilobyte, waits a second): sends it, once. False when the
  // interim answer could not be sent.
  bool AnswerExpectContinue();
  // The declared body length (0 without a Content-Length header).
  int64_t ContentLength() const { return head_.ContentLength(); }
  // Body bytes the client declared and nobody read.
  int64_t UnreadBody() const;
  // Closes our side after an answer given before the body was read, and
  // reads on (and drops) what the client still sends for a short while: a
  // socket closed with unread data sends a reset, which can destroy the
  // answer before the client reads it.
  void LingeringClose();
  // Sends everything; the count sent (short after a time-out), -1 on error.
  // With `more`, the kernel holds the bytes back to go out with the next
  // send (a head before its body).
  int64_t SendAll(const char* data, int64_t length, bool more = false);
  // Sends `length` bytes of an open file from `offset` (a file on disk
  // without copying them through the process); counts as SendAll does.
  // A held send keeps the file until it has gone out.
  int64_t SendFile(std::shared_ptr<File> file, int64_t offset, int64_t length);

  int Socket() const { return socket_; }
  const String& RequestLine() const { return head_.RequestLine(); }
  const String& Method() const { return head_.Method(); }
  const String& URI() const { return head_.URI(); }
  const String& Protocol() const { return head_.Protocol(); }
  const String& Path() const { return head_.Path(); }
  // False when the URI had no '?'.
  bool HasQuery() const { return head_.HasQuery(); }
  const String& Query() const { return head_.Query(); }
  // Dotted quad of the peer; empty when it cannot be read.
  const String& PeerAddress() const;
  // The peer as accept gave it: PeerAddress then asks the system nothing.
  void SetPeer(const struct sockaddr_storage& address) {
    peer_ = address;
    peer_known_ = true;
  }
  // In the order first received; repeated names are joined with ",".
  const std::vector<HTTPHeader>& Headers() const { return head_.Headers(); }
  // The value of a header (name in any case), or null.
  const String* Header(std::string_view name) const { return head_.Header(name); }

  // Milliseconds a receive or send waits for the socket (30 s).
  void SetIOTimeout(int milliseconds) { io_timeout_ms_ = milliseconds; }

  // What was answered, for the access log: the status code (0 while none
  // was sent) and the body bytes that really went out, head excluded.
  void NoteResponse(int status, int64_t body_bytes) {
    status_ = status;
    body_sent_ = body_bytes > 0 ? body_bytes : 0;
  }
  int ResponseStatus() const { return status_; }
  int64_t BodyBytesSent() const { return body_sent_; }

 private:
  // Fills the buffer with one receive; false at the end of input.
  bool Fill();
  // The receive buffer, made on first use: a connection that has sent
  // nothing yet costs no buffer.
  char* Buffer() {
    if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
    return buffer_.get();
  }
  // Lets the buffer go once everything in it was parsed.
  void ReleaseBuffer() {
    if (position_ < filled_) return;
    buffer_.reset();
    filled_ = position_ = 0;
  }

  int socket_;
  int io_timeout_ms_ = 30000;
  std::unique_ptr<char[]> buffer_;
  int32_t filled_ = 0;
  int32_t position_ = 0;
  int64_t body_taken_ = 0;  // body bytes handed out by Receive*
  HTTPHeadParser head_;
  bool head_started_ = false;
  bool may_have_more_ = false;
  bool keep_alive_ = false;
  bool continue_answered_ = false;
  bool hold_ = false;
  std::string held_;
  size_t held_sent_ = 0;
  std::shared_ptr<File> held_file_;
  int64_t held_file_offset_ = 0;
  int64_t held_file_left_ = 0;
  mutable String peer_address_;
  struct sockaddr_storage peer_ {};
  bool peer_known_ = false;
  mutable bool peer_read_ = false;
  int status_ = 0;
  int64_t body_sent_ = 0;
};

}  // namespace lumo

#endif  // LUMO_WEB_HTTP_REQUEST_H_
