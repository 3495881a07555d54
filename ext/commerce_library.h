// Commerce libraries: the payment methods of the LmCOMMERCE block. A
// CommerceLibrary is one configured method bound to its library's four
// entries; CommerceLibraryManager keeps the run's methods by name; the
// Commerce feature is an open LmCOMMERCE block, which runs its body for as
// long as the library's loop entry asks for it.
#ifndef LUMO_EXT_COMMERCE_LIBRARY_H_
#define LUMO_EXT_COMMERCE_LIBRARY_H_

#include <string_view>

#include "core/base/hash_table.h"
#include "core/base/string.h"
#include "core/vm/feature.h"
#include "include/lumo/lumo.h"
#include "values/variable_list.h"

namespace lumo {

class ExternalLibrary;
class ExternalLibraryManager;
class LumoVM;

class CommerceLibrary {
 public:
  CommerceLibrary(std::string_view name, std::string_view path) : name_(name), path_(path) {}
  CommerceLibrary(const CommerceLibrary&) = delete;
  CommerceLibrary& operator=(const CommerceLibrary&) = delete;

  std::string_view Name() const { return name_.View(); }
  const String& Path() const { return path_; }
  bool Bound() const { return library_ != nullptr; }

  lmCommerceInit init = nullptr;
  lmCommerceLoop loop = nullptr;
  lmCommerceCleanup cleanup = nullptr;
  lmCommerceError error = nullptr;

 private:
  friend class CommerceLibraryManager;
  String name_;
  String path_;
  ExternalLibrary* library_ = nullptr;
};

class CommerceLibraryManager {
 public:
  explicit CommerceLibraryManager(ExternalLibraryManager* libraries) : libraries_(libraries) {}
  CommerceLibraryManager(const CommerceLibraryManager&) = delete;
  CommerceLibraryManager& operator=(const CommerceLibraryManager&) = delete;
  virtual ~CommerceLibraryManager() = default;

  // A method registered again keeps its first path.
  virtual void Register(std::string_view method, std::string_view path);
  // The library of the method (any case), loaded and bound on first use:
  // its "lumo_commerce_library" table, else the four entry functions.
  // Null with the reason in ErrorText.
  virtual CommerceLibrary* Find(std::string_view method);
  bool Has(std::string_view method) const { return methods_.Find(method) != nullptr; }
  const String& ErrorText() const { return error_; }

 private:
  bool Bind(CommerceLibrary* library);

  ExternalLibraryManager* libraries_;
  NameHashTable<CommerceLibrary> methods_{true, true, 4};
  String error_;
};

// An open LmCOMMERCE block.
class Commerce : public Feature {
 public:
  Commerce(LumoVM* vm, CommerceLibrary* library, std::string_view method, std::string_view text);

  // Calls init; false with the library's error text in *error.
  bool Start(String* error);
  // One iteration: 0 runs the body (again), 1 an error (its text in
  // *error), anything else ends the loop.
  int Next(String* error);

  VariableList& Fields() { return fields_; }
  int32_t Iteration() const { return iteration_; }

 private:
  void TakeError(int32_t code, String* error);

  CommerceLibrary* library_;
  String method_;
  String text_;
  VariableList fields_;
  void* data_ = nullptr;
  int32_t iteration_ = 0;
};

// Hands op_commerce, op_commerce_loop and op_commerce_stop to the machine
// (once per process; any thread may call it).
void RegisterCommerceInstructions();

}  // namespace lumo

#endif  // LUMO_EXT_COMMERCE_LIBRARY_H_
