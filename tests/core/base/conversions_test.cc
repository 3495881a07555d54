#include "core/base/conversions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>

namespace lumo {
namespace {

using namespace std::string_view_literals;

constexpr double kInf = std::numeric_limits<double>::infinity();

uint64_t Bits(double d) {
  uint64_t b;
  memcpy(&b, &d, sizeof b);
  return b;
}

double FromBits(uint64_t b) {
  double d;
  memcpy(&d, &b, sizeof d);
  return d;
}

// Parses from an exactly sized heap copy, so reading one byte past the
// given length is caught by the address checker.
double ParseExact(std::string_view text, bool* failed) {
  std::unique_ptr<char[]> copy(new char[text.size()]);
  memcpy(copy.get(), text.data(), text.size());
  return ParseDouble(copy.get(), static_cast<int32_t>(text.size()), failed);
}

TEST(ParseInteger, AcceptsOnlyMinusAndDigitsAndWraps) {
  struct Case {
    std::string_view text;
    int32_t value;
    bool failed;
  };
  const Case cases[] = {
      {"0", 0, false},
      {"123", 123, false},
      {"-123", -123, false},
      {"007", 7, false},
      {"2147483647", 2147483647, false},
      {"2147483648", -2147483647 - 1, false},
      {"-2147483648", -2147483647 - 1, false},
      {"-2147483649", 2147483647, false},
      {"4294967297", 1, false},
      {"99999999999999999999", 1661992959, false},  // 10^20 - 1 modulo 2^32
      {"-", 0, false},
      {"", 0, true},
      {" 1", 0, true},
      {"1 ", 0, true},
      {"+1", 0, true},
      {"--1", 0, true},
      {"1-", 0, true},
      {"1.5", 0, true},
      {"0x1A", 0, true},
      {"12abc", 0, true},
      {"1\0002"sv, 0, true},
  };
  for (const Case& c : cases) {
    bool failed = !c.failed;
    std::unique_ptr<char[]> copy(new char[c.text.size()]);
    memcpy(copy.get(), c.text.data(), c.text.size());
    EXPECT_EQ(ParseInteger(copy.get(), static_cast<int32_t>(c.text.size()), &failed), c.value) << c.text;
    EXPECT_EQ(failed, c.failed) << c.text;
  }
}

TEST(ParseInteger, LengthBoundsTheText) {
  bool failed = true;
  EXPECT_EQ(ParseInteger("12abc", 2, &failed), 12);
  EXPECT_FALSE(failed);
  EXPECT_EQ(ParseInteger("-42", -1, &failed), -42);
  EXPECT_FALSE(failed);
  EXPECT_EQ(ParseInteger("", -1, &failed), 0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseInteger(nullptr, -1, &failed), 0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseInteger("77", 2), 77);  // the failure flag is optional
}

struct DoubleCase {
  std::string_view text;
  double value;
  bool failed;
};

void CheckDoubles(const DoubleCase* cases, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const DoubleCase& c = cases[i];
    bool failed = !c.failed;
    double got = ParseExact(c.text, &failed);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(got)) << c.text;
      EXPECT_EQ(std::signbit(got), std::signbit(c.value)) << c.text;
    } else {
      EXPECT_EQ(Bits(got), Bits(c.value)) << c.text << " gave " << got;
    }
    EXPECT_EQ(failed, c.failed) << c.text;
  }
}

TEST(ParseDouble, DecimalForms) {
  const DoubleCase cases[] = {
      {"1.5", 1.5, false},
      {"-1.5", -1.5, false},
      {"+5", 5, false},
      {".5", 0.5, false},
      {"5.", 5, false},
      {"1.e5", 1e5, false},
      {"00012", 12, false},
      {"1e21", 1e21, false},
      {"1E+2", 100, false},
      {"2.5e-3", 0.0025, false},
      {"-0", -0.0, false},
      {"0.1", 0.1, false},
      {"1e-310", 1e-310, false},  // subnormal is not an underflow failure
      {"4.9e-324", 4.9e-324, false},
      {" 12", 12, false},
      {"\t\n\v\f\r 12", 12, false},
      {"", 0, false},  // nothing to read, and nothing left over
      {"12 ", 0, true},
      {"12abc", 0, true},
      {"1,5", 0, true},
      {"   ", 0, true},
      {".", 0, true},
      {"-", 0, true},
      {"--1", 0, true},
      {"1e", 0, true},
      {"1e+", 0, true},
      {".e5", 0, true},
      {"1.2.3", 0, true},
      {"0x10", 0, true},
      {"0x1p3", 0, true},
      {"1\0"sv, 0, true},
  };
  CheckDoubles(cases, std::size(cases));
}

