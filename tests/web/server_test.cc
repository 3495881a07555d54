// The server end to end: a real HTTPServer on a loopback port with a
// scratch document root, spoken to over real sockets and by curl.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "tests/web/server_fixture.h"
#include "tests/web/server_harness.h"
#include "core/context/lumo_application.h"
#include "core/context/output.h"
#include "core/vm/lumo_vm.h"
#include "tools/lumoasm/assembler.h"
#include "values/variable.h"
#include "values/variable_hash.h"
#include "web/http_server.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;

constexpr char kSecret[] = "TOP-SECRET-b7e1";
// An IMF-fixdate.
const std::string kDatePattern =
    "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT";

int CountDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

using ServerStatic = ServerTest;
using ServerProgram = ServerTest;
using ServerPost = ServerTest;
using ServerTraversal = ServerTest;
using ServerHostile = ServerTest;
using ServerListen = ServerTest;

TEST_F(ServerStatic, FilesGoOutByteForByteWithTheirType) {
  struct Case {
    const char* name;
    size_t size;
    const char* type;
  } cases[] = {{"empty.txt", 0, "text/plain"},   {"page.html", 100, "text/html"},
               {"one.css", 8192, "text/css"},    {"pic.png", 20000, "image/png"},
               {".profile", 5, "text/plain"},    {"noext", 8193, "text/plain"},
               {"d.x/plain", 7, "text/plain"}};
  std::map<std::string, std::string> contents;
  for (const Case& c : cases) {
    std::string bytes(c.size, '\0');
    for (size_t i = 0; i < c.size; ++i) bytes[i] = static_cast<char>((i * 7 + c.size) % 256);
    Put(root_ + "/" + c.name, bytes);
    contents[c.name] = bytes;
  }
  ASSERT_TRUE(Start());
  for (const Case& c : cases) {
    const Reply r = Send(Get(std::string("/") + c.name));
    EXPECT_EQ(r.status, "HTTP/1.1 200 OK") << c.name;
    EXPECT_TRUE(std::regex_match(
        r.head, std::regex("Content-Type: " + std::string(c.type) + "\r\nContent-Length: " +
                           std::to_string(c.size) + "\r\nDate: " + kDatePattern +
                           "\r\nLast-Modified: " + kDatePattern +
                           "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n")))
        << c.name << "\n" << r.head;
    EXPECT_TRUE(r.body == contents[c.name]) << c.name << " body differs";
    EXPECT_TRUE(r.closed) << c.name;
  }
  // No protocol token, a query, a trailing separator: the same file.
  for (const char* request : {"GET /page.html\r\n\r\n", "GET /page.html?x=1&y HTTP/1.1\r\n\r\n",
                              "GET   /page.html/   HTTP/1.0\r\n\r\n"}) {
    EXPECT_EQ(Send(request).body, contents["page.html"]) << request;
  }
  if (HaveCurl()) {
    const Reply r = Curl(Url("/pic.png"));
    EXPECT_EQ(r.Header("Content-Type"), "image/png");
    EXPECT_TRUE(r.body == contents["pic.png"]) << "curl body differs";
  }
}

TEST_F(ServerStatic, DirectoriesServeTheirDefaultFile) {
  Program(root_ + "/sub/index.lmc", Print("sub-index"));
  Put(root_ + "/sub/index.html", "SUB-HTML");
  Put(root_ + "/sub/home.html", "HOME");
  Put(root_ + "/only/home.html", "ONLY");
  Put(root_ + "/html/index.html", "HTML-INDEX");
  Put(root_ + "/src/index.lasm", "pushc \"x\"\nout\n");
  Put(root_ + "/src/home.html", "SRC-HOME");
  fs::create_directories(root_ + "/empty");
  fs::create_directories(root_ + "/nest/index.lmc");  // a directory named like the default
  struct Case {
    const char* path;
    const char* body;  // null: 404 naming the path as requested
  };
  // The default list: the program first, then the page.
  const std::vector<Case> by_default = {
      {"/sub", "sub-index"}, {"/sub/", "sub-index"}, {"/html", "HTML-INDEX"},
      {"/", nullptr},        {"/empty/", nullptr},   {"/empty", nullptr},
      {"/nest", nullptr},    {"/only", nullptr},     {"/src/", nullptr}};
  const std::vector<Case> configured = {{"/sub", "HOME"}, {"/only/", "ONLY"}, {"/empty", nullptr}};
  // A name that is missing, a directory or a source is passed over.
  const std::vector<Case> listed = {{"/sub", "SUB-HTML"},  {"/only", "ONLY"},
                                    {"/nest", nullptr},    {"/src", "SRC-HOME"},
                                    {"/empty/", nullptr}};
  for (const auto& [config, cases] :
       {std::pair{"", by_default}, std::pair{"defaultfile = home.html\n", configured},
        std::pair{"defaultfile = missing.lmc, index.lasm,,index.html ,home.html\n", listed}}) {
    ASSERT_TRUE(Start(config));
    for (const Case& c : cases) {
      const Reply r = Send(Get(c.path));
      if (c.body != nullptr) {
        EXPECT_EQ(r.body, c.body) << config << c.path;
      } else {
        EXPECT_EQ(r.raw, Page404(c.path)) << config << c.path;
      }
    }
  }
  Put(root_ + "/index.html", "ROOT");
  ASSERT_TRUE(Start());
  EXPECT_EQ(Send(Get("/")).body, "ROOT");
}

TEST_F(ServerStatic, ErrorPagesNameThePathSafely) {
  const std::string dir(100, 'd');
  const std::string name(156, 'f');
  Put(root_ + "/" + dir + "/" + name, "LONG");
  Put(root_ + "/" + dir + "/" + name + "x", "TOO LONG");
  ASSERT_EQ(mkfifo((root_ + "/pipe.html").c_str(), 0644), 0);  // opening it would block
  ASSERT_TRUE(Start());
  EXPECT_EQ(Send(Get("/pipe.html")).raw, Page404("/pipe.html"));
  EXPECT_EQ(Send(Get("/no<b>pe\"(1)&.html?q=<script>")).raw,
            Page404("/no&lt;b&gt;pe&quot;&#40;1&#41;&amp;.html"));
  const std::string path258 = "/" + dir + "/" + name;
  ASSERT_EQ(path258.size(), 258u);
  EXPECT_EQ(Send(Get(path258 + "?" + std::string(300, 'q'))).body, "LONG");
  EXPECT_EQ(Send(Get(path258 + "x")).raw, Page400("Requested URI too long or invalid"));
}

// The path is decoded once before the sandbox sees it: names with blanks
// and UTF-8 bytes are served, an escape of an escape stays literal, and a
// broken escape or an escaped NUL is refused.
TEST_F(ServerStatic, EncodedPathsAreDecodedOnce) {
  Put(root_ + "/my file.html", "SPACE");
  Put(root_ + "/caf\xc3\xa9.txt", "UTF8");
  Put(root_ + "/a+b.txt", "PLUS");
  Put(root_ + "/%41.txt", "LITERAL");
  Put(root_ + "/sub dir/index.html", "SUBDIR");
  Program(root_ + "/my prog.lmc", ".system arg1\n" + Print("ran ") + "pushs arg1\nout\n");
  ASSERT_TRUE(Start());
  const struct {
    const char* path;
    std::string raw;  // the whole answer, or (when it starts with no "HTTP") the body
  } cases[] = {
      {"/my%20file.html", "SPACE"},
      {"/caf%C3%A9.txt", "UTF8"},
      {"/caf%c3%a9.txt", "UTF8"},
      {"/caf\xc3\xa9.txt", "UTF8"},
      {"/a+b.txt", "PLUS"},
      {"/a%2Bb.txt", "PLUS"},
      {"/%2541.txt", "LITERAL"},
      {"/sub%20dir/", "SUBDIR"},
      {"/sub%20dir", "SUBDIR"},
      {"/my%20prog.lmc?x", "ran /my prog.lmc"},
      {"/%41.txt", Page404("/A.txt")},
      {"/%3Cscript%3E.html", Page404("/&lt;script&gt;.html")},
      {"/%00", Page400("Invalid escape in the requested path")},
      {"/a.txt%00.html", Page400("Invalid escape in the requested path")},
      {"/x%G1", Page400("Invalid escape in the requested path")},
      {"/x%", Page400("Invalid escape in the requested path")},
      {"/x%4", Page400("Invalid escape in the requested path")},
      {"/x%4?q=%41", Page400("Invalid escape in the requested path")},
  };
  for (const auto& c : cases) {
    const Reply r = Send(Get(c.path));
    if (c.raw.starts_with("HTTP")) {
      EXPECT_EQ(r.raw, c.raw) << c.path;
    } else {
      EXPECT_EQ(r.status, "HTTP/1.1 200 OK") << c.path;
      EXPECT_EQ(r.body, c.raw) << c.path;
    }
  }
  if (HaveCurl()) {
    EXPECT_EQ(Curl(Url("/my%20file.html")).body, "SPACE");
    EXPECT_EQ(Curl(Url("/caf%C3%A9.txt")).body, "UTF8");
  }
}

