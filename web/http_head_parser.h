// HTTPHeadParser: the request line and header lines of one request, taken
// from bytes as they arrive, with no socket in sight, so that every rule
// can be tested on a buffer split anywhere.
//
// Lines end at LF (one CR before it is dropped). A line may be up to
// kMaxLine bytes and the head up to kMaxHead; past either the head is too
// long. Heads that two programs could read two ways are refused: a NUL or
// a stray CR in any line, a folded (continued) header line, a header name
// that is empty or holds blanks, a Content-Length that is not one plain
// decimal number of at most 18 digits (repeats must agree), and any
// Transfer-Encoding (bodies are read by their length only). A header line
// without ':' is skipped. Repeated headers are joined with ','.
#ifndef LUMO_WEB_HTTP_HEAD_PARSER_H_
#define LUMO_WEB_HTTP_HEAD_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/base/string.h"

namespace lumo {

struct HTTPHeader {
  String name;
  String value;
};

class HTTPHeadParser {
 public:
  static constexpr int32_t kMaxLine = 64 * 1024;
  static constexpr int32_t kMaxHead = 1024 * 1024;

  enum class Status {
    kNeedMore,        // the head goes on: give more bytes, or Finish at the end of input
    kComplete,        // the head is read; the fields below hold it
    kNothing,         // the input ended before any byte of a request line
    kTooLong,         // a line or the whole head passed its bound: 400
    kBadHeader,       // folded, blank before the colon, NUL or a stray CR: 400
    kBadLength,       // Content-Length not one plain decimal number: 400
    kLengthRequired,  // Transfer-Encoding: 411
  };

  // Takes the next bytes of the connection. *consumed is how many belong to
  // the head; the rest, once it is complete, is the body's start. Once the
  // status is not kNeedMore it stays what it is.
  Status Parse(const char* data, size_t length, size_t* consumed);
  // The input ended: a partial last line counts as a line.
  Status Finish();
  Status Result() const { return status_; }

  const String& RequestLine() const { return request_line_; }
  const String& Method() const { return method_; }
  const String& URI() const { return uri_; }
  const String& Protocol() const { return protocol_; }
  const String& Path() const { return path_; }
  bool HasQuery() const { return has_query_; }
  const String& Query() const { return query_; }
  // In the order first received; repeated names are joined with ",".
  const std::vector<HTTPHeader>& Headers() const { return headers_; }
  // The value of a header (name in any case), or null.
  const String* Header(std::string_view name) const;
  // The declared body length (0 without a Content-Length header).
  int64_t ContentLength() const { return content_length_; }

 private:
  // A whole line without its LF (and a CR before it).
  Status TakeLine();
  Status EndOfHead();
  Status CheckBodyHeaders();
  void AddHeader(std::string_view name, std::string_view value);

  Status status_ = Status::kNeedMore;
  String line_;
  bool any_ = false;  // a byte of the request line arrived
  bool have_request_line_ = false;
  int64_t head_bytes_ = 0;
  String request_line_;
  String method_;
  String uri_;
  String protocol_;
  String path_;
  String query_;
  bool has_query_ = false;
  int64_t content_length_ = 0;
  std::vector<HTTPHeader> headers_;
  // Lower-cased name to its place in headers_: a head may hold a hundred
  // thousand lines, and a scan per line would pin the worker for minutes.
  std::unordered_map<std::string, size_t> header_index_;
};

}  // namespace lumo

#endif  // LUMO_WEB_HTTP_HEAD_PARSER_H_
