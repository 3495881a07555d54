// ConfigurationLibrary: a library named by the "configlibrary" setting.
// It is initialised with the configuration when the configuration is
// loaded (it may change settings, register libraries, set error settings
// and pre-set script variables), asked before each run to adjust the
// run's own copy for the script about to run, and destroyed when the
// configuration is loaded again or the program ends.
#ifndef LUMO_EXT_CONFIG_LIBRARY_H_
#define LUMO_EXT_CONFIG_LIBRARY_H_

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/base/string.h"
#include "include/lumo/lumo.h"

namespace lumo {

class Config;
class ExternalLibraryManager;

class ConfigurationLibrary {
 public:
  // Loads the library and calls its init entry with `config`, which must
  // outlive the object (the destroy entry gets it). Null with the reason
  // in *error.
  static std::unique_ptr<ConfigurationLibrary> Open(ExternalLibraryManager& libraries,
                                                    std::string_view path, Config& config,
                                                    const std::string& config_file,
                                                    String* error);
  ConfigurationLibrary(const ConfigurationLibrary&) = delete;
  ConfigurationLibrary& operator=(const ConfigurationLibrary&) = delete;
  // Destroy, if not done already.
  ~ConfigurationLibrary();

  // The destroy entry, when the library has one; once only. Later loads
  // succeed without calling the library.
  void Destroy();

  // The script-specific load with the run's configuration. Runs of
  // several threads take turns: the library's data word is one for all.
  // False with the reason in *error.
  bool Load(Config& config, std::string_view script_path, std::string_view script_directory,
            String* error);

  const String& Path() const { return path_; }

 private:
  ConfigurationLibrary(const lmConfigLibrary* table, Config* config, std::string_view path)
      : table_(table), config_(config), path_(path) {}
  void TakeError(Config& config, const char* fallback, String* error);

  const lmConfigLibrary* table_;
  Config* config_;
  String path_;
  void* data_ = nullptr;
  std::mutex mutex_;
};

}  // namespace lumo

#endif  // LUMO_EXT_CONFIG_LIBRARY_H_
