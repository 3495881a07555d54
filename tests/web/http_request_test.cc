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

// The head parser's rules are its own test's; here only that each refusal
// reaches the reader's result, and the body length with it.
TEST(HTTPRequest, RefusedHeadsReachTheResult) {
  EXPECT_EQ(ReadHead(Post("Content-Length: 5\r\nContent-Length: 6\r\n")), Result::kBadLength);
  EXPECT_EQ(ReadHead(Post("Transfer-Encoding: chunked\r\n")), Result::kLengthRequired);
  EXPECT_EQ(ReadHead(Post("Content-Length : 5\r\n")), Result::kBadHeader);
  EXPECT_EQ(ReadHead(Post(std::string(70000, 'h') + "\r\n")), Result::kTooLong);
  EXPECT_EQ(ReadHead(""), Result::kNothing);
  int64_t length = -1;
  EXPECT_EQ(ReadHead(Post("Content-Length: 12, 12\r\n"), &length), Result::kOk);
  EXPECT_EQ(length, 12);
}

// A head that arrives in pieces, with the reader finding the socket empty
// between them (when it lets its buffer go), is read whole; the pipelined
// request behind it is left over for the next reader, and a next reader
// primed with it reads it without a receive.
TEST(HTTPRequest, HeadsInPiecesAndPipelinedLeftovers) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  HTTPRequest first(fds[0]);
  Result result = Result::kNothing;
  EXPECT_FALSE(first.ReadAvailable(&result));
  EXPECT_EQ(first.Leftover(), "");
  const std::string pieces[] = {"GE", "T /a.lmc?x=1 HT", "TP/1.1\r\nHo", "st: h\r\nX-Long: ",
                                std::string(9000, 'v'), "\r\n\r\nGET /b.html HTTP/1.1\r\n\r\n"};
  for (const std::string& piece : pieces) {
    EXPECT_FALSE(first.ReadAvailable(&result)) << "before '" << piece.substr(0, 20) << "'";
    ASSERT_EQ(write(fds[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
  }
  ASSERT_TRUE(first.ReadAvailable(&result));
  EXPECT_EQ(result, Result::kOk);
  EXPECT_EQ(first.Path().View(), "/a.lmc");
  EXPECT_EQ(first.Query().View(), "x=1");
  ASSERT_NE(first.Header("X-Long"), nullptr);
  EXPECT_EQ(first.Header("X-Long")->Length(), 9000);
  EXPECT_EQ(first.Leftover(), "GET /b.html HTTP/1.1\r\n\r\n");

  HTTPRequest second(first.ReleaseSocket());
  second.Prime(first.Leftover(), first.MayHaveMore());
  close(fds[1]);
  ASSERT_TRUE(second.ReadAvailable(&result));
  EXPECT_EQ(result, Result::kOk);
  EXPECT_EQ(second.Path().View(), "/b.html");
  EXPECT_EQ(second.Leftover(), "");
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
