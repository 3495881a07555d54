#include "core/context/entities.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace lumo {
namespace {

constexpr std::array<std::string_view, 256> BuildEntities() {
  std::array<std::string_view, 256> table{};
  table['"'] = "&quot;";
  table['&'] = "&amp;";
  table['('] = "&#40;";
  table[')'] = "&#41;";
  table['<'] = "&lt;";
  table['>'] = "&gt;";
  return table;
}

// Empty for bytes copied as they are.
constexpr std::array<std::string_view, 256> kEntities = BuildEntities();

inline std::string_view EntityOf(char c) { return kEntities[static_cast<unsigned char>(c)]; }

}  // namespace

void AppendEntities(String& out, const char* bytes, int32_t length) {
  if (length <= 0) return;
  // Measuring first lets the text be written in place with one allocation
  // at most; output pages are built from many of these.
  int64_t needed = length;
  for (int32_t i = 0; i < length; ++i) needed += static_cast<int64_t>(EntityOf(bytes[i]).size());
  if (needed == length) {
    out.Append(bytes, length);
    return;
  }
  const int64_t total = out.Length() + needed;
  if (total > String::kMaxLength) OutOfMemory("String (text too long)");
  const int32_t start = out.Length();
  out.Reserve(static_cast<int32_t>(total));
  char* p = out.Data() + start;
  for (int32_t i = 0; i < length; ++i) {
    const std::string_view entity = EntityOf(bytes[i]);
    if (entity.empty()) {
      *p++ = bytes[i];
    } else {
      memcpy(p, entity.data(), entity.size());
      p += entity.size();
    }
  }
  out.SetLength(static_cast<int32_t>(p - out.Data()));
}

String EncodeEntities(const char* bytes, int32_t length) {
  String out;
  // Most texts gain a few entities at most; the headroom spares a second
  // allocation for them.
  const int64_t headroom = (length > 0 ? int64_t{length} : 0) + 512;
  out.Reserve(static_cast<int32_t>(std::min<int64_t>(headroom, String::kMaxLength)));
  AppendEntities(out, bytes, length);
  return out;
}

}  // namespace lumo
