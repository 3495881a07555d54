// Small byte helpers the codecs and the JSON reader both need. Internal to
// the standard library; the host has its own.
#ifndef LUMO_STDLIB_BYTE_TEXT_H_
#define LUMO_STDLIB_BYTE_TEXT_H_

#include <cstdint>
#include <string>

namespace lumostd {

// The value of a hex digit of either case, or -1.
inline int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Callers have already rejected what names no character (surrogates,
// values past U+10FFFF), so every code takes one of the four forms.
inline void AppendUtf8(uint32_t code, std::string& out) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace lumostd

#endif  // LUMO_STDLIB_BYTE_TEXT_H_
