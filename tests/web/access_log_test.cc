// The access log: lines in the combined format for what the server really
// answered, escaped so that a client cannot forge a line, whole when the
// workers write at once, and a new file after a reload.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "tests/web/server_fixture.h"
#include "tests/web/server_harness.h"
#include "web/access_log.h"
#include "web/http_server.h"
#include "web/static_files.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;

// host ident authuser [date] "request" status bytes "referer" "agent";
// a quoted field holds no bare quote and no control byte.
const std::regex kCombined(
    R"re(^(\S+) - - \[[0-3][0-9]/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/[0-9]{4})re"
    R"re(:[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}\] )re"
    R"re("((?:[^"\\\x00-\x1f]|\\.)*)" ([0-9]{3}|-) ([0-9]+|-) )re"
    R"re("((?:[^"\\\x00-\x1f]|\\.)*)" "((?:[^"\\\x00-\x1f]|\\.)*)"$)re");

// The agent of every request in the busy test: long, so that a line
// written in pieces would show.
constexpr size_t kAgent = 3000;

struct Line {
  std::string host, request, status, bytes, referer, agent;
};

// The log's lines, each checked against the format; a line that does not
// match fails the test and is left out.
std::vector<Line> ReadLog(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "the last line is cut";
  std::vector<Line> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, kCombined)) {
      ADD_FAILURE() << "not in the combined format: " << line;
      continue;
    }
    lines.push_back({m[1], m[3], m[4], m[5], m[6], m[7]});
  }
  return lines;
}

TEST(AccessLine, ClientTextCannotEndAFieldOrStartALine) {
  const String agent(
      "Mozilla \"quoted\" \\ back\r\n1.2.3.4 - - [x] \"GET /\" 200 1 \"-\" \"-\"\xff");
  const String referer("http://a/?q=\"");
  AccessRecord record;
  record.host = "127.0.0.1";
  record.request_line = "GET /\"\x01 HTTP/1.0";
  record.status = 200;
  record.body_bytes = 12;
  record.referer = &referer;
  record.user_agent = &agent;
  record.time = 1700000000;
  const std::string line = FormatAccessLine(record);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  std::smatch m;
  const std::string body = line.substr(0, line.size() - 1);
  ASSERT_TRUE(std::regex_match(body, m, kCombined)) << line;
  EXPECT_EQ(m[3], "GET /\\\"\\x01 HTTP/1.0");
  EXPECT_EQ(m[4], "200");
  EXPECT_EQ(m[5], "12");
  EXPECT_EQ(m[6], "http://a/?q=\\\"");
  EXPECT_EQ(m[7],
            "Mozilla \\\"quoted\\\" \\\\ back\\x0d\\x0a1.2.3.4 - - [x] \\\"GET /\\\" 200 1 "
            "\\\"-\\\" \\\"-\\\"\\xff");

  // Nothing known: every field is "-".
  AccessRecord empty;
  empty.time = 1700000000;
  const std::string dashes = FormatAccessLine(empty);
  EXPECT_NE(dashes.find("- - - ["), std::string::npos) << dashes;
  EXPECT_NE(dashes.find("] \"-\" - - \"-\" \"-\"\n"), std::string::npos) << dashes;
}

TEST(AccessLine, StatusCodeOfAStatusText) {
  EXPECT_EQ(StatusCodeOf("200 OK"), 200);
  EXPECT_EQ(StatusCodeOf("302 Found"), 302);
  EXPECT_EQ(StatusCodeOf("404"), 404);
  EXPECT_EQ(StatusCodeOf("20 OK"), 0);
  EXPECT_EQ(StatusCodeOf("2000 OK"), 0);
  EXPECT_EQ(StatusCodeOf("abc"), 0);
  EXPECT_EQ(StatusCodeOf("099 x"), 0);
  EXPECT_EQ(StatusCodeOf(""), 0);
}

using AccessLogTest = ServerTest;

