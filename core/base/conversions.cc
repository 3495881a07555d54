#include "core/base/conversions.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/base/ascii.h"

namespace lumo {

namespace {

bool EqualsNoCase(const char* text, int32_t length, const char* name) {
  int32_t n = static_cast<int32_t>(strlen(name));
  return n == length && CompareNoCase(text, name, n) == 0;
}

}  // namespace

int CompareNoCase(const char* a, const char* b, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    unsigned char x = LowerByte(static_cast<unsigned char>(a[i]));
    unsigned char y = LowerByte(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

int32_t ParseInteger(const char* text, int32_t length, bool* failed) {
  if (failed) *failed = false;
  int32_t n = TextLength(text, length);
  if (n == 0 || !(text[0] == '-' || IsDigitByte(static_cast<unsigned char>(text[0])))) {
    if (failed) *failed = true;
    return 0;
  }
  const bool negative = text[0] == '-';
  uint32_t value = 0;
  for (int32_t i = negative ? 1 : 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!IsDigitByte(c)) {
      if (failed) *failed = true;
      return 0;
    }
    value = value * 10u + static_cast<uint32_t>(c - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

double ParseDouble(const char* text, int32_t length, bool* failed) {
  if (failed) *failed = false;
  const bool explicit_length = length >= 0 && text != nullptr;
  const int32_t n = TextLength(text, length);
  if (explicit_length) {
    if (EqualsNoCase(text, n, "NAN")) return std::numeric_limits<double>::quiet_NaN();
    if (EqualsNoCase(text, n, "INF") || EqualsNoCase(text, n, "INFINITY")) {
      return std::numeric_limits<double>::infinity();
    }
    if (EqualsNoCase(text, n, "-NAN")) return -std::numeric_limits<double>::quiet_NaN();
    if (EqualsNoCase(text, n, "-INF") || EqualsNoCase(text, n, "-INFINITY")) {
      return -std::numeric_limits<double>::infinity();
    }
  }
  // Nothing to read counts as having read the whole text.
  if (n == 0) return 0.0;

  // Scan the form strtod accepts: blanks, sign, digits with at most one
  // point (at least one digit), then an optional exponent that only counts
  // when it has digits. Anything left over means "not a number".
  int32_t i = 0;
  while (i < n && IsSpaceByte(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const int32_t mantissa = i;
  int32_t digits = 0;
  int32_t integer_digits = 0;
  int32_t fraction_digits = 0;
  bool point = false;
  // Where the first non-zero digit stands, to tell overflow from underflow.
  bool seen_significant = false;
  bool significant_in_fraction = false;
  int32_t significant_index = 0;
  for (; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsDigitByte(c)) {
      ++digits;
      int32_t& count = point ? fraction_digits : integer_digits;
      ++count;
      if (c != '0' && !seen_significant) {
        seen_significant = true;
        significant_in_fraction = point;
        significant_index = count;
      }
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) {
    if (failed) *failed = true;
    return 0.0;
  }
  int32_t end = i;
  int64_t exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    int32_t j = i + 1;
    bool exponent_negative = false;
    if (j < n && (text[j] == '+' || text[j] == '-')) exponent_negative = text[j++] == '-';
    const int32_t exponent_start = j;
    while (j < n && IsDigitByte(static_cast<unsigned char>(text[j]))) {
      if (exponent < 1000000) exponent = exponent * 10 + (text[j] - '0');
      ++j;
    }
    if (j > exponent_start) {
      end = j;
      if (exponent_negative) exponent = -exponent;
    } else {
      exponent = 0;
    }
  }
  if (end != n) {
    if (failed) *failed = true;
    return 0.0;
  }

  double value = 0.0;
  auto result = std::from_chars(text + mantissa, text + end, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Out of range is overflow when the first significant digit stands at a
    // positive power of ten, underflow otherwise.
    int64_t power = significant_in_fraction ? -static_cast<int64_t>(significant_index)
                                            : integer_digits - significant_index;
    if (seen_significant && power + exponent > 0) {
      if (failed) *failed = true;
      return negative ? -std::numeric_limits<double>::infinity()
                      : std::numeric_limits<double>::infinity();
    }
    return negative ? -0.0 : 0.0;
  }
  if (result.ec != std::errc() || result.ptr != text + end) {
    if (failed) *failed = true;
    return 0.0;
  }
  return negative ? -value : value;
}

void AppendInteger(String& out, int32_t value) {
  char buffer[16];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.Append(buffer, static_cast<int32_t>(result.ptr - buffer));
}

String FormatInteger(int32_t value) {
  String s;
  AppendInteger(s, value);
  return s;
}

void AppendDouble(String& out, double value, int decimals) {
  if (std::isnan(value)) {
    out.Append(std::signbit(value) ? "-NaN" : "NaN");
    return;
  }
  if (std::isinf(value)) {
    out.Append(value < 0 ? "-Infinity" : "Infinity");
    return;
  }
  if (std::signbit(value)) out.Append('-');
  const double magnitude = std::fabs(value);
  const int limit = decimals < 0 ? 20 : decimals;

  // The shortest digits that read back as the same double come from the
  // scientific form (the fixed form of to_chars prefers the exact integer
  // of a large double when that is fewer characters).
  char shortest[32];
  auto sci = std::to_chars(shortest, shortest + sizeof shortest, magnitude,
                           std::chars_format::scientific);
  const char* e_mark = static_cast<const char*>(
      memchr(shortest, 'e', static_cast<size_t>(sci.ptr - shortest)));
  char digits[24];
  int32_t count = 0;
  for (const char* p = shortest; p < e_mark; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  int32_t exponent = 0;
  std::from_chars(e_mark[1] == '+' ? e_mark + 2 : e_mark + 1, sci.ptr, exponent);
  // With d1.d2...dk x 10^exponent, the fraction needs k - 1 - exponent digits.
  int32_t fraction = count - 1 - exponent;
  if (fraction < 0) fraction = 0;
  if (fraction <= limit) {
    if (exponent >= 0) {
      const int32_t integer_digits = exponent + 1;
      if (count <= integer_digits) {
        out.Append(digits, count);
        for (int32_t k = count; k < integer_digits; ++k) out.Append('0');
      } else {
        out.Append(digits, integer_digits);
        out.Append('.');
        out.Append(digits + integer_digits, count - integer_digits);
      }
    } else {
      out.Append("0.");
      for (int32_t k = -1; k > exponent; --k) out.Append('0');
      out.Append(digits, count);
    }
  } else {
    // Too many fraction digits: the value correctly rounded to `limit` of
    // them, without trailing zeros. Only values below 10^17 get here, so the
    // fixed text is short; the exact binary value ends after 1074 digits.
    constexpr int kExactFractionDigits = 1074;
    char buffer[32 + kExactFractionDigits];
    const int precision = limit < kExactFractionDigits ? limit : kExactFractionDigits;
    auto rounded = std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                                 std::chars_format::fixed, precision);
    int32_t length = static_cast<int32_t>(rounded.ptr - buffer);
    if (memchr(buffer, '.', static_cast<size_t>(length)) != nullptr) {
      while (buffer[length - 1] == '0') --length;
      if (buffer[length - 1] == '.') --length;
    }
    const char* point = static_cast<const char*>(memchr(buffer, '.', static_cast<size_t>(length)));
    fraction = point ? static_cast<int32_t>(buffer + length - point - 1) : 0;
    out.Append(buffer, length);
  }
  if (decimals > 0) {
    if (fraction == 0) out.Append('.');
    for (int32_t k = fraction; k < decimals; ++k) out.Append('0');
  }
}

String FormatDouble(double value, int decimals) {
  String s;
  AppendDouble(s, value, decimals);
  return s;
}

bool TextTruth(const char* text, int32_t length) {
  int32_t n = TextLength(text, length);
  if (n == 0) return false;
  bool point = false;
  for (int32_t i = 0; i < n; ++i) {
    if (text[i] == '0') continue;
    if (text[i] == '.' && !point) {
      point = true;
      continue;
    }
    return true;
  }
  return false;
}

String StripNul(const char* text, int32_t length) {
  int32_t n = TextLength(text, length);
  String out;
  out.Reserve(n);
  int32_t start = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (text[i] == '\0') {
      out.Append(text + start, i - start);
      start = i + 1;
    }
  }
  out.Append(text + start, n - start);
  return out;
}

}  // namespace lumo
