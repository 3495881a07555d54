#include "web/static_files.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "web/mime_types.h"

namespace lumo {

namespace {

constexpr const char* kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         CompareNoCase(a.data(), b.data(), static_cast<int32_t>(a.size())) == 0;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

// A cursor over a date's text: each Take* consumes what it reads, and any
// failure makes the whole parse fail.
class DateReader {
 public:
  explicit DateReader(std::string_view text) : text_(text) {}

  bool AtEnd() const { return text_.empty(); }
  bool Take(std::string_view literal) {
    if (text_.substr(0, literal.size()) != literal) return false;
    text_.remove_prefix(literal.size());
    return true;
  }
  // Exactly `count` digits.
  bool TakeDigits(size_t count, int64_t* value) {
    if (text_.size() < count) return false;
    int64_t n = 0;
    for (size_t i = 0; i < count; ++i) {
      if (text_[i] < '0' || text_[i] > '9') return false;
      n = n * 10 + (text_[i] - '0');
    }
    text_.remove_prefix(count);
    *value = n;
    return true;
  }
  // A day name: the three-letter form, or with `full` the whole word.
  bool TakeDayName(bool full) {
    for (const char* name : kDayNames) {
      const std::string_view wanted = full ? std::string_view(name) : std::string_view(name, 3);
      if (text_.size() >= wanted.size() && SameNoCase(text_.substr(0, wanted.size()), wanted)) {
        text_.remove_prefix(wanted.size());
        return true;
      }
    }
    return false;
  }
  bool TakeMonth(int* month) {
    if (text_.size() < 3) return false;
    for (int i = 0; i < 12; ++i) {
      if (SameNoCase(text_.substr(0, 3), kMonthNames[i])) {
        text_.remove_prefix(3);
        *month = i + 1;
        return true;
      }
    }
    return false;
  }
  bool TakeTime(int64_t* hour, int64_t* minute, int64_t* second) {
    return TakeDigits(2, hour) && Take(":") && TakeDigits(2, minute) && Take(":") &&
           TakeDigits(2, second);
  }

