// The two instructions compiled pages lean on: printing a value as text
// that cannot open markup, and stepping through an array without knowing
// its indexes in advance (arrays may have holes).
#include <cstdint>

#include "core/base/string.h"
#include "core/context/entities.h"
#include "core/context/lumo_application.h"
#include "core/program/opcodes.h"
#include "core/vm/lumo_vm.h"
#include "core/vm/vm_stack.h"
#include "values/variable.h"

namespace lumo {

namespace {

// The machine's entity encoding plus the single quote, which it leaves
// alone: a value printed into an attribute written with single quotes must
// not be able to end that attribute.
void StepOutEnc(LumoVM& vm) {
  PoppedText text;
  vm.CurrentStack()->PopText(text);
  if (vm.HasError()) return;
  const char* data = text.Data();
  const int32_t length = text.Length();
  int32_t start = 0;
  LumoApplication* context = vm.Context();
  for (int32_t i = 0; i < length; ++i) {
    if (data[i] != '\'') continue;
    if (i > start) {
      const String part = EncodeEntities(data + start, i - start);
      context->Write(part.Text(), part.Length());
    }
    context->Write("&#39;", 5);
    start = i + 1;
  }
  if (start == 0) {
    // The common case: no quote, one encoding of the whole text. Plain text
    // without special bytes goes out without a copy.
    bool plain = true;
    for (int32_t i = 0; i < length && plain; ++i) {
      const char c = data[i];
      plain = c != '"' && c != '&' && c != '(' && c != ')' && c != '<' && c != '>';
    }
    if (plain) {
      context->Write(data, length);
      return;
    }
  }
  if (length > start) {
    const String part = EncodeEntities(data + start, length - start);
    context->Write(part.Text(), part.Length());
  }
}

void StepNextelem(LumoVM& vm) {
  LumoVM_Stack* stack = vm.CurrentStack();
  const int32_t index = stack->PopInteger();
  bool owned = false;
  Variable* array = stack->PopVariable(&owned);
  HeldVariable held(array, owned);
  if (vm.HasError()) return;
  // Array_Next counts from 0 and says -1 for a structure.
  const int32_t next = array != nullptr ? array->Array_Next(index < 1 ? -1 : index) : 0;
  stack->PushInteger(next > 0 ? next : 0);
}

}  // namespace

void LumoVM::RegisterPageInstructions() {
  RegisterInstruction(kOpOutEnc, StepOutEnc);
  RegisterInstruction(kOpNextelem, StepNextelem);
}

}  // namespace lumo
