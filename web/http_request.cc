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

HTTPRequest::ReadResult HTTPRequest::Read() {
  ReadResult result = ReadLine(&request_line_);
  if (result != ReadResult::kOk) return result;
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
    const int32_t colon = line.Find(":");
    if (colon < 0) continue;
    int32_t value = colon + 1;
    while (value < line.Length() && IsBlank(line[value])) ++value;
    AddHeader(line.View().substr(0, static_cast<size_t>(colon)),
              line.View().substr(static_cast<size_t>(value)));
  }
  const int32_t question = uri_.Find("?");
  if (question >= 0) {
    path_ = uri_.Left(question);
    query_ = uri_.From(question + 1);
    has_query_ = true;
  } else {
    path_ = uri_;
  }
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
  return n;
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
