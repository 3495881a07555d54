#include "core/base/string.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
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
#include <tuple>
#include <utility>

#include "core/base/conversions.h"

namespace lumo {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

// "length/capacity", after checking what every String promises: a buffer
// exactly when there is capacity, and a terminator for the C side.
std::string Shape(const String& s) {
  EXPECT_EQ(s.HasBuffer(), s.Capacity() > 0);
  if (s.HasBuffer()) {
    EXPECT_LT(s.Length(), s.Capacity());
    EXPECT_EQ(s.Data()[s.Length()], '\0');
  }
  return std::to_string(s.Length()) + "/" + std::to_string(s.Capacity());
}

// Capacity is 0 or a multiple of 24, except where an extension hands over a
// buffer with room for the terminator: that is kept as it is, while a full
// one is copied (and freed, or the run leaks).
TEST(StringCapacity, RoundsToStepsOf24UnlessAdoptedWithRoom) {
  String appended, early, a23, a24, e1, e2, e3, pad;
  for (int i = 0; i < 30; ++i) appended.Append(static_cast<char>('a' + i % 26));
  for (int i = 0; i < 22; ++i) early.Append('x');
  EXPECT_EQ(appended.View(), "abcdefghijklmnopqrstuvwxyzabcd"sv);
  EXPECT_EQ(Shape(appended) + " " + Shape(early), "30/48 22/24");
  early.Append('x');  // the single-byte rule grows one byte early
  a23.Assign(std::string(23, 'x').c_str());
  a24.Assign(std::string(24, 'x').c_str());
  EXPECT_EQ(Shape(early) + " " + Shape(a23) + " " + Shape(a24) + " " + Shape(String(std::string(47, 'x'))),
            "23/48 23/24 24/48 47/48");
  // A text that fits with its terminator keeps the buffer, which never
  // shrinks; an empty text still gets one, a null text at construction not.
  const char* before[] = {a23.Data(), a24.Data()};
  a23.Assign(std::string(23, 'y').c_str());
  a24.Assign("abc");
  EXPECT_TRUE(a23.Data() == before[0] && a24.Data() == before[1]);
  e1.Assign("");
  e2.Assign(nullptr);
  e3.Assign("abc", 0);
  pad.PadLeft('-', 30);
  const String none(static_cast<const char*>(nullptr));
  EXPECT_EQ(Shape(a24) + " " + Shape(e1) + " " + Shape(e2) + " " + Shape(e3) + " " + Shape(pad) + " " +
                Shape(String(none)) + none.Text(),
            "3/48 0/24 0/24 0/24 30/48 0/0");
  char* roomy = static_cast<char*>(malloc(4));
  char* full = static_cast<char*>(malloc(3));
  memcpy(roomy, "abcd", 4);
  memcpy(full, "xyz", 3);
  String s = String::Adopt(roomy, 3, 4), t = String::Adopt(full, 3, 3);
  EXPECT_EQ(Shape(s) + " " + s.Text() + " " + Shape(t) + " " + t.Text(), "3/4 abc 3/24 xyz");
  int32_t length = -1, capacity = -1;
  char* p = s.Release(&length, &capacity);
  EXPECT_EQ(std::string_view(p, 4), "abc\0"sv);
  EXPECT_EQ(std::to_string(length) + "/" + std::to_string(capacity) + " " + Shape(s), "3/4 0/0");
  free(p);
  t.Clear();
  EXPECT_EQ(Shape(t) + (s.Release() ? " released again" : ""), "0/0");
}

// Sources inside the String's own buffer, matches that must not overlap or
// be rescanned, four blank bytes only, and slices clipped or patterns absent.
TEST(StringEdit, AliasingReplaceTrimLowerAndSlices) {
  const struct { std::string_view text; void (*edit)(String&); std::string_view want; } cases[] = {
      {"abcdefghijklmnopqrstuv", [](String& s) { s.Append(s); },  // 22 bytes: doubling moves it
       "abcdefghijklmnopqrstuvabcdefghijklmnopqrstuv"},
      {"0123456789", [](String& s) { s.Reserve(40); s.Append(s); }, "01234567890123456789"},  // in place
      {"abcdefghijklmnopqrstuvw", [](String& s) { s.Append(s.Text() + 20, 3); }, "abcdefghijklmnopqrstuvwuvw"},
      {"xyz", [](String& s) { s.Prepend(s.Text(), s.Length()); }, "xyzxyz"},
      {"0123456789", [](String& s) { s.Assign(s.Text() + 3, 4); }, "3456"},
      {"3456", [](String& s) { s.Assign(s.Text(), s.Length()); }, "3456"},
      {"3456", [](String& s) { s = *&s; }, "3456"}, {"aaaa", [](String& s) { s.Replace("aa", "b"); }, "bb"},
      {"aaa", [](String& s) { s.Replace("aa", "b"); }, "ba"}, {"abc", [](String& s) { s.Replace("abc", ""); }, ""},
      {"xax", [](String& s) { s.Replace("a", "aa"); }, "xaax"}, {"x\0 "sv, [](String& s) { s.Trim(); }, "x\0"sv},
      {"--a--b--", [](String& s) { s.Replace("--", ""); }, "ab"},
      {"a\0b\0c"sv, [](String& s) { s.Replace("\0"sv, "-"); }, "a-b-c"},
      {"hello", [](String& s) { s.Replace("xyz", "q"); s.Replace("", "q"); }, "hello"},
      {" \t\r\nab c \n", [](String& s) { s.Trim(); }, "ab c"}, {" \r\n\t ", [](String& s) { s.Trim(); }, ""},
      {" \t\r\nab c \n", [](String& s) { s.TrimLeft(); }, "ab c \n"},
      {"\vx\f", [](String& s) { s.Trim(); }, "\vx\f"},
      {"a \t\n b\r\r c  ", [](String& s) { s.CollapseWhiteSpace(); }, "a b\rc "},  // a run keeps its first
      {"AbC\xC4\xE4Z@[\0"sv, [](String& s) { s.ToLower(); }, "abc\xC4\xE4z@[\0"sv},
  };
  for (const auto& c : cases) {
    String s(c.text);
    c.edit(s);
    EXPECT_EQ(s.View(), c.want) << c.text;
    Shape(s);
  }
  const String h("hello"), kv("k=v=x");
  const std::pair<String, std::string_view> slices[] = {
      {h.Substring(1, 3), "el"}, {h.Substring(1, 99), "ello"}, {h.Substring(5, 9), ""}, {h.Left(99), "hello"},
      {kv.From(4), "x"}, {kv.From(5), ""}, {kv.Before(";"), "k=v=x"}, {kv.FromMatch("="), "=v=x"},
      {kv.FromMatch(";"), ""}, {kv.After("="), "v=x"}, {kv.After(";"), ""}, {String("a\0b"sv).After("\0"sv), "b"}};
  for (const auto& [got, want] : slices) EXPECT_EQ(got.View(), want);
  EXPECT_FALSE(h.Left(-1).HasBuffer());
}

// Random edits against std::string reach growth paths the fixed cases miss.
TEST(StringModel, RandomEditsMatchStdString) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 200; ++round) {
    String s;
    std::string model;
    for (int step = 0; step < 60; ++step) {
      std::string piece(rng() % 40, '\0');
      for (char& c : piece) c = static_cast<char>(rng());
      const auto n = static_cast<int32_t>(piece.size());
      const size_t w = rng() % 80, cut = w % 50 > model.size() ? 0 : w % 50;
      switch (rng() % 7) {
        case 0: s.Append(static_cast<char>(w)); model += static_cast<char>(w); break;
        case 1: s.Append(piece); model += piece; break;
        case 2: s.Assign(piece.data(), n); model = piece; break;
        case 3: s.Prepend(piece.data(), n); model = piece + model; break;
        case 4: s.Shorten(int32_t(w % 50)); model.resize(model.size() - cut); break;
        case 5: s.PadRight('.', int32_t(w)); model.resize(std::max(model.size(), w), '.'); break;
        default: s.PadLeft('#', int32_t(w)); model.insert(0, std::max(model.size(), w) - model.size(), '#');
      }
      ASSERT_EQ(s.View(), model) << "round " << round << " step " << step;
      ASSERT_EQ(s.Capacity() % 24, 0);
      Shape(s);
    }
  }
}

