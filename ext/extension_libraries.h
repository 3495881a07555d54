// ExtensionLibraries: the process's extension libraries, shared by every
// run (the server's worker threads, lumorun's one run). It owns the loaded
// libraries and the configuration library, and keeps what the
// configuration registered as an immutable set that each run takes when it
// starts, so a reload never changes the libraries under a running program.
//
// ExtensionRun: what one run (with the LmDO programs it calls) makes of
// that set: its bound function calls, its commerce methods, its system
// libraries.
#ifndef LUMO_EXT_EXTENSION_LIBRARIES_H_
#define LUMO_EXT_EXTENSION_LIBRARIES_H_

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config/dex_config.h"
#include "core/base/string.h"
#include "core/context/config_target.h"
#include "ext/commerce_library.h"
#include "ext/config_library.h"
#include "ext/external_call.h"
#include "ext/external_library.h"
#include "ext/system_library.h"

namespace lumo {

class LumoApplication;
class LumoVM;
class VariableHash;

// The file a run registers when its configuration names no builtin
// library, looked for beside the running executable.
inline constexpr char kDefaultBuiltinLibrary[] = "liblumostd.so";

// One configuration's libraries, as runs see them.
struct LibrarySet {
  struct Table {
    ExternalLibrary* library;
    const lmFunction* functions;
  };
  // In registration order, the default builtin library included.
  std::vector<RegisteredLibrary> libraries;
  // The builtin libraries that loaded and have a table.
  std::vector<Table> tables;
};

class ExtensionLibraries {
 public:
  // Without a host handle the running executable's own.
  explicit ExtensionLibraries(void* host_handle = nullptr);
  ExtensionLibraries(const ExtensionLibraries&) = delete;
  ExtensionLibraries& operator=(const ExtensionLibraries&) = delete;
  ~ExtensionLibraries();

  // After the configuration has been read into `config` (whose target is
  // `target`): the configuration library named by "configlibrary" is
  // destroyed and initialised again, then what the target holds becomes
  // the set new runs take. A builtin library that cannot be loaded or has
  // no table is left out with a warning "Library 'PATH': REASON"; so is a
  // configuration library that fails. `config` must outlive this object or
  // the next Configure.
  void Configure(DexBaseConfig& config, const ProcessConfigTarget& target,
                 const std::string& config_file, std::vector<std::string>* warnings);
  // For the command-line tools: reads the configuration file (`config_flag`
  // from --config, or the default file when null) into `config` and then
  // configures as above. Warnings go to stderr behind "TOOL: ". False, with
  // the message printed, when --config names a file that does not exist: a
  // mistyped name must not quietly run with the defaults.
  bool ConfigureFromCommandLine(const char* tool, const char* config_flag, DexConfig& config,
                                const ProcessConfigTarget& target);
  // The set from a list of libraries alone (no configuration library).
  void Apply(const std::vector<RegisteredLibrary>& registered, std::vector<std::string>* warnings);

  // Where the default builtin library is looked for (the directory of the
  // running executable unless set).
  void SetDefaultLibraryDirectory(std::string_view directory) { default_directory_ = directory; }

  // Destroys the configuration library now (a program about to leave
  // without running destructors).
  void Shutdown();

  std::shared_ptr<const LibrarySet> Current() const;
  std::shared_ptr<ConfigurationLibrary> ConfigLibrary() const;
  ExternalLibraryManager& Libraries() { return libraries_; }

 private:
  PosixExternalLibraryManager libraries_;
  std::string default_directory_;
  mutable std::mutex mutex_;
  std::shared_ptr<const LibrarySet> current_;
  std::shared_ptr<ConfigurationLibrary> config_library_;
};

class ExtensionRun {
 public:
  // Registers the commerce instructions with the machine on first use.
  explicit ExtensionRun(ExtensionLibraries& libraries);
  ExtensionRun(const ExtensionRun&) = delete;
  ExtensionRun& operator=(const ExtensionRun&) = delete;
  ~ExtensionRun();

  // Gives the machine (and the programs it calls) the run's functions,
  // and the context its library managers. Both must die before this.
  void Attach(LumoApplication* context, LumoVM* vm);
  // The configuration library's script-specific load over the run's own
  // configuration; false with the reason in *error. Without a
  // configuration library nothing happens.
  bool LoadConfiguration(DexBaseConfig& config, std::string_view script_path,
                         std::string_view script_directory, String* error);

  ExternalCallManager& Calls() { return calls_; }
  CommerceLibraryManager& Commerce() { return commerce_; }
  SystemLibraryManager& System() { return system_; }

 private:
  std::shared_ptr<const LibrarySet> set_;
  std::shared_ptr<ConfigurationLibrary> config_library_;
  ExternalLibraryManager* libraries_;
  ExternalCallManager calls_;
  CommerceLibraryManager commerce_;
  SystemLibraryManager system_;
};

// Sets the configuration's pre-set variables in a run's scopes.
void InstallPresetVariables(const DexBaseConfig& config, VariableHash* globals,
                            VariableHash* system);

// The directory of the running executable ("" when it cannot be told).
std::string ExecutableDirectory();

}  // namespace lumo

#endif  // LUMO_EXT_EXTENSION_LIBRARIES_H_
