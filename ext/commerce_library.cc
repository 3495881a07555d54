#include "ext/commerce_library.h"

#include <mutex>

#include "core/base/ascii.h"
#include "core/context/lumo_application.h"
#include "core/program/opcodes.h"
#include "core/vm/lumo_vm.h"
#include "core/vm/vm_stack.h"
#include "ext/external_library.h"

namespace lumo {

namespace {

// The tag id of LmCOMMERCE.
constexpr int32_t kCommerceTag = 19;

String UnsupportedMethod(std::string_view method) {
  String text("Commerce method '");
  text.Append(method);
  text.Append("' is unsupported or not configured");
  return text;
}

}  // namespace

// --- CommerceLibraryManager -------------------------------------------------

void CommerceLibraryManager::Register(std::string_view method, std::string_view path) {
  if (methods_.Find(method) != nullptr) return;
  methods_.Insert(new CommerceLibrary(method, path));
}

CommerceLibrary* CommerceLibraryManager::Find(std::string_view method) {
  CommerceLibrary* library = methods_.Find(method);
  if (library == nullptr) {
    error_ = UnsupportedMethod(method);
    return nullptr;
  }
  if (!library->Bound() && !Bind(library)) return nullptr;
  return library;
}

bool CommerceLibraryManager::Bind(CommerceLibrary* library) {
  ExternalLibrary* loaded =
      libraries_ != nullptr ? libraries_->Get(library->path_.View()) : nullptr;
  if (loaded == nullptr) {
    error_ = libraries_ != nullptr ? libraries_->ErrorText() : String("No library manager");
    return false;
  }
  using TableFunction = const lmCommerceLibrary* (*)();
  const lmCommerceLibrary* table = nullptr;
  if (void* symbol = loaded->Symbol("lumo_commerce_library")) {
    table = reinterpret_cast<TableFunction>(symbol)();
  }
  if (table != nullptr) {
    library->init = table->init;
    library->loop = table->loop;
    library->cleanup = table->cleanup;
    library->error = table->error;
  } else {
    library->init = reinterpret_cast<lmCommerceInit>(loaded->Symbol("lumo_commerce_init"));
    library->loop = reinterpret_cast<lmCommerceLoop>(loaded->Symbol("lumo_commerce_loop"));
    library->cleanup = reinterpret_cast<lmCommerceCleanup>(loaded->Symbol("lumo_commerce_cleanup"));
    library->error = reinterpret_cast<lmCommerceError>(loaded->Symbol("lumo_commerce_error"));
  }
  // Init and loop are called on every block: a table that leaves them
  // out is as unusable as a library without one.
  if (library->init == nullptr || library->loop == nullptr ||
      (table == nullptr && (library->cleanup == nullptr || library->error == nullptr))) {
    library->init = nullptr;
    library->loop = nullptr;
    library->cleanup = nullptr;
    library->error = nullptr;
    error_.Assign("Unable to load commerce library descriptor table/functions");
    return false;
  }
  library->library_ = loaded;
  return true;
}

// --- Commerce -----------------------------------------------------------------

Commerce::Commerce(LumoVM* vm, CommerceLibrary* library, std::string_view method,
                   std::string_view text)
    : Feature(vm->Context(), vm, vm->CurrentFrame(), kCommerce),
      library_(library),
      method_(method),
      text_(text) {}

void Commerce::TakeError(int32_t code, String* error) {
  const char* text = nullptr;
  if (library_->error != nullptr) {
    text = library_->error(
        reinterpret_cast<lmProgram*>(Machine()), &data_, method_.Text(), text_.Text(),
        reinterpret_cast<lmVariableList*>(static_cast<VariableList*>(&fields_)), code);
  }
  if (text != nullptr) {
    error->Assign(text);
  } else {
    error->Assign("Commerce method '");
    error->Append(method_);
    error->Append("' failed");
  }
  SetErrorText(error->View());
}

bool Commerce::Start(String* error) {
  const int result =
      library_->init(reinterpret_cast<lmProgram*>(Machine()), &data_, method_.Text(), text_.Text(),
                     reinterpret_cast<lmVariableList*>(static_cast<VariableList*>(&fields_)), 0);
  if (result != 0) {
    TakeError(-1, error);
    return false;
  }
  return true;
}

int Commerce::Next(String* error) {
  const int32_t iteration = iteration_++;
  const int result = library_->loop(
      reinterpret_cast<lmProgram*>(Machine()), &data_, method_.Text(), text_.Text(),
      reinterpret_cast<lmVariableList*>(static_cast<VariableList*>(&fields_)), 0, iteration);
  if (result == 1) TakeError(-1, error);
  return result;
}

// --- Instructions ---------------------------------------------------------------

namespace {

void ClearTagError(LumoVM& vm) {
  const char* name = vm.ErrorSettings()[kCommerceTag].error_variable;
  if (name[0] != '\0') vm.GlobalScope()->SetVariable(name, -1, "", 0);
}

// The names of the tag's fields, separated by commas, each resolved as
// the name instructions resolve them; a name that finds nothing gives a
// new variable of that name that only the library sees.
bool AddFields(LumoVM& vm, std::string_view names, VariableList& fields) {
  while (!names.empty()) {
    const size_t comma = names.find(',');
    std::string_view name = names.substr(0, comma);
    names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    name = TrimBlanks(name);
    if (name.empty()) continue;
    Variable* variable = nullptr;
    if (!vm.ResolveName(name.data(), static_cast<int32_t>(name.size()), &variable)) return false;
    if (variable != nullptr) {
      fields.Insert(variable);
    } else {
      auto* fresh = new Variable(name);
      fields.Insert(fresh);
      fresh->Free();
    }
  }
  return true;
}

// Leaves the block: on past the instruction that ends it.
void Skip(LumoVM& vm) { vm.SetPosition(vm.SegmentNumber(), vm.Offset() + vm.Operand1()); }

// One iteration of an open block; false when the loop has ended (the
// feature closed).
bool Iterate(LumoVM& vm, Commerce* commerce) {
  String error;
  const int result = commerce->Next(&error);
  if (result == 0) return true;
  vm.CloseFeature(commerce);
  if (result == 1) vm.RuntimeError(kCommerceTag, error.View());
  return false;
}

// op_commerce o: method text fields -> ; o reaches past the block's end.
void StepCommerce(LumoVM& vm) {
  LumoVM_Stack* stack = vm.CurrentStack();
  PoppedText fields;
  PoppedText text;
  PoppedText method;
  stack->PopText(fields);
  stack->PopText(text);
  stack->PopText(method);
  if (vm.HasError()) return;
  CommerceLibraryManager* manager = vm.Context()->CommerceLibraries();
  CommerceLibrary* library = manager != nullptr ? manager->Find(method.View()) : nullptr;
  if (library == nullptr) {
    const String message =
        manager != nullptr ? manager->ErrorText() : UnsupportedMethod(method.View());
    vm.RuntimeError(kCommerceTag, message.View());
    Skip(vm);
    return;
  }
  auto* commerce = new Commerce(&vm, library, method.View(), text.View());
  if (!AddFields(vm, fields.View(), commerce->Fields())) {
    delete commerce;
    return;
  }
  String error;
  if (!commerce->Start(&error)) {
    delete commerce;
    vm.RuntimeError(kCommerceTag, error.View());
    Skip(vm);
    return;
  }
  ClearTagError(vm);
  if (!vm.PushFeature(commerce)) return;
  if (!Iterate(vm, commerce)) Skip(vm);
}

// The open block on top of the feature stack, or null after "Invalid
// instruction".
Commerce* TopCommerce(LumoVM& vm) {
  Feature* top = vm.TopFeature();
  if (top == nullptr || top->Type() != Feature::kCommerce) {
    vm.FatalError("Invalid instruction");
    return nullptr;
  }
  return static_cast<Commerce*>(top);
}

// op_commerce_loop o: the end of the body; o goes back to its start.
void StepCommerceLoop(LumoVM& vm) {
  Commerce* commerce = TopCommerce(vm);
  if (commerce == nullptr) return;
  if (Iterate(vm, commerce)) Skip(vm);
}

// op_commerce_stop o: leaves the block early; o reaches past its end.
void StepCommerceStop(LumoVM& vm) {
  Commerce* commerce = TopCommerce(vm);
  if (commerce == nullptr) return;
  vm.CloseFeature(commerce);
  Skip(vm);
}

}  // namespace

void RegisterCommerceInstructions() {
  static std::once_flag once;
  std::call_once(once, [] {
    LumoVM::RegisterInstruction(kOpCommerce, StepCommerce);
    LumoVM::RegisterInstruction(kOpCommerceLoop, StepCommerceLoop);
    LumoVM::RegisterInstruction(kOpCommerceStop, StepCommerceStop);
  });
}

}  // namespace lumo
