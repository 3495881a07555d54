// The text rules behind static files: path decoding, HTTP dates, ranges,
// conditional requests and the default-file list.
#include "web/static_files.h"

#include <gtest/gtest.h>

#include <string>

namespace lumo {
namespace {

TEST(DecodeRequestPath, DecodesOnceAndRefusesBrokenEscapes) {
  using namespace std::string_literals;
  const struct {
    const char* raw;
    std::string decoded;  // "!" : refused
  } cases[] = {
      {"/plain/name.html", "/plain/name.html"},
      {"/my%20file.txt", "/my file.txt"},
      {"/a+b", "/a+b"},
      {"/caf%C3%A9.txt", "/caf\xc3\xa9.txt"},
      {"/%2e%2E/x", "/../x"},
      {"/%2f%5C", "//\\"},
      {"/%252e%252e/", "/%2e%2e/"},
      {"/%c0%ae", "/\xc0\xae"},
      {"/%ff%01", "/\xff\x01"},
      {"%41", "A"},
      {"", ""},
      {"/%00", "!"},
      {"/a.txt%00.html", "!"},
      {"/%G1", "!"},
      {"/%1G", "!"},
      {"/%", "!"},
      {"/%4", "!"},
      {"/ok%", "!"},
      {"/%%41", "!"},
      {"/% 1", "!"},
  };
  String raw_nul;
  EXPECT_FALSE(DecodeRequestPath(std::string_view("/a\0b.html", 8), &raw_nul));
  for (const auto& c : cases) {
    String decoded;
    const bool ok = DecodeRequestPath(c.raw, &decoded);
    if (c.decoded == "!") {
      EXPECT_FALSE(ok) << c.raw;
    } else {
      EXPECT_TRUE(ok) << c.raw;
      EXPECT_EQ(std::string(decoded.View()), c.decoded) << c.raw;
    }
  }
}

TEST(HTTPDate, ThreeFormsReadOneWritten) {
  // 784111777: Sun, 06 Nov 1994 08:49:37 GMT.
  EXPECT_EQ(std::string(FormatHTTPDate(784111777).View()), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(std::string(FormatHTTPDate(0).View()), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(std::string(FormatHTTPDate(951782400).View()), "Tue, 29 Feb 2000 00:00:00 GMT");
  const struct {
    const char* text;
    int64_t seconds;  // -1: refused
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
      {"Sun Nov  6 08:49:37 1994", 784111777},
      {"  Sun, 06 Nov 1994 08:49:37 GMT ", 784111777},
      {"sun, 06 nov 1994 08:49:37 GMT", 784111777},
      {"Tue, 29 Feb 2000 00:00:00 GMT", 951782400},
      {"Thursday, 01-Jan-70 00:00:00 GMT", 0},
      {"Friday, 01-Jan-38 00:00:00 GMT", 2145916800},
      {"Sat Dec 31 23:59:59 2039", 2208988799},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
      // Malformed or impossible: ignored by the caller.
      {"", -1},
      {"yesterday", -1},
      {"Sun, 06 Nov 1994 08:49:37", -1},
      {"Sun, 06 Nov 1994 08:49:37 UTC", -1},
      {"Sun, 06 Nov 1994 08:49:37 GMT trailing", -1},
      {"Sun, 6 Nov 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 94 08:49:37 GMT", -1},
      {"Sun, 06 Foo 1994 08:49:37 GMT", -1},
      {"Sun, 31 Nov 1994 08:49:37 GMT", -1},
      {"Mon, 29 Feb 1900 00:00:00 GMT", -1},
      {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
      {"Sun, 06 Nov 1994 08:60:00 GMT", -1},
      {"Sun, 00 Nov 1994 08:49:37 GMT", -1},
      {"Xyz, 06 Nov 1994 08:49:37 GMT", -1},
      {"Sun Nov 6 08:49:37 1994", -1},
      {"1994-11-06T08:49:37Z", -1},
  };
  for (const auto& c : cases) {
    int64_t seconds = -2;
    const bool ok = ParseHTTPDate(c.text, &seconds);
    EXPECT_EQ(ok, c.seconds >= 0) << c.text;
    if (ok && c.seconds >= 0) {
      EXPECT_EQ(seconds, c.seconds) << c.text;
    }
  }
  // What is written reads back.
  for (int64_t t : {int64_t{0}, int64_t{784111777}, int64_t{1700000000}, int64_t{4102444799}}) {
    int64_t back = -1;
    EXPECT_TRUE(ParseHTTPDate(FormatHTTPDate(t).View(), &back)) << t;
    EXPECT_EQ(back, t);
  }
}

TEST(JudgeRange, OneRangeServedTheRestIgnoredOrRefused) {
  const int64_t kWhole = -1, kRefused = -2;
  const struct {
    const char* header;
    int64_t size;
    int64_t first;  // kWhole, kRefused, or the first byte
    int64_t last;
  } cases[] = {
      {"bytes=0-99", 1000, 0, 99},
      {"bytes=100-", 1000, 100, 999},
      {"bytes=-100", 1000, 900, 999},
      {"bytes=-5000", 1000, 0, 999},
      {"bytes=990-5000", 1000, 990, 999},
      {"bytes=999-999", 1000, 999, 999},
      {"bytes=0-0", 1, 0, 0},
      {"Bytes = 2 - 3 ", 10, 2, 3},
      {"bytes=5-99999999999999999999999", 10, 5, 9},
      // Outside the file.
      {"bytes=1000-", 1000, kRefused, 0},
      {"bytes=1000-2000", 1000, kRefused, 0},
      {"bytes=-0", 1000, kRefused, 0},
      {"bytes=0-0", 0, kRefused, 0},
      {"bytes=-1", 0, kRefused, 0},
      {"bytes=99999999999999999999999-", 10, kRefused, 0},
      // Several ranges, other units, malformed: the whole file.
      {"bytes=0-1,5-6", 1000, kWhole, 0},
      {"bytes=0-1, 5-6", 1000, kWhole, 0},
      {"items=0-1", 1000, kWhole, 0},
      {"bytes 0-1", 1000, kWhole, 0},
      {"bytes=", 1000, kWhole, 0},
      {"bytes=-", 1000, kWhole, 0},
      {"bytes=5", 1000, kWhole, 0},
      {"bytes=5-3", 1000, kWhole, 0},
      {"bytes=a-b", 1000, kWhole, 0},
      {"bytes=-1-2", 1000, kWhole, 0},
      {"bytes=+1-2", 1000, kWhole, 0},
      {"bytes=0x10-", 1000, kWhole, 0},
      {"bytes=1-2x", 1000, kWhole, 0},
      {"", 1000, kWhole, 0},
  };
  for (const auto& c : cases) {
    int64_t first = -7, last = -7;
    const RangeAnswer answer = JudgeRange(c.header, c.size, &first, &last);
    if (c.first == kWhole) {
      EXPECT_EQ(answer, RangeAnswer::kWhole) << c.header;
    } else if (c.first == kRefused) {
      EXPECT_EQ(answer, RangeAnswer::kUnsatisfiable) << c.header << " of " << c.size;
    } else {
      EXPECT_EQ(answer, RangeAnswer::kPart) << c.header;
      EXPECT_EQ(first, c.first) << c.header;
      EXPECT_EQ(last, c.last) << c.header;
    }
  }
}

TEST(NotModifiedSince, OnlyAValidPastDateNoOlderThanTheFile) {
  const int64_t now = 784111777 + 3600;
  const char* date = "Sun, 06 Nov 1994 08:49:37 GMT";
  EXPECT_TRUE(NotModifiedSince(date, 784111777, now));
  EXPECT_TRUE(NotModifiedSince(date, 784111000, now));
  EXPECT_FALSE(NotModifiedSince(date, 784111778, now)) << "changed since";
  EXPECT_FALSE(NotModifiedSince(date, 784111777, 784111776)) << "a date in the future";
  EXPECT_FALSE(NotModifiedSince("garbage", 0, now));
  EXPECT_FALSE(NotModifiedSince("", 0, now));
}

TEST(DefaultFileNames, CommaSeparatedInOrder) {
  using Names = std::vector<std::string_view>;
  EXPECT_EQ(DefaultFileNames("index.lmc,index.html"), (Names{"index.lmc", "index.html"}));
  EXPECT_EQ(DefaultFileNames("home.html"), (Names{"home.html"}));
  EXPECT_EQ(DefaultFileNames(" a.html , ,b.lmc,, "), (Names{"a.html", "b.lmc"}));
  EXPECT_EQ(DefaultFileNames(""), Names{});
  EXPECT_EQ(DefaultFileNames(",,"), Names{});
}

TEST(IsProgramSource, SourcesInAnyCase) {
  for (const char* path : {"/a.lasm", "/a.LASM", "/a.lum", "/d/a.Lum", "/a.lasm.", "a.lum/"}) {
    EXPECT_TRUE(IsProgramSource(path)) << path;
  }
  for (const char* path : {"/a.lmc", "/a.lasm.txt", "/lasm", "/.lum", "/a.lumx", "/a.html"}) {
    EXPECT_FALSE(IsProgramSource(path)) << path;
  }
}

}  // namespace
}  // namespace lumo
