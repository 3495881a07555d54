#include "core/base/decimal_round.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/base/conversions.h"

namespace lumo {
namespace {

constexpr int32_t kMaxDecimals = 20;

// The shortest digits that read back as |x|, with the value being
// 0.d1d2...dk x 10^point.
struct ShortestDigits {
  char digits[24];
  int32_t count;
  int32_t point;
};

ShortestDigits Shortest(double magnitude) {
  // The scientific form is the one that gives the shortest digits; the
  // fixed form would spell out a large double's exact integer.
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  ShortestDigits s{};
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p != '.') s.digits[s.count++] = *p;
  }
  int32_t exponent = 0;
  std::from_chars(p[1] == '+' ? p + 2 : p + 1, result.ptr, exponent);
  s.point = exponent + 1;
  return s;
}

}  // namespace

double RoundDecimal(double x, int32_t n) {
  if (!std::isfinite(x)) return std::numeric_limits<double>::infinity();
  if (n <= 0) return x;
  const ShortestDigits s = Shortest(std::fabs(x));
  int32_t decimals = s.count - s.point;
  if (decimals > kMaxDecimals) decimals = kMaxDecimals;
  if (decimals <= n) return x;
  // From here x has fewer than 17 integer digits, so the fixed text is
  // short: "-", an extra leading digit for a carry, at most 16 integer
  // digits, the point and 20 decimals.
  char text[48];
  int32_t length = 0;
  if (std::signbit(x)) text[length++] = '-';
  // The fixed digits of x: the integer part (at least a "0"), then exactly
  // `decimals` fraction digits.
  char fixed[40];
  int32_t count = 0;
  int32_t integer_digits = s.point > 0 ? s.point : 1;
  for (int32_t position = s.point > 0 ? 0 : s.point - 1; count < integer_digits + decimals;
       ++position) {
    fixed[count++] = position >= 0 && position < s.count ? s.digits[position] : '0';
  }
  // m is fixed[0, kept); the digits after it decide the rounding.
  const int32_t kept = integer_digits + n;
  bool up = fixed[kept] > '5';
  if (fixed[kept] == '5') {
    bool rest_zero = true;
    for (int32_t i = kept + 1; i < count; ++i) rest_zero = rest_zero && fixed[i] == '0';
    up = !rest_zero || (fixed[kept - 1] - '0') % 2 == 1;
  }
  if (up) {
    int32_t i = kept - 1;
    while (i >= 0 && fixed[i] == '9') fixed[i--] = '0';
    if (i >= 0) {
      ++fixed[i];
    } else {
      text[length++] = '1';
    }
  }
  memcpy(text + length, fixed, static_cast<size_t>(integer_digits));
  length += integer_digits;
  text[length++] = '.';
  memcpy(text + length, fixed + integer_digits, static_cast<size_t>(n));
  length += n;
  // from_chars gives the double nearest to the decimal text.
  double rounded = 0;
  std::from_chars(text, text + length, rounded);
  return rounded;
}

void AppendRoundedText(String& out, double x, int32_t n) {
  if (std::isnan(x)) {
    out.Append("NaN");
  } else if (std::isinf(x)) {
    out.Append("Infinity");
  } else {
    // Past the decimals any double can have, the rest would be zeros; a
    // script asking for millions of them must not get a text that size.
    const int32_t decimals = n <= 0 ? 0 : n > kMaxWrittenDecimals ? kMaxWrittenDecimals : n;
    AppendDouble(out, RoundDecimal(x, n), decimals);
  }
}

}  // namespace lumo
