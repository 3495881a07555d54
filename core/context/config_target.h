// ProcessConfigTarget: where the run-time configuration puts the error
// settings and extension libraries it reads. Error settings go to the
// process-wide table that every new machine copies; libraries are kept in
// registration order until the extension layer loads them. A library
// registered again (same kind, name and path; for a named kind the same
// name) keeps its first entry, so reading a configuration twice never
// lists a library twice.
#ifndef LUMO_CORE_CONTEXT_CONFIG_TARGET_H_
#define LUMO_CORE_CONTEXT_CONFIG_TARGET_H_

#include <string_view>
#include <vector>

#include "config/dex_config.h"
#include "core/base/string.h"

namespace lumo {

struct RegisteredLibrary {
  LibraryType type;
  String name;
  String path;
};

class ProcessConfigTarget : public ConfigTarget {
 public:
  void RegisterLibrary(LibraryType type, std::string_view name, std::string_view path) override;
  void SetErrorSetting(std::string_view tag_name, std::string_view value) override;
  void ResetErrorSettings() override;
  void ClearLibraries() override { libraries_.clear(); }

  const std::vector<RegisteredLibrary>& Libraries() const { return libraries_; }

 private:
  std::vector<RegisteredLibrary> libraries_;
};

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_CONFIG_TARGET_H_