TEST(ParseDouble, OverflowFailsUnderflowDoesNot) {
  const std::string long_mantissa = "1" + std::string(400, '0');
  const std::string tiny_point = "0." + std::string(400, '0') + "1";
  const std::string long_scaled_down = long_mantissa + "e-400";
  const std::string tiny_scaled_up = tiny_point + "e400";
  const DoubleCase cases[] = {
      {"1e400", kInf, true},
      {"-1e400", -kInf, true},
      {"0.001e312", kInf, true},
      {"1.8e308", kInf, true},
      {long_mantissa, kInf, true},
      {"1e-400", 0.0, false},
      {"-1e-400", -0.0, false},
      {"1e-99999999999999999999", 0.0, false},
      {"1000e-326", 1e-323, false},
      {tiny_point, 0.0, false},
      // Huge or tiny digit strings that an exponent brings back into range.
      {long_scaled_down, 1.0, false},
      {tiny_scaled_up, 0.1, false},
      {"1e0000000000000000000000000000001", 10.0, false},
      {"0e999999999999", 0.0, false},
  };
  CheckDoubles(cases, std::size(cases));
}

TEST(ParseDouble, SpecialNamesOnlyWithALength) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const DoubleCase cases[] = {
      {"Infinity", kInf, false},
      {"INF", kInf, false},
      {"iNf", kInf, false},
      {"-INF", -kInf, false},
      {"-infinity", -kInf, false},
      {"nan", nan, false},
      {"NaN", nan, false},
      {"-NAN", -nan, false},
      {"+INF", 0, true},
      {"+nan", 0, true},
      {" inf", 0, true},
      {"infinit", 0, true},
      {"nan(1)", 0, true},
  };
  CheckDoubles(cases, std::size(cases));

  bool failed = false;
  EXPECT_EQ(ParseDouble("inf", -1, &failed), 0.0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseDouble("Infinity", -1, &failed), 0.0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseDouble("nan", -1, &failed), 0.0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseDouble("0x1A", -1, &failed), 0.0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseDouble("1.25", -1, &failed), 1.25);
  EXPECT_FALSE(failed);
  EXPECT_EQ(ParseDouble("INFx", 3, &failed), kInf);
  EXPECT_FALSE(failed);
  EXPECT_EQ(ParseDouble("2.5xyz", 3, &failed), 2.5);
  EXPECT_FALSE(failed);
}

TEST(FormatInteger, FullRange) {
  EXPECT_EQ(FormatInteger(0).View(), "0"sv);
  EXPECT_EQ(FormatInteger(-7).View(), "-7"sv);
  EXPECT_EQ(FormatInteger(2147483647).View(), "2147483647"sv);
  EXPECT_EQ(FormatInteger(-2147483647 - 1).View(), "-2147483648"sv);
  String s("n=");
  AppendInteger(s, -12);
  EXPECT_EQ(s.View(), "n=-12"sv);
}

