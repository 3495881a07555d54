// Time: instants are seconds since 1970-01-01 00:00:00 UTC, within the
// years 1 to 9999.
#include <cmath>
#include <ctime>
#include <string>

#include "stdlib/calendar.h"
#include "stdlib/call.h"
#include "stdlib/functions.h"

namespace lumostd {
namespace {

bool InRange(double t) { return t >= static_cast<double>(kFirstTime) && t <= static_cast<double>(kLastTime); }

// A time argument, whole seconds (a fraction is dropped toward the past).
bool Time(Call& call, int i, int64_t* out) {
  double value = 0;
  *out = 0;
  if (!call.Number(i, "time", &value)) return false;
  if (!InRange(value)) {
    call.FailArgument("time", "lies outside the years 1 to 9999");
    return false;
  }
  *out = static_cast<int64_t>(std::floor(value));
  return true;
}

void SetTime(Call& call, double t) {
  if (!InRange(t)) {
    call.Fail("the result lies outside the years 1 to 9999");
    call.SetInteger(0);
    return;
  }
  call.SetNumber(t);
}

void Format(Call& call, bool local) {
  int64_t t = 0;
  std::string_view pattern;
  if (!Time(call, 0, &t) || !call.Text(1, "pattern", &pattern)) {
    call.SetEmpty();
    return;
  }
  CivilTime civil;
  if (local) {
    const time_t when = static_cast<time_t>(t);
    struct tm parts {};
    if (localtime_r(&when, &parts) == nullptr) {
      call.Fail("the local time zone cannot express this time");
      call.SetEmpty();
      return;
    }
    civil = ToCivil(t, parts.tm_gmtoff, parts.tm_zone != nullptr ? parts.tm_zone : "");
  } else {
    civil = ToCivil(t, 0, "UTC");
  }
  std::string out;
  std::string error;
  if (!FormatTime(pattern, civil, out, &error)) {
    call.Fail(error);
    call.SetEmpty();
    return;
  }
  call.SetText(out);
}

}  // namespace

LUMOSTD_FUNCTION(Now, "now") { call.SetNumber(static_cast<double>(time(nullptr))); }

LUMOSTD_FUNCTION(TimeFormat, "timeformat") { Format(call, false); }

LUMOSTD_FUNCTION(TimeLocal, "timelocal") { Format(call, true); }

LUMOSTD_FUNCTION(TimeParse, "timeparse") {
  std::string_view text;
  if (!call.Text(0, "text", &text)) {
    call.SetInteger(0);
    return;
  }
  int64_t t = 0;
  std::string error;
  if (!ParseIso8601(text, &t, &error)) {
    call.Fail(error);
    call.SetInteger(0);
    return;
  }
  SetTime(call, static_cast<double>(t));
}

LUMOSTD_FUNCTION(AddDays, "adddays") {
  int64_t t = 0;
  int32_t days = 0;
  if (!Time(call, 0, &t) || !call.Integer(1, "number of days", &days)) {
    call.SetNumber(static_cast<double>(t));
    return;
  }
  SetTime(call, static_cast<double>(t + int64_t{days} * 86400));
}

LUMOSTD_FUNCTION(AddMonths, "addmonths") {
  int64_t t = 0;
  int32_t months = 0;
  if (!Time(call, 0, &t) || !call.Integer(1, "number of months", &months)) {
    call.SetNumber(static_cast<double>(t));
    return;
  }
  // Anything past 120,000 months leaves the years 1 to 9999 anyway; the
  // check keeps the arithmetic in AddMonths far from overflow.
  if (months > 120000 || months < -120000) {
    call.Fail("the result lies outside the years 1 to 9999");
    call.SetNumber(static_cast<double>(t));
    return;
  }
  SetTime(call, static_cast<double>(lumostd::AddMonths(t, months)));
}

LUMOSTD_FUNCTION(AddSeconds, "addseconds") {
  int64_t t = 0;
  double seconds = 0;
  if (!Time(call, 0, &t) || !call.Number(1, "number of seconds", &seconds)) {
    call.SetNumber(static_cast<double>(t));
    return;
  }
  SetTime(call, std::floor(static_cast<double>(t) + seconds));
}

LUMOSTD_FUNCTION(Weekday, "weekday") {
  int64_t t = 0;
  if (!Time(call, 0, &t)) {
    call.SetInteger(0);
    return;
  }
  call.SetInteger(ToCivil(t, 0, "UTC").weekday);
}

}  // namespace lumostd
