#include "core/base/text_search.h"

#include <cstring>

#include "core/base/ascii.h"
#include "core/base/dictionary.h"

namespace lumo {
namespace {

// Below this haystack length filling a 256-entry shift table costs more
// than it saves.
constexpr int32_t kSkipTableThreshold = 300;

inline unsigned char Lowered(const char* p, int32_t i) {
  return LowerByte(static_cast<unsigned char>(p[i]));
}

// The searches below return a 0-based offset or -1; the needle is never
// empty and never longer than the haystack.

int32_t DirectSearch(const char* text, int32_t text_length, const char* pattern,
                     int32_t pattern_length) {
  const char first = pattern[0];
  const char* p = text;
  const char* const last_start = text + (text_length - pattern_length);
  while (p <= last_start) {
    p = static_cast<const char*>(memchr(p, first, static_cast<size_t>(last_start - p + 1)));
    if (p == nullptr) return -1;
    if (memcmp(p + 1, pattern + 1, static_cast<size_t>(pattern_length - 1)) == 0) {
      return static_cast<int32_t>(p - text);
    }
    ++p;
  }
  return -1;
}

bool EqualNoCase(const char* a, const char* b, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    if (Lowered(a, i) != Lowered(b, i)) return false;
  }
  return true;
}

int32_t DirectSearchNoCase(const char* text, int32_t text_length, const char* pattern,
                           int32_t pattern_length) {
  const unsigned char first = Lowered(pattern, 0);
  const int32_t last_start = text_length - pattern_length;
  for (int32_t at = 0; at <= last_start; ++at) {
    if (Lowered(text, at) == first && EqualNoCase(text + at + 1, pattern + 1, pattern_length - 1)) {
      return at;
    }
  }
  return -1;
}

// Horspool over lowered bytes: the pattern is lowered as it is read rather
// than copied, so the search needs no buffer of its own.
int32_t HorspoolNoCase(const char* text, int32_t text_length, const char* pattern,
                       int32_t pattern_length) {
  int32_t shift[256];
  for (int32_t& s : shift) s = pattern_length;
  const int32_t last = pattern_length - 1;
  for (int32_t i = 0; i < last; ++i) shift[Lowered(pattern, i)] = last - i;
  for (int32_t at = 0; at <= text_length - pattern_length;) {
    int32_t i = last;
    while (i >= 0 && Lowered(text, at + i) == Lowered(pattern, i)) --i;
    if (i < 0) return at;
    at += shift[Lowered(text, at + last)];
  }
  return -1;
}

}  // namespace

int32_t TextPosition(const char* a, int32_t alen, const char* b, int32_t blen, bool ignore_case,
                     bool end_position) {
  if (alen <= 0) return end_position ? 0 : 1;
  if (alen > blen) return 0;
  int32_t at;
  if (blen < kSkipTableThreshold) {
    at = ignore_case ? DirectSearchNoCase(b, blen, a, alen) : DirectSearch(b, blen, a, alen);
  } else {
    at = ignore_case ? HorspoolNoCase(b, blen, a, alen) : SearchBytes(b, blen, a, alen);
  }
  if (at < 0) return 0;
  return end_position ? at + alen : at + 1;
}

}  // namespace lumo
