// The text/number conversions every subsystem shares, the truth value of a
// text, and the case-insensitive byte comparison used for names.
//
// A length of -1 always means "up to the first NUL byte".
#ifndef LUMO_CORE_BASE_CONVERSIONS_H_
#define LUMO_CORE_BASE_CONVERSIONS_H_

#include <cstdint>

#include "core/base/string.h"

namespace lumo {

// Compares n bytes, each lowered as in the "C" locale: -1, 0 or 1.
int CompareNoCase(const char* a, const char* b, int32_t n);

// An optional '-' and decimal digits, nothing else (no blanks, no '+').
// Overflow wraps around in 32 bits. "-" alone is 0 without failure; any
// other malformed text is 0 with *failed set.
int32_t ParseInteger(const char* text, int32_t length, bool* failed = nullptr);

// A decimal floating-point text as the C library's strtod reads it in the
// "C" locale, without its hexadecimal and inf/nan forms: leading white space
// is allowed, trailing white space is not. With an explicit length the
// names NAN, INF, INFINITY and their '-' forms (any case) are recognised.
// A text that is not wholly a number gives 0.0 with *failed set; a value too
// large for a double gives the infinity of its sign with *failed set.
double ParseDouble(const char* text, int32_t length, bool* failed = nullptr);

void AppendInteger(String& out, int32_t value);
String FormatInteger(int32_t value);

// Never exponent notation. The digits are the shortest that read back as
// the same double, unless that needs more than `decimals` fraction digits
// (20 when decimals is -1): then the value correctly rounded to that many.
// decimals > 0 pads with zeros to exactly that many fraction digits.
void AppendDouble(String& out, double value, int decimals = -1);
String FormatDouble(double value, int decimals = -1);

// False for the empty text and for texts of only '0' bytes with at most one
// '.' among them ("0", "000", "0.0", ".", "0."); true otherwise.
bool TextTruth(const char* text, int32_t length);

// The text without its NUL bytes.
String StripNul(const char* text, int32_t length);

}  // namespace lumo

#endif  // LUMO_CORE_BASE_CONVERSIONS_H_
