// The request head parser, fed the input whole and in pieces whose sizes
// the first byte picks: both must end the same way, consume the same head
// and read the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/http_head_parser.h"

namespace {

struct Outcome {
  lumo::HTTPHeadParser::Status status;
  size_t head_bytes = 0;
  std::string fields;
};

Outcome Run(const uint8_t* data, size_t size, size_t piece) {
  lumo::HTTPHeadParser head;
  Outcome out;
  out.status = lumo::HTTPHeadParser::Status::kNeedMore;
  for (size_t at = 0; at < size && out.status == lumo::HTTPHeadParser::Status::kNeedMore;) {
    const size_t n = size - at < piece ? size - at : piece;
    size_t consumed = 0;
    out.status = head.Parse(reinterpret_cast<const char*>(data) + at, n, &consumed);
    if (consumed > n) abort();
    out.head_bytes += consumed;
    at += n;
  }
  if (out.status == lumo::HTTPHeadParser::Status::kNeedMore) out.status = head.Finish();
  if (out.status == lumo::HTTPHeadParser::Status::kComplete) {
    out.fields = std::string(head.Method().View()) + '\n' + std::string(head.Path().View()) + '\n' +
                 std::string(head.Query().View()) + '\n' + std::to_string(head.ContentLength());
    for (const lumo::HTTPHeader& h : head.Headers()) {
      out.fields += '\n' + std::string(h.name.View()) + ':' + std::string(h.value.View());
      if (head.Header(h.name.View()) == nullptr) abort();
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = static_cast<size_t>(data[0] % 17) + 1;
  const Outcome whole = Run(data + 1, size - 1, size);
  const Outcome split = Run(data + 1, size - 1, piece);
  if (whole.status != split.status || whole.fields != split.fields) abort();
  // A complete head ends at the same byte however it arrived.
  if (whole.status == lumo::HTTPHeadParser::Status::kComplete && whole.head_bytes != split.head_bytes) {
    abort();
  }
  return 0;
}
