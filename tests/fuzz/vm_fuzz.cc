// libFuzzer target of the machine: the input is a program image, loaded and
// run as lumorun runs one, under a 5 ms time-out standing in for the
// server's run monitor (a fuzzer run must not wait out real time-outs).
// The sanitizers and libFuzzer's own checks are the judge.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/core/vm/run_program.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lumo::Watchdog watchdog(std::chrono::milliseconds(5));
  lumo::LoadAndRun(std::string_view(reinterpret_cast<const char*>(data), size), watchdog);
  return 0;
}
