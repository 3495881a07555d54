// Helpers shared by the benchmark programs.
#ifndef LUMO_BENCH_BENCH_UTIL_H_
#define LUMO_BENCH_BENCH_UTIL_H_

#include <cstdint>
#include <string>

namespace lumo {

// prefix + decimal n. (Built by appending: GCC 12 reports a false
// -Wrestrict on "literal" + std::to_string at -O3.)
inline std::string Numbered(const char* prefix, int64_t n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

}  // namespace lumo

#endif  // LUMO_BENCH_BENCH_UTIL_H_
