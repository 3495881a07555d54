// The operators: comparison, truth, arithmetic, rounding, text search,
// crypt and concatenation, each through an assembled program that prints
// its result.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/base/conversions.h"
#include "tests/core/vm/cases.h"
#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

// Two operands pushed, then one instruction, then its result printed.
std::string Binary(const std::string& a, const std::string& b, const std::string& op) {
  return a + "\n" + b + "\n" + op + "\nout";
}

TEST(Operators, CompareNumbersWhenBothAreNumbersElseBytes) {
  const struct {
    const char* a;
    const char* b;
    const char* cmp;
  } cases[] = {
      {"pushc \"10\"", "pushc \"9\"", "1"},
      {"pushc \"10\"", "pushc \"9a\"", "-1"},
      {"pushc \"abc\"", "pushc \"abcd\"", "-1"},
      {"pushc \"abcd\"", "pushc \"abc\"", "1"},
      {"pushc \"abc\"", "pushc \"abc\"", "0"},
      {"pushc \"\"", "pushc \"\"", "0"},
      // An empty text reads as the number 0.
      {"pushc \"\"", "pushc \"0\"", "0"},
      {"pushc \"\"", "pushc \"a\"", "-1"},
      {"pushc \" 5\"", "pushi 5", "0"},
      {"pushc \"5 \"", "pushc \"5\"", "1"},
      {"pushc \"1e2\"", "pushi 100", "0"},
      {"pushi 2", "pushf 2.0", "0"},
      {"pushi 2", "pushf 2.5", "-1"},
      {"pushf -0.5", "pushi -1", "1"},
      {"pushi -2147483648", "pushi 2147483647", "-1"},
      {"pushf nan", "pushi 0", "-1"},
      {"pushf nan", "pushf nan", "-1"},
      {"pushf -inf", "pushf inf", "-1"},
      {"pushc \"\\x80\"", "pushc \"a\"", "1"},
      {"pushc \"\\xff\"", "pushc \"\\x01\"", "1"},
      {"pushc \"a\\x00b\"", "pushc \"a\"", "1"},
      {"pushc \"b\"", "pushc \"B\"", "1"},
      {"pushc \"7\"\npopnc \"v\"\npushnc \"v\"", "pushi 10", "-1"},
      {"pushf 7.5\npopnc \"v\"\npushnc \"v\"", "pushc \"10\"", "-1"},
      {"pushc \"7x\"\npopnc \"v\"\npushnc \"v\"", "pushc \"7y\"", "-1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Printed(Binary(c.a, c.b, "cmp")), c.cmp) << c.a << " cmp " << c.b;
    // Every comparison instruction agrees with cmp.
    const int k = std::stoi(c.cmp);
    const std::string expected = std::string(k == 0 ? "1" : "0") + (k != 0 ? "1" : "0") +
                                 (k >= 0 ? "1" : "0") + (k <= 0 ? "1" : "0") +
                                 (k < 0 ? "1" : "0") + (k > 0 ? "1" : "0");
    std::string all;
    for (const char* op : {"eq", "ne", "ge", "le", "lt", "gt"}) all += Binary(c.a, c.b, op) + "\n";
    EXPECT_EQ(Printed(all), expected) << c.a << " vs " << c.b;
  }
}

TEST(Operators, Truth) {
  const struct {
    const char* push;
    bool truth;
  } cases[] = {
      {"pushc \"\"", false},    {"pushc \"0\"", false},   {"pushc \"000\"", false},
      {"pushc \"0.0\"", false}, {"pushc \".\"", false},   {"pushc \"0.\"", false},
      {"pushc \"0..0\"", true}, {"pushc \"1\"", true},    {"pushc \" 0\"", true},
      {"pushc \"0 \"", true},   {"pushc \"-0\"", true},   {"pushc \"x\"", true},
      {"pushi 0", false},       {"pushi -1", true},       {"pushf 0.0", false},
      {"pushf -0.0", false},    {"pushf 0.001", true},    {"pushf nan", true},
      {".global v\npushg v", false},
      {".global v\npushc \"0.0\"\npopg v\npushg v", false},
      {".global v\npushf 0.5\npopg v\npushg v", true},
  };
  for (const auto& c : cases) {
    const std::string t = c.truth ? "1" : "0";
    const std::string f = c.truth ? "0" : "1";
    EXPECT_EQ(Printed(std::string(c.push) + "\nnot\nout"), f) << c.push;
    EXPECT_EQ(Printed(Binary(c.push, "pushi 1", "and")), t) << c.push;
    EXPECT_EQ(Printed(Binary(c.push, "pushi 0", "or")), t) << c.push;
    EXPECT_EQ(Printed(Binary("pushi 0", c.push, "or")), t) << c.push;
  }
}

TEST(Operators, Arithmetic) {
  const std::string infinity(FormatDouble(std::numeric_limits<double>::infinity()).View());
  ExpectPrinted({
      {Binary("pushc \"3\"", "pushc \"4.5\"", "add"), "7.5"},
      {Binary("pushc \"abc\"", "pushi 2", "add"), "2"},
      {Binary("pushc \"2x\"", "pushi 1", "mul"), "0"},
      {Binary("pushi 7", "pushc \" 2\"", "sub"), "5"},
      {Binary("pushi 2147483647", "pushi 1", "add"), "2147483648"},
      {Binary("pushf 0.1", "pushi 3", "mul"), "0.30000000000000004"},
      {Binary("pushi 7", "pushi 2", "div"), "3.5"},
      {Binary("pushi 0", "pushi 0", "div"), "0"},
      {Binary("pushi 1", "pushi 0", "div"), infinity},
      {Binary("pushi -1", "pushi 0", "div"), "-" + infinity},
      {Binary("pushi 1", "pushi 0", "div") + "\npushi 1\npushi 0\ndiv\npushf inf\ncmp\nout",
       infinity + "0"},
      {Binary("pushi -7", "pushi 2", "mod"), "-1"},
      {Binary("pushi 7", "pushi -3", "mod"), "1"},
      {Binary("pushi 7", "pushi 0", "mod"), "0"},
      {Binary("pushi -2147483648", "pushi -1", "mod"), "0"},
      {Binary("pushf 7.9", "pushc \"4\"", "mod"), "3"},
      {Binary("pushi 12", "pushi 10", "bitand"), "8"},
      {Binary("pushi 12", "pushi 10", "bitor"), "14"},
      {Binary("pushi 12", "pushi 10", "bitxor"), "6"},
      {"pushi 5\nbitoc\nout", "-6"},
      {"pushi 0\nbitoc\nout", "-1"},
      {Binary("pushi 1", "pushi 33", "bitsl"), "2"},
      {Binary("pushi 1", "pushi 31", "bitsl"), "-2147483648"},
      {Binary("pushi 8", "pushi 33", "bitsr"), "4"},
      {Binary("pushi -8", "pushi 1", "bitsr"), "-4"},
      {Binary("pushi -1", "pushi 31", "bitsr"), "-1"},
      {Binary("pushi 2", "pushi 10", "pow"), "1024"},
      {Binary("pushi 2", "pushi -1", "pow"), "0.5"},
      {Binary("pushi 9", "pushc \"0.5\"", "pow"), "3"},
  });
}

TEST(Operators, Rounding) {
  ExpectPrinted({
      {Binary("pushf 2.5", "pushi 0", "roundf"), "2.5"},
      {Binary("pushf 0.125", "pushi 2", "roundf"), "0.12"},
      {Binary("pushf 0.135", "pushi 2", "roundf"), "0.14"},
      {Binary("pushf -0.135", "pushi 2", "roundf"), "-0.14"},
      {Binary("pushf 9.995", "pushi 2", "roundf"), "10"},
      {Binary("pushf 1.25", "pushi -3", "roundf"), "1.25"},
      {Binary("pushc \"1.5\"", "pushi 3", "rounds"), "1.500"},
      {Binary("pushf 0.125", "pushi 2", "rounds"), "0.12"},
      {Binary("pushi 7", "pushi 2", "rounds"), "7.00"},
      {Binary("pushf 1.25", "pushi -3", "rounds"),
       Printed(Binary("pushf 1.25", "pushi 0", "rounds"))},
      {Binary("pushf 3.75", "pushi -1", "rounds"), "4"},
  });
}

// A decimal count far beyond any double's digits must not become a text
// of that length (nor an instruction that runs for minutes).
TEST(Operators, RoundsWithHugeDecimalCount) {
  const std::string out = Printed(Binary("pushf 1.5", "pushi 2147483647", "rounds"));
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(out.substr(0, 3), "1.5");
  EXPECT_LT(out.size(), 2000u);
  EXPECT_EQ(out.find_first_not_of('0', 3), std::string::npos);
}

// The search itself is tested with the text functions; here each of the
// four instructions on a short and a long (skip-table) haystack.
TEST(Operators, TextPosition) {
  const std::string hay(400, 'a');
  const std::string long_hay = "pushc \"" + hay + "Bc" + hay + "\"";
  ExpectPrinted({
      {Binary("pushc \"lo\"", "pushc \"hello\"", "in"), "4"},
      {Binary("pushc \"LO\"", "pushc \"hello\"", "cin"), "4"},
      {Binary("pushc \"lo\"", "pushc \"hello\"", "ein"), "5"},
      {Binary("pushc \"LO\"", "pushc \"hello\"", "ecin"), "5"},
      {Binary("pushc \"\"", "pushc \"hello\"", "in"), "1"},
      {Binary("pushc \"\"", "pushc \"hello\"", "ein"), "0"},
      {Binary("pushi 23", "pushi 1234", "in"), "2"},
      {Binary("pushc \"aBc\"", long_hay, "in"), "400"},
      {Binary("pushc \"ABC\"", long_hay, "cin"), "400"},
      {Binary("pushc \"aBc\"", long_hay, "ein"), "402"},
      {Binary("pushc \"CA\"", long_hay, "ecin"), "403"},
  });
}

TEST(Operators, Crypt) {
  ExpectPrinted({
      {Binary("pushc \"test\"", "pushc \"ab\"", "crypt"), "abgOeLfPimXQo"},
      {Binary("pushc \"test\"", "pushc \"abXYZ\"", "crypt"), "abgOeLfPimXQo"},
      {Binary("pushc \"test\"", "pushc \"a\"", "crypt"),
       Printed(Binary("pushc \"test\"", "pushc \"aa\"", "crypt"))},
  });
  // An empty salt is chosen at random (the choice is tested with crypt).
  EXPECT_EQ(Printed(Binary("pushc \"pw\"", "pushc \"\"", "crypt")).size(), 13u);
}

TEST(Operators, CatFormatsNumbers) {
  ExpectPrinted({
      {Binary("pushf 1.5", "pushi -2", "cat"), "1.5-2"},
      {"pushf 0.1\npushf 0.2\nadd\npushc \"\"\ncat\nout", "0.30000000000000004"},
      {Binary("pushc \"\"", "pushf 100.0", "cat"), "100"},
      {Binary("pushc \"a\\x00\"", "pushc \"b\"", "cat"), std::string("a\0b", 3)},
      {"pushi 1\npushi 2\ncat\npushi 3\nadd\nout", "15"},
      // A variable holding an integer reads as its digits; one holding a
      // text that reads as a number keeps its own text.
      {".global n\npushi -42\npopg n\npushc \"<\"\npushg n\ncat\nout", "<-42"},
      {".global n\npushc \"007\"\npopg n\npushg n\npushi 1\nadd\npop\n"
       "pushc \"<\"\npushg n\ncat\nout", "<007"},
  });
}

// A chain of joins extends the text it built in place; pieces of every
// kind land in order, and a duplicate taken midway keeps its own bytes.
TEST(Operators, CatChainsGrowOneText) {
  std::string want = "x";
  for (int i = 0; i < 3000; ++i) want += std::to_string(i) + ",";
  EXPECT_EQ(Printed(".global i\npushc \"x\"\npushc \"\"\ncat\nstoregi i, 0\n"
                    "loop: pushg i\ncat\npushc \",\"\ncat\nincg i, 1\ncmpgi i, 2999\n"
                    "jmp_le loop\nout"),
            want);
  ExpectPrinted({
      {"pushc \"a\"\npushi 7\ncat\npushf 2.5\ncat\npushc \"b\"\ncat\nout", "a72.5b"},
      {"pushc \"a\"\npushc \"b\"\ncat\ndup\npushc \"c\"\ncat\nout\nout", "abcab"},
  });
}

}  // namespace
}  // namespace lumo