TEST(FormatDouble, Examples) {
  EXPECT_EQ(FormatDouble(100.0).View(), "100"sv);
  EXPECT_EQ(FormatDouble(0.1).View(), "0.1"sv);
  EXPECT_EQ(FormatDouble(0.1 + 0.2).View(), "0.30000000000000004"sv);
  EXPECT_EQ(FormatDouble(1e21).View(), "1" + std::string(21, '0'));
  EXPECT_EQ(FormatDouble(1e-25).View(), "0"sv);
  EXPECT_EQ(FormatDouble(-1e-25).View(), "-0"sv);
  EXPECT_EQ(FormatDouble(1e-20).View(), "0.00000000000000000001"sv);
  EXPECT_EQ(FormatDouble(2.5, 3).View(), "2.500"sv);
  EXPECT_EQ(FormatDouble(-0.0).View(), "-0"sv);
  EXPECT_EQ(FormatDouble(0.0).View(), "0"sv);
  EXPECT_EQ(FormatDouble(100.0, 3).View(), "100.000"sv);
  EXPECT_EQ(FormatDouble(1e21, 2).View(), "1" + std::string(21, '0') + ".00");
  EXPECT_EQ(FormatDouble(123.456, 2).View(), "123.46"sv);
  EXPECT_EQ(FormatDouble(0.1, 25).View(), "0.1" + std::string(24, '0'));
  EXPECT_EQ(FormatDouble(-0.4, 0).View(), "-0"sv);
  EXPECT_EQ(FormatDouble(0.6, 0).View(), "1"sv);
  EXPECT_EQ(FormatDouble(9.96, 1).View(), "10.0"sv);
  EXPECT_EQ(FormatDouble(-9.96, 0).View(), "-10"sv);

  EXPECT_EQ(FormatDouble(5e-324).View(), "0"sv);
  EXPECT_EQ(FormatDouble(5e-324, 330).View(), "0." + std::string(323, '0') + "5" + std::string(6, '0'));
  EXPECT_EQ(FormatDouble(5e-324, 323).View(), "0." + std::string(323, '0'));

  String s("x=");
  AppendDouble(s, 1.5);
  EXPECT_EQ(s.View(), "x=1.5"sv);
}

// Past 2^53 a double's exact integer value has more digits than it
// carries; the text shows the shortest digits and zeros, not the binary
// expansion.
TEST(FormatDouble, LargeValuesPrintShortestDigitsThenZeros) {
  String max = FormatDouble(std::numeric_limits<double>::max());
  EXPECT_EQ(max.Length(), 309);
  EXPECT_EQ(max.View().substr(0, 17), "17976931348623157"sv);
  EXPECT_EQ(max.View().substr(17), std::string(292, '0'));
  EXPECT_EQ(FormatDouble(1e300).View(), "1" + std::string(300, '0'));
  // The nearest double to 1e23 is 99999999999999991611392.
  EXPECT_EQ(FormatDouble(1e23).View(), "1" + std::string(23, '0'));
  EXPECT_EQ(FormatDouble(1e23, 2).View(), "1" + std::string(23, '0') + ".00");
  EXPECT_EQ(FormatDouble(std::ldexp(1.0, 60)).View(), "1152921504606847000"sv);
  EXPECT_EQ(FormatDouble(-5e22).View(), "-5" + std::string(22, '0'));
}

TEST(FormatDouble, ExactTiesRoundToEven) {
  EXPECT_EQ(FormatDouble(2.5, 0).View(), "2"sv);
  EXPECT_EQ(FormatDouble(3.5, 0).View(), "4"sv);
  EXPECT_EQ(FormatDouble(0.5, 0).View(), "0"sv);
  EXPECT_EQ(FormatDouble(1.5, 0).View(), "2"sv);
  EXPECT_EQ(FormatDouble(0.125, 2).View(), "0.12"sv);
  EXPECT_EQ(FormatDouble(0.375, 2).View(), "0.38"sv);
  EXPECT_EQ(FormatDouble(-0.125, 2).View(), "-0.12"sv);
  EXPECT_EQ(FormatDouble(123456789.125, 2).View(), "123456789.12"sv);
  // 0.15 is not a tie in binary: it lies below the midpoint.
  EXPECT_EQ(FormatDouble(0.15, 1).View(), "0.1"sv);
}

TEST(FormatDouble, NonFiniteNames) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(FormatDouble(nan).View(), "NaN"sv);
  EXPECT_EQ(FormatDouble(std::copysign(nan, -1.0)).View(), "-NaN"sv);
  EXPECT_EQ(FormatDouble(kInf).View(), "Infinity"sv);
  EXPECT_EQ(FormatDouble(-kInf, 3).View(), "-Infinity"sv);
  // What FormatDouble writes, ParseDouble must read back.
  bool failed = true;
  String text = FormatDouble(-kInf);
  EXPECT_EQ(ParseDouble(text.Text(), text.Length(), &failed), -kInf);
  EXPECT_FALSE(failed);
  text = FormatDouble(std::copysign(nan, -1.0));
  double back = ParseDouble(text.Text(), text.Length(), &failed);
  EXPECT_TRUE(std::isnan(back) && std::signbit(back));
}

