#include "config/dex_config.h"

#include "config/config_file.h"
#include "core/base/conversions.h"

namespace lumo {

namespace {

int32_t Size(std::string_view text) { return static_cast<int32_t>(text.size()); }

std::unique_ptr<ConfigValue> TextValue(ConfigId id, std::string_view text) {
  auto value = std::make_unique<ConfigValue>();
  value->id = id;
  value->text.Assign(text.data(), Size(text));
  return value;
}

std::string UnderHome(std::string_view relative) {
  std::string path = HomeDirectory();
  if (path != "/") path += '/';
  path += relative;
  return path;
}

}  // namespace

bool DexBaseConfig::KnowsTag(std::string_view tag_name) const {
  return lookup_ == nullptr || lookup_(tag_name.data(), Size(tag_name)) >= 0;
}

bool DexBaseConfig::Load(const std::string& path, std::vector<std::string>* warnings) {
  return LoadConfigFile(path, *this, warnings);
}

void DexBaseConfig::RegisterLibrary(LibraryType type, std::string_view name,
                                    std::string_view path) {
  switch (type) {
    case LibraryType::kBuiltin:
      RegisterBuiltinLibrary(path);
      break;
    case LibraryType::kDatabase:
      RegisterDatabaseLibrary(name, path);
      break;
    case LibraryType::kCommerce:
      RegisterCommerceLibrary(name, path);
      break;
    case LibraryType::kSystem:
      RegisterSystemLibrary(name, path);
      break;
  }
}

std::unique_ptr<ConfigValue> DexBaseConfig::CreateDefault(ConfigId id) {
  switch (id) {
    case kConfigDirLumo:
      return TextValue(id, UnderHome("LumoDex/html"));
    case kConfigDirData:
      return TextValue(id, UnderHome("LumoDex/data"));
    case kConfigInfoServeradmin:
      return TextValue(id, "webmaster@localhost");
    default:
      return Config::CreateDefault(id);
  }
}

void DexBaseConfig::CopyFrom(const Config& other) {
  Config::CopyFrom(other);
  CopyOwnFrom(other);
}

void DexBaseConfig::ShareFrom(const Config& other) {
  Config::ShareFrom(other);
  CopyOwnFrom(other);
}

void DexBaseConfig::CopyOwnFrom(const Config& other) {
  if (const auto* dex = dynamic_cast<const DexBaseConfig*>(&other)) {
    port_ = dex->port_;
    show_dialog_ = dex->show_dialog_;
    preset_globals_ = dex->preset_globals_;
    preset_system_ = dex->preset_system_;
  }
}

namespace {

void Preset(std::vector<PresetVariable>& list, std::string_view name, std::string_view value) {
  for (PresetVariable& v : list) {
    if (v.name.EqualsNoCase(name)) {
      v.value.Assign(value);
      return;
    }
  }
  list.push_back({String(name), String(value)});
}

}  // namespace

void DexBaseConfig::PresetGlobal(std::string_view name, std::string_view value) {
  Preset(preset_globals_, name, value);
}

void DexBaseConfig::PresetSystem(std::string_view name, std::string_view value) {
  Preset(preset_system_, name, value);
}

void DexConfig::RegisterSystemLibrary(std::string_view name, std::string_view path) {
  if (target_) target_->RegisterLibrary(LibraryType::kSystem, name, path);
}

void DexConfig::RegisterBuiltinLibrary(std::string_view path) {
  if (target_) target_->RegisterLibrary(LibraryType::kBuiltin, kBuiltinLibraryName, path);
}

void DexConfig::RegisterCommerceLibrary(std::string_view name, std::string_view path) {
  if (target_) target_->RegisterLibrary(LibraryType::kCommerce, name, path);
}

void DexConfig::RegisterDatabaseLibrary(std::string_view name, std::string_view path) {
  if (target_) target_->RegisterLibrary(LibraryType::kDatabase, name, path);
}

bool DexConfig::SetErrorSetting(std::string_view tag_name, std::string_view value) {
  if (!KnowsTag(tag_name)) return false;
  if (target_) target_->SetErrorSetting(tag_name, value);
  return true;
}

void DexConfig::ResetErrorSettings() {
  if (target_) target_->ResetErrorSettings();
}

void DexConfigLoader::RegisterSystemLibrary(std::string_view name, std::string_view path) {
  libraries_.push_back({LibraryType::kSystem, String(name), String(path)});
}

void DexConfigLoader::RegisterBuiltinLibrary(std::string_view path) {
  libraries_.push_back({LibraryType::kBuiltin, String(kBuiltinLibraryName), String(path)});
}

void DexConfigLoader::RegisterCommerceLibrary(std::string_view name, std::string_view path) {
  libraries_.push_back({LibraryType::kCommerce, String(name), String(path)});
}

void DexConfigLoader::RegisterDatabaseLibrary(std::string_view name, std::string_view path) {
  libraries_.push_back({LibraryType::kDatabase, String(name), String(path)});
}

bool DexConfigLoader::SetErrorSetting(std::string_view tag_name, std::string_view value) {
  if (!KnowsTag(tag_name)) return false;
  const TagLookupFunction lookup = Lookup();
  const int32_t tag = lookup ? lookup(tag_name.data(), Size(tag_name)) : -1;
  for (ErrorSettingEntry& entry : error_settings_) {
    const bool same =
        lookup ? lookup(entry.tag_name.Text(), entry.tag_name.Length()) == tag
               : entry.tag_name.EqualsNoCase(tag_name);
    if (same) {
      entry.tag_name = String(tag_name);
      entry.value = String(value);
      return true;
    }
  }
  error_settings_.push_back({String(tag_name), String(value)});
  return true;
}

bool DexConfigLoader::Save(const std::string& path, String* error) {
  return SaveConfigFile(*this, path, error);
}

bool DexConfigLoader::SaveLibraries(const std::string& path, String* error) {
  return SaveConfigLibraries(*this, path, error);
}

bool DexConfigLoader::SaveErrorSettings(const std::string& path, String* error) {
  return SaveConfigErrorSettings(*this, path, error);
}

}  // namespace lumo