// Program sources are never sent as text, whatever their letter case.
TEST_F(ServerStatic, ProgramSourcesAreNeverSent) {
  Put(root_ + "/prog.lasm", "pushc \"secret\"\nout\n");
  Put(root_ + "/UP.LASM", "pushc \"secret\"\nout\n");
  Put(root_ + "/page.lum", "secret");
  ASSERT_TRUE(Start("compilesources = 0\n"));
  for (const char* path : {"/prog.lasm", "/UP.LASM", "/up.lasm", "/prog.lasm.", "/prog%2elasm",
                           "/page.lum", "/page.LUM"}) {
    const Reply r = Send(Get(path));
    EXPECT_EQ(r.status, "HTTP/1.1 404 Not Found") << path;
    EXPECT_EQ(r.raw.find("secret"), std::string::npos) << path;
  }
}

// Answers a browser's cache and a resumed download rely on: validators,
// 304 for an unchanged file, one byte range, HEAD.
TEST_F(ServerStatic, ValidatorsRangesAndHead) {
  std::string data(20000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i * 13 % 26);
  Put(root_ + "/data.bin", data);
  Put(root_ + "/small.txt", data.substr(0, 100));
  Program(root_ + "/prog.lmc", Print("ran"));
  // Sun, 06 Nov 1994 08:49:37 GMT
  const struct timespec times[2] = {{784111777, 0}, {784111777, 0}};
  for (const char* name : {"/data.bin", "/small.txt"}) {
    ASSERT_EQ(utimensat(AT_FDCWD, (root_ + name).c_str(), times, 0), 0);
  }
  ASSERT_TRUE(Start());
  const std::string modified = "Sun, 06 Nov 1994 08:49:37 GMT";

  const Reply plain = Send(Get("/small.txt"));
  EXPECT_EQ(plain.Header("Last-Modified"), modified);
  EXPECT_EQ(plain.Header("Accept-Ranges"), "bytes");
  struct tm date = {};
  const std::string sent_date = plain.Header("Date");
  ASSERT_NE(strptime(sent_date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &date), nullptr) << sent_date;
  EXPECT_NEAR(static_cast<double>(timegm(&date) - time(nullptr)), 0.0, 5.0) << sent_date;

  // If-Modified-Since.
  const struct {
    const char* method;
    std::string since;
    bool not_modified;
  } conditional[] = {
      {"GET", modified, true},
      {"GET", "Sunday, 06-Nov-94 08:49:37 GMT", true},
      {"GET", "Sun Nov  6 08:49:37 1994", true},
      {"GET", "Mon, 07 Nov 1994 00:00:00 GMT", true},
      {"HEAD", modified, true},
      {"GET", "Sun, 06 Nov 1994 08:49:36 GMT", false},
      {"GET", "Fri, 01 Jan 2100 00:00:00 GMT", false},  // in the future: ignored
      {"GET", "yesterday", false},
      {"GET", "Sun, 06 Nov 1994 08:49:37", false},
      {"POST", modified, false},
  };
  for (const auto& c : conditional) {
    const Reply r = Send(std::string(c.method) +
                         " /small.txt HTTP/1.0\r\nContent-Length: 0\r\nIf-Modified-Since: " +
                         c.since + "\r\n\r\n");
    if (c.not_modified) {
      EXPECT_EQ(r.status, "HTTP/1.1 304 Not Modified") << c.method << " " << c.since;
      EXPECT_EQ(r.body, "") << c.since;
      EXPECT_EQ(r.Header("Last-Modified"), modified) << c.since;
    } else {
      EXPECT_EQ(r.status, "HTTP/1.1 200 OK") << c.method << " " << c.since;
      EXPECT_EQ(r.body, data.substr(0, 100)) << c.since;
    }
  }

  // Range, on a file larger than one send buffer.
  const struct {
    std::string headers;
    std::string status;
    std::string content_range;  // "<none>" when there is none
    std::string body;
    const char* method = "GET";
  } ranges[] = {
      {"Range: bytes=0-99\r\n", "206 Partial Content", "bytes 0-99/20000", data.substr(0, 100)},
      {"Range: bytes=19990-\r\n", "206 Partial Content", "bytes 19990-19999/20000",
       data.substr(19990)},
      {"Range: bytes=-5\r\n", "206 Partial Content", "bytes 19995-19999/20000", data.substr(19995)},
      {"Range: bytes=100-15099\r\n", "206 Partial Content", "bytes 100-15099/20000",
       data.substr(100, 15000)},
      {"Range: bytes=19999-99999\r\n", "206 Partial Content", "bytes 19999-19999/20000",
       data.substr(19999)},
      {"Range: bytes=20000-\r\n", "416 Range Not Satisfiable", "bytes */20000", ""},
      {"Range: bytes=-0\r\n", "416 Range Not Satisfiable", "bytes */20000", ""},
      {"Range: bytes=0-1,5-6\r\n", "200 OK", "<none>", data},
      {"Range: bytes=5-1\r\n", "200 OK", "<none>", data},
      {"Range: pages=1-2\r\n", "200 OK", "<none>", data},
      {"Range: bytes=0-9\r\nIf-Range: " + modified + "\r\n", "206 Partial Content",
       "bytes 0-9/20000", data.substr(0, 10)},
      {"Range: bytes=0-9\r\nIf-Range: Mon, 07 Nov 1994 08:49:37 GMT\r\n", "200 OK", "<none>",
       data},
      {"Range: bytes=0-9\r\nIf-Range: \"an-etag\"\r\n", "200 OK", "<none>", data},
      {"Range: bytes=0-9\r\nContent-Length: 0\r\n", "200 OK", "<none>", data, "POST"},
      {"Range: bytes=0-9\r\n", "200 OK", "<none>", "", "HEAD"},
  };
  for (const auto& c : ranges) {
    const Reply r = Send(std::string(c.method) + " /data.bin HTTP/1.0\r\n" + c.headers + "\r\n");
    EXPECT_EQ(r.status, "HTTP/1.1 " + c.status) << c.method << " " << c.headers;
    EXPECT_EQ(r.Header("Content-Range"), c.content_range) << c.headers;
    EXPECT_EQ(r.Header("Content-Length"),
              std::to_string(c.body.empty() && std::string(c.method) == "HEAD" ? data.size()
                                                                               : c.body.size()))
        << c.headers;
    EXPECT_TRUE(r.body == c.body) << c.headers << ": " << r.body.size() << " bytes";
  }

  // HEAD: the headers of the answer GET would have, without its body.
  const Reply head = Send("HEAD /small.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(head.status, "HTTP/1.1 200 OK");
  EXPECT_EQ(head.Header("Content-Length"), "100");
  EXPECT_EQ(head.Header("Content-Type"), "text/plain");
  EXPECT_EQ(head.body, "");
  const Reply missing = Send("HEAD /missing.html HTTP/1.0\r\n\r\n");
  const std::string page = Page404("/missing.html");
  EXPECT_EQ(missing.raw, page.substr(0, page.find("\r\n\r\n") + 4));
  const Reply bad = Send("HEAD /%zz HTTP/1.0\r\n\r\n");
  EXPECT_EQ(bad.status, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(bad.Header("Content-Type"), "text/html");
  EXPECT_EQ(bad.body, "");
  // A program runs; its length says what it wrote.
  const Reply program = Send("HEAD /prog.lmc HTTP/1.0\r\n\r\n");
  EXPECT_EQ(program.status, "HTTP/1.1 200 OK");
  EXPECT_EQ(program.Header("Content-Length"), "3");
  EXPECT_EQ(program.Header("Content-Type"), "text/html");
  EXPECT_EQ(program.body, "");
  EXPECT_TRUE(program.closed);
}

// A client that asks first hears "100 Continue" and only then sends its
// body; one that did not ask, or sent the body anyway, hears only the answer.
TEST_F(ServerProgram, ExpectContinueIsAnsweredOnceTheBodyIsWanted) {
  Program(root_ + "/echo.lmc", Hide("g.a"));
  ASSERT_TRUE(Start());
  const std::string head = "POST /echo.lmc HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                           "Content-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: 3\r\nExpect: 100-Continue\r\n\r\n";
  {
    const int fd = ConnectTo(port_);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    // Waits for the interim answer (at most a few seconds: without it the
    // server would wait out its own time-out for the body).
    std::string interim;
    char buffer[4096];
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (interim.find("\r\n\r\n") == std::string::npos && Clock::now() < deadline) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      interim.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_EQ(send(fd, "a=1", 3, MSG_NOSIGNAL), 3);
    std::string rest;
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      rest.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    const Reply reply = ParseReply(rest, true);
    EXPECT_EQ(reply.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(Fields(reply.body)["a"], "1");
  }
  // The body sent with the head; HTTP/1.0, where there is no such answer.
  for (const std::string& request :
       {head + "a=2", std::string("POST /echo.lmc HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: 3\r\nExpect: 100-continue\r\n\r\na=2")}) {
    const Reply reply = Send(request);
    EXPECT_EQ(reply.status.substr(9), "200 OK") << request;
    EXPECT_EQ(Fields(reply.body)["a"], "2") << request;
  }
}

TEST_F(ServerProgram, RequestsReachTheProgramAsVariables) {
  Program(root_ + "/echo.lmc",
          Hide("s.arg1, s.arg2, s.arg3, s.nargs, s.query_string, s.request_method, g.a, g.b, "
               "g.a b, s.http_Cookie, s.http_X_Test"));
  for (const char* name : {"/a.LMC", "/a.lmc."}) {
    Program(root_ + name, ".system nargs\n" + Print("ran") + "pushs nargs\nout\n");
  }
  ASSERT_TRUE(Start());
  using Expected = std::map<std::string, std::string>;
  const std::string form = "a=1&b=two+words&a=%33";
  const std::string form_post = Post("/echo.lmc", "application/x-www-form-urlencoded", form);
  const size_t head_end = form_post.find("\r\n\r\n") + 4;
  const Expected posted = {{"request_method", "POST"}, {"a[1]", "1"}, {"a[2]", "3"},
                           {"b", "two words"},         {"nargs", "1"}};
  struct Case {
    std::vector<std::string> pieces;
    Expected expected;
  } cases[] = {
      {{Get("/echo.lmc?a+b")},
       {{"arg1", "/echo.lmc"}, {"arg2", "a"}, {"arg3", "b"}, {"nargs", "3"},
        {"query_string", "a+b"}, {"a b", ""}, {"request_method", "GET"}}},
      {{Get("/echo.lmc")}, {{"nargs", "1"}, {"query_string", ""}, {"s.arg2", ""}}},
      {{Get("/echo.lmc?")}, {{"nargs", "2"}, {"arg2", ""}, {"s.arg3", ""}}},
      {{Get("/echo.lmc?a=1&a=2&b=x%41+y%zz")},
       {{"a[1]", "1"}, {"a[2]", "2"}, {"arg2", "a=1&amp;a=2&amp;b=xA"}, {"arg3", "y%zz"},
        {"nargs", "3"}}},
      {{Get("/echo.lmc", "Cookie: a=1\r\nNoColonHere\r\ncookie: b=2\r\nX-Test:   v \r\n")},
       {{"http_Cookie", "a=1,b=2"}, {"http_X_Test", "v "}}},
      {{form_post}, posted},
      // The body arriving after the head, and in pieces.
      {{form_post.substr(0, head_end), form_post.substr(head_end)}, posted},
      {{form_post.substr(0, head_end + 3), form_post.substr(head_end + 3, 5),
        form_post.substr(head_end + 8)},
       posted},
      {{Post("/echo.lmc", "Application/X-WWW-Form-Urlencoded; charset=utf-8", form)}, posted},
      // No length: no body is read and the program still runs.
      {{"POST /echo.lmc HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n"},
       {{"request_method", "POST"}, {"a", ""}}},
  };
  for (const Case& c : cases) {
    const Reply r = Talk(port_, c.pieces, 100);
    EXPECT_EQ(r.status, "HTTP/1.1 200 OK") << c.pieces[0];
    const auto fields = Fields(r.body);
    for (const auto& [name, value] : c.expected) {
      const auto it = fields.find(name);
      EXPECT_TRUE(it != fields.end() && it->second == value)
          << c.pieces[0] << "\n" << name << " expected '" << value << "' in\n" << r.body;
    }
  }
  for (const char* path : {"/a.LMC", "/a.lmc."}) {
    const Reply r = Send(Get(path));
    EXPECT_EQ(r.body, "ran1") << path;
    EXPECT_EQ(r.Header("Content-Type"), "text/html") << path;
  }
  if (HaveCurl()) {
    auto fields = Fields(Curl("--data 'a=1&b=two+words&a=%33' -b 'k=1' " + Url("/echo.lmc")).body);
    EXPECT_EQ(fields["a[2]"], "3");
    EXPECT_EQ(fields["http_Cookie"], "k=1");
  }
}

TEST_F(ServerProgram, SystemVariablesDescribeTheRequest) {
  Program(root_ + "/vars.lmc",
          Hide("s.server_protocol, s.server_software, s.server_port, s.server_name, "
               "s.document_root, s.http_User_Agent, s.apitype, s.documenturl, s.remote_addr, "
               "s.lumoversion, s.globaltimeout, s.dyn_time_remaining, s.lumo_config:default_file,"
               "s.lumo_config:timeout_global, s.tm_year, s.dyn_tm_year"));
  ASSERT_TRUE(Start("globaltimeout = 45\ndefaultfile = start.lmc\n"));
  auto fields = Fields(Send("GET /vars.lmc HTTP/1.1\r\nUser-Agent: probe/1.0\r\n\r\n").body);
  const std::string port = std::to_string(port_);
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  const std::string year = std::to_string(local.tm_year + 1900);
  const std::string host = server_->HostName().Text();
  const std::map<std::string, std::string> expected = {
      {"server_protocol", "HTTP/1.0"}, {"server_software", "Lumo Dex/Lumo Virtual Machine/5.20"},
      {"server_port", port},           {"server_name", host},
      {"document_root", root_},        {"http_User_Agent", "probe/1.0"},
      {"apitype", "Dex"},             {"documenturl", "http://" + host + ":" + port + "/vars.lmc?"},
      {"remote_addr", "127.0.0.1"},    {"lumoversion", "5.20"},
      {"globaltimeout", "45"},         {"lumo_config:default_file", "start.lmc"},
      {"tm_year", year},               {"lumo_config:timeout_global", "45"},
      {"dyn_tm_year", year}};
  for (const auto& [name, value] : expected) EXPECT_EQ(fields[name], value) << name;
  const int remaining = atoi(fields["dyn_time_remaining"].c_str());
  EXPECT_TRUE(remaining > 40 && remaining <= 45) << remaining;
}

TEST_F(ServerProgram, CallerIdCookieIsKeptOrMade) {
  Program(root_ + "/id.lmc", Hide("s.callerid"));
  ASSERT_TRUE(Start());
  auto expect_cookie = [](const Reply& r, const std::string& id, const std::string& label) {
    const std::string cookie = r.Header("Set-Cookie");
    const std::string prefix = "lmtcallerid=" + id + "; expires=";
    ASSERT_EQ(cookie.compare(0, prefix.size(), prefix), 0) << label << ": " << cookie;
    ASSERT_TRUE(cookie.ends_with("; path=/")) << label << ": " << cookie;
    struct tm expiry = {};
    const char* end =
        strptime(cookie.c_str() + prefix.size(), "%a, %d-%b-%Y %H:%M:%S GMT", &expiry);
    ASSERT_TRUE(end != nullptr && std::string(end) == "; path=/") << label << ": " << cookie;
    EXPECT_NEAR(static_cast<double>(timegm(&expiry) - time(nullptr)), 31536000.0, 60.0) << label;
    EXPECT_EQ(Fields(r.body)["callerid"], id) << label;
  };
  const std::string kept = "0123456789abcdef0123456789abcdef";
  expect_cookie(Send(Get("/id.lmc", "Cookie: x=1; lmtcallerid=" + kept + "; y=2\r\n")), kept,
                "kept");
  std::vector<std::string> made;
  using namespace std::string_literals;
  // Only an id of the form issued is kept: anything else a client sends
  // would reach the Set-Cookie header and the program.
  for (const std::string& cookie :
       {std::string(), "Cookie: lmtcallerid=\r\n"s, "Cookie: a=b; lmtcallerid=;c=d\r\n"s,
        "Cookie: LMTCALLERID=" + kept + "\r\n", "Cookie: lmtcallerid=" + kept.substr(1) + "\r\n",
        "Cookie: lmtcallerid=" + kept + "0\r\n", "Cookie: xlmtcallerid=" + kept + "\r\n",
        "Cookie: lmtcallerid=0123456789ABCDEF0123456789ABCDEF\r\n"s,
        "Cookie: lmtcallerid=\"><script>x</script>\r\n"s}) {
    const Reply r = Send(Get("/id.lmc", cookie));
    const std::string id = Fields(r.body)["callerid"];
    EXPECT_EQ(id.size(), 32u) << cookie;
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    expect_cookie(r, id, cookie);
    for (const std::string& other : made) EXPECT_NE(id, other);
    made.push_back(id);
  }
  ASSERT_TRUE(Start("usecookies = 0\n"));
  const Reply plain = Send(Get("/id.lmc", "Cookie: lmtcallerid=abc\r\n"));
  EXPECT_EQ(plain.Header("Set-Cookie"), "<none>");
  EXPECT_EQ(plain.Header("Content-Type"), "text/html");
}

TEST_F(ServerProgram, FailuresBeforeTheRunAreReportedInThePage) {
  const std::string not_program = "Lumo? no, just text";
  Put(root_ + "/bad.lmc", not_program);
  Put(root_ + "/b&(1).lmc", not_program);
  Program(root_ + "/ok.lmc", Print("ok"));
  ASSERT_TRUE(Start());
  const std::string reason = "': File is either corrupt or not a valid compiled Lumo Script file";
  for (const auto& [path, shown] : {std::pair{"/bad.lmc", "/bad.lmc"},
                                    std::pair{"/b&(1).lmc", "/b&amp;&#40;1&#41;.lmc"}}) {
    const Reply r = Send(Get(path));
    EXPECT_EQ(r.status, "HTTP/1.1 200 OK") << path;
    EXPECT_EQ(r.body, "Unable to execute '" + std::string(shown) + reason) << path;
  }
  ASSERT_TRUE(Start("serveradmin = admin@example.test\n", [this](HTTPServer& s) {
    s.OverrideText(kConfigDirData, base_ + "/missing");
  }));
  const std::string body = Send(Get("/ok.lmc")).body;
  EXPECT_EQ(body.rfind("Configuration Error: ", 0), 0u) << body;
  const std::string tail = "<br>Please contact the server administrator: admin@example.test";
  EXPECT_TRUE(body.size() > tail.size() && body.ends_with(tail)) << body;
}

// Static files stay open between requests: one rewritten in place (same
// size, within the same second), renamed over or removed is sent as it is
// now, parts of it included, and a removed file is not held open.
TEST_F(ServerStatic, AFileChangedOnDiskIsSentAsItIsNow) {
  Put(root_ + "/f.txt", "first");
  ASSERT_TRUE(Start());
  // Every event loop opens it.
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Send(Get("/f.txt")).body, "first");
  EXPECT_EQ(Send(Get("/f.txt", "Range: bytes=1-2\r\n")).body, "ir");
  Put(root_ + "/f.txt", "again");
  EXPECT_EQ(Send(Get("/f.txt")).body, "again");
  EXPECT_EQ(Send(Get("/f.txt", "Range: bytes=1-2\r\n")).body, "ga");
  Put(root_ + "/g.txt", "renamed over");
  fs::rename(root_ + "/g.txt", root_ + "/f.txt");
  EXPECT_EQ(Send(Get("/f.txt")).body, "renamed over");
  fs::remove(root_ + "/f.txt");
  EXPECT_EQ(Send(Get("/f.txt")).status, "HTTP/1.1 404 Not Found");
  // Loops that were not asked let go of it within a second or so.
  auto held = [] {
    int n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      n += fs::read_symlink(entry.path(), error).string().find("f.txt") != std::string::npos;
    }
    return n;
  };
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (held() > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(held(), 0);
}

// Programs are kept in memory between requests: one rewritten in place
// (same size, within the same second), renamed over, or removed is seen at
// its next request.
TEST_F(ServerProgram, AProgramChangedOnDiskRunsAsItIsNow) {
  Program(root_ + "/p.lmc", Print("one"));
  ASSERT_TRUE(Start());
  EXPECT_EQ(Send(Get("/p.lmc")).body, "one");
  Program(root_ + "/p.lmc", Print("two"));
  EXPECT_EQ(Send(Get("/p.lmc")).body, "two");
  Program(root_ + "/next.lmc", Print("three"));
  fs::rename(root_ + "/next.lmc", root_ + "/p.lmc");
  EXPECT_EQ(Send(Get("/p.lmc")).body, "three");
  fs::remove(root_ + "/p.lmc");
  EXPECT_EQ(Send(Get("/p.lmc")).status, "HTTP/1.1 404 Not Found");
  Put(root_ + "/p.lmc", "not a program");
  EXPECT_NE(Send(Get("/p.lmc")).body.find("Unable to execute '/p.lmc'"), std::string::npos);
}

TEST_F(ServerProgram, EndlessLoopEndsAtTheGlobalTimeout) {
  Program(root_ + "/spin.lmc", Print("before ") + "loop: jmp loop\n");
  Program(root_ + "/ok.lmc", Print("ok"));
  ASSERT_TRUE(Start("globaltimeout = 1\n"));
  const Reply r = Talk(port_, {Get("/spin.lmc")}, 0, 8000);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.body, "before Application timed out");
  EXPECT_EQ(Send(Get("/ok.lmc")).body, "ok");
  // Without a time-out of its own, the run ends when the server stops.
  ASSERT_TRUE(Start("globaltimeout = 0\n"));
  Reply stopped;
  std::thread client([&] { stopped = Talk(port_, {Get("/spin.lmc")}, 0, 8000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(server_->Stop());
  client.join();
  EXPECT_EQ(stopped.body, "before Application timed out");
}

// One connection served on the calling thread, as lumorun serves its
// request: the outcome tells a program's end from its failures, and the
// run monitor still ends a run at its time-out.
TEST_F(ServerProgram, ServeConnectionReportsHowTheRequestEnded) {
  Program(root_ + "/ok.lmc", Print("ok"));
  Program(root_ + "/fatal.lmc", Print("before ") + "pop\n");
  Program(root_ + "/spin.lmc", "loop: jmp loop\n");
  Put(root_ + "/corrupt.lmc", "not a program");
  Put(root_ + "/page.html", "<p>static</p>");
  Put(base_ + "/lumodex.conf", "globaltimeout = 1\n");
  struct Case {
    const char* request;
    RequestOutcome outcome;
    const char* body_start;
  } cases[] = {
      {"GET /ok.lmc HTTP/1.0\r\n\r\n", RequestOutcome::kProgramEnded, "ok"},
      {"GET /fatal.lmc HTTP/1.0\r\n\r\n", RequestOutcome::kProgramStopped, "before Fatal error"},
      {"GET /spin.lmc HTTP/1.0\r\n\r\n", RequestOutcome::kProgramStopped, "Application timed out"},
      {"GET /corrupt.lmc HTTP/1.0\r\n\r\n", RequestOutcome::kProgramNotRun, "Unable to execute"},
      {"GET /page.html HTTP/1.0\r\n\r\n", RequestOutcome::kAnswered, "<p>static</p>"},
      {"GET /none.lmc HTTP/1.0\r\n\r\n", RequestOutcome::kAnswered, "<!DOCTYPE"},
      {"GET /ok.lmc HTTP/1.0\r\nX-A : b\r\n\r\n", RequestOutcome::kNoRequest, "<!DOCTYPE"},
      {"", RequestOutcome::kNoRequest, ""},
  };
  for (const Case& c : cases) {
    HTTPServer server;
    std::vector<std::string> warnings;
    server.LoadConfiguration(base_ + "/lumodex.conf", &warnings);
    server.OverrideText(kConfigDirLumo, root_);
    server.OverrideText(kConfigDirData, data_);
    server.SetIOTimeout(2000);
    server.SetMonitorInterval(100);
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    const std::string request = c.request;
    ASSERT_EQ(send(ends[1], request.data(), request.size(), 0),
              static_cast<ssize_t>(request.size()));
    shutdown(ends[1], SHUT_WR);
    EXPECT_EQ(server.ServeConnection(ends[0]), c.outcome) << c.request;
    std::string raw;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(ends[1], buffer, sizeof buffer, 0)) > 0) raw.append(buffer, got);
    close(ends[1]);
    const Reply reply = ParseReply(raw, true);
    EXPECT_TRUE(reply.body.starts_with(c.body_start)) << c.request << reply.raw;
  }
}

TEST_F(ServerProgram, ConcurrentRunsKeepTheirOwnRequests) {
  Program(root_ + "/echo.lmc", Hide("s.arg2, g.n"));
  ASSERT_TRUE(Start());
  std::vector<std::string> bodies(24);
  std::vector<std::thread> clients;
  for (size_t i = 0; i < bodies.size(); ++i) {
    clients.emplace_back([&, i] {
      bodies[i] = Talk(port_, {Get("/echo.lmc?n=" + std::to_string(i))}, 0, 8000).body;
    });
  }
  for (std::thread& t : clients) t.join();
  for (size_t i = 0; i < bodies.size(); ++i) {
    auto fields = Fields(bodies[i]);
    EXPECT_EQ(fields["n"], std::to_string(i));
    EXPECT_EQ(fields["arg2"], "n=" + std::to_string(i));
  }
}

TEST_F(ServerProgram, SmallBodiesCarryALengthAndLargeOnesStream) {
  const std::string line = std::string(99, 'x') + "\n";
  Program(root_ + "/small.lmc", Repeat("hello", 1));
  Program(root_ + "/under.lmc", Print(std::string(99, 'y')) + Repeat(line, 9));
  Program(root_ + "/big.lmc", Repeat(line, 50));
  ASSERT_TRUE(Start("", [](HTTPServer& s) {
    s.Configuration().SetInteger(kConfigBufszOutputFlush, 1000);
  }));
  struct Case {
    const char* path;
    std::string body;
    const char* length;
  } cases[] = {{"/small.lmc", "hello", "5"},
               {"/under.lmc", std::string(99, 'y') + Times(line, 9), "999"},
               {"/big.lmc", Times(line, 50), "<none>"}};
  for (const Case& c : cases) {
    const Reply r = Send(Get(c.path));
    EXPECT_EQ(r.status, "HTTP/1.1 200 OK") << c.path;
    EXPECT_EQ(r.Header("Content-Length"), c.length) << c.path;
    EXPECT_EQ(r.Header("Content-Type"), "text/html") << c.path;
    EXPECT_EQ(r.Header("Connection"), "close") << c.path;
    EXPECT_TRUE(r.body == c.body) << c.path << " got " << r.body.size() << " bytes";
  }
}

// Status sets the status line and is not sent itself; Connection stays
// "close"; a header added again moves behind those added in between; a
// header added after the response started streaming is dropped.
TEST_F(ServerProgram, ProgramsSetStatusAndHeaders) {
  HeaderCall calls;
  Program(root_ + "/moved.lmc", SetHeaders({{"Status", "302 Found"}, {"Location", "/next"},
                                            {"Connection", "keep-alive"}}) +
                                    Print("moved"));
  Program(root_ + "/typed.lmc",
          SetHeaders({{"X-First", "1"}, {"Content-Type", "text/plain"}, {"X-Then", "2"},
                      {"Content-Type", "text/csv"}}) +
              Print("a,b"));
  const std::string line = std::string(99, 'x') + "\n";
  Program(root_ + "/late.lmc", Print(Times(line, 20)) + SetHeaders({{"X-Late", "1"}}));
  ASSERT_TRUE(Start("", [&calls](HTTPServer& s) {
    s.SetExternalCalls(&calls);
    s.Configuration().SetInteger(kConfigBufszOutputFlush, 1000);
  }));

  const Reply moved = Send(Get("/moved.lmc"));
  EXPECT_EQ(moved.status, "HTTP/1.1 302 Found");
  EXPECT_EQ(moved.Header("Location"), "/next");
  EXPECT_EQ(moved.Header("Status"), "<none>");
  EXPECT_EQ(moved.Header("Connection"), "close");
  EXPECT_EQ(moved.head.find("keep-alive"), std::string::npos) << moved.head;
  EXPECT_EQ(moved.body, "moved");

  // Every answer is dated; a program's own Date stands instead.
  EXPECT_TRUE(std::regex_match(moved.Header("Date"), std::regex(kDatePattern))) << moved.head;
  Program(root_ + "/dated.lmc",
          SetHeaders({{"date", "Sun, 06 Nov 1994 08:49:37 GMT"}}) + Print("old"));
  const Reply dated = Send(Get("/dated.lmc"));
  EXPECT_EQ(dated.Header("Date"), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(dated.head.find("Date:"), std::string::npos) << dated.head;

  const Reply typed = Send(Get("/typed.lmc"));
  EXPECT_EQ(typed.status, "HTTP/1.1 200 OK");
  EXPECT_EQ(typed.Header("Content-Type"), "text/csv");
  EXPECT_EQ(typed.head.find("text/plain"), std::string::npos) << typed.head;
  const size_t first = typed.head.find("X-First:"), then = typed.head.find("X-Then:"),
               type = typed.head.find("Content-Type:"), length = typed.head.find("Content-Length:");
  EXPECT_TRUE(first < then && then < type && type < length) << typed.head;
  EXPECT_EQ(typed.body, "a,b");

  const Reply late = Send(Get("/late.lmc"));
  EXPECT_EQ(late.status, "HTTP/1.1 200 OK");
  EXPECT_EQ(late.Header("X-Late"), "<none>");
  EXPECT_TRUE(late.body == Times(line, 20)) << late.body.size();
}

// Upload functions that log their arguments into globals; the page shows
// the logs and the form field.
std::string UploadProgram() {
  return ".global vlog, plog, paths\n.function Lumo_ValidateFileUpload(field, file, type)\n" +
         Cat({"pushg vlog", "pushl field", "pushc \",\"", "pushl file", "pushc \",\"",
              "pushl type", "pushc \";\""}) +
         "popg vlog\npushl field\npushc \"skip\"\neq\njmp_eq keep\npushi -1\nret\n"
         "keep: pushi 100\nret\n.end\n"
         ".function Lumo_ProcessFileUpload(field, file, status, path, type, size)\n" +
         Cat({"pushg plog", "pushl field", "pushc \",\"", "pushl file", "pushc \",\"",
              "pushl status", "pushc \",\"", "pushl type", "pushc \",\"", "pushl size",
              "pushc \";\""}) +
         "popg plog\n" + Cat({"pushg paths", "pushl path", "pushc \"\\n\""}) +
         "popg paths\nretn\n.end\n" +
         Cat({"pushg vlog", "pushc \"#\"", "pushg plog", "pushc \"#\"", "pushg paths",
              "pushc \"#\""}) +
         "out\n" + Hide("g.note");
}

// Whether an upload's temporary file is still somewhere below dir.
bool UploadsLeft(const std::string& dir) {
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().filename().string().find("LUMO_FUP") != std::string::npos) return true;
  }
  return false;
}

TEST_F(ServerPost, MultipartUploadsReachTheProgramFunctions) {
  Program(root_ + "/up.lmc", UploadProgram());
  ASSERT_TRUE(Start());
  const std::string big(150, 'B'), small(50, 's');
  auto part = [](const std::string& disposition, const std::string& type, const std::string& data) {
    return "--XyZ\r\nContent-Disposition: form-data; " + disposition + "\r\n" +
           (type.empty() ? "" : "Content-Type: " + type + "\r\n") + "\r\n" + data + "\r\n";
  };
  const std::string body =
      part("name=\"note\"", "", "hello") +
      part("name=\"up\"; filename=\"big.bin\"", "application/octet-stream", big) +
      part("name=\"small\"; filename=\"s.txt\"", "text/plain", small) +
      part("name=\"skip\"; filename=\"no.txt\"", "text/plain", "zzz") + "--XyZ--\r\n";
  const std::string request = Post("/up.lmc", "multipart/form-data; boundary=XyZ", body);
  const std::string vlog =
      "up,big.bin,application/octet-stream;small,s.txt,text/plain;skip,no.txt,text/plain;";
  const std::string plog =
      "up,big.bin,PARTIAL,application/octet-stream,150;small,s.txt,COMPLETE,text/plain,50;";
  // Each reported upload names its temporary file, which is gone by now.
  auto check = [&](const Reply& r, const std::string& validated, const std::string& label) {
    static const std::regex kPath("[^#\n]*LUMO_FUP[^\n]*\n");
    const std::string note = "<input type=\"hidden\" name=\"note\" value=\"hello\">";
    EXPECT_EQ(std::regex_replace(r.body, kPath, "T;"), validated + "#" + plog + "#T;T;#" + note)
        << label;
    EXPECT_FALSE(UploadsLeft(base_)) << label;
  };
  check(Send(request), vlog, "whole");
  // The body in small pieces, each split inside a separator or a header.
  const size_t head = request.find("\r\n\r\n") + 4;
  std::vector<std::string> pieces = {request.substr(0, head)};
  for (size_t at = head; at < request.size(); at += 37) pieces.push_back(request.substr(at, 37));
  check(Talk(port_, pieces, 5), vlog, "pieces");
  if (HaveCurl()) {
    Put(base_ + "/big.bin", big);
    Put(base_ + "/s.txt", small);
    const Reply r = Curl("-F note=hello -F 'up=@" + base_ +
                         "/big.bin;type=application/octet-stream' -F 'small=@" + base_ +
                         "/s.txt;type=text/plain' " + Url("/up.lmc"));
    check(r, "up,big.bin,application/octet-stream;small,s.txt,text/plain;", "curl");
  }
}

// Bodies of other types are kept whole within the configured limit, and
// a body that claims more than it brings ends the wait, not the server.
TEST_F(ServerPost, UnknownTypesAndLyingLengths) {
  Program(root_ + "/raw.lmc",
          Print("[") + "pushnc \"s.content_data\"\nout\n" + Hide("g.a") + Print("]"));
  const std::string nul_body("<a>\0\r\nb</a>", 11), z16(16, 'z');
  const std::string a1 = "<input type=\"hidden\" name=\"a\" value=\"1\">";
  const std::string none = "<input type=\"hidden\" name=\"a\" value=\"\">";
  const std::string form = "application/x-www-form-urlencoded";
  std::vector<std::string> trickle = {Post("/raw.lmc", form, "", "20")};
  for (char c : std::string("a=1&b=2&c=3&d=4&e=55")) trickle.emplace_back(1, c);
  auto xml = [](const std::string& body, const char* length = "") {
    return std::vector<std::string>{Post("/raw.lmc", "text/xml", body, length)};
  };
  const char *any = "maxunknowncontentlength = 0\n", *max16 = "maxunknowncontentlength = 16\n";
  const std::string stalled = "Timeout processing POST data";
  struct Case {
    const char* config;
    std::vector<std::string> pieces;
    std::string page;
    std::string status = "HTTP/1.1 200 OK";
  } cases[] = {
      {any, xml(nul_body), "[" + nul_body + none + "]"},
      {any, xml(Times("w", 300000)), "[" + Times("w", 300000) + none + "]"},
      {any, xml("abc", "4000000000"), "Out of memory"},
      // A body that stops short of its length never runs the program.
      {any, xml("abc", "40000"), stalled},
      {any, {Post("/raw.lmc", form, "a=1", "99999999999")}, "POST form data exceeds configured maximum"},
      {any,
       {Post("/raw.lmc", "multipart/form-data; boundary=Q",
             "--Q\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--Q\r\n",
             "1099511627776")},
       stalled},
      // A length without a type: no body is read.
      {any, {"POST /raw.lmc HTTP/1.0\r\nContent-Length: 3\r\n\r\na=1"}, "[" + none + "]"},
      {"posttimeout = 1\n", trickle, "Timeout processing POST data"},
      {max16, xml(z16), "[" + z16 + none + "]"},
      {max16, xml(z16 + "!"),
       "POST content length exceeds configured maximum for unknown content types"},
      {"maxunknowncontentlength = -1\n", xml("x"), "Unknown POST content type"},
  };
  std::string started;
  for (const Case& c : cases) {
    if (started != c.config) {
      ASSERT_TRUE(Start(c.config, [](HTTPServer& s) { s.SetIOTimeout(300); }));
    }
    started = c.config;
    const Reply r = Talk(port_, c.pieces, 250, 8000);
    EXPECT_EQ(r.status, c.status) << c.pieces[0];
    EXPECT_TRUE(r.body == c.page) << c.pieces[0].substr(0, 99) << "\ngot " << r.body.substr(0, 99);
  }
  if (HaveCurl()) {
    ASSERT_TRUE(Start(any));
    Put(base_ + "/doc.json", "{\"k\": [1, 2]}");
    const Reply r = Curl("-H 'Content-Type: application/json' --data-binary @" + base_ +
                         "/doc.json " + Url("/raw.lmc"));
    EXPECT_EQ(r.body, "[{\"k\": [1, 2]}" + none + "]");
  }
}

TEST_F(ServerTraversal, HostilePathsNeverLeaveTheRoot) {
  // Everything outside the root says the secret, as a file or as a program.
  const std::string leak = Print(kSecret);
  Put(base_ + "/secret.txt", kSecret);
  Put(base_ + "/root_evil/secret.txt", kSecret);
  Program(base_ + "/evil.lmc", leak);
  Program(base_ + "/index.lmc", leak);  // the parent's default file
  Program(base_ + "/root_evil/index.lmc", leak);
  Put(root_ + "/index.html", "inside");
  fs::create_directories(root_ + "/sub");
  ASSERT_TRUE(Start());
  const std::string top = fs::path(base_).filename();
  const std::string nul("\0", 1);
  std::vector<std::string> paths = {
      "/../secret.txt", "/..\\secret.txt", "\\..\\secret.txt", "../secret.txt", "..",
      "/..", "/../", "/..\\", "/../evil.lmc", "/..\\evil.lmc", "/a/../../secret.txt",
      "/a/b/../../../secret.txt", "/./../secret.txt", "/..//secret.txt", "//../secret.txt",
      "/sub/..\\..\\secret.txt", "/sub\\..\\..\\evil.lmc", "/sub/./.././../secret.txt",
      "/../root/../secret.txt", "/../root_evil/secret.txt", "/..\\root_evil\\secret.txt",
      "/../root_evil/", "/../root_evil", "/.../secret.txt", "/%2e%2e/secret.txt",
      "/%2e%2e%2fsecret.txt", "/..%2fsecret.txt", "/..%5csecret.txt", "/%252e%252e/secret.txt",
      "/%c0%ae%c0%ae/secret.txt", "/\xc0\xae\xc0\xae/secret.txt", base_ + "/secret.txt",
      "/" + base_ + "/secret.txt", "//" + base_ + "/evil.lmc", "file://" + base_ + "/secret.txt",
      "http://127.0.0.1/../secret.txt", "/../../../../../../../../.." + base_ + "/secret.txt",
      "/sub/../../" + top + "/secret.txt", "/con", "/CON", "/com1.txt", "/sub/LPT9.x", "/aux",
      "/nul.html", "/secret.txt:stream", "/../secret.txt%00.html", "/../secret.txt" + nul + ".html",
      "/index.html" + nul + "/../../secret.txt", nul + "/../evil.lmc",
      "/" + std::string(300, 'a'), "/" + std::string(255, 'b') + ".html",
      [] { std::string p = "/"; while (p.size() < 240) p += "./"; return p + "../secret.txt"; }(),
      [] { std::string p = "/"; while (p.size() < 300) p += "../"; return p + "secret.txt"; }(),
  };
  // Each case once more with its separators, dots, escapes and other
  // special bytes percent-encoded, and once with every byte encoded: the
  // decoded path meets the same sandbox.
  auto encode = [](const std::string& path, bool every_byte) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
      const auto byte = static_cast<unsigned char>(c);
      if (every_byte || byte >= 0x80 || byte < 0x20 || std::string_view("./\\%:").find(c) !=
                                                           std::string_view::npos) {
        out += '%';
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
      } else {
        out += c;
      }
    }
    return out;
  };
  const size_t plain_cases = paths.size();
  for (size_t i = 0; i < plain_cases; ++i) {
    paths.push_back(encode(paths[i], false));
    paths.push_back(encode(paths[i], true));
  }
  for (const char* more :
       {"/%2e%2e%5csecret.txt", "/%2E%2E%2F%2E%2E%2Fevil.lmc", "/%252e%252e%252fsecret.txt",
        "/%25252e%25252e/secret.txt", "/%c0%ae%c0%ae%c0%afsecret.txt", "/%c0%2e%c0%2e/secret.txt",
        "/%e0%80%ae%e0%80%ae/secret.txt", "/..%00/secret.txt", "/%2e%2e%00/secret.txt",
        "/sub/%2e%2e/%2e%2e/secret.txt", "/%2e%2e/root_evil/index.lmc", "/.%2e/evil.lmc",
        "/%2e./evil.lmc", "/%2e%2e%2f%2e%2e%2f%2e%2e%2f%2e%2e%2f%2e%2e%2f%2e%2e%2fetc%2fpasswd"}) {
    paths.push_back(more);
  }
  for (const std::string& path : paths) {
    for (const char* method : {"GET ", "POST "}) {
      const Reply r = Send(method + path + " HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
      EXPECT_TRUE(r.status == "HTTP/1.1 404 Not Found" || r.status == "HTTP/1.1 400 Bad Request")
          << method << path << " -> " << r.status;
      EXPECT_EQ(r.raw.find(kSecret), std::string::npos) << method << path;
      EXPECT_TRUE(r.closed) << path;
    }
  }
  EXPECT_EQ(Send(Get("/")).raw.find(kSecret), std::string::npos);
  EXPECT_EQ(Send(Get("/index.html")).body, "inside");
}