// NUL bytes are ordinary text. A case-blind tail must match in length, and
// '[' and '{' or high bytes differ by the case bit without being letters.
TEST(StringSearch, EmptyPatternsEdgesOverlapsAndNulBytes) {
  const String s("abcabc"), b("a-b"), nul("a\0b\0c"sv);
  const int32_t cases[][2] = {
      {s.Find(""), -1}, {String().Find("a"), -1}, {String("").Find("a"), -1}, {s.Find("abcabcx"), -1},
      {s.Find("c"sv, 6), -1}, {s.Find("c"sv, 100), -1}, {s.Find("c"sv, 2), 2}, {s.Find("c", -1, 3), 5},
      {s.Find("bc"sv, 5), -1}, {s.Contains("cab", 3), 0}, {s.Find("zzz", -1, 0), -1}, {b.ByteIs(-1, 'a'), 0},
      {String("aaaa").Count("aa"), 3}, {String("abab").Count("ab"), 2}, {String("abab").Count(""), 0},
      {String().Count("a"), 0}, {b.ContainsByte('-'), 1}, {b.ContainsByte('-', 2), 0}, {b.ByteIs(2, 'b'), 1},
      {b.ByteIs(3, '\0'), 0}, {b.Find("b\0"sv), -1}, {String().ByteIs(0, '\0'), 0},  // the terminator is not text
      {nul.Find("\0c"sv), 3}, {nul.Find("c"), 4}, {nul.Count("\0"sv), 2}, {String("a").TailEqualsNoCase(1, ""), 1},
      {String("index.HTML").TailEqualsNoCase(6, "html"), 1}, {String("x.HTML").TailEqualsNoCase(1, "html"), 0},
      {String("a.htm").TailEqualsNoCase(2, "html"), 0}, {String("ab").TailEqualsNoCase(3, ""), 0},
      {String("a.htmlx").TailEqualsNoCase(2, "htmlx"sv.substr(0, 4)), 0}, {String("@").EqualsNoCase("`"), 0},
      {String("ab").TailEqualsNoCase(-1, "xab"), 0}, {String("a[").TailEqualsNoCase(0, "A{"), 0},
      {String("\xE9").TailEqualsNoCase(0, "\xC9"), 0}, {String("Name").EqualsNoCase("nAME"), 1},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i][0], cases[i][1]) << "case " << i;
}