 private:
  std::string_view text_;
};

bool Combine(int64_t year, int month, int64_t day, int64_t hour, int64_t minute, int64_t second,
             int64_t* seconds) {
  if (day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  *seconds = DaysFromCivil(year, month, static_cast<int>(day)) * 86400 + hour * 3600 +
             minute * 60 + second;
  return true;
}

// A non-negative decimal number of at least one digit; too large to hold
// saturates.
bool TakeNumber(std::string_view* text, int64_t* value) {
  size_t i = 0;
  int64_t n = 0;
  while (i < text->size() && (*text)[i] >= '0' && (*text)[i] <= '9') {
    const int digit = (*text)[i] - '0';
    n = n > (INT64_MAX - digit) / 10 ? INT64_MAX : n * 10 + digit;
    ++i;
  }
  if (i == 0) return false;
  text->remove_prefix(i);
  *value = n;
  return true;
}

}  // namespace

bool DecodeRequestPath(std::string_view raw, String* decoded) {
  decoded->Assign("");
  size_t plain = 0;  // start of the text not yet copied
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\0') return false;
    if (raw[i] != '%') continue;
    if (i + 2 >= raw.size()) return false;
    const int high = HexValue(raw[i + 1]);
    const int low = HexValue(raw[i + 2]);
    if (high < 0 || low < 0) return false;
    const char byte = static_cast<char>(high * 16 + low);
    if (byte == '\0') return false;
    decoded->Append(raw.data() + plain, static_cast<int32_t>(i - plain));
    decoded->Append(byte);
    i += 2;
    plain = i + 1;
  }
  decoded->Append(raw.data() + plain, static_cast<int32_t>(raw.size() - plain));
  return true;
}

String FormatHTTPDate(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  if (gmtime_r(&t, &utc) == nullptr) return String("Thu, 01 Jan 1970 00:00:00 GMT");
  char text[64];
  const int n = snprintf(text, sizeof text, "%.3s, %02d %s %04d %02d:%02d:%02d GMT",
                         kDayNames[utc.tm_wday % 7], utc.tm_mday, kMonthNames[utc.tm_mon % 12],
                         utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return String(text, n > 0 && n < static_cast<int>(sizeof text) ? n : 0);
}

std::string_view CurrentHTTPDate() {
  // Plain bytes, not a String: a String is charged to the run that made it.
  thread_local int64_t made_for = -1;
  thread_local char text[32];
  thread_local size_t length = 0;
  const int64_t now = static_cast<int64_t>(time(nullptr));
  if (now != made_for) {
    const String date = FormatHTTPDate(now);
    length = static_cast<size_t>(date.Length()) < sizeof text ? static_cast<size_t>(date.Length()) : 0;
    memcpy(text, date.Text(), length);
    made_for = now;
  }
  return std::string_view(text, length);
}

bool ParseHTTPDate(std::string_view text, int64_t* seconds) {
  text = TrimBlanks(text);
  int month = 0;
  int64_t year = 0, day = 0, hour = 0, minute = 0, second = 0;
  {
    // IMF-fixdate: Sun, 06 Nov 1994 08:49:37 GMT
    DateReader r(text);
    if (r.TakeDayName(false) && r.Take(", ") && r.TakeDigits(2, &day) && r.Take(" ") &&
        r.TakeMonth(&month) && r.Take(" ") && r.TakeDigits(4, &year) && r.Take(" ") &&
        r.TakeTime(&hour, &minute, &second) && r.Take(" GMT") && r.AtEnd()) {
      return Combine(year, month, day, hour, minute, second, seconds);
    }
  }
  {
    // RFC 850: Sunday, 06-Nov-94 08:49:37 GMT. A two-digit year is taken
    // from 1970 to 2069.
    DateReader r(text);
    if (r.TakeDayName(true) && r.Take(", ") && r.TakeDigits(2, &day) && r.Take("-") &&
        r.TakeMonth(&month) && r.Take("-") && r.TakeDigits(2, &year) && r.Take(" ") &&
        r.TakeTime(&hour, &minute, &second) && r.Take(" GMT") && r.AtEnd()) {
      year += year < 70 ? 2000 : 1900;
      return Combine(year, month, day, hour, minute, second, seconds);
    }
  }
  {
    // asctime: Sun Nov  6 08:49:37 1994
    DateReader r(text);
    if (r.TakeDayName(false) && r.Take(" ") && r.TakeMonth(&month) && r.Take(" ")) {
      const bool padded = r.Take(" ");
      if ((padded ? r.TakeDigits(1, &day) : r.TakeDigits(2, &day)) && r.Take(" ") &&
          r.TakeTime(&hour, &minute, &second) && r.Take(" ") && r.TakeDigits(4, &year) &&
          r.AtEnd()) {
        return Combine(year, month, day, hour, minute, second, seconds);
      }
    }
  }
  return false;
}

RangeAnswer JudgeRange(std::string_view header, int64_t size, int64_t* first, int64_t* last) {
  std::string_view text = TrimBlanks(header);
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos ||
      !SameNoCase(TrimBlanks(text.substr(0, equals)), "bytes")) {
    return RangeAnswer::kWhole;
  }
  text = TrimBlanks(text.substr(equals + 1));
  // Several ranges would need a multipart answer; the whole file serves
  // such a client as well.
  if (text.find(',') != std::string_view::npos) return RangeAnswer::kWhole;
  int64_t start = -1, end = -1;
  if (!text.empty() && text.front() == '-') {
    text.remove_prefix(1);
    int64_t suffix = 0;
    if (!TakeNumber(&text, &suffix) || !text.empty()) return RangeAnswer::kWhole;
    if (suffix == 0 || size == 0) return RangeAnswer::kUnsatisfiable;
    *first = suffix >= size ? 0 : size - suffix;
    *last = size - 1;
    return RangeAnswer::kPart;
  }
  if (!TakeNumber(&text, &start)) return RangeAnswer::kWhole;
  text = TrimBlanks(text);
  if (text.empty() || text.front() != '-') return RangeAnswer::kWhole;
  text.remove_prefix(1);
  text = TrimBlanks(text);
  if (!text.empty()) {
    if (!TakeNumber(&text, &end) || !text.empty()) return RangeAnswer::kWhole;
    if (end < start) return RangeAnswer::kWhole;
  }
  if (start >= size) return RangeAnswer::kUnsatisfiable;
  *first = start;
  *last = end < 0 || end >= size ? size - 1 : end;
  return RangeAnswer::kPart;
}

bool NotModifiedSince(std::string_view header, int64_t modified, int64_t now) {
  int64_t since = 0;
  if (!ParseHTTPDate(header, &since) || since > now) return false;
  return modified <= since;
}

std::vector<std::string_view> DefaultFileNames(std::string_view setting) {
  std::vector<std::string_view> names;
  for (;;) {
    const size_t comma = setting.find(',');
    const std::string_view name = TrimBlanks(setting.substr(0, comma));
    if (!name.empty()) names.push_back(name);
    if (comma == std::string_view::npos) break;
    setting.remove_prefix(comma + 1);
  }
  return names;
}

bool IsProgramSource(std::string_view path) {
  const std::string_view extension = PathExtension(path);
  return SameNoCase(extension, ".lasm") || SameNoCase(extension, ".lum");
}

}  // namespace lumo