// Scripts build LmDO names from what the request says: whatever it says,
// only programs inside the root run.
TEST_F(ServerTraversal, CalledProgramNamesNeverLeaveTheRoot) {
  Program(base_ + "/evil.lmc", Print(kSecret));
  Program(base_ + "/root_evil/evil.lmc", Print(kSecret));
  Program(root_ + "/sub/call.lmc", ".global f\npushg f\nop_do_file\n" + Print("after"));
  Program(root_ + "/sub/ok.lmc", Print("sub-ok"));
  Program(root_ + "/top.lmc", Print("top-ok"));
  ASSERT_TRUE(Start());
  const std::string outside =
      "LmDO: The specified path references a path outside the configured script directory";
  const struct {
    std::string query;
    std::string expected;  // in the body
  } cases[] = {
      {"ok.lmc", "sub-ok"},
      {"%2Ftop.lmc", "top-ok"},
      {"%5Ctop.lmc", "top-ok"},
      {"..%2Ftop.lmc", "top-ok"},
      {"..%2F..%2Fevil.lmc", outside},
      {"..%5C..%5Cevil.lmc", outside},
      {"..%2F..%5Cevil.lmc", outside},
      {"%2F..%2Fevil.lmc", outside},
      {"%2F..%2Froot_evil%2Fevil.lmc", outside},
      {"..%2F..%2F%00evil.lmc", outside},
      {".%00.%2F.%00.%2Fevil.lmc", outside},
      {"ok.lmc%2F..%2F..%2F..%2Fevil.lmc", outside},
      {[this] {
         std::string q;
         for (int i = 0; i < 50; ++i) q += "..%2F";
         return q + base_.substr(1) + "%2Fevil.lmc";
       }(),
       outside},
      // Absolute: taken from the root, where nothing has that name.
      {base_ + "/evil.lmc", "Runtime error in /sub/call.lmc"},
      {std::string(3000, 'a'), "Runtime error in /sub/call.lmc"},
  };
  for (const auto& c : cases) {
    const Reply r = Send(Get("/sub/call.lmc?f=" + c.query));
    EXPECT_EQ(r.status, "HTTP/1.1 200 OK") << c.query;
    EXPECT_EQ(r.raw.find(kSecret), std::string::npos) << c.query;
    EXPECT_NE(r.body.find(c.expected), std::string::npos) << c.query << "\n" << r.body;
    // The root's place on disk is never shown.
    EXPECT_EQ(r.body.find(root_), std::string::npos) << c.query << "\n" << r.body;
  }
}

