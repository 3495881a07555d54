#include "stdlib/calendar.h"

#include <cstdio>

namespace lumostd {
namespace {

constexpr const char* kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* kMonthNames[] = {"January", "February", "March",     "April",
                                       "May",     "June",     "July",      "August",
                                       "September", "October", "November", "December"};

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

void AppendNumber(std::string& out, int64_t value, int width) {
  char buffer[32];
  const int n = snprintf(buffer, sizeof buffer, "%0*lld", width, static_cast<long long>(value));
  out.append(buffer, static_cast<size_t>(n));
}

// %F and %T: three fields, the last two always two digits wide.
void AppendTriple(std::string& out, int64_t first, int first_width, int64_t second,
                  int64_t third, char separator) {
  AppendNumber(out, first, first_width);
  out.push_back(separator);
  AppendNumber(out, second, 2);
  out.push_back(separator);
  AppendNumber(out, third, 2);
}

void AppendOffset(std::string& out, int64_t offset) {
  out.push_back(offset < 0 ? '-' : '+');
  const int64_t minutes = (offset < 0 ? -offset : offset) / 60;
  AppendNumber(out, minutes / 60, 2);
  AppendNumber(out, minutes % 60, 2);
}

// Reads exactly `count` digits at text[*pos].
bool Digits(std::string_view text, size_t* pos, int count, int64_t* value) {
  if (text.size() - *pos < static_cast<size_t>(count)) return false;
  int64_t v = 0;
  for (int k = 0; k < count; ++k) {
    const char c = text[*pos + k];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *pos += count;
  *value = v;
  return true;
}

bool IsDigitAt(std::string_view text, size_t pos) {
  return pos < text.size() && text[pos] >= '0' && text[pos] <= '9';
}

bool Malformed(std::string_view text, std::string* error) {
  error->assign("The text '");
  error->append(text.substr(0, 64));
  error->append("' is not an ISO 8601 date or time");
  return false;
}

bool Impossible(std::string_view text, std::string* error) {
  error->assign("The date or time '");
  error->append(text.substr(0, 64));
  error->append("' does not exist");
  return false;
}

}  // namespace

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[month - 1];
}

// Howard Hinnant's days_from_civil / civil_from_days: exact over the whole
// proleptic Gregorian calendar with 400-year eras.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = FloorDiv(year, 400);
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
  days += 719468;
  const int64_t era = FloorDiv(days, 146097);
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2);
}

CivilTime ToCivil(int64_t time, int64_t offset, std::string_view zone) {
  CivilTime c;
  c.epoch = time;
  c.offset = offset;
  c.zone.assign(zone);
  const int64_t local = time + offset;
  const int64_t days = FloorDiv(local, 86400);
  const int64_t seconds = local - days * 86400;
  CivilFromDays(days, &c.year, &c.month, &c.day);
  c.hour = static_cast<int>(seconds / 3600);
  c.minute = static_cast<int>(seconds / 60 % 60);
  c.second = static_cast<int>(seconds % 60);
  // 1970-01-01 was a Thursday.
  c.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
  c.yearday = static_cast<int>(days - DaysFromCivil(c.year, 1, 1));
  return c;
}

bool FormatTime(std::string_view pattern, const CivilTime& t, std::string& out,
                std::string* error) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (++i >= pattern.size()) {
      error->assign("The time pattern ends with a lone '%'");
      return false;
    }
    const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
    switch (pattern[i]) {
      case 'Y': AppendNumber(out, t.year, 4); break;
      case 'y': AppendNumber(out, (t.year % 100 + 100) % 100, 2); break;
      case 'm': AppendNumber(out, t.month, 2); break;
      case 'd': AppendNumber(out, t.day, 2); break;
      case 'e': AppendNumber(out, t.day, 1); break;
      case 'H': AppendNumber(out, t.hour, 2); break;
      case 'I': AppendNumber(out, hour12, 2); break;
      case 'M': AppendNumber(out, t.minute, 2); break;
      case 'S': AppendNumber(out, t.second, 2); break;
      case 'p': out.append(t.hour < 12 ? "AM" : "PM"); break;
      case 'a': out.append(kDayNames[t.weekday], 3); break;
      case 'A': out.append(kDayNames[t.weekday]); break;
      case 'b': out.append(kMonthNames[t.month - 1], 3); break;
      case 'B': out.append(kMonthNames[t.month - 1]); break;
      case 'j': AppendNumber(out, t.yearday + 1, 3); break;
      case 'w': AppendNumber(out, t.weekday, 1); break;
      case 'u': AppendNumber(out, t.weekday == 0 ? 7 : t.weekday, 1); break;
      case 'z': AppendOffset(out, t.offset); break;
      case 'Z': out.append(t.zone); break;
      case 's': AppendNumber(out, t.epoch, 1); break;
      case 'F': AppendTriple(out, t.year, 4, t.month, t.day, '-'); break;
      case 'T': AppendTriple(out, t.hour, 2, t.minute, t.second, ':'); break;
      case '%': out.push_back('%'); break;
      default:
        error->assign("The time pattern has an unknown letter '");
        error->push_back(pattern[i]);
        error->append("' after '%'");
        return false;
    }
  }
  return true;
}

