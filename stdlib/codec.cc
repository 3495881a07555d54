#include "stdlib/codec.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "stdlib/byte_text.h"

namespace lumostd {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr std::array<bool, 256> BuildUrlEscapes() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 32; ++c) table[c] = true;
  for (int c = 128; c < 256; ++c) table[c] = true;
  for (char c : std::string_view("~`!#$%^&()+={}[]|\\:;\"'<>,?/")) {
    table[static_cast<unsigned char>(c)] = true;
  }
  return table;
}

constexpr std::array<bool, 256> kUrlEscapes = BuildUrlEscapes();

// A numeric reference "#65" or "#x41" (the text between '&' and ';');
// false when it is not one or names no character.
bool ParseNumericReference(std::string_view body, uint32_t* code) {
  if (body.size() < 2 || body[0] != '#') return false;
  size_t i = 1;
  int base = 10;
  if (body[1] == 'x' || body[1] == 'X') {
    base = 16;
    i = 2;
  }
  if (i >= body.size()) return false;
  uint32_t value = 0;
  for (; i < body.size(); ++i) {
    const int digit = HexValue(static_cast<unsigned char>(body[i]));
    if (digit < 0 || digit >= base) return false;
    value = value * base + digit;
    if (value > 0x10FFFF) return false;
  }
  if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *code = value;
  return true;
}

}  // namespace

void Base64Encode(std::string_view in, std::string& out) {
  out.reserve(out.size() + (in.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  size_t n = in.size();
  for (; n >= 3; n -= 3, p += 3) {
    const uint32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
    out.push_back(kBase64[v >> 18]);
    out.push_back(kBase64[(v >> 12) & 63]);
    out.push_back(kBase64[(v >> 6) & 63]);
    out.push_back(kBase64[v & 63]);
  }
  if (n == 1) {
    out.push_back(kBase64[p[0] >> 2]);
    out.push_back(kBase64[(p[0] & 3) << 4]);
    out.append("==");
  } else if (n == 2) {
    out.push_back(kBase64[p[0] >> 2]);
    out.push_back(kBase64[((p[0] & 3) << 4) | (p[1] >> 4)]);
    out.push_back(kBase64[(p[1] & 15) << 2]);
    out.push_back('=');
  }
}

bool Base64Decode(std::string_view in, std::string& out) {
  out.reserve(out.size() + in.size() / 4 * 3 + 2);
  uint32_t bits = 0;
  int held = 0;  // sextets in `bits`
  size_t padding = 0;
  for (const char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsSpace(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int value = Base64Value(c);
    // Data after padding means the padding was in the middle.
    if (value < 0 || padding > 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (++held == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8));
      out.push_back(static_cast<char>(bits));
      bits = 0;
      held = 0;
    }
  }
  switch (held) {
    case 0:
      return padding == 0;
    case 2:
      if (padding != 0 && padding != 2) return false;
      out.push_back(static_cast<char>(bits >> 4));
      return true;
    case 3:
      if (padding != 0 && padding != 1) return false;
      out.push_back(static_cast<char>(bits >> 10));
      out.push_back(static_cast<char>(bits >> 2));
      return true;
    default:
      return false;
  }
}

void HexEncode(std::string_view in, std::string& out) {
  out.reserve(out.size() + in.size() * 2);
  for (const char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
}

bool HexDecode(std::string_view in, std::string& out) {
  if (in.size() % 2 != 0) return false;
  out.reserve(out.size() + in.size() / 2);
  for (size_t i = 0; i < in.size(); i += 2) {
    const int high = HexValue(static_cast<unsigned char>(in[i]));
    const int low = HexValue(static_cast<unsigned char>(in[i + 1]));
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>((high << 4) | low));
  }
  return true;
}

void UrlEncode(std::string_view in, std::string& out) {
  out.reserve(out.size() + in.size());
  for (const char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ') {
      out.push_back('+');
    } else if (kUrlEscapes[c]) {
      out.push_back('%');
      out.push_back(kHexUpper[c >> 4]);
      out.push_back(kHexUpper[c & 15]);
    } else {
      out.push_back(ch);
    }
  }
}

void UrlDecode(std::string_view in, std::string& out) {
  out.reserve(out.size() + in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < in.size()) {
      const int high = HexValue(static_cast<unsigned char>(in[i + 1]));
      const int low = HexValue(static_cast<unsigned char>(in[i + 2]));
      if (high < 0 || low < 0) {
        out.push_back(c);
        continue;
      }
      out.push_back(static_cast<char>((high << 4) | low));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
}

void EntityEncode(std::string_view in, std::string& out) {
  out.reserve(out.size() + in.size());
  for (const char c : in) {
    switch (c) {
      case '"': out.append("&quot;"); break;
      case '&': out.append("&amp;"); break;
      case '(': out.append("&#40;"); break;
      case ')': out.append("&#41;"); break;
      case '<': out.append("&lt;"); break;
      case '>': out.append("&gt;"); break;
      default: out.push_back(c); break;
    }
  }
}

void EntityDecode(std::string_view in, std::string& out) {
  struct Named {
    std::string_view name;
    char byte;
  };
  static constexpr Named kNamed[] = {{"quot", '"'}, {"amp", '&'},  {"lt", '<'},
                                     {"gt", '>'},   {"apos", '\''}};
  out.reserve(out.size() + in.size());
  size_t i = 0;
  while (i < in.size()) {
    if (in[i] != '&') {
      out.push_back(in[i++]);
      continue;
    }
    // References are short; a bounded look-ahead keeps a text full of
    // ampersands linear.
    const size_t limit = in.size() - i < 12 ? in.size() : i + 12;
    size_t end = i + 1;
    while (end < limit && in[end] != ';' && in[end] != '&') ++end;
    if (end >= limit || in[end] != ';') {
      out.push_back(in[i++]);
      continue;
    }
    const std::string_view body = in.substr(i + 1, end - i - 1);
    bool done = false;
    for (const Named& named : kNamed) {
      if (body == named.name) {
        out.push_back(named.byte);
        done = true;
        break;
      }
    }
    if (!done && body == "nbsp") {
      out.append("\xC2\xA0");
      done = true;
    }
    uint32_t code = 0;
    if (!done && ParseNumericReference(body, &code)) {
      // ASCII stays one byte (the encoder's &#40; must give '(' back);
      // above it, pages are written in UTF-8.
      AppendUtf8(code, out);
      done = true;
    }
    if (!done) {
      out.push_back(in[i++]);
      continue;
    }
    i = end + 1;
  }
}

}  // namespace lumostd