// IPv6 addresses, with or without brackets; "::" takes IPv4 clients too,
// and a program sees such a client's address as IPv4.
TEST_F(ServerListen, IPv6AndDualStackAddresses) {
  Put(root_ + "/page.html", "page");
  Program(root_ + "/addr.lmc", Hide("s.remote_addr"));
  ASSERT_TRUE(Start("", [](HTTPServer& s) { s.SetBindAddress("::"); }));
  EXPECT_EQ(Send(Get("/page.html")).body, "page") << "an IPv4 client of ::";
  EXPECT_EQ(Fields(Send(Get("/addr.lmc")).body)["remote_addr"], "127.0.0.1");
  server_.reset();

  for (const char* address : {"::1", "[::1]"}) {
    HTTPServer server;
    server.OverridePort(0);
    server.OverrideText(kConfigDirLumo, root_);
    server.OverrideText(kConfigDirData, data_);
    server.SetBindAddress(address);
    String error;
    const HTTPServer::ListenResult result = server.Listen(&error);
    if (result == HTTPServer::ListenResult::kFailed &&
        (error.View().find("Cannot assign requested address") != std::string_view::npos ||
         error.View().find("Address family not supported") != std::string_view::npos)) {
      GTEST_SKIP() << "no IPv6 loopback here: " << error.View();
    }
    ASSERT_EQ(result, HTTPServer::ListenResult::kListening) << address << ": " << error.View();
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(static_cast<uint16_t>(server.BoundPort()));
    to.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << address;
    const std::string request = Get("/addr.lmc");
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string raw;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) raw.append(buffer, got);
    close(fd);
    EXPECT_EQ(Fields(ParseReply(raw, true).body)["remote_addr"], "::1") << address;
    // Only the IPv6 loopback: an IPv4 client finds nobody.
    const int v4 = ConnectTo(server.BoundPort());
    EXPECT_LT(v4, 0) << address;
    if (v4 >= 0) close(v4);
    EXPECT_TRUE(server.Stop());
  }
}

