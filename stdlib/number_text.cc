#include "stdlib/number_text.h"

#include <charconv>
#include <cmath>

namespace lumostd {

void AppendRounded(double x, int decimals, std::string_view separator, std::string& out) {
  if (decimals < 0) decimals = 0;
  if (decimals > kMaxDecimals) decimals = kMaxDecimals;
  // The shortest digits d1..dk with x = 0.d1..dk * 10^point.
  char text[40];
  const auto result =
      std::to_chars(text, text + sizeof text, std::fabs(x), std::chars_format::scientific);
  std::string digits;
  const char* p = text;
  for (; p < result.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits.push_back(*p);
  }
  int exponent = 0;
  if (p < result.ptr) std::from_chars(p[1] == '+' ? p + 2 : p + 1, result.ptr, exponent);
  const int point = digits == "0" ? 1 : exponent + 1;
  // Spell out integer digits (at least one) and `decimals` + 1 fraction
  // digits, the last deciding the rounding; later digits cannot matter for
  // ties away from zero.
  const int integer_digits = point > 0 ? point : 1;
  std::string fixed;
  fixed.reserve(static_cast<size_t>(integer_digits + decimals + 1));
  for (int position = point > 0 ? 0 : point - 1;
       static_cast<int>(fixed.size()) < integer_digits + decimals + 1; ++position) {
    fixed.push_back(position >= 0 && position < static_cast<int>(digits.size())
                        ? digits[static_cast<size_t>(position)]
                        : '0');
  }
  const bool up = fixed.back() >= '5';
  fixed.pop_back();
  if (up) {
    int i = static_cast<int>(fixed.size()) - 1;
    while (i >= 0 && fixed[static_cast<size_t>(i)] == '9') fixed[static_cast<size_t>(i--)] = '0';
    if (i >= 0) {
      ++fixed[static_cast<size_t>(i)];
    } else {
      fixed.insert(fixed.begin(), '1');
    }
  }
  const size_t integer_length = fixed.size() - static_cast<size_t>(decimals);
  bool zero = true;
  for (const char c : fixed) zero = zero && c == '0';
  if (std::signbit(x) && !zero) out.push_back('-');
  for (size_t i = 0; i < integer_length; ++i) {
    if (i > 0 && !separator.empty() && (integer_length - i) % 3 == 0) out.append(separator);
    out.push_back(fixed[i]);
  }
  if (decimals > 0) {
    out.push_back('.');
    out.append(fixed, integer_length, std::string::npos);
  }
}

double RoundHalfAway(double x, int decimals) {
  if (!std::isfinite(x)) return x;
  std::string text;
  AppendRounded(x, decimals, {}, text);
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  // A negative number that rounds to zero keeps nothing of its sign.
  return value;
}

}  // namespace lumostd
