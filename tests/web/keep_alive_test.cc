// Persistent connections and the event loop: pipelined requests answered
// in order, when a connection stays open and when it must close, the idle
// time-out and the request maximum, and workers kept for programs while
// slow clients and static files are served beside them.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <string>
#include <vector>

#include "tests/web/server_fixture.h"
#include "tests/web/server_harness.h"

namespace lumo {
namespace {

using std::chrono::milliseconds;

struct Answers {
  std::vector<Reply> replies;
  bool closed = false;  // the server closed the connection
};

// Reads answers off a connection until `count` are whole, it closes, or
// wait_ms passes. A HEAD answer (head_only[i]) and a 304 have no body; any
// other has its chunks, its Content-Length, or everything up to the close.
Answers ReadAnswers(int fd, size_t count, const std::vector<bool>& head_only = {},
                    int wait_ms = 5000) {
  Answers answers;
  std::string raw;
  size_t at = 0;
  const auto deadline = Clock::now() + milliseconds(wait_ms);
  auto take = [&](bool at_end) {
    while (answers.replies.size() < count) {
      const size_t head_end = raw.find("\r\n\r\n", at);
      if (head_end == std::string::npos) return;
      const size_t index = answers.replies.size();
      Reply head = ParseReply(raw.substr(at, head_end + 4 - at), false);
      if (head.Header("Transfer-Encoding") == "chunked") {
        // Chunks: a hexadecimal size line, the bytes, CRLF; size 0 ends.
        std::string body;
        size_t p = head_end + 4;
        for (;;) {
          const size_t line_end = raw.find("\r\n", p);
          if (line_end == std::string::npos) return;
          const size_t size = std::stoul(raw.substr(p, line_end - p), nullptr, 16);
          if (raw.size() < line_end + 2 + size + 2) return;
          body += raw.substr(line_end + 2, size);
          p = line_end + 2 + size + 2;
          if (size == 0) break;
        }
        head.body = body;
        answers.replies.push_back(head);
        at = p;
        continue;
      }
      size_t body = 0;
      const bool bodiless = head.status.find(" 304 ") != std::string::npos;
      if (!bodiless && (index >= head_only.size() || !head_only[index])) {
        const std::string length = head.Header("Content-Length");
        if (length == "<none>") {
          if (!at_end) return;
          body = raw.size() - head_end - 4;
        } else {
          body = std::stoul(length);
        }
      }
      // A body cut short by the close is what the client got.
      if (at_end && raw.size() < head_end + 4 + body) body = raw.size() - head_end - 4;
      if (raw.size() < head_end + 4 + body) return;
      answers.replies.push_back(ParseReply(raw.substr(at, head_end + 4 + body - at), false));
      at = head_end + 4 + body;
    }
  };
  char buffer[65536];
  while (answers.replies.size() < count) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      raw.append(buffer, static_cast<size_t>(n));
      take(false);
    } else if (n == 0 || errno != EAGAIN) {
      answers.closed = true;
      take(true);
      break;
    }
  }
  return answers;
}

// The present as an HTTP date.
std::string Now() {
  const time_t now = time(nullptr);
  struct tm parts;
  gmtime_r(&now, &parts);
  char text[64];
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

bool SendText(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string Get11(std::string_view path, std::string_view headers = "") {
  return "GET " + std::string(path) + " HTTP/1.1\r\nHost: t\r\n" + std::string(headers) + "\r\n";
}

class ServerKeepAlive : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    Put(root_ + "/a.txt", "alpha");
    Put(root_ + "/b.txt", "bravo");
    Program(root_ + "/hello.lmc", Print("hello"));
  }
};