TEST(StringBase64, VectorsPaddingAndEveryByte) {
  const std::string_view both[][2] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"\xFF\xFE\xFD", "//79"}, {"\xFB\xEF\xBE", "++++"}, {"\0\0\0"sv, "AAAA"}};
  for (const auto& c : both) EXPECT_EQ(String(c[0]).Base64Encode().View(), c[1]) << c[0];
  for (const auto& c : both) EXPECT_EQ(String(c[1]).Base64Decode().View(), c[0]) << c[1];
  // An incomplete last quartet decodes to nothing; stray bytes are skipped.
  const std::string_view decode_only[][2] = {{"Zm9", ""}, {"Zg", ""}, {"Zm9vYm", "foo"}, {"Zg==Zm8=", "ffo"},
                                             {"====", ""}, {"Z===", ""}, {"Zm\r\n9vYmFy\r\n", "foobar"}};
  for (const auto& c : decode_only) EXPECT_EQ(String(c[0]).Base64Decode().View(), c[1]) << c[0];
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n <= all.size(); ++n) {  // every partial-quartet ending
    const String plain(std::string_view(all).substr(0, n)), coded = plain.Base64Encode();
    ASSERT_EQ(coded.Length() % 4, 0);
    ASSERT_EQ(coded.Base64Decode().View(), plain.View()) << n;
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();
const std::string k400Zeros(400, '0');

uint64_t Bits(double d) { return std::bit_cast<uint64_t>(d); }

// Exactly sized, so that the address checker reports a read past the end.
std::unique_ptr<char[]> Exact(std::string_view text) {
  std::unique_ptr<char[]> copy(new char[text.size()]);
  memcpy(copy.get(), text.data(), text.size());
  return copy;
}

TEST(ParseInteger, AcceptsOnlyMinusAndDigitsAndWraps) {
  const struct { std::string_view text; int32_t value; bool failed; } cases[] = {
      {"0", 0, false}, {"-123", -123, false}, {"007", 7, false}, {"2147483647", 2147483647, false},
      {"2147483648", -2147483647 - 1, false}, {"-2147483648", -2147483647 - 1, false},
      {"-2147483649", 2147483647, false}, {"4294967297", 1, false},
      {"99999999999999999999", 1661992959, false},  // 10^20 - 1 modulo 2^32
      {"-", 0, false}, {"", 0, true}, {" 1", 0, true}, {"1 ", 0, true}, {"+1", 0, true}, {"--1", 0, true},
      {"1-", 0, true}, {"1.5", 0, true}, {"0x1A", 0, true}, {"12abc", 0, true}, {"1\0002"sv, 0, true},
  };
  for (const auto& c : cases) {
    bool failed = !c.failed;
    EXPECT_EQ(ParseInteger(Exact(c.text).get(), static_cast<int32_t>(c.text.size()), &failed), c.value) << c.text;
    EXPECT_EQ(failed, c.failed) << c.text;
  }
  bool failed = true;
  EXPECT_TRUE(ParseInteger("12abc", 2, &failed) == 12 && !failed);
  EXPECT_TRUE(ParseInteger("-42", -1, &failed) == -42 && !failed);
  EXPECT_TRUE(ParseInteger(nullptr, -1, &failed) == 0 && failed);
  EXPECT_EQ(ParseInteger("77", 2), 77);  // the failure flag is optional
}

TEST(ParseDouble, DecimalFormsNamesOverflowAndUnderflow) {
  const struct { std::string text; double value; bool failed; } cases[] = {
      {"1.5", 1.5, false}, {"+5", 5, false}, {".5", 0.5, false}, {"5.", 5, false}, {"1.e5", 1e5, false},
      {"00012", 12, false}, {"1E+2", 100, false}, {"2.5e-3", 0.0025, false}, {"-0", -0.0, false},
      {"0.1", 0.1, false}, {"1e-310", 1e-310, false}, {"4.9e-324", 4.9e-324, false},
      {"\t\n\v\f\r 12", 12, false}, {"", 0, false}, {"12 ", 0, true}, {"12abc", 0, true}, {"1,5", 0, true},
      {"   ", 0, true}, {".", 0, true}, {"-", 0, true}, {"--1", 0, true}, {"1e", 0, true}, {"1e+", 0, true},
      {".e5", 0, true}, {"1.2.3", 0, true}, {"0x10", 0, true}, {"0x1p3", 0, true}, {"1\0"s, 0, true},
      {"1e400", kInf, true}, {"-1e400", -kInf, true}, {"0.001e312", kInf, true}, {"1.8e308", kInf, true},
      {"1" + k400Zeros, kInf, true}, {"1e-400", 0.0, false}, {"-1e-400", -0.0, false},
      {"1e-99999999999999999999", 0.0, false}, {"1000e-326", 1e-323, false}, {"0." + k400Zeros + "1", 0.0, false},
      {"1" + k400Zeros + "e-400", 1.0, false}, {"0." + k400Zeros + "1e400", 0.1, false},
      {"1e0000000000000000000000000000001", 10.0, false}, {"0e999999999999", 0.0, false},
      {"Infinity", kInf, false}, {"iNf", kInf, false}, {"-INF", -kInf, false}, {"-infinity", -kInf, false},
      {"NaN", kNan, false}, {"-NAN", -kNan, false}, {"+INF", 0, true}, {"+nan", 0, true}, {" inf", 0, true},
      {"infinit", 0, true}, {"nan(1)", 0, true},
  };
  for (const auto& c : cases) {
    bool failed = !c.failed;
    const double got = ParseDouble(Exact(c.text).get(), static_cast<int32_t>(c.text.size()), &failed);
    EXPECT_TRUE(std::isnan(c.value) ? std::isnan(got) && std::signbit(got) == std::signbit(c.value)
                                    : Bits(got) == Bits(c.value)) << c.text << " gave " << got;
    EXPECT_EQ(failed, c.failed) << c.text;
  }
  for (auto [text, length, value] :
       {std::tuple{"inf", -1, 0.0}, {"Infinity", -1, 0.0}, {"nan", -1, 0.0}, {"0x1A", -1, 0.0}, {"1.25", -1, 1.25},
        {"INFx", 3, kInf}, {"2.5xyz", 3, 2.5}}) {
    bool failed = value != 0;  // names need a length; a length ends the text
    EXPECT_TRUE(ParseDouble(text, length, &failed) == value && failed == (value == 0)) << text;
  }
}

TEST(FormatNumber, FixedExamplesTiesAndNames) {
  String s("n=");
  AppendInteger(s, -12);
  AppendDouble(s, 1.5);
  EXPECT_EQ(s.View(), "n=-121.5"sv);
  EXPECT_EQ(FormatInteger(-2147483647 - 1).View(), "-2147483648"sv);
  const std::string z = k400Zeros;
  const struct { double value; int decimals; std::string want; } cases[] = {
      {100.0, -1, "100"}, {0.1, -1, "0.1"}, {0.1 + 0.2, -1, "0.30000000000000004"}, {1e-25, -1, "0"},
      {1e21, -1, "1" + z.substr(0, 21)}, {-1e-25, -1, "-0"}, {1e-20, -1, "0." + z.substr(0, 19) + "1"},
      {2.5, 3, "2.500"}, {-0.0, -1, "-0"}, {0.0, -1, "0"}, {123.456, 2, "123.46"}, {-0.4, 0, "-0"},
      {1e21, 2, "1" + z.substr(0, 21) + ".00"}, {0.1, 25, "0.1" + z.substr(0, 24)}, {9.96, 1, "10.0"},
      {5e-324, 323, "0." + z.substr(0, 323)}, {5e-324, 330, "0." + z.substr(0, 323) + "5000000"}, {-9.96, 0, "-10"},
      // Past 2^53: the shortest digits, then zeros, never the binary value
      // (the nearest double to 1e23 is 99999999999999991611392).
      {1e23, -1, "1" + z.substr(0, 23)}, {1e23, 2, "1" + z.substr(0, 23) + ".00"},
      {std::ldexp(1.0, 60), -1, "1152921504606847000"}, {-5e22, -1, "-5" + z.substr(0, 22)},
      {std::numeric_limits<double>::max(), -1, "17976931348623157" + z.substr(0, 292)},
      // Exact binary ties go to even; 0.15 lies below its midpoint.
      {2.5, 0, "2"}, {3.5, 0, "4"}, {0.5, 0, "0"}, {0.125, 2, "0.12"}, {0.375, 2, "0.38"}, {-0.125, 2, "-0.12"},
      {123456789.125, 2, "123456789.12"}, {0.15, 1, "0.1"},
      {kNan, -1, "NaN"}, {-kNan, -1, "-NaN"}, {kInf, -1, "Infinity"}, {-kInf, 3, "-Infinity"},
  };
  for (const auto& c : cases) {
    const String text = FormatDouble(c.value, c.decimals);
    EXPECT_EQ(text.View(), c.want) << c.want << " with " << c.decimals;
    if (std::isfinite(c.value)) continue;
    bool failed = true;  // the names read back
    const double back = ParseDouble(text.Text(), text.Length(), &failed);
    EXPECT_TRUE(!failed && FormatDouble(back, c.decimals).View() == text.View()) << c.want;
  }
}

// Shortest round-trip digits of |v| and the power of ten of the first, from
// the scientific form (the library's fixed form prints integers exactly).
struct Shortest {
  std::string digits;
  int exponent;
  int FractionDigits() const { return std::max(0, static_cast<int>(digits.size()) - 1 - exponent); }
};

Shortest ShortestDigits(double v) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(v), std::chars_format::scientific).ptr;
  const std::string text(buffer, end);
  std::string digits = text.substr(0, text.find('e'));
  std::erase(digits, '.');
  return {digits, std::stoi(text.substr(text.find('e') + 1))};
}

