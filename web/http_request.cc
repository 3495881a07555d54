#include "web/http_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/base/ascii.h"
#include "files/file_manager.h"
#include "web/socket_send.h"

namespace lumo {

namespace {

// Waits for the socket to become ready; false on time-out or error.
bool WaitFor(int socket, short events, int milliseconds) {
  struct pollfd p = {socket, events, 0};
  for (;;) {
    const int n = poll(&p, 1, milliseconds);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

HTTPRequest::HTTPRequest(int socket) : socket_(socket) {}

const String& HTTPRequest::PeerAddress() const {
  // Asked for by programs only: a static file never pays for the call.
  if (peer_read_) return peer_address_;
  peer_read_ = true;
  struct sockaddr_storage address = peer_;
  socklen_t length = sizeof address;
  if (peer_known_ ||
      getpeername(socket_, reinterpret_cast<struct sockaddr*>(&address), &length) == 0) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&address)->sin_addr, text,
                sizeof text);
    } else if (address.ss_family == AF_INET6) {
      const struct in6_addr& v6 = reinterpret_cast<struct sockaddr_in6*>(&address)->sin6_addr;
      // An IPv4 client of a dual-stack socket is shown as IPv4, as it is
      // to a server listening on IPv4 alone.
      if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        inet_ntop(AF_INET, v6.s6_addr + 12, text, sizeof text);
      } else {
        inet_ntop(AF_INET6, &v6, text, sizeof text);
      }
    }
    peer_address_.Assign(text);
  }
  return peer_address_;
}

HTTPRequest::~HTTPRequest() {
  if (socket_ >= 0) close(socket_);
}

bool HTTPRequest::Fill() {
  for (;;) {
    const ssize_t n = recv(socket_, Buffer(), kBufferSize, 0);
    if (n > 0) {
      filled_ = static_cast<int32_t>(n);
      position_ = 0;
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!WaitFor(socket_, POLLIN, io_timeout_ms_)) return false;
    // One more receive after the wait; a second would-block ends input.
    const ssize_t again = recv(socket_, Buffer(), kBufferSize, 0);
    if (again <= 0) return false;
    filled_ = static_cast<int32_t>(again);
    position_ = 0;
    return true;
  }
}

namespace {

HTTPRequest::ReadResult ResultOf(HTTPHeadParser::Status status) {
  using Status = HTTPHeadParser::Status;
  using ReadResult = HTTPRequest::ReadResult;
  switch (status) {
    case Status::kComplete:
      return ReadResult::kOk;
    case Status::kNothing:
    case Status::kNeedMore:
      return ReadResult::kNothing;
    case Status::kTooLong:
      return ReadResult::kTooLong;
    case Status::kBadHeader:
      return ReadResult::kBadHeader;
    case Status::kBadLength:
      return ReadResult::kBadLength;
    case Status::kLengthRequired:
      return ReadResult::kLengthRequired;
  }
  return ReadResult::kNothing;
}

}  // namespace

HTTPRequest::ReadResult HTTPRequest::Read() {
  using Status = HTTPHeadParser::Status;
  Status status = Status::kNeedMore;
  while (status == Status::kNeedMore) {
    if (position_ >= filled_ && !Fill()) {
      status = head_.Finish();
      break;
    }
    size_t consumed = 0;
    head_started_ = true;
    status = head_.Parse(buffer_.get() + position_, static_cast<size_t>(filled_ - position_), &consumed);
    position_ += static_cast<int32_t>(consumed);
  }
  return ResultOf(status);
}

