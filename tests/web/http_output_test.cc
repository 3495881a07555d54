#include "web/http_output.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <regex>
#include <string>

#include "config/config.h"
#include "core/context/console_application.h"

namespace lumo {
namespace {

// An HTTPOutput whose peer takes at most the scripted count per send (-1:
// the connection breaks); unscripted sends take everything.
class ScriptedOutput : public HTTPOutput {
 public:
  ScriptedOutput(int32_t chunk_size, int32_t threshold) : HTTPOutput(chunk_size, threshold) {
    config.SetInteger(kConfigDelayFile, 0);
    SetConfiguration(&config);
  }

  int32_t SendHeaders() override {
    headers.clear();
    String lines;
    AppendHeaderLines(&lines);
    headers = std::string(lines.View());
    return lines.Length();
  }
  int32_t SendRaw(const char* data, int32_t length) override {
    ++calls;
    int32_t take = length;
    if (!script.empty()) {
      take = script.front();
      script.pop_front();
      if (take < 0) return -1;
      if (take > length) take = length;
    }
    body.append(data, static_cast<size_t>(take));
    return take;
  }

  Config config;
  std::deque<int32_t> script;
  std::string headers;
  std::string body;
  int calls = 0;
};

TEST(HTTPOutput, HeaderTableKeepsTheLastAdditionAndRefusesLineBreaks) {
  ScriptedOutput out(512, 1 << 20);
  EXPECT_TRUE(out.AddHeader("Content-Type", "text/plain"));
  EXPECT_TRUE(out.AddHeader("X-One", "1"));
  EXPECT_TRUE(out.AddHeader("content-type", "text/html"));
  // Response splitting and malformed lines: refused, nothing kept.
  EXPECT_FALSE(out.AddHeader("X-Evil", "a\r\nSet-Cookie: x=1"));
  EXPECT_FALSE(out.AddHeader("X-Evil", "a\nb"));
  EXPECT_FALSE(out.AddHeader("X\r\nY", "z"));
  EXPECT_FALSE(out.AddHeader("X-Nul", std::string_view("a\0b", 3)));
  EXPECT_FALSE(out.AddHeader("", "z"));
  EXPECT_EQ(out.HeaderCount(), 2);
  out.Write("0123456789");
  EXPECT_EQ(out.Send(true), 10);
  EXPECT_EQ(out.headers, "X-One: 1\r\ncontent-type: text/html\r\nContent-Length: 10\r\n");
  EXPECT_EQ(out.body, "0123456789");
  EXPECT_FALSE(out.AddHeader("X-Late", "1"));

  // A length the program set is not doubled.
  ScriptedOutput own(512, 1 << 20);
  own.AddHeader("content-length", "3");
  own.Write("abc");
  own.Send(true);
  EXPECT_EQ(own.headers, "content-length: 3\r\n");
}

TEST(HTTPOutput, ReachingTheThresholdStreamsWithoutContentLength) {
  ScriptedOutput out(512, 1100);
  std::string all;
  for (int i = 0; i < 30; ++i) {
    const std::string piece(100, static_cast<char>('a' + i % 26));
    out.Write(piece);
    all += piece;
    if (i == 10) {
      EXPECT_TRUE(out.HeadersSent());
      EXPECT_EQ(out.HeldLength(), 0);
      EXPECT_EQ(out.body.size(), 1100u);
    }
  }
  EXPECT_EQ(out.Send(true), 800);
  EXPECT_EQ(out.headers, "");
  EXPECT_EQ(out.body, all);
  EXPECT_EQ(out.TotalLength(), 3000);

  // An explicit flush sends the headers early, without a length.
  ScriptedOutput flushed(512, 1 << 20);
  flushed.Write("ab");
  EXPECT_TRUE(flushed.Flush());
  flushed.Write("cd");
  flushed.Send(true);
  EXPECT_EQ(flushed.headers, "");
  EXPECT_EQ(flushed.body, "abcd");
}

TEST(HTTPOutput, ShortSendsRetryUntilThePeerTakesNothing) {
  const std::string body(1200, 'x');  // three chunks of 512
  struct Case { std::deque<int32_t> script; int32_t result; size_t delivered; };
  const Case cases[] = {
      {{100, 300, 112}, 1200, 1200},  // first chunk completed by retries
      {{100, 0}, 100, 100},           // cut short: the chunks after it are dropped too
      {{0, 0}, 0, 0},
      {{512, -1}, -1, 512},           // broken connection
  };
  for (const Case& c : cases) {
    ScriptedOutput out(512, 1 << 20);
    out.Write(body);
    out.script = c.script;
    EXPECT_EQ(out.Send(false), c.result) << c.delivered;
    EXPECT_EQ(out.body.size(), c.delivered);
    EXPECT_EQ(out.HeldLength(), 0);
    // The emptied first chunk takes new data.
    out.Write("yz");
    out.Send(false);
    EXPECT_EQ(out.body.substr(out.body.size() - 2), "yz");
  }
}

TEST(HTTPOutput, OutOfRangeSizesFallBackToTheDefaults) {
  struct Case { int32_t chunk, threshold, want_chunk, want_threshold; };
  const Case cases[] = {
      {4096, 10000, 4096, 10000},
      {-1, -1, HTTPOutput::kDefaultChunkSize, HTTPOutput::kDefaultFlushThreshold},
      {511, 0, HTTPOutput::kDefaultChunkSize, HTTPOutput::kDefaultFlushThreshold},
      {(16 << 20) + 1, 0x7fffffff, HTTPOutput::kDefaultChunkSize,
       HTTPOutput::kDefaultFlushThreshold},
      {512, 1, 512, 1},
  };
  for (const Case& c : cases) {
    ScriptedOutput out(c.chunk, c.threshold);
    EXPECT_EQ(out.ChunkSize(), c.want_chunk);
    EXPECT_EQ(out.FlushThreshold(), c.want_threshold);
    out.SetBufferSizes(c.chunk, c.threshold);
    EXPECT_EQ(out.ChunkSize(), c.want_chunk);
    EXPECT_EQ(out.FlushThreshold(), c.want_threshold);
  }
}

// A connected socket pair: `server` is the output's side, `browser` the
// peer's.
class SocketPair {
 public:
  SocketPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    server = fds[0];
    browser = fds[1];
  }
  ~SocketPair() {
    if (server >= 0) close(server);
    if (browser >= 0) close(browser);
  }
  // Everything the output sent, once the server side is closed.
  std::string Received() {
    close(server);
    server = -1;
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = read(browser, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
    return all;
  }
  int server;
  int browser;
};

// A response with its one Date line taken out (the present second, which
// a test cannot spell), or "no Date: " and the response.
std::string Undated(const std::string& response) {
  static const std::regex kDateLine(
      "\r\nDate: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] [A-Z][a-z]{2} [0-9]{4} "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT\r\n");
  std::smatch found;
  if (!std::regex_search(response, found, kDateLine)) return "no Date: " + response;
  return found.prefix().str() + "\r\n" + found.suffix().str();
}

TEST(DexOutput, WritesTheResponseWithItsStatusLine) {
  SocketPair pair;
  ConsoleApplication context;
  DexOutput out(&context, pair.server);
  out.Write("0123456789");
  EXPECT_EQ(out.Send(true), 10);
  EXPECT_EQ(Undated(pair.Received()),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 10\r\n\r\n0123456789");

  SocketPair moved;
  DexOutput redirect(&context, moved.server);
  EXPECT_TRUE(redirect.AddHeader("status", "301 Moved"));
  EXPECT_TRUE(redirect.AddHeader("Status", "302 Found"));
  EXPECT_FALSE(redirect.AddHeader("Status", "200 OK\r\nSet-Cookie: a=b"));
  EXPECT_FALSE(redirect.AddHeader("Status", ""));
  EXPECT_TRUE(redirect.AddHeader("Location", "/next"));
  EXPECT_FALSE(redirect.AddHeader("connection", "keep-alive"));
  EXPECT_EQ(redirect.StatusText(), "302 Found");
  redirect.Send(true);
  EXPECT_FALSE(redirect.AddHeader("Status", "500 Oops"));
  EXPECT_EQ(Undated(moved.Received()),
            "HTTP/1.1 302 Found\r\nConnection: close\r\nLocation: /next\r\n"
            "Content-Length: 0\r\n\r\n");
  EXPECT_FALSE(context.IsStopped());
}

TEST(DexOutput, ABrowserThatLeftStopsTheRunWithoutASignal) {
  SocketPair pair;
  ConsoleApplication context;
  DexOutput out(&context, pair.server);
  close(pair.browser);
  pair.browser = -1;
  out.Write("body");
  EXPECT_EQ(out.Send(true), -1);
  EXPECT_TRUE(context.IsStopped());
}

// Bounded by the short wait: without it, or with a wait per remaining
// chunk or per flush, this would hold the test for minutes. A browser that
// took nothing for a whole wait is gone: the run stops, and nothing later
// waits again.
TEST(DexOutput, ABrowserThatStopsReadingCostsOneWaitAndStopsTheRun) {
  SocketPair pair;
  const int small = 4096;
  ASSERT_EQ(setsockopt(pair.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  // Keeps the test bounded even if the output ever blocks inside send.
  const timeval limit{5, 0};
  ASSERT_EQ(setsockopt(pair.server, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit), 0);
  ConsoleApplication context;
  context.Configuration()->SetInteger(kConfigDelayFile, 0);
  DexOutput out(&context, pair.server);
  out.SetConfiguration(context.Configuration());
  out.SetSendWait(1000);
  const std::string body(1 << 20, 'x');
  out.Write(body.data(), 512 << 10);  // below the threshold: held
  const int32_t sent = out.Send(false);
  EXPECT_LT(sent, 512 << 10);
  EXPECT_EQ(out.HeldLength(), 0);
  EXPECT_TRUE(context.IsStopped());
  const auto start = std::chrono::steady_clock::now();
  out.Write(body.data(), 512 << 10);
  EXPECT_EQ(out.Send(true), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// Once the run is stopped (its time-out), every wait together ends one
// send wait later, however many flushes the program still makes.
TEST(DexOutput, WaitsEndOneSendWaitAfterTheRunStops) {
  SocketPair pair;
  const int small = 4096;
  ASSERT_EQ(setsockopt(pair.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ConsoleApplication context;
  context.Configuration()->SetInteger(kConfigDelayFile, 0);
  DexOutput out(&context, pair.server);
  out.SetConfiguration(context.Configuration());
  out.SetSendWait(60000);
  context.Stop();
  const std::string body(256 << 10, 'x');
  out.SetSendWait(300);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) {
    out.Write(body.data(), static_cast<int32_t>(body.size()));
    out.Send(false);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

}  // namespace
}  // namespace lumo