// The shortest digits around the point when they fit in the limit, else
// printf's rounding of the exact value without trailing zeros; then padding.
std::string Oracle(double v, int decimals, const Shortest& s) {
  const int limit = decimals < 0 ? 20 : decimals;
  std::string text;
  if (s.FractionDigits() <= limit) {
    const int whole = s.exponent + 1;
    const auto n = static_cast<size_t>(std::max(whole, 0));
    if (whole <= 0) text = "0." + std::string(static_cast<size_t>(-whole), '0') + s.digits;
    else if (n >= s.digits.size()) text = s.digits + std::string(n - s.digits.size(), '0');
    else text = s.digits.substr(0, n) + "." + s.digits.substr(n);
  } else {
    text.assign(400 + static_cast<size_t>(limit), '\0');
    text.resize(static_cast<size_t>(snprintf(text.data(), text.size(), "%.*f", limit, std::fabs(v))));
    if (text.find('.') != std::string::npos) text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
  }
  if (decimals > 0) {
    if (text.find('.') == std::string::npos) text += '.';
    text.append(static_cast<size_t>(decimals) - (text.size() - text.find('.') - 1), '0');
  }
  return (std::signbit(v) ? "-" : "") + text;
}

// Both sides of 2^53, from where integers outgrow the digits a double holds.
TEST(FormatDouble, RandomValuesRoundTripAndMatchTheOracle) {
  std::mt19937_64 rng(20240601);
  std::uniform_real_distribution<double> unit(1.0, 10.0);
  int round_tripped[2] = {}, fixed_checked[2] = {};
  for (int i = 0; i < 40000; ++i) {
    double v;
    switch (i % 4) {
      case 0: v = std::bit_cast<double>(rng()); break;  // any bits: huge, tiny and subnormal values
      case 1: v = unit(rng) * std::pow(10.0, static_cast<int>(rng() % 51) - 25); break;  // near 20 digits
      case 2: v = static_cast<double>(rng() % 100000000) / std::pow(10.0, static_cast<int>(rng() % 9)); break;
      default: v = static_cast<double>(rng() % 1000000) / static_cast<double>(1 << (rng() % 12 + 1));  // ties
    }
    if (rng() & 1) v = -v;
    if (!std::isfinite(v)) continue;
    const bool large = std::fabs(v) >= 0x1p53;
    const String text = FormatDouble(v);
    const Shortest digits = ShortestDigits(v);
    if (digits.FractionDigits() <= 20) {
      bool failed = true;
      const double back = ParseDouble(text.Text(), text.Length(), &failed);
      ASSERT_TRUE(!failed && Bits(back) == Bits(v)) << text.Text();
      ++round_tripped[large];
    }
    const bool all_decimals = i % 32 % 9 == 0;  // 0, 9, 18, 27: every kind
    for (int decimals = -1; decimals <= (all_decimals ? 25 : -1); ++decimals) {
      ASSERT_EQ((decimals == -1 ? text : FormatDouble(v, decimals)).View(), Oracle(v, decimals, digits))
          << "bits " << Bits(v) << ", decimals " << decimals;
    }
    fixed_checked[large] += all_decimals;
  }
  // A generator change must not quietly skip either side.
  EXPECT_GT(std::min(round_tripped[0], round_tripped[1]), 5000);
  EXPECT_GT(std::min(fixed_checked[0], fixed_checked[1]), 700);
}

