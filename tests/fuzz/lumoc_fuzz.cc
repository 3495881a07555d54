// libFuzzer target of lumoc: the input is a page. It is compiled with one
// part to include (parts/head.lum); a page that compiles must give a
// program that loads, and it is run under a 5 ms time-out. A page that
// does not compile must have said why.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tests/lumoc/page_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lumo::Watchdog watchdog(std::chrono::milliseconds(5));
  lumo::TableReader reader;
  reader.files["parts/head.lum"] = "<h1>{{ title }}</h1>\n<LmIF test=\"x\">x</LmIF>\n";
  const std::string_view page(reinterpret_cast<const char*>(data), size);
  lumo::LumoCompiler compiler({}, &reader);
  lumo::String image;
  if (!compiler.CompileSource(page, "fuzz.lum", &image)) {
    if (compiler.Messages().empty()) abort();
    compiler.FormattedMessages();
    return 0;
  }
  if (!lumo::LoadAndRun(image.View(), watchdog)) abort();
  return 0;
}