TEST_F(AccessLogTest, EachRequestIsOneLineOfWhatWasSent) {
  Put(root_ + "/page.html", std::string(1000, 'p'));
  Program(root_ + "/plain.lmc", Print("again"));
  ASSERT_TRUE(Start("accesslog = logs.txt\n"));

  struct Case {
    std::string request;
    std::string status;  // as the log must say it
    std::string bytes;
    std::string agent = "-";
    std::string referer = "-";
  };
  const String now = FormatHTTPDate(time(nullptr));
  const std::vector<Case> cases = {
      {Get("/page.html", "Referer: http://here/\r\nUser-Agent: t/1\r\n"), "200", "1000", "t/1",
       "http://here/"},
      {Get("/missing.html"), "404", ""},
      {Get("/page.html", "If-Modified-Since: " + std::string(now.View()) + "\r\n"), "304", "-"},
      {Get("/page.html", "Range: bytes=10-19\r\n"), "206", "10"},
      {Get("/page.html", "Range: bytes=5000-\r\n"), "416", "-"},
      {"HEAD /page.html HTTP/1.0\r\n\r\n", "200", "-"},
      {"HEAD /plain.lmc HTTP/1.0\r\n\r\n", "200", "-"},
      {Get("/plain.lmc?x=1"), "200", "5"},
      {Get("/page.html", "User-Agent: evil\" 200 1 \"-\" \"x\\\r\n"), "200", "1000",
       "evil\\\" 200 1 \\\"-\\\" \\\"x\\\\"},
      {Get("/%zz"), "400", ""},
  };
  std::vector<Reply> replies;
  for (const Case& c : cases) replies.push_back(Send(c.request));

  const std::vector<Line> lines = ReadLog(data_ + "/logs.txt");
  ASSERT_EQ(lines.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Line& l = lines[i];
    const std::string first_line = c.request.substr(0, c.request.find("\r\n"));
    EXPECT_EQ(l.host, "127.0.0.1");
    EXPECT_EQ(l.request, first_line);
    EXPECT_EQ(l.status, c.status) << first_line;
    EXPECT_EQ(l.status, replies[i].status.substr(9, 3)) << first_line;
    // The body as the client got it; "-" for none.
    const std::string expected_bytes =
        replies[i].body.empty() ? "-" : std::to_string(replies[i].body.size());
    EXPECT_EQ(l.bytes, expected_bytes) << first_line;
    if (!c.bytes.empty()) {
      EXPECT_EQ(l.bytes, c.bytes) << first_line;
    }
    EXPECT_EQ(l.agent, c.agent) << first_line;
    EXPECT_EQ(l.referer, c.referer) << first_line;
  }
}

TEST_F(AccessLogTest, WorkersWritingAtOnceNeverMixTheirLines) {
  Put(root_ + "/a.txt", "a");
  ASSERT_TRUE(Start("accesslog = " + base_ + "/busy.log\n"));
  constexpr int kClients = 8, kEach = 25;
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([this, t] {
      const std::string agent(kAgent, static_cast<char>('a' + t));
      for (int i = 0; i < kEach; ++i) Send(Get("/a.txt", "User-Agent: " + agent + "\r\n"));
    });
  }
  for (std::thread& c : clients) c.join();
  // Read plainly: the regular expression recurses per byte of a field.
  std::ifstream in(base_ + "/busy.log", std::ios::binary);
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    const std::string middle = "] \"GET /a.txt HTTP/1.0\" 200 1 \"-\" \"";
    const size_t at = line.find(middle);
    ASSERT_NE(at, std::string::npos) << line.substr(0, 200);
    const std::string agent = line.substr(at + middle.size());
    ASSERT_EQ(agent.size(), kAgent + 1) << line.substr(0, 200);
    EXPECT_EQ(agent.back(), '"');
    EXPECT_EQ(agent.find_first_not_of(agent[0]), kAgent);
  }
  EXPECT_EQ(count, kClients * kEach);
}

TEST_F(AccessLogTest, AReloadOpensANewFileAndABadNameIsAWarning) {
  Put(root_ + "/a.txt", "a");
  ASSERT_TRUE(Start("accesslog = access.log\n"));
  Send(Get("/a.txt?1"));
  fs::rename(data_ + "/access.log", data_ + "/access.log.1");
  Send(Get("/a.txt?2"));  // still to the renamed file, as rotation expects
  std::vector<std::string> warnings;
  server_->ReloadConfiguration(&warnings);
  EXPECT_TRUE(warnings.empty());
  Send(Get("/a.txt?3"));
  const std::vector<Line> old_lines = ReadLog(data_ + "/access.log.1");
  const std::vector<Line> new_lines = ReadLog(data_ + "/access.log");
  ASSERT_EQ(old_lines.size(), 2u);
  ASSERT_EQ(new_lines.size(), 1u);
  EXPECT_EQ(old_lines[1].request, "GET /a.txt?2 HTTP/1.0");
  EXPECT_EQ(new_lines[0].request, "GET /a.txt?3 HTTP/1.0");

  // A name that cannot be opened: a warning; the server serves, and the
  // log goes on where it went.
  Put(base_ + "/lumodex.conf", "accesslog = " + base_ + "/no/such/dir/x.log\n");
  warnings.clear();
  server_->ReloadConfiguration(&warnings);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find(base_ + "/no/such/dir/x.log"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("No such file or directory"), std::string::npos) << warnings[0];
  EXPECT_EQ(Send(Get("/a.txt?4")).body, "a");
  EXPECT_EQ(ReadLog(data_ + "/access.log").size(), 2u);

  // Off when the setting is empty.
  Put(base_ + "/lumodex.conf", "accesslog =\n");
  server_->ReloadConfiguration(&warnings);
  EXPECT_EQ(Send(Get("/a.txt?5")).body, "a");
  EXPECT_EQ(ReadLog(data_ + "/access.log").size(), 2u);

  // At start-up: the warning, and a server that serves without a log.
  server_->Stop();
  allow_warnings_ = true;
  ASSERT_TRUE(Start("accesslog = " + root_ + "\n"));
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_NE(warnings_[0].find("Is a directory"), std::string::npos) << warnings_[0];
  EXPECT_EQ(Send(Get("/a.txt")).body, "a");
}

}  // namespace
}  // namespace lumo
