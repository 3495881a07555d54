// The server's configuration: the numbered settings plus the listening
// port, the show-dialog switch, the extension libraries to load and the
// per-tag error settings.
//
// DexConfig is the one the server runs with: libraries and error settings
// go straight on to a ConfigTarget. DexConfigLoader is the editable copy
// that keeps them as lists, so they can be shown, changed and saved.
//
// Like every Config, one object belongs to one thread.
#ifndef LUMO_CONFIG_DEX_CONFIG_H_
#define LUMO_CONFIG_DEX_CONFIG_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "core/base/string.h"

namespace lumo {

// The tag id of an error-setting tag name (any case), or -1 when unknown.
using TagLookupFunction = int32_t (*)(const char* name, int32_t length);

enum class LibraryType { kBuiltin = 0, kDatabase = 1, kCommerce = 2, kSystem = 3 };

// A builtin library has no name of its own; this stands in for it.
inline constexpr std::string_view kBuiltinLibraryName = "n/a";

// What the running configuration hands libraries and error settings to.
// The configuration sits below the layers that own them, so it reaches
// them only through this.
class ConfigTarget {
 public:
  virtual ~ConfigTarget() = default;
  // Builtin libraries come with the name kBuiltinLibraryName.
  virtual void RegisterLibrary(LibraryType type, std::string_view name,
                               std::string_view path) = 0;
  // The tag name is one the tag lookup knows. The value switches the
  // display and fatal flags by mentioning "display" and "fatal".
  virtual void SetErrorSetting(std::string_view tag_name, std::string_view value) = 0;
  // Back to the built-in error settings.
  virtual void ResetErrorSettings() = 0;
  // Forgets the registered libraries: a configuration read again brings
  // its whole list.
  virtual void ClearLibraries() {}
};

// A script variable a configuration library sets before every run.
struct PresetVariable {
  String name;
  String value;
};

class DexBaseConfig : public Config {
 public:
  // A null lookup treats every tag name as known.
  explicit DexBaseConfig(TagLookupFunction lookup) : lookup_(lookup) {}

  int32_t Port() const { return port_; }
  void SetPort(int32_t port) { port_ = port; }
  bool ShowDialog() const { return show_dialog_; }
  void SetShowDialog(bool show) { show_dialog_ = show; }
  TagLookupFunction Lookup() const { return lookup_; }
  bool KnowsTag(std::string_view tag_name) const;

  // Reads the configuration file at `path` (see config_file.h) over what
  // this object holds. A missing file is not an error: every default
  // holds. Malformed lines are skipped with a warning "FILE:LINE: what";
  // nothing stops the load. Returns false only when the file exists but
  // cannot be read (with a warning saying why). `warnings` may be null.
  bool Load(const std::string& path, std::vector<std::string>* warnings);

  virtual void RegisterSystemLibrary(std::string_view name, std::string_view path) = 0;
  virtual void RegisterBuiltinLibrary(std::string_view path) = 0;
  virtual void RegisterCommerceLibrary(std::string_view name, std::string_view path) = 0;
  virtual void RegisterDatabaseLibrary(std::string_view name, std::string_view path) = 0;
  void RegisterLibrary(LibraryType type, std::string_view name, std::string_view path);
  // False, with nothing changed, when the tag lookup does not know the tag.
  virtual bool SetErrorSetting(std::string_view tag_name, std::string_view value) = 0;
  virtual void ClearLibraries() = 0;
  virtual void ResetErrorSettings() = 0;

  // Variables set in the global and system scopes of every run, in the
  // order given; a name given again replaces its value.
  void PresetGlobal(std::string_view name, std::string_view value);
  void PresetSystem(std::string_view name, std::string_view value);
  void ClearPresetVariables() {
    preset_globals_.clear();
    preset_system_.clear();
  }
  const std::vector<PresetVariable>& PresetGlobals() const { return preset_globals_; }
  const std::vector<PresetVariable>& PresetSystemVariables() const { return preset_system_; }

  // Adds the server's own defaults: the document and data directories
  // under the home directory, and the administrator address.
  std::unique_ptr<ConfigValue> CreateDefault(ConfigId id) override;
  // Also copies the port, the show-dialog switch and the pre-set
  // variables when `other` is a DexBaseConfig. Libraries and error
  // settings are not values and stay.
  void CopyFrom(const Config& other) override;
  void ShareFrom(const Config& other) override;

 private:
  void CopyOwnFrom(const Config& other);

  TagLookupFunction lookup_;
  int32_t port_ = 80;
  bool show_dialog_ = true;
  std::vector<PresetVariable> preset_globals_;
  std::vector<PresetVariable> preset_system_;
};

class DexConfig : public DexBaseConfig {
 public:
  // A null target drops libraries and error settings (for programs that
  // only read the settings). The target must outlive this object.
  DexConfig(ConfigTarget* target, TagLookupFunction lookup)
      : DexBaseConfig(lookup), target_(target) {}

  void RegisterSystemLibrary(std::string_view name, std::string_view path) override;
  void RegisterBuiltinLibrary(std::string_view path) override;
  void RegisterCommerceLibrary(std::string_view name, std::string_view path) override;
  void RegisterDatabaseLibrary(std::string_view name, std::string_view path) override;
  bool SetErrorSetting(std::string_view tag_name, std::string_view value) override;
  // The target forgets its list (libraries once loaded stay loaded).
  void ClearLibraries() override {
    if (target_) target_->ClearLibraries();
  }
  void ResetErrorSettings() override;

 private:
  ConfigTarget* target_;
};

struct LibraryEntry {
  LibraryType type;
  String name;  // kBuiltinLibraryName for builtin libraries
  String path;
};

struct ErrorSettingEntry {
  String tag_name;
  String value;
};

class DexConfigLoader : public DexBaseConfig {
 public:
  explicit DexConfigLoader(TagLookupFunction lookup) : DexBaseConfig(lookup) {}

  // Appended in the order registered; the same library may occur twice.
  void RegisterSystemLibrary(std::string_view name, std::string_view path) override;
  void RegisterBuiltinLibrary(std::string_view path) override;
  void RegisterCommerceLibrary(std::string_view name, std::string_view path) override;
  void RegisterDatabaseLibrary(std::string_view name, std::string_view path) override;
  // Replaces the entry of the same tag (two names of one tag count as the
  // same), else appends.
  bool SetErrorSetting(std::string_view tag_name, std::string_view value) override;
  void ClearLibraries() override { libraries_.clear(); }
  void ResetErrorSettings() override { error_settings_.clear(); }

  // For editing in place.
  std::vector<LibraryEntry>& Libraries() { return libraries_; }
  const std::vector<LibraryEntry>& Libraries() const { return libraries_; }
  std::vector<ErrorSettingEntry>& ErrorSettings() { return error_settings_; }
  const std::vector<ErrorSettingEntry>& ErrorSettings() const { return error_settings_; }

  // Writes everything to the configuration file at `path` (see
  // config_file.h), replacing it atomically: on failure the old file is
  // untouched and *error (when not null) says what went wrong.
  bool Save(const std::string& path, String* error);
  // Write only the libraries, or only the error settings, leaving the
  // file's other lines as they are.
  bool SaveLibraries(const std::string& path, String* error);
  bool SaveErrorSettings(const std::string& path, String* error);

 private:
  std::vector<LibraryEntry> libraries_;
  std::vector<ErrorSettingEntry> error_settings_;
};

}  // namespace lumo

#endif  // LUMO_CONFIG_DEX_CONFIG_H_
