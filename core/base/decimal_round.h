// Rounding to a number of decimals the way a person reads the number: on
// the shortest decimal digits that stand for the double, not on its exact
// binary value, so 0.135 rounds like the text "0.135" and not like
// 0.13500000000000000888.
#ifndef LUMO_CORE_BASE_DECIMAL_ROUND_H_
#define LUMO_CORE_BASE_DECIMAL_ROUND_H_

#include <cstdint>

#include "core/base/string.h"

namespace lumo {

// x rounded to n decimals (n < 0 counts as 0), ties to an even last digit.
// n == 0, or an x with no more than n decimals, gives x itself. Only the
// first 20 decimals of x take part. Infinities and NaN give +infinity.
double RoundDecimal(double x, int32_t n);

// The most decimals AppendRoundedText writes: every double's exact decimal
// expansion ends before this many.
inline constexpr int32_t kMaxWrittenDecimals = 1100;

// The same rounding, written with exactly n decimals (at most
// kMaxWrittenDecimals). Infinities are written "Infinity" whatever their
// sign, NaN "NaN".
void AppendRoundedText(String& out, double x, int32_t n);

}  // namespace lumo

#endif  // LUMO_CORE_BASE_DECIMAL_ROUND_H_
