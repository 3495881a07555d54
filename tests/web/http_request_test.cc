#include "web/http_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace lumo {
namespace {

using Result = HTTPRequest::ReadResult;

// Reads a head sent whole (and the client's side then closed); the
// request's declared body length comes back in *length.
Result ReadHead(const std::string& head, int64_t* length = nullptr) {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  EXPECT_EQ(write(fds[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));
  shutdown(fds[1], SHUT_WR);
  HTTPRequest request(fds[0]);
  request.SetIOTimeout(1000);
  const Result result = request.Read();
  if (length != nullptr) *length = request.ContentLength();
  close(fds[1]);
  return result;
}

std::string Post(const std::string& headers) {
  return "POST /a.lmc HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
}

// Where two readers of one head could disagree on where it ends or how
// long its body is, the head is refused instead of guessed at.
TEST(HTTPRequest, HeadsThatCouldBeReadTwoWaysAreRefused) {
  const struct {
    std::string headers;
    Result result;
  } cases[] = {
      {"Content-Length: 5\r\n", Result::kOk},
      {"Content-Length: 5\r\ncontent-length: 5\r\n", Result::kOk},
      {"Content-Length: 5, 5\r\n", Result::kOk},
      {"Content-Length:  007 \r\n", Result::kOk},
      {"Content-Length: 5\r\nContent-Length: 6\r\n", Result::kBadLength},
      {"Content-Length: -1\r\n", Result::kBadLength},
      {"Content-Length: +5\r\n", Result::kBadLength},
      {"Content-Length: 1e3\r\n", Result::kBadLength},
      {"Content-Length: 0x10\r\n", Result::kBadLength},
      {"Content-Length: 5 5\r\n", Result::kBadLength},
      {"Content-Length: 5x\r\n", Result::kBadLength},
      {"Content-Length: \r\n", Result::kBadLength},
      {"Content-Length: 5,\r\n", Result::kBadLength},
      {"Content-Length: 999999999999999999\r\n", Result::kOk},
      {"Content-Length: 9999999999999999999\r\n", Result::kBadLength},
      {"Content-Length: 99999999999999999999999999\r\n", Result::kBadLength},
      {"Transfer-Encoding: chunked\r\n", Result::kLengthRequired},
      {"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", Result::kLengthRequired},
      {"transfer-encoding: identity\r\n", Result::kLengthRequired},
      {"Content-Length : 5\r\n", Result::kBadHeader},
      {"Content-Length\t: 5\r\n", Result::kBadHeader},
      {"X-A: 1\r\n  folded\r\n", Result::kBadHeader},
      {"X-A: 1\r\n\tfolded\r\n", Result::kBadHeader},
      {std::string("X-A: a\0b\r\n", 10), Result::kBadHeader},
      {"X-A: a\rb\r\n", Result::kBadHeader},
      {"X-A: a\r\r\n", Result::kBadHeader},
      {": no name\r\n", Result::kBadHeader},
      // Lines without a colon are skipped, as they always were.
      {"no colon here\r\n", Result::kOk},
      {"X-A: 1\nX-B: 2\n", Result::kOk},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadHead(Post(c.headers)), c.result) << c.headers;
  EXPECT_EQ(ReadHead(std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21)), Result::kBadHeader);
  EXPECT_EQ(ReadHead("GET /a\rb HTTP/1.1\r\n\r\n"), Result::kBadHeader);

  int64_t length = -1;
  EXPECT_EQ(ReadHead(Post("Content-Length: 12, 12\r\n"), &length), Result::kOk);
  EXPECT_EQ(length, 12);
  EXPECT_EQ(ReadHead(Post(""), &length), Result::kOk);
  EXPECT_EQ(length, 0);
}

// Body reads end at the deadline, at the client's end and at a stop, each
// told apart, and count what they hand out.
TEST(HTTPRequest, BodyReadsEndAtDeadlineEndOrStop) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc";
  ASSERT_EQ(write(fds[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));
  HTTPRequest request(fds[0]);
  request.SetIOTimeout(10000);
  ASSERT_EQ(request.Read(), Result::kOk);
  char buffer[16];
  int32_t got = 0;
  std::atomic<int32_t> stop{0};
  const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  EXPECT_EQ(request.ReceiveBody(buffer, 16, &got, soon, &stop), HTTPRequest::BodyRead::kData);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "abc");
  EXPECT_EQ(request.UnreadBody(), 7);
  EXPECT_EQ(request.ReceiveBody(buffer, 16, &got, soon, &stop), HTTPRequest::BodyRead::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now(), soon);
  stop = 1;
  EXPECT_EQ(request.ReceiveBody(buffer, 16, &got, {}, &stop), HTTPRequest::BodyRead::kStopped);
  stop = 0;
  close(fds[1]);
  EXPECT_EQ(request.ReceiveBody(buffer, 16, &got, {}, &stop), HTTPRequest::BodyRead::kEnd);
}

}  // namespace
}  // namespace lumo
