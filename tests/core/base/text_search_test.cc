#include "core/base/text_search.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>

namespace lumo {
namespace {

struct Positions {
  int32_t in, cin, ein, ecin;
  bool operator==(const Positions&) const = default;
};

void PrintTo(const Positions& p, std::ostream* os) {
  *os << "in " << p.in << " cin " << p.cin << " ein " << p.ein << " ecin " << p.ecin;
}

Positions All(const std::string& a, const std::string& b) {
  auto at = [&](bool ignore_case, bool end) {
    return TextPosition(a.data(), static_cast<int32_t>(a.size()), b.data(),
                        static_cast<int32_t>(b.size()), ignore_case, end);
  };
  return {at(false, false), at(true, false), at(false, true), at(true, true)};
}

// Each haystack is tried as it is and padded past the length at which the
// skip-table search takes over; both must find the same first occurrence.
TEST(TextPosition, FourOperatorsOnShortAndLongHaystacks) {
  const struct { std::string a, b; Positions expected; } cases[] = {
      {"lo", "hello world", {4, 4, 5, 5}},
      {"LO", "hello world", {0, 4, 0, 5}},
      {"o", "hello world", {5, 5, 5, 5}},  // first, not last, occurrence
      {"hello", "hello", {1, 1, 5, 5}},
      {"", "abc", {1, 1, 0, 0}},
      {"", "", {1, 1, 0, 0}},
      {"abcd", "abc", {0, 0, 0, 0}},
      {"xyz", "hello", {0, 0, 0, 0}},
      {"aab", "aaaab", {3, 3, 5, 5}},
      {"\x80\xff", "a\x7f\x80\xff", {3, 3, 4, 4}},
      {std::string("b\0c", 3), std::string("ab\0c", 4), {2, 2, 4, 4}},
      {"\xC0", "\xE0", {0, 0, 0, 0}},  // no case outside ASCII
      {"Ab[", "xaB[", {0, 2, 0, 4}},
  };
  const std::string pad(400, '-');
  for (const auto& c : cases) {
    const auto shift = [&](int32_t v) { return v > 0 && !c.a.empty() ? v + 400 : v; };
    const Positions& e = c.expected;
    EXPECT_EQ(All(c.a, c.b), e) << c.a << " in " << c.b;
    const Positions padded{shift(e.in), shift(e.cin), shift(e.ein), shift(e.ecin)};
    EXPECT_EQ(All(c.a, pad + c.b), padded)
        << c.a << " in padded " << c.b;
  }
}

// Random texts over a small alphabet (many near misses, mixed case)
// against a plain reference, across the switch between the two searches.
TEST(TextPosition, AgreesWithReferenceSearch) {
  std::mt19937 rng(7);
  auto text = [&](size_t n) {
    std::string s(n, ' ');
    for (char& ch : s) ch = "abAB\x80"[rng() % 5];
    return s;
  };
  auto lowered = [](std::string s) {
    for (char& ch : s) ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
    return s;
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string b = text(rng() % 700);
    // Some needles are known to occur, at the very end.
    const std::string a =
        rng() % 4 == 0 && b.size() > 8 ? b.substr(b.size() - 6) : text(1 + rng() % 6);
    const size_t plain = b.find(a), folded = lowered(b).find(lowered(a));
    const Positions p = All(a, b);
    const int32_t in = plain == std::string::npos ? 0 : static_cast<int32_t>(plain) + 1;
    const int32_t cin = folded == std::string::npos ? 0 : static_cast<int32_t>(folded) + 1;
    const int32_t n = static_cast<int32_t>(a.size());
    ASSERT_EQ(p.in, in) << a << " in " << b;
    ASSERT_EQ(p.cin, cin) << a << " in " << b;
    ASSERT_EQ(p.ein, in ? in + n - 1 : 0);
    ASSERT_EQ(p.ecin, cin ? cin + n - 1 : 0);
  }
}

}  // namespace
}  // namespace lumo