TEST_F(ServerListen, AnAddressThatIsNoneIsNamedInTheMessage) {
  for (const char* address : {"localhost", "::1::1", "[::1", "300.1.1.1", "[127.0.0.1]x",
                               "fe80::1%lo-and-more-text-than-any-address-could-ever-hold"}) {
    HTTPServer server;
    server.OverridePort(0);
    server.SetBindAddress(address);
    String error;
    EXPECT_EQ(server.Listen(&error), HTTPServer::ListenResult::kFailed) << address;
    EXPECT_EQ(std::string(error.View()),
              "'" + std::string(address) + "' is not an IPv4 or IPv6 address");
  }
}

TEST_F(ServerListen, AClientThatGoesAwayNeverEndsTheProcess) {
  // A file sent to a client that has gone raises SIGPIPE, which would end
  // a program embedding the server; one that chose a handler keeps it.
  auto pipe_handler = [] {
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    return now.sa_handler;
  };
  auto listen = [] {
    HTTPServer server;
    server.OverridePort(0);
    server.SetBindAddress("127.0.0.1");
    String error;
    EXPECT_EQ(server.Listen(&error), HTTPServer::ListenResult::kListening) << error.View();
  };
  const auto before = pipe_handler();
  signal(SIGPIPE, SIG_DFL);
  listen();
  EXPECT_EQ(pipe_handler(), SIG_IGN);
  void (*own)(int) = [](int) {};
  signal(SIGPIPE, own);
  listen();
  EXPECT_EQ(pipe_handler(), own);
  signal(SIGPIPE, before);
}