TEST_F(ServerKeepAlive, PipelinedRequestsAreAnsweredInOrder) {
  Program(root_ + "/form.lmc", Hide("x"));
  ASSERT_TRUE(Start());
  const std::string form = "x=42";
  const std::vector<std::string> requests = {
      Get11("/a.txt"),
      Get11("/hello.lmc"),
      "HEAD /b.txt HTTP/1.1\r\nHost: t\r\n\r\n",
      Get11("/missing.txt"),
      "POST /form.lmc HTTP/1.1\r\nHost: t\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form,
      Get11("/b.txt", "Range: bytes=1-2\r\n"),
      Get11("/hello.lmc?again"),
      Get11("/a.txt?x"),
      Get11("/b.txt"),
      Get11("/a.txt", "Connection: close\r\n"),
  };
  std::string all;
  for (const std::string& r : requests) all += r;
  const int fd = ConnectTo(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendText(fd, all));
  const Answers got = ReadAnswers(fd, 11, {false, false, true});
  close(fd);
  ASSERT_EQ(got.replies.size(), 10u);
  EXPECT_TRUE(got.closed) << "the connection stays open after Connection: close";
  const char* bodies[] = {"alpha", "hello", "", nullptr, nullptr, "ra", "hello", "alpha",
                          "bravo", "alpha"};
  for (size_t i = 0; i < 10; ++i) {
    if (bodies[i] != nullptr) {
      EXPECT_EQ(got.replies[i].body, bodies[i]) << i;
    }
    EXPECT_EQ(got.replies[i].Header("Connection"), i < 9 ? "keep-alive" : "close") << i;
  }
  EXPECT_EQ(got.replies[2].Header("Content-Length"), "5");
  EXPECT_EQ(got.replies[3].status, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Fields(got.replies[4].body)["x"], "42");
  EXPECT_EQ(got.replies[5].status, "HTTP/1.1 206 Partial Content");
}

