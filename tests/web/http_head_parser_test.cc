#include "web/http_head_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/web/form_feed.h"

namespace lumo {
namespace {

using Status = HTTPHeadParser::Status;

const char* Name(Status s) {
  switch (s) {
    case Status::kNeedMore: return "more";
    case Status::kComplete: return "ok";
    case Status::kNothing: return "nothing";
    case Status::kTooLong: return "too long";
    case Status::kBadHeader: return "bad header";
    case Status::kBadLength: return "bad length";
    case Status::kLengthRequired: return "length required";
  }
  return "?";
}

// The outcome of a head fed in pieces (then the end of input when
// `ends`): status, then for a complete head the method, path, query,
// protocol, headers and length, and the bytes left for the body. Every
// split must give the same.
std::string Parsed(std::string_view input, bool ends = false) {
  return SameForEverySplit(input, [&](const Pieces& pieces) {
    HTTPHeadParser head;
    std::string body;
    Status status = Status::kNeedMore;
    for (std::string_view piece : pieces) {
      size_t consumed = 0;
      if (status == Status::kNeedMore) {
        status = head.Parse(piece.data(), piece.size(), &consumed);
      }
      body.append(piece.substr(consumed));
    }
    if (ends && status == Status::kNeedMore) status = head.Finish();
    std::string out = Name(status);
    if (status != Status::kComplete) return out;
    // Appended piece by piece: g++ 12 at -O3 misreads "literal" + string.
    out.append(" ").append(head.Method().View()).append(" ").append(head.Path().View());
    if (head.HasQuery()) out.append("?").append(head.Query().View());
    out.append(" ").append(head.Protocol().View()).append(" |");
    for (const HTTPHeader& h : head.Headers()) {
      out.append(" ").append(h.name.View()).append("=").append(h.value.View());
    }
    out.append(" | ").append(std::to_string(head.ContentLength())).append(" [").append(body).append("]");
    return out;
  });
}

TEST(HTTPHeadParser, LinesHeadersAndTheBodysStart) {
  const struct {
    std::string input;
    bool ends;
    std::string outcome;
  } cases[] = {
      {"GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r\n", false, "ok GET /a?b=1 HTTP/1.1 | Host=x | 0 []"},
      {"POST /p HTTP/1.0\r\nContent-Length: 3\r\n\r\nabcdef", false,
       "ok POST /p HTTP/1.0 | Content-Length=3 | 3 [abcdef]"},
      // LF alone ends lines; blanks after the colon are dropped, trailing ones kept.
      {"GET / HTTP/1.1\nA:  1 \nb:2\n\n", false, "ok GET / HTTP/1.1 | A=1  b=2 | 0 []"},
      // Repeats join with ',' under the first spelling of the name.
      {"GET / X\r\nCookie: a=1\r\ncookie: b=2\r\n\r\n", false, "ok GET / X | Cookie=a=1,b=2 | 0 []"},
      {"GET / X\r\nno colon\r\n\r\n", false, "ok GET / X | | 0 []"},
      {"GET  /sp \t HTTP/1.1\r\n\r\n", false, "ok GET /sp HTTP/1.1 | | 0 []"},
      {"GET /\r\n\r\n", false, "ok GET /  | | 0 []"},
      {"\r\n\r\n", false, "ok    | | 0 []"},
      // The head goes on until its empty line, or the end of input.
      {"GET / HTTP/1.1\r\nHost: x\r\n", false, "more"},
      {"GET / HTTP/1.1\r\nHost: x\r\n", true, "ok GET / HTTP/1.1 | Host=x | 0 []"},
      {"GET / HTTP/1.1\r\nHost: x", true, "ok GET / HTTP/1.1 | Host=x | 0 []"},
      {"GET /half", true, "ok GET /half  | | 0 []"},
      {"", true, "nothing"},
      // Refused.
      {"GET / X\r\nA: 1\r\n b\r\n\r\n", false, "bad header"},
      {"GET / X\r\nA : 1\r\n\r\n", false, "bad header"},
      {"GET / X\r\n: 1\r\n\r\n", false, "bad header"},
      {std::string("GET / X\r\nA: \0\r\n\r\n", 16), false, "bad header"},
      {"GET / X\r\nA: a\rb\r\n\r\n", false, "bad header"},
      {"GET /\r X\r\n\r\n", false, "bad header"},
      {"GET / X\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n", false, "bad length"},
      {"GET / X\r\nContent-Length: 4, 4\r\n\r\n", false, "ok GET / X | Content-Length=4, 4 | 4 []"},
      {"GET / X\r\nContent-Length: 0x4\r\n\r\n", false, "bad length"},
      {"GET / X\r\nTransfer-Encoding: chunked\r\n\r\n", false, "length required"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parsed(c.input, c.ends), c.outcome) << c.input;
}

TEST(HTTPHeadParser, LinesAndHeadsAreBounded) {
  // A line's bound counts its CR.
  const std::string line(HTTPHeadParser::kMaxLine - 3, 'h');
  HTTPHeadParser at_limit;
  size_t consumed = 0;
  const std::string head = "GET / X\r\nA:" + line + "\r\n\r\n";
  EXPECT_EQ(at_limit.Parse(head.data(), head.size(), &consumed), Status::kComplete);
  HTTPHeadParser over;
  const std::string longer = "GET / X\r\nA:" + line + "h\r\n\r\n";
  EXPECT_EQ(over.Parse(longer.data(), longer.size(), &consumed), Status::kTooLong);
  // Many short lines: the whole head is bounded too, and the parser keeps
  // saying so.
  HTTPHeadParser many;
  std::string lines = "GET / X\r\n";
  while (lines.size() <= static_cast<size_t>(HTTPHeadParser::kMaxHead)) lines += "A: 1\r\n";
  EXPECT_EQ(many.Parse(lines.data(), lines.size(), &consumed), Status::kTooLong);
  EXPECT_EQ(many.Parse("\r\n", 2, &consumed), Status::kTooLong);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(many.Finish(), Status::kTooLong);
}

}  // namespace
}  // namespace lumo
