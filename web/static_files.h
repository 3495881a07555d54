// What serving a file as browsers expect takes, apart from the socket: the
// request path decoded, HTTP dates written and read, the Range and
// If-Modified-Since headers judged, the default-file list split. Plain
// functions on text, so that every rule can be tested without a server.
#ifndef LUMO_WEB_STATIC_FILES_H_
#define LUMO_WEB_STATIC_FILES_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/base/string.h"

namespace lumo {

// Decodes %XX escapes in a request path, once: "%252e" becomes "%2e", not
// ".". '+' is a plain character in a path. False (*decoded then holds a
// part of it only) for an escape that is not '%' and two hexadecimal digits,
// and for %00 or a raw NUL (the head parser refuses those first): a NUL would cut the name short for the C library and make
// "a.txt%00.html" look like an HTML file.
bool DecodeRequestPath(std::string_view raw, String* decoded);

// A time as an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), always GMT
// and English, whatever the locale. 29 characters.
String FormatHTTPDate(int64_t seconds);
// The present second as FormatHTTPDate writes it, made once a second on
// each thread; valid until the thread's next call.
std::string_view CurrentHTTPDate();

// Reads an HTTP date in any of the three forms clients send: IMF-fixdate,
// the obsolete RFC 850 form ("Sunday, 06-Nov-94 08:49:37 GMT") and the C
// library's asctime form ("Sun Nov  6 08:49:37 1994"). False for anything
// else, including a valid form naming an impossible day or time.
bool ParseHTTPDate(std::string_view text, int64_t* seconds);

// How a Range header applies to a file of a given size.
enum class RangeAnswer {
  kWhole,          // no header, one we do not serve (several ranges), or malformed: 200
  kPart,           // one satisfiable range: 206 with *first and *last
  kUnsatisfiable,  // one well-formed range outside the file: 416
};

// Judges "bytes=a-b", "bytes=a-" and "bytes=-n" (blanks around the range
// allowed, the unit in any case). A last byte past the end is the end;
// a first byte at or past the end, or a suffix of 0, cannot be satisfied.
// Numbers too large to hold are as large as can be.
RangeAnswer JudgeRange(std::string_view header, int64_t size, int64_t* first, int64_t* last);

// Whether a file modified at `modified` may be answered with 304 for this
// If-Modified-Since value at time `now`: the date must parse, must not lie
// in the future, and the file must be no newer than it.
bool NotModifiedSince(std::string_view header, int64_t modified, int64_t now);

// The names a "defaultfile" setting lists, in order: separated by commas,
// blanks around each name dropped, empty names skipped.
std::vector<std::string_view> DefaultFileNames(std::string_view setting);

// Whether a path names a program's source (".lasm", ".lum", in any case,
// trailing dots ignored): a source may hold passwords and is never sent
// as it is.
bool IsProgramSource(std::string_view path);

}  // namespace lumo

#endif  // LUMO_WEB_STATIC_FILES_H_