// After each answer the connection either carries the next request or
// closes; the answer's "Connection" header says which.
TEST_F(ServerKeepAlive, TheConnectionStaysOnlyWhenItsFramingIsSure) {
  HeaderCall calls;
  Program(root_ + "/streamed.lmc", Repeat(std::string(100, 's'), 30));
  Program(root_ + "/says_close.lmc", SetHeaders({{"Connection", "close"}}) + Print("bye"));
  Program(root_ + "/says_keep.lmc", SetHeaders({{"Connection", "keep-alive"}}) + Print("hi"));
  Program(root_ + "/framing.lmc", SetHeaders({{"Transfer-Encoding", "chunked"}}) + Print("te"));
  Program(root_ + "/lies.lmc", SetHeaders({{"Content-Length", "50"}}) + Print("short"));
  ASSERT_TRUE(Start("", [&calls](HTTPServer& s) {
    s.SetExternalCalls(&calls);
    s.Configuration().SetInteger(kConfigBufszOutputFlush, 1000);
  }));
  struct Case {
    const char* name;
    std::string request;
    bool keeps;
  } cases[] = {
      {"HTTP/1.1", Get11("/a.txt"), true},
      {"HTTP/1.1, close", Get11("/a.txt", "Connection: close\r\n"), false},
      {"a token list with close", Get11("/a.txt", "Connection: keep-alive, Close\r\n"), false},
      {"HTTP/1.0", "GET /a.txt HTTP/1.0\r\n\r\n", false},
      {"HTTP/1.0, keep-alive", "GET /a.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
      {"a request line alone", "GET /a.txt\r\n\r\n", false},
      {"a 404", Get11("/nothing"), true},
      {"a 304", Get11("/a.txt", "If-Modified-Since: " + Now() + "\r\n"), true},
      {"HEAD", "HEAD /a.txt HTTP/1.1\r\n\r\n", true},
      {"a refused head", "GET /a.txt HTTP/1.1\r\nBad Name: x\r\n\r\n", false},
      {"a body sent to a file", "POST /a.txt HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", false},
      {"a program", Get11("/hello.lmc"), true},
      {"a program's HEAD", "HEAD /hello.lmc HTTP/1.1\r\n\r\n", true},
      {"a streamed program, in chunks", Get11("/streamed.lmc"), true},
      {"a streamed program to HTTP/1.0",
       "GET /streamed.lmc HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false},
      {"a program's streamed HEAD", "HEAD /streamed.lmc HTTP/1.1\r\n\r\n", false},
      {"a program saying close", Get11("/says_close.lmc"), false},
      {"a program asking to keep", Get11("/says_keep.lmc"), true},
      {"a program's false length", Get11("/lies.lmc"), false},
      {"a program's own Transfer-Encoding (refused)", Get11("/framing.lmc"), true},
      {"a body no program reads", "POST /hello.lmc HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
       false},
  };
  for (const Case& c : cases) {
    const int fd = ConnectTo(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendText(fd, c.request));
    const bool head = c.request.starts_with("HEAD");
    const Answers first = ReadAnswers(fd, 1, {head}, 5000);
    ASSERT_EQ(first.replies.size(), 1u) << c.name;
    EXPECT_EQ(first.replies[0].Header("Connection"), c.keeps ? "keep-alive" : "close") << c.name;
    if (c.request.starts_with("GET /framing")) {
      EXPECT_EQ(first.replies[0].Header("Transfer-Encoding"), "<none>");
      EXPECT_EQ(first.replies[0].body, "te");
    }
    if (c.request.starts_with("GET /streamed")) {
      EXPECT_EQ(first.replies[0].body, std::string(3000, 's')) << c.name;
    }
    if (c.keeps) {
      ASSERT_TRUE(SendText(fd, Get11("/b.txt")));
      const Answers second = ReadAnswers(fd, 1);
      ASSERT_EQ(second.replies.size(), 1u) << c.name;
      EXPECT_EQ(second.replies[0].body, "bravo") << c.name;
    } else {
      EXPECT_TRUE(first.closed || ClosedWithoutAnswer(fd, 4000)) << c.name;
    }
    close(fd);
  }
}

TEST_F(ServerKeepAlive, IdleTimeOutAndRequestMaximumCloseTheConnection) {
  ASSERT_TRUE(Start("keepalivetimeout = 1\nkeepalivemax = 3\n"));
  // The third request on a connection is its last.
  const int fd = ConnectTo(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendText(fd, Get11("/a.txt") + Get11("/b.txt") + Get11("/a.txt") + Get11("/b.txt")));
  const Answers got = ReadAnswers(fd, 4);
  close(fd);
  ASSERT_EQ(got.replies.size(), 3u);
  EXPECT_TRUE(got.closed);
  EXPECT_EQ(got.replies[1].Header("Connection"), "keep-alive");
  EXPECT_EQ(got.replies[2].Header("Connection"), "close");

  // An idle connection goes after the time-out, whether or not it ever
  // carried a request; one that is used in time stays.
  const int idle = ConnectTo(port_);
  const int used = ConnectTo(port_);
  ASSERT_TRUE(SendText(used, Get11("/a.txt")));
  ASSERT_EQ(ReadAnswers(used, 1).replies.size(), 1u);
  std::this_thread::sleep_for(milliseconds(500));
  ASSERT_TRUE(SendText(used, Get11("/b.txt")));
  EXPECT_EQ(ReadAnswers(used, 1).replies.at(0).body, "bravo");
  EXPECT_TRUE(ClosedWithoutAnswer(used, 3000));
  // A connection that never sent a byte has the head deadline (2 s here).
  EXPECT_TRUE(ClosedWithoutAnswer(idle, 4000));
  close(idle);
  close(used);
}

// Programs queue for the workers; connections that are slow, idle or
// asking for files never take one.
TEST_F(ServerKeepAlive, SlowClientsAndFilesNeverWaitForAWorker) {
  Program(root_ + "/loop.lmc", "loop: jmp loop\n");
  ASSERT_TRUE(Start("workers = 2\nglobaltimeout = 3\n"));
  EXPECT_EQ(server_->WorkerCount(), 2);
  // Fifty clients that have sent half a head, and two endless programs.
  std::vector<int> slow;
  for (int i = 0; i < 50; ++i) {
    slow.push_back(ConnectTo(port_));
    ASSERT_TRUE(SendText(slow.back(), "GET /a.txt HTTP/1.1\r\nX-Slow: "));
  }
  std::vector<int> loops;
  for (int i = 0; i < 2; ++i) {
    loops.push_back(ConnectTo(port_));
    ASSERT_TRUE(SendText(loops.back(), Get11("/loop.lmc")));
  }
  std::this_thread::sleep_for(milliseconds(300));
  // A file is served at once; a third program waits for a worker.
  const int kept = ConnectTo(port_);
  ASSERT_TRUE(SendText(kept, Get11("/a.txt")));
  const Answers file = ReadAnswers(kept, 1, {}, 1000);
  ASSERT_EQ(file.replies.size(), 1u);
  EXPECT_EQ(file.replies[0].body, "alpha");
  ASSERT_TRUE(SendText(kept, Get11("/hello.lmc")));
  EXPECT_TRUE(ReadAnswers(kept, 1, {}, 1000).replies.empty()) << "a third program ran";
  // Once the loops end at their time-out, it runs, on the same connection.
  const Answers program = ReadAnswers(kept, 1, {}, 8000);
  ASSERT_EQ(program.replies.size(), 1u);
  EXPECT_EQ(program.replies[0].body, "hello");
  for (int fd : loops) {
    EXPECT_EQ(ReadAnswers(fd, 1).replies.size(), 1u);
    close(fd);
  }
  // The slow heads had their deadline (2 s) long ago: each was answered
  // as it stood, or closed.
  for (int fd : slow) {
    const Answers a = ReadAnswers(fd, 1, {}, 100);
    EXPECT_TRUE(a.closed || ClosedWithoutAnswer(fd, 1000));
    close(fd);
  }
  close(kept);
}

}  // namespace
}  // namespace lumo
