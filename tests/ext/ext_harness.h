// Runs assembled programs with real extension libraries: the test
// libraries built beside the tests (tests/ext/libs), loaded and bound the
// way a run of the server binds them.
#ifndef LUMO_TESTS_EXT_EXT_HARNESS_H_
#define LUMO_TESTS_EXT_EXT_HARNESS_H_

#include <dlfcn.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/context/config_target.h"
#include "core/context/system_variables.h"
#include "ext/extension_libraries.h"
#include "tests/core/vm/run_program.h"

namespace lumo {

inline std::string Lib(std::string_view name) {
  return std::string(LUMO_TEST_LIBS) + "/" + std::string(name) + ".so";
}

// A counter a test library keeps (test_releases, ...), read through the
// library's own handle; -1 when the library or the symbol is missing. The
// first reading keeps the library loaded for the rest of the tests, so its
// counters outlive the managers that load and unload it.
inline int LibraryCounter(std::string_view library, const char* counter) {
  void* handle = dlopen(Lib(library).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return -1;
  auto* read = reinterpret_cast<int (*)()>(dlsym(handle, counter));
  return read != nullptr ? read() : -1;
}

inline RegisteredLibrary Builtin(std::string_view name) {
  return {LibraryType::kBuiltin, String(kBuiltinLibraryName), String(Lib(name))};
}
inline RegisteredLibrary Named(LibraryType type, std::string_view name, std::string_view file) {
  return {type, String(name), String(Lib(file))};
}

// One run of one program over a set of registered libraries.
class LibraryRun {
 public:
  explicit LibraryRun(const std::vector<RegisteredLibrary>& registered) {
    libraries.Apply(registered, &warnings);
    run = std::make_unique<ExtensionRun>(libraries);
  }
  ~LibraryRun() { End(); }

  // What the program printed, as Machine::RunPrinted says it.
  std::string Printed(std::string_view source) {
    if (!machine.Assemble(source)) return std::string(machine.error.View()) + " => -2";
    InstallDynamicVariables(&machine.context, &machine.system);
    run->Attach(&machine.context, &machine.Vm());
    return machine.RunPrinted();
  }
  // The machine, then the run's bound functions (their final calls).
  void End() {
    machine.vm.reset();
    run.reset();
  }

  std::vector<std::string> warnings;
  ExtensionLibraries libraries;
  std::unique_ptr<ExtensionRun> run;
  Machine machine;
};

}  // namespace lumo

#endif  // LUMO_TESTS_EXT_EXT_HARNESS_H_
