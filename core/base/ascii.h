// Byte case mapping as the C library does it in the "C" locale.
//
// Name comparisons and name hashes are part of stored file formats, so they
// must not change if an extension library calls setlocale; a fixed table
// also keeps them out of a function call on hot paths.
#ifndef LUMO_CORE_BASE_ASCII_H_
#define LUMO_CORE_BASE_ASCII_H_

#include <string_view>

namespace lumo {

constexpr unsigned char LowerByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

constexpr unsigned char UpperByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

constexpr bool IsDigitByte(unsigned char c) { return c >= '0' && c <= '9'; }

// isspace() of the "C" locale.
constexpr bool IsSpaceByte(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The text without the spaces and tabs around it (the optional white
// space of header values and lists).
constexpr std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace lumo

#endif  // LUMO_CORE_BASE_ASCII_H_
