#include "core/base/decimal_round.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string_view>

namespace lumo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Digits after the point in the shortest text that reads back as x.
int32_t ShortestDecimals(double x) {
  char text[64];
  auto r = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific);
  const char* e = static_cast<const char*>(memchr(text, 'e', static_cast<size_t>(r.ptr - text)));
  const char* point = static_cast<const char*>(memchr(text, '.', static_cast<size_t>(e - text)));
  int32_t exponent = 0;
  std::from_chars(e[1] == '+' ? e + 2 : e + 1, r.ptr, exponent);
  const int32_t decimals = (point ? static_cast<int32_t>(e - point - 1) : 0) - exponent;
  return decimals > 0 ? decimals : 0;
}

TEST(RoundDecimal, RoundsTheShortestDigitsHalfToEven) {
  const struct { double x; int32_t n; double expected; } cases[] = {
      {2.5, 0, 2.5},         {2.5, -3, 2.5},       {0.125, 2, 0.12},  {0.135, 2, 0.14},
      {0.145, 2, 0.14},      {1.005, 2, 1.0},      {2.675, 2, 2.68},  {-1.25, 1, -1.2},
      {1.26, 1, 1.3},        {1.251, 1, 1.3},      {-1.35, 1, -1.4},  {123.456, 5, 123.456},
      {123.456, 3, 123.456}, {9.995, 2, 10.0},     {-99.96, 1, -100.0}, {1e-25, 2, 0.0},
      {0.00051, 3, 0.001},   {1e300, 2, 1e300},    {1e-5, 4, 0.0},    {0.000015, 5, 0.00002},
      {1234567890123.4567, 2, 1234567890123.46},
      // A digit past the 5 rounds up, unless it lies beyond the 20th decimal.
      {std::nextafter(0.00125, 1.0), 4, 0.0013},
      {std::nextafter(1.25e-5, 1.0), 6, 0.000012},
  };
  for (const auto& c : cases) EXPECT_EQ(RoundDecimal(c.x, c.n), c.expected) << c.x << " to " << c.n;
  EXPECT_TRUE(std::signbit(RoundDecimal(-1e-25, 2)));
  for (double x : {kInf, -kInf, std::nan("")}) EXPECT_EQ(RoundDecimal(x, 2), kInf);
}

// Whatever the double, the result must read as a number with at most n
// decimals and lie within half a unit of the n-th decimal of x.
TEST(RoundDecimal, ResultHasAtMostNDecimalsAndStaysClose) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20000; ++round) {
    double x;
    if (round % 2 == 0) {
      x = std::bit_cast<double>(rng());
      if (!std::isfinite(x)) continue;
    } else {
      x = static_cast<double>(static_cast<int64_t>(rng() % 2000000001) - 1000000000) /
          std::pow(10.0, static_cast<double>(rng() % 12));
    }
    const int32_t n = static_cast<int32_t>(rng() % 7);
    const double r = RoundDecimal(x, n);
    if (r == x) continue;
    ASSERT_LE(ShortestDecimals(r), n) << x << " to " << n << " gave " << r;
    ASSERT_LE(std::fabs(r - x), 0.5 * std::pow(10.0, -n) * (1 + 1e-9) + std::fabs(x) * 1e-15)
        << x << " to " << n << " gave " << r;
  }
}

TEST(AppendRoundedText, WritesExactlyNDecimals) {
  // The rounding itself is RoundDecimal's; here the padding and the names.
  const struct { double x; int32_t n; std::string_view expected; } cases[] = {
      {1.5, 3, "1.500"}, {-1.25, 1, "-1.2"}, {7, 0, "7"}, {kInf, 2, "Infinity"}, {-kInf, 2, "Infinity"},
      {std::nan(""), 1, "NaN"}};
  for (const auto& c : cases) {
    String out("=");
    AppendRoundedText(out, c.x, c.n);
    EXPECT_EQ(out.View().substr(1), c.expected) << c.x << " to " << c.n;
  }
}

}  // namespace
}  // namespace lumo
