#include "web/http_head_parser.h"

#include <cstring>

#include "core/base/ascii.h"

namespace lumo {

namespace {

bool IsBlank(char c) { return IsSpaceByte(static_cast<unsigned char>(c)); }

// NUL anywhere, or a CR that is not the line's end (that one is dropped):
// either can make two programs read one head two ways.
bool HasStrayControl(const String& line) {
  return memchr(line.Text(), '\0', static_cast<size_t>(line.Length())) != nullptr ||
         memchr(line.Text(), '\r', static_cast<size_t>(line.Length())) != nullptr;
}

std::string LowerKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(LowerByte(static_cast<unsigned char>(c)));
  return key;
}

}  // namespace

HTTPHeadParser::Status HTTPHeadParser::Parse(const char* data, size_t length, size_t* consumed) {
  *consumed = 0;
  while (status_ == Status::kNeedMore && *consumed < length) {
    const char* start = data + *consumed;
    const size_t left = length - *consumed;
    const void* lf = memchr(start, '\n', left);
    const size_t take = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start) : left;
    head_bytes_ += static_cast<int64_t>(take) + (lf != nullptr ? 1 : 0);
    if (static_cast<int64_t>(line_.Length()) + static_cast<int64_t>(take) > kMaxLine ||
        head_bytes_ > kMaxHead) {
      status_ = Status::kTooLong;
      break;
    }
    if (!have_request_line_) any_ = true;
    line_.Append(start, static_cast<int32_t>(take));
    *consumed += take;
    if (lf == nullptr) break;
    ++*consumed;
    if (line_.Length() > 0 && line_[line_.Length() - 1] == '\r') line_.Shorten(1);
    status_ = TakeLine();
  }
  return status_;
}

HTTPHeadParser::Status HTTPHeadParser::Finish() {
  if (status_ != Status::kNeedMore) return status_;
  if (!have_request_line_) {
    if (!any_) return status_ = Status::kNothing;
    status_ = TakeLine();
    if (status_ != Status::kNeedMore) return status_;
  } else if (!line_.IsEmpty()) {
    status_ = TakeLine();
    if (status_ != Status::kNeedMore) return status_;
  }
  return status_ = EndOfHead();
}

HTTPHeadParser::Status HTTPHeadParser::TakeLine() {
  if (HasStrayControl(line_)) return Status::kBadHeader;
  if (!have_request_line_) {
    have_request_line_ = true;
    request_line_ = std::move(line_);
    line_ = String();
    // Method, URI, protocol: each ends at white space; the run after it is
    // skipped; a missing token is empty.
    std::string_view rest = request_line_.View();
    String* tokens[] = {&method_, &uri_, &protocol_};
    for (String* token : tokens) {
      size_t end = 0;
      while (end < rest.size() && !IsBlank(rest[end])) ++end;
      token->Assign(rest.data(), static_cast<int32_t>(end));
      while (end < rest.size() && IsBlank(rest[end])) ++end;
      rest.remove_prefix(end);
    }
    return Status::kNeedMore;
  }
  if (line_.IsEmpty()) return EndOfHead();
  // A folded line continues the one before it; we do not join them, and a
  // program behind us might.
  if (line_[0] == ' ' || line_[0] == '\t') return Status::kBadHeader;
  const int32_t colon = line_.Find(":");
  if (colon >= 0) {
    const std::string_view name = line_.View().substr(0, static_cast<size_t>(colon));
    if (name.empty() || name.find_first_of(" \t") != std::string_view::npos) {
      return Status::kBadHeader;
    }
    int32_t value = colon + 1;
    while (value < line_.Length() && IsBlank(line_[value])) ++value;
    AddHeader(name, line_.View().substr(static_cast<size_t>(value)));
  }
  line_.SetLength(0);
  return Status::kNeedMore;
}

HTTPHeadParser::Status HTTPHeadParser::EndOfHead() {
  const int32_t question = uri_.Find("?");
  if (question >= 0) {
    path_ = uri_.Left(question);
    query_ = uri_.From(question + 1);
    has_query_ = true;
  } else {
    path_ = uri_;
  }
  return CheckBodyHeaders();
}

HTTPHeadParser::Status HTTPHeadParser::CheckBodyHeaders() {
  // Bodies are read by length only: a chunked body read as if it had none
  // would leave its bytes to be taken for something else.
  if (Header("Transfer-Encoding") != nullptr) return Status::kLengthRequired;
  const String* length = Header("Content-Length");
  if (length == nullptr) return Status::kComplete;
  // Repeated headers arrive joined with ','; each copy must be the same
  // plain decimal number.
  constexpr size_t kMaxDigits = 18;
  int64_t first = -1;
  std::string_view rest = length->View();
  for (;;) {
    const size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    while (!item.empty() && IsBlank(item.front())) item.remove_prefix(1);
    while (!item.empty() && IsBlank(item.back())) item.remove_suffix(1);
    if (item.empty() || item.size() > kMaxDigits) return Status::kBadLength;
    int64_t value = 0;
    for (const char c : item) {
      if (c < '0' || c > '9') return Status::kBadLength;
      value = value * 10 + (c - '0');
    }
    if (first >= 0 && value != first) return Status::kBadLength;
    first = value;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  content_length_ = first;
  return Status::kComplete;
}

void HTTPHeadParser::AddHeader(std::string_view name, std::string_view value) {
  const auto [at, added] = header_index_.try_emplace(LowerKey(name), headers_.size());
  if (!added) {
    HTTPHeader& h = headers_[at->second];
    h.value.Append(',');
    h.value.Append(value);
    return;
  }
  headers_.push_back({String(name), String(value)});
}

const String* HTTPHeadParser::Header(std::string_view name) const {
  const auto at = header_index_.find(LowerKey(name));
  return at == header_index_.end() ? nullptr : &headers_[at->second].value;
}

}  // namespace lumo