bool HTTPRequest::ReadAvailable(ReadResult* result) {
  using Status = HTTPHeadParser::Status;
  for (;;) {
    if (position_ < filled_) {
      size_t consumed = 0;
      head_started_ = true;
      const Status status =
          head_.Parse(buffer_.get() + position_, static_cast<size_t>(filled_ - position_), &consumed);
      position_ += static_cast<int32_t>(consumed);
      if (status != Status::kNeedMore) {
        *result = ResultOf(status);
        return true;
      }
    }
    const ssize_t n = recv(socket_, Buffer(), kBufferSize, MSG_DONTWAIT);
    if (n > 0) {
      filled_ = static_cast<int32_t>(n);
      position_ = 0;
      may_have_more_ = n == static_cast<ssize_t>(kBufferSize);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Everything read is parsed: a connection that waits, kept between
      // requests or sending its head slowly, holds no buffer meanwhile.
      ReleaseBuffer();
      return false;
    }
    // The end of input, or a reset: whatever was begun is all there is.
    *result = EndHead();
    return true;
  }
}

HTTPRequest::ReadResult HTTPRequest::EndHead() {
  filled_ = position_ = 0;
  return ResultOf(head_.Finish());
}

void HTTPRequest::Prime(std::string_view bytes, bool more) {
  may_have_more_ = more;
  const size_t n = bytes.size() < static_cast<size_t>(kBufferSize) ? bytes.size() : kBufferSize;
  if (n > 0) memmove(Buffer(), bytes.data(), n);
  filled_ = static_cast<int32_t>(n);
  position_ = 0;
}

bool HTTPRequest::ClientKeepsAlive() const {
  // The header is a list of tokens, in any case ("keep-alive, Upgrade").
  bool close = false, keep = false;
  if (const String* value = head_.Header("Connection")) {
    std::string_view rest = value->View();
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      std::string_view token = rest.substr(0, comma);
      token = TrimBlanks(token);
      if (token.size() == 5 && strncasecmp(token.data(), "close", 5) == 0) close = true;
      if (token.size() == 10 && strncasecmp(token.data(), "keep-alive", 10) == 0) keep = true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  if (close) return false;
  const std::string_view protocol = head_.Protocol().View();
  if (protocol == std::string_view("HTTP/1.1")) return true;
  return protocol == std::string_view("HTTP/1.0") && keep;
}

bool HTTPRequest::AnswerExpectContinue() {
  if (continue_answered_ || position_ < filled_ || head_.ContentLength() <= 0) return true;
  const String* expect = head_.Header("Expect");
  if (expect == nullptr || head_.Protocol().View() != std::string_view("HTTP/1.1")) return true;
  std::string_view value = expect->View();
  value = TrimBlanks(value);
  if (value.size() != 12 || strncasecmp(value.data(), "100-continue", 12) != 0) return true;
  continue_answered_ = true;
  static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  return SendAll(kContinue.data(), static_cast<int64_t>(kContinue.size())) ==
         static_cast<int64_t>(kContinue.size());
}

int32_t HTTPRequest::Receive(char* out, int32_t length) {
  if (length <= 0) return 0;
  if (position_ >= filled_ && !Fill()) return 0;
  const int32_t n = filled_ - position_ < length ? filled_ - position_ : length;
  memcpy(out, buffer_.get() + position_, static_cast<size_t>(n));
  position_ += n;
  body_taken_ += n;
  return n;
}

HTTPRequest::BodyRead HTTPRequest::ReceiveBody(char* out, int32_t length, int32_t* got,
                                               std::chrono::steady_clock::time_point deadline,
                                               const std::atomic<int32_t>* stop) {
  using std::chrono::steady_clock;
  *got = 0;
  if (length <= 0) return BodyRead::kData;
  if (position_ < filled_) {
    *got = Receive(out, length);
    return BodyRead::kData;
  }
  // Waits in slices, so that a stop raised by another thread ends the
  // wait within one.
  constexpr int kSliceMs = 100;
  const steady_clock::time_point idle_limit =
      steady_clock::now() + std::chrono::milliseconds(io_timeout_ms_);
  for (;;) {
    const ssize_t n = recv(socket_, out, static_cast<size_t>(length), 0);
    if (n > 0) {
      *got = static_cast<int32_t>(n);
      body_taken_ += n;
      return BodyRead::kData;
    }
    if (n == 0) return BodyRead::kEnd;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return BodyRead::kEnd;
    for (;;) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed) != 0) return BodyRead::kStopped;
      const steady_clock::time_point now = steady_clock::now();
      steady_clock::time_point until = idle_limit;
      if (deadline != steady_clock::time_point() && deadline < until) until = deadline;
      if (now >= until) return BodyRead::kTimedOut;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
      struct pollfd p = {socket_, POLLIN, 0};
      const int ready = poll(&p, 1, static_cast<int>(left < kSliceMs ? left + 1 : kSliceMs));
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) return BodyRead::kEnd;
    }
  }
}