TEST_F(ServerHostile, SilentAndStalledClientsReleaseTheirWorkers) {
  Put(root_ + "/page.html", "page");
  // More than the kernel buffers between a server and a client that reads
  // nothing (about 4 MiB here).
  Put(root_ + "/big.txt", std::string(8 << 20, 'b'));
  Program(root_ + "/big.lmc", Repeat(Times("p", 1000), 6000));
  ASSERT_TRUE(Start("", [](HTTPServer& s) {
    s.SetIOTimeout(300);
    s.Configuration().SetInteger(kConfigBufszOutputFlush, 3 << 20);
  }));
  // Every worker holds a client that sends nothing, or asks for a large
  // response and never reads it; the next request is still served.
  for (const char* path : {"", "/big.txt", "/big.lmc"}) {
    std::vector<int> held;
    for (int i = 0; i < HTTPServer::kDefaultWorkers; ++i) {
      held.push_back(ConnectTo(port_, 4096));
      const std::string request = *path ? Get(path) : "";
      EXPECT_EQ(send(held.back(), request.data(), request.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(request.size()));
    }
    EXPECT_EQ(Talk(port_, {Get("/page.html")}, 0, 8000).body, "page") << path;
    for (int fd : held) {
      if (!*path) {
        EXPECT_TRUE(ClosedWithoutAnswer(fd, 4000));
      }
      close(fd);
    }
  }
  // A request line that stops halfway is answered as it stands.
  EXPECT_EQ(Talk(port_, {"GET /page.html"}, 0, 4000).body, "page");
}

TEST_F(ServerHostile, EndlessHeadsGetA400AndTheConnectionCloses) {
  Put(root_ + "/page.html", "page");
  ASSERT_TRUE(Start());
  std::string many_lines = "GET /page.html HTTP/1.0\r\n";
  for (int i = 0; many_lines.size() < (1u << 20) + 4096; ++i) {
    many_lines += "X-Fill-" + std::to_string(i) + ": " + Times("f", 990) + "\r\n";
  }
  const std::string cases[] = {
      "GET /page.html HTTP/1.0\r\nX-Endless: " + std::string(3u << 20, 'e'),
      "GET /" + std::string(3u << 20, 'p'),
      many_lines + "\r\n",
  };
  for (const std::string& request : cases) {
    const Reply r = Talk(port_, {request}, 0, 15000);
    EXPECT_TRUE(r.closed) << request.substr(0, 40);
    EXPECT_EQ(r.raw, Page400("Request line or header too long")) << request.substr(0, 40);
  }
  // Just under the bounds is still a request: the longest line, and a
  // hundred thousand distinct names (a scan per header made this take
  // minutes).
  const std::string longest = "X-Long: " + std::string(64 * 1024 - 9, 'l') + "\r\n";
  EXPECT_EQ(Send(Get("/page.html", longest)).body, "page");
  std::string names;
  for (int i = 0; names.size() < 1000000; ++i) names += "h" + std::to_string(i) + ":\r\n";
  EXPECT_EQ(Talk(port_, {Get("/page.html", names)}, 0, 15000).body, "page");
  EXPECT_EQ(Send(Get("/page.html")).body, "page");
}

TEST_F(ServerHostile, DroppedConnectionsLeaveNothingBehind) {
  Put(root_ + "/page.html", "page");
  Program(root_ + "/up.lmc", UploadProgram());
  ASSERT_TRUE(Start("", [](HTTPServer& s) { s.SetIOTimeout(300); }));
  // A run of each kind first, so that what the first run opens for good
  // (random sources, resolver files) is in the count.
  EXPECT_EQ(Send(Get("/page.html")).body, "page");
  EXPECT_EQ(Send(Post("/up.lmc", "multipart/form-data; boundary=Q", "--Q--\r\n")).status,
            "HTTP/1.1 200 OK");
  const int before = CountDescriptors();
  const std::string upload_head =
      "POST /up.lmc HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=Q\r\n"
      "Content-Length: 100000\r\n\r\n--Q\r\nContent-Disposition: form-data; name=\"f\"; "
      "filename=\"f.bin\"\r\n\r\n" + std::string(3000, 'u');
  const std::string drops[] = {
      "", "GET /page", "GET /page.html HTTP/1.0\r\nHost: x", upload_head,
      "POST /up.lmc HTTP/1.0\r\nContent-Type: text/plain\r\nContent-Length: 5000\r\n\r\nabc",
  };
  for (int i = 0; i < 200; ++i) {
    const int fd = ConnectTo(port_);
    ASSERT_GE(fd, 0);
    const std::string& bytes = drops[i % 5];
    if (!bytes.empty()) {
      EXPECT_GT(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), 0);
    }
    if (i % 2 == 0) {
      const linger reset = {1, 0};  // close with a reset instead of a FIN
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(fd);
  }
  // Each event loop may keep the page open for its next request.
  const int kept = before + server_->EventLoopCount() - 1;
  const auto deadline = Clock::now() + std::chrono::seconds(4);
  while ((CountDescriptors() > kept || UploadsLeft(base_)) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LE(CountDescriptors(), kept);
  EXPECT_FALSE(UploadsLeft(base_));
  EXPECT_EQ(Send(Get("/page.html")).body, "page");
}

TEST_F(ServerProgram, LocalizedTextFollowsTheRunsLanguage) {
  Program(root_ + "/hello.lmc", R"(
.system lumo_language
.language "en-US"
.token greet, "Hello, ", who
.language "de-DE"
.token greet, "Hallo, ", who
        pushc "web"
        poplvnc "who"
        localize "greet"
        pushc "de-DE"
        pops lumo_language
        pushc " / "
        out
        pushc "Netz"
        poplvnc "who"
        localize "greet"
)");
  ASSERT_TRUE(Start());
  EXPECT_EQ(Send(Get("/hello.lmc")).body, "Hello, web / Hallo, Netz");
  // Each request starts in the configured language again.
  EXPECT_EQ(Send(Get("/hello.lmc")).body, "Hello, web / Hallo, Netz");
}

// The debug log shows what a function received: an array or a structure
// by its elements, control bytes of a text escaped once.
TEST_F(ServerProgram, DebugLogDescribesAggregateArguments) {
  Program(root_ + "/log.lmc",
          ".global a, s\n"
          "pushc \"x\"\npushg a\npushi 1\nelem\nstore\n"
          "pushc \"y\"\npushg a\npushi 2\nelem\nstore\n"
          "pushc \"v\"\npushg s\npushc \"k\"\nmemb\nstore\n"
          "pushg a\ncall 0\npushg s\ncall 0\npushc \"t\\tu\"\ncall 0\nretn\n"
          ".function f(p)\nretn\n.end\n");
  ASSERT_TRUE(Start("", [&](HTTPServer& s) {
    s.Configuration().SetInteger(kConfigLogLevel, static_cast<int32_t>(kEventFunctionParameter));
    s.Configuration().SetText(kConfigLogFile, "debug.log");  // in the data directory
  }));
  EXPECT_EQ(Send(Get("/log.lmc")).status, "HTTP/1.1 200 OK");
  std::ifstream in(data_ + "/debug.log");
  std::vector<std::string> described;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    described.push_back(line.substr(line.rfind('\t') + 1));
  }
  EXPECT_EQ(described, (std::vector<std::string>{"[2] = [ x,y ]", "{ k: v }", "t\\x09u"}));
}

}  // namespace
}  // namespace lumo