bool ParseIso8601(std::string_view text, int64_t* time, std::string* error) {
  size_t pos = 0;
  int64_t year = 0, month = 0, day = 0;
  if (!Digits(text, &pos, 4, &year)) return Malformed(text, error);
  // The extended form has its dashes (and colons) throughout, the basic
  // form none.
  const bool extended = pos < text.size() && text[pos] == '-';
  if (extended) ++pos;
  if (!Digits(text, &pos, 2, &month)) return Malformed(text, error);
  if (extended) {
    if (pos >= text.size() || text[pos] != '-') return Malformed(text, error);
    ++pos;
  }
  if (!Digits(text, &pos, 2, &day)) return Malformed(text, error);
  int64_t hour = 0, minute = 0, second = 0, offset = 0;
  if (pos < text.size()) {
    const char separator = text[pos];
    if (separator != 'T' && separator != 't' && separator != ' ') return Malformed(text, error);
    ++pos;
    if (!Digits(text, &pos, 2, &hour)) return Malformed(text, error);
    if (extended) {
      if (pos >= text.size() || text[pos] != ':') return Malformed(text, error);
      ++pos;
    }
    if (!Digits(text, &pos, 2, &minute)) return Malformed(text, error);
    const bool has_seconds = extended ? pos < text.size() && text[pos] == ':'
                                      : IsDigitAt(text, pos);
    if (has_seconds) {
      if (extended) ++pos;
      if (!Digits(text, &pos, 2, &second)) return Malformed(text, error);
      if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
        ++pos;
        if (!IsDigitAt(text, pos)) return Malformed(text, error);
        while (IsDigitAt(text, pos)) ++pos;
      }
    }
    if (pos < text.size()) {
      const char sign = text[pos++];
      if (sign == 'Z' || sign == 'z') {
        if (pos != text.size()) return Malformed(text, error);
      } else if (sign == '+' || sign == '-') {
        int64_t zone_hours = 0, zone_minutes = 0;
        if (!Digits(text, &pos, 2, &zone_hours)) return Malformed(text, error);
        if (pos < text.size()) {
          if (text[pos] == ':') ++pos;
          if (!Digits(text, &pos, 2, &zone_minutes)) return Malformed(text, error);
        }
        if (pos != text.size()) return Malformed(text, error);
        if (zone_hours > 23 || zone_minutes > 59) return Impossible(text, error);
        offset = (zone_hours * 60 + zone_minutes) * 60;
        if (sign == '-') offset = -offset;
      } else {
        return Malformed(text, error);
      }
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, static_cast<int>(month))) {
    return Impossible(text, error);
  }
  const bool end_of_day = hour == 24 && minute == 0 && second == 0;
  if ((hour > 23 && !end_of_day) || minute > 59 || second > 59) return Impossible(text, error);
  if (year == 0) return Impossible(text, error);
  *time = DaysFromCivil(year, static_cast<int>(month), static_cast<int>(day)) * 86400 +
          hour * 3600 + minute * 60 + second - offset;
  return true;
}

int64_t AddMonths(int64_t time, int64_t months) {
  const int64_t days = FloorDiv(time, 86400);
  const int64_t seconds = time - days * 86400;
  int64_t year = 0;
  int month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  const int64_t index = year * 12 + (month - 1) + months;
  const int64_t new_year = FloorDiv(index, 12);
  const int new_month = static_cast<int>(index - new_year * 12) + 1;
  const int last = DaysInMonth(new_year, new_month);
  if (day > last) day = last;
  return DaysFromCivil(new_year, new_month, day) * 86400 + seconds;
}

}  // namespace lumostd
