// SystemLibrary: a named service library that other libraries ask for
// (lmProgram_SystemLibrary); SystemLibraryManager: the run's configured
// system libraries by name. A library is loaded through the process's
// ExternalLibraryManager when first asked for.
#ifndef LUMO_EXT_SYSTEM_LIBRARY_H_
#define LUMO_EXT_SYSTEM_LIBRARY_H_

#include <string_view>

#include "core/base/hash_table.h"
#include "core/base/string.h"

namespace lumo {

class ExternalLibrary;
class ExternalLibraryManager;

class SystemLibrary {
 public:
  SystemLibrary(std::string_view name, std::string_view path) : name_(name), path_(path) {}
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  // The address of a symbol of the library, or null with the reason in
  // ErrorText.
  void* GetFunction(std::string_view symbol);

  std::string_view Name() const { return name_.View(); }
  const String& Path() const { return path_; }
  const String& ErrorText() const { return error_; }
  ExternalLibrary* Library() const { return library_; }

 private:
  friend class SystemLibraryManager;
  String name_;
  String path_;
  ExternalLibrary* library_ = nullptr;
  String error_;
};

class SystemLibraryManager {
 public:
  explicit SystemLibraryManager(ExternalLibraryManager* libraries) : libraries_(libraries) {}
  SystemLibraryManager(const SystemLibraryManager&) = delete;
  SystemLibraryManager& operator=(const SystemLibraryManager&) = delete;
  virtual ~SystemLibraryManager() = default;

  // A name registered again keeps its first path.
  virtual void Register(std::string_view name, std::string_view path);
  // The loaded library of that name; null with the reason in ErrorText
  // ("System library 'NAME' is not configured", or why it did not load).
  virtual SystemLibrary* Get(std::string_view name);
  bool Has(std::string_view name) const { return libraries_by_name_.Find(name) != nullptr; }
  const String& ErrorText() const { return error_; }

 private:
  ExternalLibraryManager* libraries_;
  NameHashTable<SystemLibrary> libraries_by_name_{true, true, 4};
  String error_;
};

}  // namespace lumo

#endif  // LUMO_EXT_SYSTEM_LIBRARY_H_
