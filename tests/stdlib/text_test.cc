// Text functions through programs, with their bad arguments.
#include <gtest/gtest.h>

#include <string>

#include "tests/stdlib/script_runner.h"

namespace lumostd_test {
namespace {

TEST(StdlibText, LengthsAndPieces) {
  EXPECT_EQ(Printed(R"(
len("h\xc3\xa9llo")
len("")
len(12345)
substr("Lumo Dex", 5, 3)
substr("abc", 1, 99)
substr("abc", 3, 1)
substr("abc", 99, 1)
substr("a\0b", 1, 2)
left("abcdef", 2)
left("ab", 9)
right("abcdef", 2)
right("ab", 9)
find("a.b.c", ".")
findlast("a.b.c", ".")
find("abc", "x")
find("abc", "")
findlast("abc", "")
)"),
            "6\n0\n5\nDex\nbc\n\n\n" + std::string("\0b", 2) + "\nab\nab\nef\nab\n1\n3\n-1\n0\n3\n");
}

TEST(StdlibText, Transformations) {
  EXPECT_EQ(Printed(R"(
replace("a-b-c", "-", "+")
replace("aaa", "aa", "b")
replace("abc", "x", "y")
upper("stra\xc3\x9fe")
lower("MiXeD 1")
trim("  a b \n")
ltrim("\t x ")
rtrim(" x \r\n")
trim("   ")
lpad("7", 3, "0")
rpad("ab", 5, "xy")
lpad("long", 2, "*")
repeat("ab", 3)
repeat("ab", 0)
startswith("prefix", "pre")
startswith("pre", "prefix")
endswith("file.txt", ".txt")
endswith("", "")
compare("abc", "abd")
compare("b", "a")
compare("x", "x")
icompare("ABC", "abd")
icompare("Hello", "hELLO")
icompare("ab", "A")
ord("A")
ord("\xff")
ord("")
chr(65)
numformat(1234567.891, 2, ",")
numformat(-1234567, 0, ".")
numformat(2.675, 2, "")
numformat("0.5", 0, ",")
numformat(-0.001, 2, ",")
)"),
            "a+b+c\nba\nabc\nSTRA\xc3\x9f" "E\nmixed 1\na b\nx \n x\n\n007\nabxyx\nlong\nababab\n\n"
            "1\n0\n1\n1\n-1\n1\n0\n-1\n0\n1\n65\n255\n-1\nA\n1,234,567.89\n-1.234.567\n2.68\n"
            "1\n0.00\n");
}

TEST(StdlibText, SplitAndJoin) {
  EXPECT_EQ(Printed(R"(
jsonencode(split("a,b,,c", ","))
jsonencode(split("", ","))
jsonencode(split("abc", ""))
jsonencode(split("a::b::", "::"))
join(split("a b c", " "), "-")
join(jsondecode("{\"b\":2,\"a\":1}"), "+")
join(jsondecode("[[1,2],3]"), ";")
join(jsondecode("[]"), ",")
)"),
            "[\"a\",\"b\",\"\",\"c\"]\n[\"\"]\n[\"a\",\"b\",\"c\"]\n[\"a\",\"b\",\"\"]\na-b-c\n"
            "1+2\n1,2;3\n\n");
}

TEST(StdlibText, BadArgumentsRaiseAClearError) {
  const struct {
    const char* script;
    const char* message;
  } cases[] = {
      {"substr(\"abc\", 0, -1)", "substr: the length must not be negative"},
      {"substr(\"abc\", -1, 1)", "substr: the start must not be negative"},
      {"substr(\"abc\", \"x\", 1)", "substr: the start 'x' is not a number"},
      {"substr(jsondecode(\"[1]\"), 0, 1)", "substr: the text is an array or structure, not text"},
      {"len(jsondecode(\"{\\\"a\\\":1}\"))", "len: the text is an array or structure"},
      {"left(\"abc\", -2)", "left: the count must not be negative"},
      {"right(\"abc\", -2)", "right: the count must not be negative"},
      {"replace(\"abc\", \"\", \"x\")", "replace: the search text is empty"},
      {"lpad(\"a\", 5, \"\")", "lpad: the fill text is empty"},
      {"rpad(\"a\", -5, \"x\")", "rpad: the width must not be negative"},
      {"repeat(\"a\", -1)", "repeat: the count must not be negative"},
      {"repeat(\"abcdefgh\", 2000000000)", "repeat: the result would be too long"},
      {"chr(256)", "chr: the code must lie between 0 and 255"},
      {"chr(-1)", "chr: the code must lie between 0 and 255"},
      {"numformat(\"abc\", 2, \",\")", "numformat: the number 'abc' is not a number"},
      {"numformat(1, 21, \",\")", "numformat: the number of decimals must lie between 0 and 20"},
      {"numformat(\"Infinity\", 2, \",\")", "numformat: the number is not finite"},
      {"join(\"abc\", \",\")", "join: the array is not an array or structure"},
      {"find(jsondecode(\"[1]\"), \"a\")", "find: the text is an array or structure"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(ErrorOf(c.script).find(c.message), std::string::npos)
        << c.script << "\n" << ErrorOf(c.script);
  }
}

TEST(StdlibCalls, NamesBindWithoutRegardToCase) {
  EXPECT_EQ(Printed("LEN(\"abc\")\nSubStr(\"abc\", 1, 1)"), "3\nb\n");
}

TEST(StdlibCalls, TheMachineChecksCountAndReferences) {
  // The library never sees these calls: the machine refuses them against
  // the function table.
  EXPECT_NE(ErrorOf("substr(\"abc\", 1)").find("Number of parameters mismatch"), std::string::npos);
  EXPECT_NE(ErrorOf("now(1)").find("Number of parameters mismatch"), std::string::npos);
  EXPECT_NE(ErrorOf("$a = \"\"\npush($a, 1)").find("Parameter type mismatch"), std::string::npos);
  EXPECT_NE(ErrorOf("len(&$a)").find("Parameter type mismatch"), std::string::npos);
}

}  // namespace
}  // namespace lumostd_test
