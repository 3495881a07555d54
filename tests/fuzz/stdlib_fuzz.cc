// libFuzzer target of the standard function library as pages call it: the
// input is a page, compiled by lumoc against liblumostd.so's functions and
// run with them bound, as the server binds them, under a 5 ms time-out.
// Every function meets the values a page can make (arrays, structures,
// huge and negative numbers, bytes of any kind) through the extension
// interface and the machine's call path. No directory is configured, so
// the file functions are refused instead of writing anywhere.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/context/system_variables.h"
#include "ext/extension_libraries.h"
#include "tests/lumoc/page_host.h"

namespace {

lumo::ExtensionLibraries& Libraries() {
  static lumo::ExtensionLibraries* libraries = [] {
    auto* made = new lumo::ExtensionLibraries;
    std::vector<std::string> warnings;
    made->Apply({{lumo::LibraryType::kBuiltin, lumo::String(lumo::kBuiltinLibraryName),
                  lumo::String(LUMOSTD_PATH)}},
                &warnings);
    return made;
  }();
  return *libraries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lumo::Watchdog watchdog(std::chrono::milliseconds(5));
  // The run's bound functions outlive the machine that calls them.
  lumo::ExtensionRun run(Libraries());
  if (run.Calls().TableCount() == 0) abort();
  lumo::CompileOptions options;
  options.builtins = &run.Calls();
  // Includes find nothing: the disk stays out of it.
  lumo::TableReader no_files;
  lumo::LumoCompiler compiler(options, &no_files);
  lumo::String image;
  const std::string_view page(reinterpret_cast<const char*>(data), size);
  if (!compiler.CompileSource(page, "fuzz.lum", &image)) {
    if (compiler.Messages().empty()) abort();
    return 0;
  }
  lumo::Machine machine;
  if (!machine.Load(image.View())) abort();
  lumo::InstallDynamicVariables(&machine.context, &machine.system);
  run.Attach(&machine.context, &machine.Vm());
  watchdog.Arm(&machine.context);
  machine.Run();
  watchdog.Disarm();
  machine.vm.reset();
  return 0;
}
