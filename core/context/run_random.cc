#include "core/context/run_random.h"

namespace lumo {

namespace {

thread_local uint64_t random_state = 0x853C49E6748FEA9BULL;

}  // namespace

void SeedRunRandom(uint32_t seed) {
  // Spread the seed over the whole state so that neighbouring seeds (two
  // threads, one second apart) do not start neighbouring sequences.
  uint64_t z = seed + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  random_state = (z ^ (z >> 31)) | 1;
}

int32_t RunRandom() {
  // xorshift64*: fast and good enough for salts; nothing secret rests on it
  // (caller ids take the system's random bytes when it has them).
  uint64_t x = random_state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  random_state = x;
  return static_cast<int32_t>((x * 0x2545F4914F6CDD1DULL) >> 33);
}

}  // namespace lumo