int64_t HTTPRequest::UnreadBody() const {
  const int64_t declared = head_.ContentLength();
  return declared > body_taken_ ? declared - body_taken_ : 0;
}

void HTTPRequest::LingeringClose() {
  if (socket_ < 0) return;
  shutdown(socket_, SHUT_WR);
  using std::chrono::steady_clock;
  constexpr int kLingerMs = 2000;
  const steady_clock::time_point until = steady_clock::now() + std::chrono::milliseconds(kLingerMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - steady_clock::now()).count();
    if (left <= 0) break;
    const ssize_t n = recv(socket_, Buffer(), kBufferSize, 0);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    if (n > 0) continue;
    struct pollfd p = {socket_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
  }
  filled_ = 0;
  position_ = 0;
}

int64_t HTTPRequest::SendAll(const char* data, int64_t length, bool more) {
  if (hold_) {
    held_.append(data, static_cast<size_t>(length));
    return length;
  }
  TimedSocketWait wait(io_timeout_ms_);
  return SendOnSocket(socket_, data, length, more, wait);
}

int64_t HTTPRequest::SendFile(std::shared_ptr<File> file, int64_t offset, int64_t length) {
  if (hold_) {
    held_file_ = std::move(file);
    held_file_offset_ = offset;
    held_file_left_ = length;
    return length;
  }
  TimedSocketWait wait(io_timeout_ms_);
  return SendFileOnSocket(socket_, *file, offset, length, wait);
}

namespace {

// Never waits: the event loop waits for every connection at once.
class NoSocketWait : public SocketWait {
 public:
  bool WaitForRoom(int, bool) override { return false; }
};

}  // namespace

HTTPRequest::HeldSend HTTPRequest::SendHeld() {
  NoSocketWait wait;
  if (held_sent_ < held_.size()) {
    const int64_t left = static_cast<int64_t>(held_.size() - held_sent_);
    const int64_t n =
        SendOnSocket(socket_, held_.data() + held_sent_, left, held_file_left_ > 0, wait);
    if (n < 0) return HeldSend::kFailed;
    held_sent_ += static_cast<size_t>(n);
    if (n < left) return HeldSend::kBlocked;
  }
  if (held_file_left_ > 0) {
    int64_t at = held_file_offset_;
    const int64_t n = SendFileOnSocket(socket_, *held_file_, at, held_file_left_, wait);
    if (n < 0) return HeldSend::kFailed;
    held_file_offset_ += n;
    held_file_left_ -= n;
    if (held_file_left_ > 0) {
      // Nothing went out though the socket had room: the file ended early.
      return n == 0 && WaitFor(socket_, POLLOUT, 0) ? HeldSend::kFailed : HeldSend::kBlocked;
    }
    held_file_.reset();
  }
  return HeldSend::kDone;
}

void HTTPRequest::AbandonHeld() {
  const int64_t unsent = static_cast<int64_t>(held_.size() - held_sent_) + held_file_left_;
  body_sent_ = body_sent_ > unsent ? body_sent_ - unsent : 0;
  held_.clear();
  held_sent_ = 0;
  held_file_.reset();
  held_file_left_ = 0;
}

}  // namespace lumo