TEST(TextTruth, OnlyZerosWithOnePointAreFalse) {
  const std::pair<std::string_view, bool> cases[] = {
      {"", false}, {"0", false}, {"000", false}, {"0.0", false}, {".", false}, {"0.", false}, {".000", false},
      {"-0", true}, {"0..0", true}, {"..", true}, {"1", true}, {" ", true}, {"0 ", true}, {"00x", true},
      {"\0"sv, true}, {"false", true}};
  for (const auto& [text, truth] : cases) EXPECT_EQ(TextTruth(text.data(), int32_t(text.size())), truth) << text;
  EXPECT_FALSE(TextTruth("0\0001", -1) || TextTruth("01", 1));  // the terminator or the length ends it
}

TEST(StripNul, RemovesEveryNulByte) {
  EXPECT_EQ(StripNul("a\0b\0\0c\0", 7).View(), "abc"sv);
  EXPECT_EQ(StripNul("ab\0cd", -1).View(), "ab"sv);
}

// Exactly -1, 0 or 1; letters are lowered, not raised ('_' and '[' sit
// between the cases); high bytes compare unsigned and do not fold.
TEST(CompareNoCase, SignAndByteOrder) {
  const struct { const char *a, *b; int32_t n; int want; } cases[] = {
      {"abc", "ABC", 3, 0}, {"abc", "ABD", 3, -1}, {"b", "A", 1, 1}, {"az", "b", 1, -1}, {"za", "A", 1, 1},
      {"xyz", "abc", 0, 0}, {"_", "A", 1, -1}, {"[", "{", 1, -1}, {"\xE9", "z", 1, 1}, {"z", "\x80", 1, -1},
      {"\xC9", "\xE9", 1, -1}, {"a\0b", "A\0c", 3, -1}};
  for (const auto& c : cases) EXPECT_EQ(CompareNoCase(c.a, c.b, c.n), c.want) << c.a << " " << c.b;
}

}  // namespace
}  // namespace lumo
