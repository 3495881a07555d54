// Numbers written for people: rounding half away from zero on the digits a
// person sees (0.135 rounds like the text "0.135", not like its binary
// value 0.13500000000000000888), optionally with a thousands separator.
#ifndef LUMO_STDLIB_NUMBER_TEXT_H_
#define LUMO_STDLIB_NUMBER_TEXT_H_

#include <string>
#include <string_view>

namespace lumostd {

constexpr int kMaxDecimals = 20;

// Appends finite `x` rounded to `decimals` (0 to kMaxDecimals) and written
// with exactly that many decimals after a '.', never in exponent form; the
// integer part is grouped by threes with `separator` when it is not empty.
// A result that rounds to zero has no minus sign.
void AppendRounded(double x, int decimals, std::string_view separator, std::string& out);

// x rounded the same way, as a double.
double RoundHalfAway(double x, int decimals);

}  // namespace lumostd

#endif  // LUMO_STDLIB_NUMBER_TEXT_H_