// The shortest round-trip digits of |v| and the power of ten of the first
// one, taken from the scientific form: the fixed form of the C++ library
// prints large integers exactly rather than the shortest digits.
struct Shortest {
  std::string digits;
  int exponent;
  int FractionDigits() const { return std::max(0, static_cast<int>(digits.size()) - 1 - exponent); }
};

Shortest ShortestDigits(double v) {
  char buffer[64];
  auto r = std::to_chars(buffer, buffer + sizeof buffer - 1, std::fabs(v), std::chars_format::scientific);
  *r.ptr = '\0';
  const size_t e = static_cast<size_t>(strchr(buffer, 'e') - buffer);
  Shortest out{std::string(1, buffer[0]), atoi(buffer + e + 1)};
  if (e > 2) out.digits.append(buffer + 2, e - 2);  // after "d."
  return out;
}

// The fixed text a value should get with `decimals` fraction digits: the
// shortest digits placed around the point and padded with zeros when they
// fit in the limit, otherwise the C library's printf rounding of the exact
// binary value (ties to even) without trailing zeros; then padding.
std::string Oracle(double v, int decimals, const Shortest& s) {
  const int limit = decimals < 0 ? 20 : decimals;
  std::string text;
  if (s.FractionDigits() <= limit) {
    const int integer_digits = s.exponent + 1;
    if (integer_digits <= 0) {
      text = "0." + std::string(static_cast<size_t>(-integer_digits), '0') + s.digits;
    } else if (static_cast<size_t>(integer_digits) >= s.digits.size()) {
      text = s.digits + std::string(static_cast<size_t>(integer_digits) - s.digits.size(), '0');
    } else {
      text = s.digits.substr(0, static_cast<size_t>(integer_digits)) + "." +
             s.digits.substr(static_cast<size_t>(integer_digits));
    }
  } else {
    text.assign(400 + static_cast<size_t>(limit), '\0');
    int n = snprintf(text.data(), text.size(), "%.*f", limit, std::fabs(v));
    text.resize(static_cast<size_t>(n));
    if (text.find('.') != std::string::npos) {
      while (text.back() == '0') text.pop_back();
      if (text.back() == '.') text.pop_back();
    }
  }
  if (decimals > 0) {
    size_t point = text.find('.');
    if (point == std::string::npos) {
      point = text.size();
      text += '.';
    }
    text.append(static_cast<size_t>(decimals) - (text.size() - point - 1), '0');
  }
  return (std::signbit(v) ? "-" : "") + text;
}

// Collects mismatches instead of stopping at the first, so that a failure
// shows how wide the fault is.
struct Mismatches {
  int count = 0;
  std::string examples;
  void Add(double v, int decimals, std::string_view got, const std::string& want) {
    if (++count > 5) return;
    char bits[32];
    snprintf(bits, sizeof bits, "%016llx", static_cast<unsigned long long>(Bits(v)));
    examples += "\n  bits " + std::string(bits) + " decimals " + std::to_string(decimals) + ": got \"" +
                std::string(got) + "\", want \"" + want + "\"";
  }
};

// 200,000 values of four kinds, of which only those on one side of 2^53
// are checked: from there up a double's exact integer value has more digits
// than it carries, a separate way to go wrong.
void CheckRandomValues(bool large) {
  std::mt19937_64 rng(20240601);
  std::uniform_real_distribution<double> unit(1.0, 10.0);
  int round_tripped = 0;
  int checked_decimals = 0;
  Mismatches shortest;
  Mismatches fixed;
  for (int i = 0; i < 200000; ++i) {
    double v;
    switch (i % 4) {
      case 0:  // any bit pattern: huge, tiny and subnormal values
        v = FromBits(rng());
        break;
      case 1:  // decimal magnitudes around the 20-digit limit
        v = unit(rng) * std::pow(10.0, static_cast<int>(rng() % 51) - 25);
        break;
      case 2:  // short decimals such as prices
        v = static_cast<double>(rng() % 100000000) / std::pow(10.0, static_cast<int>(rng() % 9));
        break;
      default:  // exact binary fractions: many rounding ties
        v = static_cast<double>(rng() % 1000000) / static_cast<double>(1 << (rng() % 12 + 1));
        break;
    }
    if (rng() & 1) v = -v;
    if (!std::isfinite(v) || (std::fabs(v) >= 0x1p53) != large) continue;

    String text = FormatDouble(v);
    ASSERT_EQ(text.Find("e"), -1) << text.Text();
    ASSERT_EQ(text.Find("E"), -1) << text.Text();
    const Shortest digits = ShortestDigits(v);
    if (digits.FractionDigits() <= 20) {
      bool failed = true;
      double back = ParseDouble(text.Text(), text.Length(), &failed);
      ASSERT_FALSE(failed) << text.Text();
      ASSERT_EQ(Bits(back), Bits(v)) << text.Text();
      ++round_tripped;
    }
    std::string want = Oracle(v, -1, digits);
    if (text.View() != want) shortest.Add(v, -1, text.View(), want);
    if (i % 32 % 9 == 0) {  // 0, 9, 18, 27: every kind of value
      for (int decimals = 0; decimals <= 25; ++decimals) {
        String got = FormatDouble(v, decimals);
        want = Oracle(v, decimals, digits);
        if (got.View() != want) fixed.Add(v, decimals, got.View(), want);
      }
      ++checked_decimals;
    }
  }
  EXPECT_EQ(shortest.count, 0) << "with decimals -1:" << shortest.examples;
  EXPECT_EQ(fixed.count, 0) << "with decimals 0..25:" << fixed.examples;
  // Guards against a generator change that would quietly skip everything.
  EXPECT_GT(round_tripped, large ? 20000 : 100000);
  EXPECT_GT(checked_decimals, large ? 3000 : 15000);
}

