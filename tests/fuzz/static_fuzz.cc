// The static-file rules over what a browser sends: the request path's
// escapes, If-Modified-Since dates and Range headers; and the access log's
// line over the same bytes as request line, referer and agent. Each must end with an
// answer that keeps its promises: a decoded path holds no NUL and is never
// longer than the raw one; a date that reads is written back the same way;
// a part of a file lies inside the file; a log line is one line of
// printable ASCII, however the client's bytes look.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "web/access_log.h"
#include "web/static_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  lumo::String decoded;
  if (lumo::DecodeRequestPath(text, &decoded)) {
    if (static_cast<size_t>(decoded.Length()) > size) abort();
    if (memchr(decoded.Text(), 0, static_cast<size_t>(decoded.Length())) != nullptr) abort();
  }

  int64_t seconds = 0;
  if (lumo::ParseHTTPDate(text, &seconds)) {
    int64_t again = 0;
    if (!lumo::ParseHTTPDate(lumo::FormatHTTPDate(seconds).View(), &again) || again != seconds) {
      abort();
    }
  }

  // The file's size from the first bytes, so small and huge files both
  // meet every header.
  uint64_t bits = 0;
  for (size_t i = 0; i < size && i < 8; ++i) bits = bits * 256 + data[i];
  const int64_t file_size = static_cast<int64_t>(bits >> 1);
  int64_t first = -1, last = -1;
  if (lumo::JudgeRange(text, file_size, &first, &last) == lumo::RangeAnswer::kPart) {
    if (first < 0 || first > last || last >= file_size) abort();
  }
  lumo::NotModifiedSince(text, file_size, 2000000000);
  for (std::string_view name : lumo::DefaultFileNames(text)) {
    if (name.empty() || name.data() < text.data() || name.data() + name.size() > text.data() + size) {
      abort();
    }
  }
  const lumo::String agent(text.data(), static_cast<int32_t>(size));
  lumo::AccessRecord record;
  record.host = "127.0.0.1";
  record.request_line = text;
  record.status = 200;
  record.body_bytes = file_size;
  record.referer = &agent;
  record.user_agent = &agent;
  const std::string line = lumo::FormatAccessLine(record);
  if (line.empty() || line.back() != '\n') abort();
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    if (line[i] < 0x20 || line[i] > 0x7e) abort();
  }
  return 0;
}
