#include "ext/external_call.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "ext/external_library.h"

namespace lumo {

namespace {

bool SameNameNoCase(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

int32_t DescriptorNameLength(const lmFunction& function) {
  if (function.name == nullptr) return 0;
  return function.name_length >= 0 ? function.name_length
                                   : static_cast<int32_t>(strlen(function.name));
}

// --- ExternalCallParameters -------------------------------------------------

void ExternalCallParameters::Fill(Variable* const* arguments, int32_t count) {
  Node* node = Head();
  int32_t i = 0;
  for (; i < count && node != nullptr; ++i, node = node->next) {
    if (node->element == arguments[i]) continue;
    arguments[i]->AddReference();
    Variable* old = node->element;
    node->element = arguments[i];
    if (old != nullptr) old->Free();
  }
  for (; i < count; ++i) Insert(arguments[i]);
  while (Count() > count) RemoveAndRelease(kTail);
  First();
}

// --- ExternalCall -----------------------------------------------------------

namespace {

struct Active {
  int32_t& count;
  explicit Active(int32_t& c) : count(c) { ++count; }
  ~Active() { --count; }
};

}  // namespace

ExternalCall::ExternalCall(const lmFunction* descriptor)
    : descriptor_(descriptor),
      name_(descriptor->name, static_cast<size_t>(DescriptorNameLength(*descriptor))),
      result_(new Variable()) {
  const int32_t count = descriptor->parameter_count > 0 ? descriptor->parameter_count : 0;
  parameters_.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    BuiltinParameter parameter{};
    if (descriptor->parameters != nullptr) {
      const lmParameter& p = descriptor->parameters[i];
      if (p.name != nullptr) {
        parameter.name = std::string_view(
            p.name, p.name_length >= 0 ? static_cast<size_t>(p.name_length) : strlen(p.name));
      }
      parameter.by_reference = (p.flags & LM_PARAMETER_BY_REFERENCE) != 0;
    }
    parameters_.push_back(parameter);
  }
  builtin_.parameter_count = count;
  builtin_.parameters = parameters_.data();
  bool all_by_value = true;
  for (const BuiltinParameter& p : parameters_) all_by_value = all_by_value && !p.by_reference;
  SetShape(count, all_by_value);
}

ExternalCall::~ExternalCall() {
  if (data_ != nullptr && descriptor_->entry != nullptr) {
    descriptor_->entry(nullptr, nullptr, nullptr, &data_);
  }
  arguments_.Dump();
  result_->Free();
}

bool ExternalCall::ParameterByReference(int32_t i) const {
  return i >= 0 && i < builtin_.parameter_count && parameters_[static_cast<size_t>(i)].by_reference;
}

// A call back into the host that ran out of memory could only fail; the
// run ends here as if the script itself had run out.
void ExternalCall::RaiseForeignOutOfMemory(Variable* result) {
  if (!TakeForeignOutOfMemory()) return;
  result->Free();
  throw OutOfMemoryError();
}

Variable* ExternalCall::Invoke(LumoVM& vm, Variable* const* arguments) {
  const lmFunctionEntry entry = descriptor_->entry;
  auto* program = reinterpret_cast<lmProgram*>(&vm);
  if (active_ > 0) {
    ExternalCallParameters list;
    list.Fill(arguments, builtin_.parameter_count);
    // Its one reference goes to the machine.
    Variable* result = new Variable();
    const Active active(active_);
    if (entry != nullptr) {
      entry(program, reinterpret_cast<lmVariableList*>(static_cast<VariableList*>(&list)),
            reinterpret_cast<lmVariable*>(result), &data_);
    }
    RaiseForeignOutOfMemory(result);
    return result;
  }
  // ResetIfPrivate refuses a result somebody else still holds.
  if (!result_->ResetIfPrivate()) {
    Variable* fresh = new Variable();
    result_->Free();
    result_ = fresh;
  }
  arguments_.Fill(arguments, builtin_.parameter_count);
  Variable* result = result_;
  // The machine's reference; while the call runs it also marks the
  // variable as taken for a call of the same function made meanwhile.
  result->AddReference();
  const Active active(active_);
  if (entry != nullptr) {
    entry(program, reinterpret_cast<lmVariableList*>(static_cast<VariableList*>(&arguments_)),
          reinterpret_cast<lmVariable*>(result), &data_);
  }
  RaiseForeignOutOfMemory(result);
  return result;
}

bool ExternalCall::InvokeInto(LumoVM& vm, Variable* const* arguments, Variable* target,
                              Variable** result) {
  if (active_ > 0 || !result_->ResetIfPrivate()) {
    *result = Invoke(vm, arguments);
    return false;
  }
  arguments_.Fill(arguments, builtin_.parameter_count);
  if (const lmFunctionEntry entry = descriptor_->entry; entry != nullptr) {
    const Active active(active_);
    entry(reinterpret_cast<lmProgram*>(&vm),
          reinterpret_cast<lmVariableList*>(static_cast<VariableList*>(&arguments_)),
          reinterpret_cast<lmVariable*>(result_), &data_);
  }
  if (TakeForeignOutOfMemory()) throw OutOfMemoryError();
  if (vm.HasError() || !target->FastTakeFrom(result_)) {
    result_->AddReference();
    *result = result_;
    return false;
  }
  return true;
}

// --- ExternalCallPersistentData -------------------------------------------------

ExternalCallPersistentData::~ExternalCallPersistentData() {
  if (release != nullptr) {
    release(owner, data);
  } else {
    free(data);
  }
}

// --- ExternalCallManager ----------------------------------------------------

ExternalCallManager::ExternalCallManager(ExternalLibraryManager* libraries)
    : libraries_(libraries) {
  tables_.reserve(16);
}

ExternalCallManager::~ExternalCallManager() {
  calls_.Clear();
  persistent_.Clear();
}

bool ExternalCallManager::RegisterFunctionLibrary(std::string_view file_name) {
  ExternalLibrary* library = libraries_ != nullptr ? libraries_->Get(file_name) : nullptr;
  if (library == nullptr) {
    error_ = libraries_ != nullptr ? libraries_->ErrorText() : String("No library manager");
    return false;
  }
  const lmFunction* functions = FunctionTableOf(*library);
  if (functions == nullptr) {
    error_.Assign("Unable to retrieve function descriptor table");
    return false;
  }
  RegisterFunctionTable(library, functions);
  return true;
}

void ExternalCallManager::RegisterFunctionTable(ExternalLibrary* library,
                                                const lmFunction* functions) {
  if (functions == nullptr) return;
  // Grows by 16 tables at a time.
  if (tables_.size() == tables_.capacity()) tables_.reserve(tables_.size() + 16);
  tables_.push_back({library, functions});
}

ExternalCall* ExternalCallManager::FindFunction(const char* name, int32_t length) {
  if (name == nullptr) return nullptr;
  const size_t size = length >= 0 ? static_cast<size_t>(length) : strlen(name);
  const std::string_view key(name, size);
  if (ExternalCall* call = calls_.Find(key)) return call;
  for (const Table& table : tables_) {
    for (const lmFunction* f = table.functions; f->name != nullptr; ++f) {
      if (static_cast<size_t>(DescriptorNameLength(*f)) == size &&
          SameNameNoCase(f->name, name, size)) {
        auto* call = new ExternalCall(f);
        calls_.Insert(call);
        return call;
      }
    }
  }
  return nullptr;
}

const BuiltinFunction* ExternalCallManager::Find(std::string_view name) const {
  // Binding is part of finding: the cache belongs to the lookup, not to
  // what the caller may change.
  ExternalCall* call = const_cast<ExternalCallManager*>(this)->FindFunction(
      name.data(), static_cast<int32_t>(name.size()));
  return call != nullptr ? call->Builtin() : nullptr;
}

void* ExternalCallManager::LookupPersistentData(const char* name, int32_t length) {
  if (name == nullptr) return nullptr;
  const size_t size = length >= 0 ? static_cast<size_t>(length) : strlen(name);
  ExternalCallPersistentData* record = persistent_.Find(std::string_view(name, size));
  return record != nullptr ? record->data : nullptr;
}

void ExternalCallManager::RegisterPersistentData(void* owner, const char* name, int32_t length,
                                                 void* data, lmPersistentFree free_function) {
  if (name == nullptr) return;
  const std::string_view key(name, length >= 0 ? static_cast<size_t>(length) : strlen(name));
  if (ExternalCallPersistentData* old = persistent_.Remove(key)) {
    // Registering the same data again must not free what is kept.
    if (old->data == data) {
      old->data = nullptr;
      old->release = nullptr;
    }
    delete old;
  }
  persistent_.Insert(new ExternalCallPersistentData(owner, key, data, free_function));
}

const lmFunction* FunctionTableOf(ExternalLibrary& library) {
  using TableFunction = const lmFunctionTable* (*)();
  void* symbol = library.Symbol("lumo_function_table");
  if (symbol == nullptr) return nullptr;
  const lmFunctionTable* table = reinterpret_cast<TableFunction>(symbol)();
  return table != nullptr ? table->functions : nullptr;
}

}  // namespace lumo
