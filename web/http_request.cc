#include "web/http_request.h"
#include "web/socket_send.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

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
  struct sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getpeername(socket_, reinterpret_cast<struct sockaddr*>(&address), &length) == 0) {
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
    const ssize_t n = recv(socket_, buffer_, sizeof buffer_, 0);
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
    const ssize_t again = recv(socket_, buffer_, sizeof buffer_, 0);
    if (again <= 0) return false;
    filled_ = static_cast<int32_t>(again);
    position_ = 0;
    return true;
  }
}

HTTPRequest::ReadResult HTTPRequest::Read() {
  using Status = HTTPHeadParser::Status;
  Status status = Status::kNeedMore;
  while (status == Status::kNeedMore) {
    if (position_ >= filled_ && !Fill()) {
      status = head_.Finish();
      break;
    }
    size_t consumed = 0;
    status = head_.Parse(buffer_ + position_, static_cast<size_t>(filled_ - position_), &consumed);
    position_ += static_cast<int32_t>(consumed);
  }
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

int32_t HTTPRequest::Receive(char* out, int32_t length) {
  if (length <= 0) return 0;
  if (position_ >= filled_ && !Fill()) return 0;
  const int32_t n = filled_ - position_ < length ? filled_ - position_ : length;
  memcpy(out, buffer_ + position_, static_cast<size_t>(n));
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
    const ssize_t n = recv(socket_, buffer_, sizeof buffer_, 0);
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
  TimedSocketWait wait(io_timeout_ms_);
  return SendOnSocket(socket_, data, length, more, wait);
}

int64_t HTTPRequest::SendFile(File& file, int64_t offset, int64_t length) {
  TimedSocketWait wait(io_timeout_ms_);
  return SendFileOnSocket(socket_, file, offset, length, wait);
}

}  // namespace lumo
