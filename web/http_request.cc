#include "web/http_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/base/ascii.h"
#include "core/base/conversions.h"

namespace lumo {

namespace {

bool IsBlank(char c) { return IsSpaceByte(static_cast<unsigned char>(c)); }

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
      inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6*>(&address)->sin6_addr, text,
                sizeof text);
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

HTTPRequest::ReadResult HTTPRequest::ReadLine(String* line) {
  line->Clear();
  bool any = false;
  for (;;) {
    if (position_ >= filled_ && !Fill()) {
      return any ? ReadResult::kOk : ReadResult::kNothing;
    }
    any = true;
    const char* start = buffer_ + position_;
    const void* lf = memchr(start, '\n', static_cast<size_t>(filled_ - position_));
    const int32_t take =
        lf != nullptr ? static_cast<int32_t>(static_cast<const char*>(lf) - start) : filled_ - position_;
    head_bytes_ += take + (lf != nullptr ? 1 : 0);
    if (line->Length() + take > kMaxLine || head_bytes_ > kMaxHead) return ReadResult::kTooLong;
    line->Append(start, take);
    position_ += take;
    if (lf != nullptr) {
      ++position_;
      if (line->Length() > 0 && (*line)[line->Length() - 1] == '\r') line->Shorten(1);
      return ReadResult::kOk;
    }
  }
}

namespace {

// NUL anywhere, or a CR that is not the line's end (ReadLine drops that
// one): either can make two programs read one head two ways.
bool HasStrayControl(const String& line) {
  return line.Find(std::string_view("\0", 1)) >= 0 || line.Find("\r") >= 0;
}

}  // namespace

HTTPRequest::ReadResult HTTPRequest::Read() {
  ReadResult result = ReadLine(&request_line_);
  if (result != ReadResult::kOk) return result;
  if (HasStrayControl(request_line_)) return ReadResult::kBadHeader;
  // Method, URI, protocol: each ends at white space; the run after it is
  // skipped; a missing token is empty.
  std::string_view rest = request_line_.View();
  String* tokens[] = {&method_, &uri_, &protocol_};
  for (String* token : tokens) {
    size_t end = 0;
    while (end < rest.size() && !IsBlank(rest[end])) ++end;
    token->Assign(rest.data(), static_cast<int32_t>(end));
    while (end < rest.size() && IsBlank(rest[end])) ++end;
    rest.remove_prefix(end);
  }
  String line;
  for (;;) {
    result = ReadLine(&line);
    if (result == ReadResult::kTooLong) return result;
    if (result == ReadResult::kNothing || line.IsEmpty()) break;
    // A folded line continues the one before it; we do not join them,
    // and a program behind us might.
    if (line[0] == ' ' || line[0] == '\t' || HasStrayControl(line)) return ReadResult::kBadHeader;
    const int32_t colon = line.Find(":");
    if (colon < 0) continue;
    const std::string_view name = line.View().substr(0, static_cast<size_t>(colon));
    if (name.empty() || name.find_first_of(" \t") != std::string_view::npos) {
      return ReadResult::kBadHeader;
    }
    int32_t value = colon + 1;
    while (value < line.Length() && IsBlank(line[value])) ++value;
    AddHeader(name, line.View().substr(static_cast<size_t>(value)));
  }
  const int32_t question = uri_.Find("?");
  if (question >= 0) {
    path_ = uri_.Left(question);
    query_ = uri_.From(question + 1);
    has_query_ = true;
  } else {
    path_ = uri_;
  }
  return CheckBodyHeaders();
}

HTTPRequest::ReadResult HTTPRequest::CheckBodyHeaders() {
  // Bodies are read by length only: a chunked body read as if it had none
  // would leave its bytes to be taken for something else.
  if (Header("Transfer-Encoding") != nullptr) {
    has_transfer_encoding_ = true;
    return ReadResult::kLengthRequired;
  }
  const String* length = Header("Content-Length");
  if (length == nullptr) return ReadResult::kOk;
  // Repeated headers arrive joined with ','; each copy must be the same
  // plain decimal number.
  constexpr size_t kMaxDigits = 18;
  int64_t first = -1;
  std::string_view rest = length->View();
  for (;;) {
    const size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    while (!item.empty() && IsBlank(item.front())) item.remove_prefix(1);
    while (!item.empty() && IsBlank(item.back())) item.remove_suffix(1);
    if (item.empty() || item.size() > kMaxDigits) return ReadResult::kBadLength;
    int64_t value = 0;
    for (const char c : item) {
      if (c < '0' || c > '9') return ReadResult::kBadLength;
      value = value * 10 + (c - '0');
    }
    if (first >= 0 && value != first) return ReadResult::kBadLength;
    first = value;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  content_length_ = first;
  return ReadResult::kOk;
}

namespace {

std::string LowerKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(LowerByte(static_cast<unsigned char>(c)));
  return key;
}

}  // namespace

void HTTPRequest::AddHeader(std::string_view name, std::string_view value) {
  const auto [at, added] = header_index_.try_emplace(LowerKey(name), headers_.size());
  if (!added) {
    HTTPHeader& h = headers_[at->second];
    h.value.Append(',');
    h.value.Append(value);
    return;
  }
  headers_.push_back({String(name), String(value)});
}

const String* HTTPRequest::Header(std::string_view name) const {
  const auto at = header_index_.find(LowerKey(name));
  return at == header_index_.end() ? nullptr : &headers_[at->second].value;
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
  return content_length_ > body_taken_ ? content_length_ - body_taken_ : 0;
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
  int64_t sent = 0;
  bool waited = false;
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  while (sent < length) {
    const ssize_t n = send(socket_, data + sent, static_cast<size_t>(length - sent), flags);
    if (n > 0) {
      sent += n;
      waited = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (waited || !WaitFor(socket_, POLLOUT, io_timeout_ms_)) return sent;
      waited = true;
      continue;
    }
    return -1;
  }
  return sent;
}

int64_t HTTPRequest::SendFile(int fd, int64_t offset, int64_t length) {
  int64_t sent = 0;
  bool waited = false;
  off_t at = static_cast<off_t>(offset);
  while (sent < length) {
    const ssize_t n = sendfile(socket_, fd, &at, static_cast<size_t>(length - sent));
    if (n > 0) {
      sent += n;
      waited = false;
      continue;
    }
    // The file ended early (it shrank since its size was read).
    if (n == 0) return sent;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (waited || !WaitFor(socket_, POLLOUT, io_timeout_ms_)) return sent;
      waited = true;
      continue;
    }
    return -1;
  }
  return sent;
}

}  // namespace lumo
