// libFuzzer target of the expression compiler: the input's first byte picks
// the options (a default view, an old language version), the rest is the
// expression text. It is compiled into a host program and, when it
// compiles, run under a 20 ms time-out. A message the compiler may not give
// is a finding too.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tests/expr/expression_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lumo::Watchdog watchdog(std::chrono::milliseconds(20));
  if (size == 0) return 0;
  const uint8_t options = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  lumo::ExpressionHost host;
  if (!host.assembled) abort();
  host.source_file = (options & 4) != 0 ? "fuzz.lms" : "";
  host.line = options >> 4;
  const uint32_t version = (options & 2) != 0 ? 0x10008 : lumo::ExpressionCompiler::kCurrentVersion;
  if (!host.CompileAndRun(text, watchdog, (options & 1) != 0 ? "shop" : "", version)) abort();
  return 0;
}