TEST(FormatDouble, RandomValuesBelow2To53RoundTripAndMatchFixedRounding) { CheckRandomValues(false); }
TEST(FormatDouble, RandomValuesFrom2To53UpRoundTripAndMatchFixedRounding) { CheckRandomValues(true); }

TEST(TextTruth, OnlyZerosWithOnePointAreFalse) {
  for (std::string_view t : {""sv, "0"sv, "000"sv, "0.0"sv, "."sv, "0."sv, ".000"sv}) {
    EXPECT_FALSE(TextTruth(t.data(), static_cast<int32_t>(t.size()))) << t;
  }
  for (std::string_view t : {"-0"sv, "0..0"sv, ".."sv, "1"sv, " "sv, "0 "sv, "00x"sv, "\0"sv, "false"sv}) {
    EXPECT_TRUE(TextTruth(t.data(), static_cast<int32_t>(t.size()))) << t;
  }
  EXPECT_FALSE(TextTruth("0.0", -1));
  EXPECT_FALSE(TextTruth("0\0001", -1));  // stops at the terminator
  EXPECT_FALSE(TextTruth("01", 1));
}

TEST(StripNul, RemovesEveryNulByte) {
  EXPECT_EQ(StripNul("a\0b\0\0c\0", 7).View(), "abc"sv);
  EXPECT_EQ(StripNul("\0\0", 2).View(), ""sv);
  EXPECT_EQ(StripNul("plain", 5).View(), "plain"sv);
  EXPECT_EQ(StripNul("ab\0cd", -1).View(), "ab"sv);
  EXPECT_EQ(StripNul("", 0).Length(), 0);
}

TEST(CompareNoCase, SignAndByteOrder) {
  EXPECT_EQ(CompareNoCase("abc", "ABC", 3), 0);
  EXPECT_EQ(CompareNoCase("abc", "ABD", 3), -1);
  EXPECT_EQ(CompareNoCase("b", "A", 1), 1);
  EXPECT_EQ(CompareNoCase("az", "b", 1), -1);  // exactly -1, not a difference
  EXPECT_EQ(CompareNoCase("za", "A", 1), 1);
  EXPECT_EQ(CompareNoCase("xyz", "abc", 0), 0);
  // Letters are lowered, not raised: '_' sits between the two cases.
  EXPECT_EQ(CompareNoCase("_", "A", 1), -1);
  EXPECT_EQ(CompareNoCase("[", "{", 1), -1);
  // Bytes above 0x7F compare unsigned, after all ASCII, and do not fold.
  EXPECT_EQ(CompareNoCase("\xE9", "z", 1), 1);
  EXPECT_EQ(CompareNoCase("z", "\x80", 1), -1);
  EXPECT_EQ(CompareNoCase("\xC9", "\xE9", 1), -1);
  // NUL bytes are compared like any other.
  EXPECT_EQ(CompareNoCase("a\0b", "A\0c", 3), -1);
}

}  // namespace
}  // namespace lumo
