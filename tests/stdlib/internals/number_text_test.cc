#include "stdlib/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace lumostd {
namespace {

std::string Rounded(double x, int decimals, std::string_view separator = {}) {
  std::string out;
  AppendRounded(x, decimals, separator, out);
  return out;
}

TEST(NumberText, HalvesGoAwayFromZeroOnTheDigitsShown) {
  EXPECT_EQ(Rounded(2.5, 0), "3");
  EXPECT_EQ(Rounded(-2.5, 0), "-3");
  EXPECT_EQ(Rounded(0.135, 2), "0.14");   // binary 0.13500000000000000888
  EXPECT_EQ(Rounded(2.675, 2), "2.68");   // binary 2.67499999999999982236
  EXPECT_EQ(Rounded(1.005, 2), "1.01");
  EXPECT_EQ(Rounded(0.0049, 2), "0.00");
  EXPECT_EQ(Rounded(-0.004, 2), "0.00");  // no "-0.00"
  EXPECT_EQ(Rounded(9.995, 2), "10.00");
  EXPECT_EQ(Rounded(999.5, 0), "1000");
  EXPECT_EQ(Rounded(0.5, 0), "1");
  EXPECT_EQ(Rounded(1.25, 5), "1.25000");
  EXPECT_EQ(Rounded(0, 3), "0.000");
}

TEST(NumberText, ThousandsSeparator) {
  EXPECT_EQ(Rounded(1234567.891, 2, ","), "1,234,567.89");
  EXPECT_EQ(Rounded(-1234567, 0, "."), "-1.234.567");
  EXPECT_EQ(Rounded(999999.5, 0, " "), "1 000 000");
  EXPECT_EQ(Rounded(123, 1, ","), "123.0");
  EXPECT_EQ(Rounded(1234, 0, "&#8239;"), "1&#8239;234");
}

TEST(NumberText, ExtremeMagnitudes) {
  EXPECT_EQ(Rounded(1e21, 0), "1000000000000000000000");
  EXPECT_EQ(Rounded(1e-25, 20), "0.00000000000000000000");
  EXPECT_EQ(Rounded(1.5e-20, 20), "0.00000000000000000002");
  EXPECT_EQ(Rounded(1.7976931348623157e308, 0).size(), 309u);
  EXPECT_EQ(Rounded(123.456, 99), Rounded(123.456, 20));  // decimals clamp
}

TEST(NumberText, RoundHalfAwayAsDouble) {
  EXPECT_EQ(RoundHalfAway(2.675, 2), 2.68);
  EXPECT_EQ(RoundHalfAway(-1.5, 0), -2);
  EXPECT_EQ(RoundHalfAway(1234.5678, 1), 1234.6);
  EXPECT_TRUE(std::isinf(RoundHalfAway(INFINITY, 2)));
}

}  // namespace
}  // namespace lumostd
