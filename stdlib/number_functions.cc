// Numbers: every argument is read as a double (texts that are no number
// are refused) and every result is an integer when it fits 32 bits.
#include <openssl/rand.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "stdlib/call.h"
#include "stdlib/functions.h"
#include "stdlib/number_text.h"

namespace lumostd {
namespace {

// Integer arithmetic is exact below 2^53; past it div and mod would work on
// doubles that no longer hold every integer.
constexpr double kExactLimit = 9007199254740992.0;

// xoshiro256**: small, fast and good enough for a script's dice. One per
// run, kept as the run's persistent data so runs never share a sequence.
struct Generator {
  uint64_t s[4];

  static uint64_t Rotate(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  uint64_t Next() {
    const uint64_t result = Rotate(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = Rotate(s[3], 45);
    return result;
  }
};

constexpr char kGeneratorName[] = "lumostd.random";

void FreeGenerator(void*, void* data) { delete static_cast<Generator*>(data); }

Generator* RunGenerator(lmProgram* program) {
  auto* generator = static_cast<Generator*>(
      lmProgram_Lookup_Persistent(program, kGeneratorName, sizeof kGeneratorName - 1));
  if (generator != nullptr) return generator;
  generator = new Generator;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(generator->s), sizeof generator->s) != 1) {
    // Without the system's randomness the sequence still differs per run.
    const uint64_t seed = static_cast<uint64_t>(time(nullptr)) ^
                          reinterpret_cast<uintptr_t>(generator) ^
                          reinterpret_cast<uintptr_t>(program);
    for (int i = 0; i < 4; ++i) generator->s[i] = seed * 0x9E3779B97F4A7C15ull + i;
  }
  if (generator->s[0] == 0 && generator->s[1] == 0 && generator->s[2] == 0 &&
      generator->s[3] == 0) {
    generator->s[0] = 1;
  }
  if (lmProgram_Register_Persistent(program, nullptr, kGeneratorName, sizeof kGeneratorName - 1,
                                    generator, FreeGenerator) == 0) {
    delete generator;
    return nullptr;
  }
  return generator;
}

// A whole number argument for div and mod.
bool Whole(Call& call, int i, const char* what, double* out) {
  if (!call.Number(i, what, out)) return false;
  if (*out != std::trunc(*out) || std::fabs(*out) >= kExactLimit) {
    call.FailArgument(what, "is not a whole number below 2^53");
    return false;
  }
  return true;
}

// The operands of div and mod; on a fault the result is already set to 0.
bool DivisionOperands(Call& call, int64_t* dividend, int64_t* divisor) {
  double a = 0, b = 0;
  if (!Whole(call, 0, "dividend", &a) || !Whole(call, 1, "divisor", &b)) {
    call.SetInteger(0);
    return false;
  }
  if (b == 0) {
    call.Fail("division by zero");
    call.SetInteger(0);
    return false;
  }
  *dividend = static_cast<int64_t>(a);
  *divisor = static_cast<int64_t>(b);
  return true;
}

// The two numbers of min and max; on a fault the result is already 0.
bool TwoNumbers(Call& call, double* a, double* b) {
  if (!call.Number(0, "first number", a) || !call.Number(1, "second number", b)) {
    call.SetNumber(0);
    return false;
  }
  return true;
}

}  // namespace

LUMOSTD_FUNCTION(Abs, "abs") {
  double value = 0;
  call.Number(0, "number", &value);
  call.SetNumber(std::fabs(value));
}

LUMOSTD_FUNCTION(Floor, "floor") {
  double value = 0;
  call.Number(0, "number", &value);
  call.SetNumber(std::floor(value));
}

LUMOSTD_FUNCTION(Ceil, "ceil") {
  double value = 0;
  call.Number(0, "number", &value);
  call.SetNumber(std::ceil(value));
}

LUMOSTD_FUNCTION(Round, "round") {
  double value = 0;
  int32_t decimals = 0;
  if (!call.Number(0, "number", &value) || !call.Integer(1, "number of decimals", &decimals)) {
    call.SetNumber(value);
    return;
  }
  if (decimals < 0 || decimals > kMaxDecimals) {
    call.FailArgument("number of decimals", "must lie between 0 and 20");
    call.SetNumber(value);
    return;
  }
  call.SetNumber(RoundHalfAway(value, decimals));
}

LUMOSTD_FUNCTION(Min, "min") {
  double a = 0, b = 0;
  if (!TwoNumbers(call, &a, &b)) return;
  call.SetNumber(b < a ? b : a);
}

LUMOSTD_FUNCTION(Max, "max") {
  double a = 0, b = 0;
  if (!TwoNumbers(call, &a, &b)) return;
  call.SetNumber(b > a ? b : a);
}

LUMOSTD_FUNCTION(Div, "div") {
  int64_t a = 0, b = 0;
  if (!DivisionOperands(call, &a, &b)) return;
  call.SetNumber(static_cast<double>(a / b));
}

LUMOSTD_FUNCTION(Rem, "rem") {
  int64_t a = 0, b = 0;
  if (!DivisionOperands(call, &a, &b)) return;
  call.SetNumber(static_cast<double>(a % b));
}

LUMOSTD_FUNCTION(Random, "random") {
  int32_t low = 0, high = 0;
  if (!call.Integer(0, "lower bound", &low) || !call.Integer(1, "upper bound", &high)) {
    call.SetInteger(0);
    return;
  }
  if (low > high) {
    call.Fail("the lower bound is above the upper bound");
    call.SetInteger(low);
    return;
  }
  Generator* generator = RunGenerator(call.program());
  if (generator == nullptr) {
    call.Fail("the run keeps no random generator");
    call.SetInteger(low);
    return;
  }
  // Rejection keeps every value of the range equally likely.
  const uint64_t span = static_cast<uint64_t>(int64_t{high} - int64_t{low}) + 1;
  const uint64_t limit = UINT64_MAX - UINT64_MAX % span;
  uint64_t draw = generator->Next();
  while (draw >= limit) draw = generator->Next();
  call.SetInteger(static_cast<int32_t>(int64_t{low} + static_cast<int64_t>(draw % span)));
}

LUMOSTD_FUNCTION(IsNum, "isnum") {
  if (call.IsAggregate(0)) {
    call.SetBoolean(false);
    return;
  }
  int32_t length = 0;
  const char* text = lmVariable_Value(call.Argument(0), &length);
  call.SetBoolean(TextIsNumber(std::string_view(text, static_cast<size_t>(length))));
}

}  // namespace lumostd
