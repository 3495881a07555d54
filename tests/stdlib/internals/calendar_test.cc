#include "stdlib/calendar.h"

#include <gtest/gtest.h>

#include <string>

namespace lumostd {
namespace {

std::string Format(std::string_view pattern, int64_t t, int64_t offset = 0,
                   std::string_view zone = "UTC") {
  std::string out, error;
  if (!FormatTime(pattern, ToCivil(t, offset, zone), out, &error)) return "ERROR: " + error;
  return out;
}

int64_t Parse(std::string_view text, std::string* error = nullptr) {
  int64_t t = 0;
  std::string message;
  if (!ParseIso8601(text, &t, &message)) {
    if (error != nullptr) *error = message;
    return INT64_MIN;
  }
  return t;
}

TEST(Calendar, DayNumbersRoundTripAcrossTheRange) {
  for (int64_t days = DaysFromCivil(1, 1, 1); days <= DaysFromCivil(9999, 12, 31); days += 997) {
    int64_t y = 0;
    int m = 0, d = 0;
    CivilFromDays(days, &y, &m, &d);
    ASSERT_EQ(DaysFromCivil(y, m, d), days);
  }
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(2000, 3, 1), 11017);
  EXPECT_EQ(DaysFromCivil(1969, 12, 31), -1);
  EXPECT_EQ(DaysFromCivil(1, 1, 1) * 86400, kFirstTime);
}

TEST(Calendar, PatternLetters) {
  // 2024-02-29 13:05:09 UTC, a Thursday.
  const int64_t t = 1709211909;
  EXPECT_EQ(Format("%Y-%m-%d %H:%M:%S", t), "2024-02-29 13:05:09");
  EXPECT_EQ(Format("%F %T %z %Z", t), "2024-02-29 13:05:09 +0000 UTC");
  EXPECT_EQ(Format("%a %A %b %B %e %j %w %u %y", t), "Thu Thursday Feb February 29 060 4 4 24");
  EXPECT_EQ(Format("%I %p|%s|100%%", t), "01 PM|1709211909|100%");
  EXPECT_EQ(Format("%I %p", t - 13 * 3600), "12 AM");
  EXPECT_EQ(Format("%H:%M %z %Z", t, -(5 * 3600 + 30 * 60), "X"), "07:35 -0530 X");
  EXPECT_EQ(Format("%Y %a", -1), "1969 Wed");
  EXPECT_EQ(Format("%F %a", kFirstTime), "0001-01-01 Mon");
  EXPECT_EQ(Format("%F %T", kLastTime), "9999-12-31 23:59:59");
}

TEST(Calendar, PatternFaults) {
  EXPECT_EQ(Format("%Q", 0), "ERROR: The time pattern has an unknown letter 'Q' after '%'");
  EXPECT_EQ(Format("abc%", 0), "ERROR: The time pattern ends with a lone '%'");
}

TEST(Calendar, IsoForms) {
  EXPECT_EQ(Parse("1970-01-01"), 0);
  EXPECT_EQ(Parse("2024-02-29T13:05:09Z"), 1709211909);
  EXPECT_EQ(Parse("2024-02-29t13:05:09z"), 1709211909);
  EXPECT_EQ(Parse("2024-02-29 13:05:09"), 1709211909);
  EXPECT_EQ(Parse("20240229T130509Z"), 1709211909);
  EXPECT_EQ(Parse("2024-02-29T13:05:09.999+00:00"), 1709211909);
  EXPECT_EQ(Parse("2024-02-29T14:05:09,5+01:00"), 1709211909);
  EXPECT_EQ(Parse("2024-02-29T08:05:09-0500"), 1709211909);
  EXPECT_EQ(Parse("2024-02-29T15:05:09+02"), 1709211909);
  EXPECT_EQ(Parse("2024-02-29T13:05"), 1709211900);
  EXPECT_EQ(Parse("2024-02-28T24:00:00"), Parse("2024-02-29"));
  EXPECT_EQ(Parse("0001-01-01T00:00:00Z"), kFirstTime);
  EXPECT_EQ(Parse("9999-12-31T23:59:59Z"), kLastTime);
}

TEST(Calendar, IsoRefusals) {
  std::string error;
  EXPECT_EQ(Parse("2023-02-29", &error), INT64_MIN);
  EXPECT_EQ(error, "The date or time '2023-02-29' does not exist");
  for (const char* impossible : {"2023-13-01", "2023-00-10", "2023-04-31", "2023-01-01T24:00:01",
                                 "2023-01-01T12:60", "2023-01-01T12:00:60", "0000-01-01",
                                 "2023-01-01T12:00+24:00"}) {
    EXPECT_EQ(Parse(impossible, &error), INT64_MIN) << impossible;
    EXPECT_NE(error.find("does not exist"), std::string::npos) << impossible;
  }
  for (const char* malformed : {"", "2023", "2023-1-01", "2023-01-01T", "2023-0101", "202301-01",
                                "2023-01-01T1200", "2023-01-01X12:00", "2023-01-01T12:00:00.",
                                "2023-01-01T12:00:00+1", "2023-01-01T12:00Zjunk", " 2023-01-01",
                                "2023-01-01T12:00:00+01:00:00"}) {
    EXPECT_EQ(Parse(malformed, &error), INT64_MIN) << malformed;
    EXPECT_NE(error.find("is not an ISO 8601"), std::string::npos) << malformed;
  }
}

TEST(Calendar, AddMonthsFallsBackToTheLastDay) {
  const int64_t jan31 = Parse("2023-01-31T10:00:00Z");
  EXPECT_EQ(AddMonths(jan31, 1), Parse("2023-02-28T10:00:00Z"));
  EXPECT_EQ(AddMonths(Parse("2024-01-31"), 1), Parse("2024-02-29"));
  EXPECT_EQ(AddMonths(Parse("2024-03-31"), -13), Parse("2023-02-28"));
  EXPECT_EQ(AddMonths(Parse("2024-05-15"), 12 * 100), Parse("2124-05-15"));
  EXPECT_EQ(AddMonths(Parse("1970-01-01T00:00:01Z"), -1), Parse("1969-12-01T00:00:01Z"));
}

}  // namespace
}  // namespace lumostd
