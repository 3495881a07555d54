// The static-file rules over what a browser sends: the request path's
// escapes, If-Modified-Since dates and Range headers. Each must end with an
// answer that keeps its promises: a decoded path holds no NUL and is never
// longer than the raw one; a date that reads is written back the same way;
// a part of a file lies inside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

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
  return 0;
}
