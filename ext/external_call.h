// ExternalCallManager: the functions of the builtin libraries as one run
// sees them. It keeps the registered function tables in registration
// order, binds a name to the first descriptor of that name (compared
// without regard to case) and caches the binding for the rest of the run;
// it also keeps the run's persistent library data.
//
// One manager belongs to one run (and the LmDO programs it calls); the
// libraries themselves belong to the process-wide ExternalLibraryManager.
#ifndef LUMO_EXT_EXTERNAL_CALL_H_
#define LUMO_EXT_EXTERNAL_CALL_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/base/hash_table.h"
#include "core/base/string.h"
#include "core/vm/lumo_vm.h"
#include "expr/builtin_functions.h"
#include "include/lumo/lumo.h"
#include "values/variable_list.h"

namespace lumo {

class ExternalLibrary;
class ExternalLibraryManager;

// The arguments of one call, in declaration order. The nodes stay from one
// call to the next, so filling the list again allocates nothing.
class ExternalCallParameters : public VariableList {
 public:
  void Fill(Variable* const* arguments, int32_t count);
};

// One bound function: its descriptor, its data word and its result.
class ExternalCall : public ExternalFunction {
 public:
  explicit ExternalCall(const lmFunction* descriptor);
  // A non-zero data word gets the entry's final call, entry(0, 0, 0, data).
  ~ExternalCall() override;

  int32_t ParameterCount() const override { return builtin_.parameter_count; }
  bool ParameterByReference(int32_t i) const override;
  // The result variable is used again while nobody else holds it: one
  // the script still holds (on the stack, say) is let go and a fresh one
  // made, so a later call never changes a value the script kept.
  Variable* Invoke(LumoVM& vm, Variable* const* arguments) override;
  // The result variable's value moves into `target` (its text buffer
  // changes hands), so a call that stores its result copies nothing.
  bool InvokeInto(LumoVM& vm, Variable* const* arguments, Variable* target,
                  Variable** result) override;
  // Raises OutOfMemoryError, releasing the machine's reference on `result`,
  // when a call back into the host ran out of memory during the call.
  static void RaiseForeignOutOfMemory(Variable* result);

  std::string_view Name() const { return name_; }
  const lmFunction* Descriptor() const { return descriptor_; }
  const BuiltinFunction* Builtin() const { return &builtin_; }
  void* Data() const { return data_; }

 private:
  const lmFunction* descriptor_;
  std::string_view name_;
  BuiltinFunction builtin_{};
  std::vector<BuiltinParameter> parameters_;
  void* data_ = nullptr;
  Variable* result_;
  ExternalCallParameters arguments_;
  // Calls of this function under way: a library that calls back into the
  // script may reach the same function again, which then gets lists of
  // its own.
  int32_t active_ = 0;
};

struct ExternalCallPersistentData {
  ExternalCallPersistentData(void* owner_handle, std::string_view name_text, void* data_pointer,
                             lmPersistentFree free_function)
      : owner(owner_handle), name(name_text), data(data_pointer), release(free_function) {}
  // Frees the data: through the free function, or with free() when there
  // is none (library memory comes from lumo_alloc).
  ~ExternalCallPersistentData();
  ExternalCallPersistentData(const ExternalCallPersistentData&) = delete;
  ExternalCallPersistentData& operator=(const ExternalCallPersistentData&) = delete;

  std::string_view Name() const { return name.View(); }

  void* owner;
  String name;
  void* data;
  lmPersistentFree release;
};

class ExternalCallManager : public ExternalFunctionResolver, public BuiltinFunctions {
 public:
  explicit ExternalCallManager(ExternalLibraryManager* libraries);
  // Bound functions go first (their final calls may still want the
  // persistent data), then the persistent data.
  ~ExternalCallManager() override;

  // Loads the library and adds its function table after those registered
  // before. False with the reason in ErrorText.
  virtual bool RegisterFunctionLibrary(std::string_view file_name);
  // Adds a table already had from a loaded library.
  void RegisterFunctionTable(ExternalLibrary* library, const lmFunction* functions);
  // The bound function of that name, binding it on first use; null when
  // no registered table has it.
  virtual ExternalCall* FindFunction(const char* name, int32_t length);
  virtual void* LookupPersistentData(const char* name, int32_t length);
  // Replaces any data under the name; the old data is freed unless it is
  // the very data registered again.
  virtual void RegisterPersistentData(void* owner, const char* name, int32_t length, void* data,
                                      lmPersistentFree free_function);

  ExternalFunction* Resolve(const char* name, int32_t length) override {
    return FindFunction(name, length);
  }
  const BuiltinFunction* Find(std::string_view name) const override;

  const String& ErrorText() const { return error_; }
  int32_t TableCount() const { return static_cast<int32_t>(tables_.size()); }

 private:
  struct Table {
    ExternalLibrary* library;
    const lmFunction* functions;
  };

  ExternalLibraryManager* libraries_;
  NameHashTable<ExternalCall> calls_{true, true, 8};
  String error_;
  std::vector<Table> tables_;
  NameHashTable<ExternalCallPersistentData> persistent_{true, true, 4};
};

// The length of a descriptor's name: its own length field, or up to the
// terminating zero when that is negative.
int32_t DescriptorNameLength(const lmFunction& function);

// The descriptor array of a builtin library's table, or null when the
// library has no table symbol or its table function gives none.
const lmFunction* FunctionTableOf(ExternalLibrary& library);

}  // namespace lumo

#endif  // LUMO_EXT_EXTERNAL_CALL_H_
