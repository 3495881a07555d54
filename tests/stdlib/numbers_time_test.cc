// Numbers and time through programs, with their bad arguments.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <sstream>
#include <string>

#include "tests/stdlib/script_runner.h"

namespace lumostd_test {
namespace {

struct BadCase {
  const char* script;
  const char* message;
};

void ExpectErrors(const BadCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const std::string error = ErrorOf(cases[i].script);
    EXPECT_NE(error.find(cases[i].message), std::string::npos) << cases[i].script << "\n" << error;
  }
}

TEST(StdlibNumbers, Arithmetic) {
  EXPECT_EQ(Printed(R"(
abs(-5)
abs("-2.5")
abs(-2147483648)
floor(-1.5)
ceil(-1.5)
floor("7")
ceil(1e10)
round(2.5, 0)
round(-2.5, 0)
round(1.005, 2)
round(1234.5678, 1)
round("0.135", 2)
min(3, "10")
max(3, "10")
min(-1.5, -1)
div(-7, 2)
rem(-7, 2)
div(7, -2)
rem(7, -2)
div("9007199254740991", 1)
isnum(" 12")
isnum("12 ")
isnum("1e3")
isnum("")
isnum("abc")
isnum("-Infinity")
isnum("+1")
isnum(jsondecode("[1]"))
)"),
            "5\n2.5\n2147483648\n-2\n-1\n7\n10000000000\n3\n-3\n1.01\n1234.6\n0.14\n3\n10\n-1.5\n"
            "-3\n-1\n-3\n1\n9007199254740991\n1\n0\n1\n0\n0\n1\n0\n0\n");
}

TEST(StdlibNumbers, RandomStaysInRangeAndCoversIt) {
  std::string script;
  for (int i = 0; i < 200; ++i) script += "random(1, 6)\n";
  script += "random(-2147483648, 2147483647)\nrandom(5, 5)\n";
  const std::string out = Printed(script);
  std::istringstream lines(out);
  std::set<int> seen;
  std::string line;
  for (int i = 0; i < 200 && std::getline(lines, line); ++i) {
    const int v = atoi(line.c_str());
    ASSERT_TRUE(v >= 1 && v <= 6) << line;
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 6u);
  std::getline(lines, line);
  std::getline(lines, line);
  EXPECT_EQ(line, "5");
  // Another run draws another sequence.
  EXPECT_NE(Printed(script), out);
}

TEST(StdlibNumbers, BadArguments) {
  const BadCase cases[] = {
      {"abs(\"x\")", "abs: the number 'x' is not a number"},
      {"floor(jsondecode(\"[1]\"))", "floor: the number is an array or structure, not a number"},
      {"round(1.5, 21)", "round: the number of decimals must lie between 0 and 20"},
      {"round(1.5, -1)", "round: the number of decimals must lie between 0 and 20"},
      {"min(1, \"two\")", "min: the second number 'two' is not a number"},
      {"div(1, 0)", "div: division by zero"},
      {"rem(1, 0)", "rem: division by zero"},
      {"div(1.5, 1)", "div: the dividend is not a whole number below 2^53"},
      {"rem(1, 1e300)", "rem: the divisor is not a whole number below 2^53"},
      {"random(6, 1)", "random: the lower bound is above the upper bound"},
      {"random(1, 1e12)", "random: the upper bound lies outside the range of whole numbers"},
  };
  ExpectErrors(cases, sizeof cases / sizeof cases[0]);
}

TEST(StdlibTime, FormattingParsingAndArithmetic) {
  EXPECT_EQ(Printed(R"(
timeformat(0, "%F %T")
timeformat(1709211909, "%a %e %B %Y, %I:%M %p %Z %z %j %w %u %y")
timeparse("2024-02-29T14:05:09+01:00")
timeparse("20240229")
timeparse("1969-12-31T23:59:59Z")
timeformat(adddays(1709211909, 1), "%a %e %B %Y")
timeformat(addmonths(timeparse("2024-01-31"), 1), "%F")
timeformat(addmonths(timeparse("2023-03-31T10:00:00Z"), -1), "%F %T")
addseconds(0, 90.9)
addseconds(0, -0.5)
weekday(0)
weekday(timeparse("2024-03-03"))
timeformat(-62135596800, "%F %A")
timeformat(253402300799, "%F %T")
timeformat(1.9, "%s")
)"),
            "1970-01-01 00:00:00\nThu 29 February 2024, 01:05 PM UTC +0000 060 4 4 24\n"
            "1709211909\n1709164800\n-1\nFri 1 March 2024\n2024-02-29\n2023-02-28 10:00:00\n"
            "90\n-1\n4\n0\n0001-01-01 Monday\n9999-12-31 23:59:59\n1\n");
}

TEST(StdlibTime, NowAndLocalTime) {
  const std::string out = Printed("now()\ntimelocal(0, \"%Y|%z|%Z\")\ntimelocal(now(), \"%s\")");
  std::istringstream lines(out);
  std::string now_line, local_line, epoch_line;
  std::getline(lines, now_line);
  std::getline(lines, local_line);
  std::getline(lines, epoch_line);
  const long long now = atoll(now_line.c_str());
  EXPECT_LE(std::llabs(now - static_cast<long long>(time(nullptr))), 5) << out;
  // Whatever the machine's zone, the epoch lies in 1969 or 1970 there and
  // %s gives the instant back.
  EXPECT_TRUE(local_line.rfind("1970|", 0) == 0 || local_line.rfind("1969|", 0) == 0) << out;
  EXPECT_LE(std::llabs(atoll(epoch_line.c_str()) - now), 5) << out;
}

TEST(StdlibTime, BadArguments) {
  const BadCase cases[] = {
      {"timeparse(\"2023-02-29\")", "timeparse: The date or time '2023-02-29' does not exist"},
      {"timeparse(\"yesterday\")", "timeparse: The text 'yesterday' is not an ISO 8601 date or time"},
      {"timeformat(0, \"%Q\")", "timeformat: The time pattern has an unknown letter 'Q' after '%'"},
      {"timelocal(0, \"50%\")", "timelocal: The time pattern ends with a lone '%'"},
      {"timeformat(1e15, \"%F\")", "timeformat: the time lies outside the years 1 to 9999"},
      {"timeformat(\"soon\", \"%F\")", "timeformat: the time 'soon' is not a number"},
      {"adddays(253402300799, 1)", "adddays: the result lies outside the years 1 to 9999"},
      {"addmonths(0, 200000)", "addmonths: the result lies outside the years 1 to 9999"},
      {"addmonths(0, -23641)", "addmonths: the result lies outside the years 1 to 9999"},
      {"addseconds(-62135596800, -1)", "addseconds: the result lies outside the years 1 to 9999"},
      {"weekday(jsondecode(\"{}\"))", "weekday: the time is an array or structure"},
  };
  ExpectErrors(cases, sizeof cases / sizeof cases[0]);
}

}  // namespace
}  // namespace lumostd_test
