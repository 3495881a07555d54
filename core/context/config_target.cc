#include "core/context/config_target.h"

#include "core/context/error_settings.h"

namespace lumo {

void ProcessConfigTarget::RegisterLibrary(LibraryType type, std::string_view name,
                                          std::string_view path) {
  for (const RegisteredLibrary& library : libraries_) {
    if (library.type != type) continue;
    if (type == LibraryType::kBuiltin ? library.path.View() == path
                                      : library.name.EqualsNoCase(name)) {
      return;
    }
  }
  libraries_.push_back({type, String(name), String(path)});
}

void ProcessConfigTarget::SetErrorSetting(std::string_view tag_name, std::string_view value) {
  lumo::SetErrorSetting(tag_name.data(), static_cast<int32_t>(tag_name.size()), value.data(),
                        static_cast<int32_t>(value.size()));
}

void ProcessConfigTarget::ResetErrorSettings() { lumo::ResetErrorSettings(); }

}  // namespace lumo
