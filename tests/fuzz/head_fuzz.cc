// The request head parser, fed the input whole and in pieces whose sizes
// the first byte picks: both must end the same way, consume the same head
// and read the same fields. Then the same pieces reach an HTTPRequest over
// a socket, read as the event loop reads them (the socket found empty
// between pieces, so the request lets its buffer go each time): it must
// come to the same result, and what it leaves over must be what followed
// the head.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/http_head_parser.h"
#include "web/http_request.h"

namespace {

struct Outcome {
  lumo::HTTPHeadParser::Status status;
  size_t head_bytes = 0;
  std::string fields;
};

Outcome Run(const uint8_t* data, size_t size, size_t piece) {
  lumo::HTTPHeadParser head;
  Outcome out;
  out.status = lumo::HTTPHeadParser::Status::kNeedMore;
  for (size_t at = 0; at < size && out.status == lumo::HTTPHeadParser::Status::kNeedMore;) {
    const size_t n = size - at < piece ? size - at : piece;
    size_t consumed = 0;
    out.status = head.Parse(reinterpret_cast<const char*>(data) + at, n, &consumed);
    if (consumed > n) abort();
    out.head_bytes += consumed;
    at += n;
  }
  if (out.status == lumo::HTTPHeadParser::Status::kNeedMore) out.status = head.Finish();
  if (out.status == lumo::HTTPHeadParser::Status::kComplete) {
    out.fields = std::string(head.Method().View()) + '\n' + std::string(head.Path().View()) + '\n' +
                 std::string(head.Query().View()) + '\n' + std::to_string(head.ContentLength());
    for (const lumo::HTTPHeader& h : head.Headers()) {
      out.fields += '\n' + std::string(h.name.View()) + ':' + std::string(h.value.View());
      if (head.Header(h.name.View()) == nullptr) abort();
    }
  }
  return out;
}

lumo::HTTPRequest::ReadResult Expected(lumo::HTTPHeadParser::Status status) {
  using Status = lumo::HTTPHeadParser::Status;
  using Result = lumo::HTTPRequest::ReadResult;
  switch (status) {
    case Status::kComplete: return Result::kOk;
    case Status::kTooLong: return Result::kTooLong;
    case Status::kBadHeader: return Result::kBadHeader;
    case Status::kBadLength: return Result::kBadLength;
    case Status::kLengthRequired: return Result::kLengthRequired;
    default: return Result::kNothing;
  }
}

void ThroughASocket(const uint8_t* data, size_t size, size_t piece, const Outcome& whole) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return;
  lumo::HTTPRequest request(fds[0]);
  lumo::HTTPRequest::ReadResult result = lumo::HTTPRequest::ReadResult::kNothing;
  bool done = request.ReadAvailable(&result);
  for (size_t at = 0; at < size && !done;) {
    const size_t n = size - at < piece ? size - at : piece;
    const ssize_t wrote = write(fds[1], data + at, n);
    if (wrote <= 0) {
      if (wrote < 0 && errno == EINTR) continue;
      close(fds[1]);
      return;
    }
    at += static_cast<size_t>(wrote);
    done = request.ReadAvailable(&result);
  }
  if (!done) {
    shutdown(fds[1], SHUT_WR);
    if (!request.ReadAvailable(&result)) abort();
  }
  close(fds[1]);
  if (result != Expected(whole.status)) abort();
  if (result != lumo::HTTPRequest::ReadResult::kOk) return;
  const std::string fields = std::string(request.Method().View()) + '\n' +
                             std::string(request.Path().View()) + '\n' +
                             std::string(request.Query().View()) + '\n' +
                             std::to_string(request.ContentLength());
  if (whole.fields.compare(0, fields.size(), fields) != 0) abort();
  const std::string_view rest(reinterpret_cast<const char*>(data) + whole.head_bytes,
                              size - whole.head_bytes);
  const std::string_view leftover = request.Leftover();
  if (leftover.size() > rest.size() || rest.substr(0, leftover.size()) != leftover) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = static_cast<size_t>(data[0] % 17) + 1;
  const Outcome whole = Run(data + 1, size - 1, size);
  const Outcome split = Run(data + 1, size - 1, piece);
  if (whole.status != split.status || whole.fields != split.fields) abort();
  // A complete head ends at the same byte however it arrived.
  if (whole.status == lumo::HTTPHeadParser::Status::kComplete && whole.head_bytes != split.head_bytes) {
    abort();
  }
  ThroughASocket(data + 1, size - 1, piece, whole);
  return 0;
}
