// Dates without the C library's time zone state: civil dates from day
// numbers and back, a strftime-like pattern writer of our own (no locale,
// no buffer guessing) and an ISO 8601 reader. Times are seconds since
// 1970-01-01 00:00:00 UTC as int64.
#ifndef LUMO_STDLIB_CALENDAR_H_
#define LUMO_STDLIB_CALENDAR_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace lumostd {

// The years the functions work in: four digits in every pattern and
// every ISO text, and far from int64 overflow in any arithmetic.
constexpr int64_t kFirstTime = -62135596800;  // 0001-01-01T00:00:00Z
constexpr int64_t kLastTime = 253402300799;   // 9999-12-31T23:59:59Z

struct CivilTime {
  int64_t year = 1970;
  int month = 1;  // 1-12
  int day = 1;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 4;      // 0 Sunday
  int yearday = 0;      // 0-365
  int64_t offset = 0;   // seconds east of UTC
  std::string zone = "UTC";
  int64_t epoch = 0;    // the instant itself, for %s
};

// Days since 1970-01-01 of a proleptic Gregorian date (any month and day
// within range; no validation).
int64_t DaysFromCivil(int64_t year, int month, int day);
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day);
bool IsLeapYear(int64_t year);
int DaysInMonth(int64_t year, int month);

// The civil time of `time` shifted by `offset` seconds, named `zone`.
CivilTime ToCivil(int64_t time, int64_t offset, std::string_view zone);

// Appends `time` written by `pattern`: %Y %y %m %d %e %H %I %M %S %p %a %A
// %b %B %j %w %u %z %Z %s %F %T %%; every other byte is copied. False with a
// sentence in `error` for a '%' followed by anything else or by nothing.
bool FormatTime(std::string_view pattern, const CivilTime& time, std::string& out,
                std::string* error);

// Reads an ISO 8601 date or date and time: YYYY-MM-DD or YYYYMMDD,
// optionally followed by 'T' (or a space) and hh:mm[:ss[.fraction]] or
// hhmm[ss[.fraction]], and a zone Z, +hh, +hh:mm or +hhmm. Without a zone
// the time is UTC; 24:00:00 is the end of the day. The fraction is read and
// dropped. False with a sentence in `error` for a malformed text or a date
// or time that does not exist (2023-02-29, 12:60).
bool ParseIso8601(std::string_view text, int64_t* time, std::string* error);

// `time` moved by whole months; a day past the end of the new month falls
// back to its last day (31 January + 1 month = 28 or 29 February).
int64_t AddMonths(int64_t time, int64_t months);

}  // namespace lumostd

#endif  // LUMO_STDLIB_CALENDAR_H_
