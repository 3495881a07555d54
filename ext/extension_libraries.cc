#include "ext/extension_libraries.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <utility>

#include "config/config.h"
#include "config/config_file.h"
#include "core/base/system_error.h"
#include "core/context/lumo_application.h"
#include "core/vm/lumo_vm.h"
#include "values/variable_hash.h"

namespace lumo {

namespace {

std::string LibraryWarning(std::string_view path, const String& reason) {
  std::string text("Library '");
  text.append(path);
  text.append("': ");
  text.append(reason.View());
  return text;
}

}  // namespace

std::string ExecutableDirectory() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  std::string result(path, static_cast<size_t>(length));
  const size_t slash = result.rfind('/');
  if (slash == std::string::npos) return std::string();
  result.resize(slash == 0 ? 1 : slash);
  return result;
}

// --- ExtensionLibraries -------------------------------------------------------

ExtensionLibraries::ExtensionLibraries(void* host_handle)
    : libraries_(host_handle), current_(std::make_shared<LibrarySet>()) {}

ExtensionLibraries::~ExtensionLibraries() {
  // The configuration library is destroyed while the libraries are loaded.
  config_library_.reset();
  current_.reset();
}

bool ExtensionLibraries::ConfigureFromCommandLine(const char* tool, const char* config_flag,
                                                  DexConfig& config,
                                                  const ProcessConfigTarget& target) {
  const std::string config_path = ConfigFilePath(config_flag);
  if (config_flag != nullptr && access(config_path.c_str(), F_OK) != 0) {
    fprintf(stderr, "%s: configuration file '%s': %s\n", tool, config_path.c_str(),
            SystemErrorText(errno).Text());
    return false;
  }
  std::vector<std::string> warnings;
  config.Load(config_path, &warnings);
  Configure(config, target, config_path, &warnings);
  for (const std::string& w : warnings) fprintf(stderr, "%s: %s\n", tool, w.c_str());
  return true;
}

void ExtensionLibraries::Configure(DexBaseConfig& config, const ProcessConfigTarget& target,
                                   const std::string& config_file,
                                   std::vector<std::string>* warnings) {
  std::shared_ptr<ConfigurationLibrary> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(config_library_);
  }
  // Destroyed before the new one starts; a run still holding it finds
  // nothing more to load.
  if (old != nullptr) old->Destroy();
  old.reset();
  // Only what the library sets this time.
  config.ClearPresetVariables();
  const String* path = config.GetText(kConfigConfigLibrary);
  if (path != nullptr && !path->IsEmpty()) {
    String error;
    std::shared_ptr<ConfigurationLibrary> library =
        ConfigurationLibrary::Open(libraries_, path->View(), config, config_file, &error);
    if (library == nullptr) {
      if (warnings != nullptr) {
        std::string text("Configuration library '");
        text.append(path->View());
        text.append("': ");
        text.append(error.View());
        warnings->push_back(std::move(text));
      }
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      config_library_ = std::move(library);
    }
  }
  Apply(target.Libraries(), warnings);
}

void ExtensionLibraries::Apply(const std::vector<RegisteredLibrary>& registered,
                               std::vector<std::string>* warnings) {
  auto set = std::make_shared<LibrarySet>();
  set->libraries = registered;
  bool has_builtin = false;
  for (const RegisteredLibrary& library : registered) {
    if (library.type == LibraryType::kBuiltin) has_builtin = true;
  }
  if (!has_builtin) {
    // Silently absent: a build without the standard library still serves.
    std::string path = default_directory_.empty() ? ExecutableDirectory() : default_directory_;
    path.append("/");
    path.append(kDefaultBuiltinLibrary);
    if (access(path.c_str(), F_OK) == 0) {
      set->libraries.push_back({LibraryType::kBuiltin, String(kBuiltinLibraryName), String(path)});
    }
  }
  for (const RegisteredLibrary& entry : set->libraries) {
    if (entry.type != LibraryType::kBuiltin) continue;
    ExternalLibrary* library = libraries_.Get(entry.path.View());
    if (library == nullptr) {
      if (warnings != nullptr) {
        warnings->push_back(LibraryWarning(entry.path.View(), libraries_.ErrorText()));
      }
      continue;
    }
    const lmFunction* functions = FunctionTableOf(*library);
    if (functions == nullptr) {
      if (warnings != nullptr) {
        warnings->push_back(LibraryWarning(entry.path.View(),
                                           String("Unable to retrieve function descriptor table")));
      }
      continue;
    }
    set->tables.push_back({library, functions});
  }
  std::lock_guard<std::mutex> lock(mutex_);
  current_ = std::move(set);
}

void ExtensionLibraries::Shutdown() {
  std::shared_ptr<ConfigurationLibrary> library;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    library = std::move(config_library_);
  }
  if (library != nullptr) library->Destroy();
}

std::shared_ptr<const LibrarySet> ExtensionLibraries::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

std::shared_ptr<ConfigurationLibrary> ExtensionLibraries::ConfigLibrary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_library_;
}

// --- ExtensionRun ---------------------------------------------------------------

ExtensionRun::ExtensionRun(ExtensionLibraries& libraries)
    : set_(libraries.Current()),
      config_library_(libraries.ConfigLibrary()),
      libraries_(&libraries.Libraries()),
      calls_(libraries_),
      commerce_(libraries_),
      system_(libraries_) {
  RegisterCommerceInstructions();
  for (const LibrarySet::Table& table : set_->tables) {
    calls_.RegisterFunctionTable(table.library, table.functions);
  }
  for (const RegisteredLibrary& library : set_->libraries) {
    if (library.type == LibraryType::kCommerce)
      commerce_.Register(library.name.View(), library.path.View());
    if (library.type == LibraryType::kSystem)
      system_.Register(library.name.View(), library.path.View());
  }
}

ExtensionRun::~ExtensionRun() = default;

void ExtensionRun::Attach(LumoApplication* context, LumoVM* vm) {
  LumoApplication::RunLibraries run;
  run.external = libraries_;
  run.commerce = &commerce_;
  run.system = &system_;
  run.registered = &set_->libraries;
  if (context != nullptr) context->SetRunLibraries(run);
  if (vm != nullptr) {
    vm->SetExternalCalls(&calls_);
    vm->SetBuiltinFunctions(&calls_);
  }
}

bool ExtensionRun::LoadConfiguration(DexBaseConfig& config, std::string_view script_path,
                                     std::string_view script_directory, String* error) {
  if (config_library_ == nullptr) return true;
  return config_library_->Load(config, script_path, script_directory, error);
}

void InstallPresetVariables(const DexBaseConfig& config, VariableHash* globals,
                            VariableHash* system) {
  for (const PresetVariable& v : config.PresetGlobals()) {
    globals->SetVariable(v.name.Text(), v.name.Length(), v.value.Text(), v.value.Length());
  }
  for (const PresetVariable& v : config.PresetSystemVariables()) {
    system->SetVariable(v.name.Text(), v.name.Length(), v.value.Text(), v.value.Length());
  }
}

}  // namespace lumo
