// Expressions compiled and evaluated while a program runs: the text goes
// through the expression compiler into a segment of its own, which runs
// nested in the current frame over a stack of its own, so that whatever
// the expression leaves behind cannot disturb the caller's stack.
#include <memory>

#include "core/vm/lumo_vm.h"
#include "expr/expression_compiler.h"

namespace lumo {

bool LumoVM::CompileDynamicExpression(std::string_view text, int32_t* segment, String* error,
                                      std::string_view default_view) {
  ProgramParts parts{dictionary_, system_, globals_, segments_, functions_};
  ExpressionCompiler compiler(parts, parent_ != nullptr ? parent_->functions_ : nullptr, text,
                              default_view, source_file_name_.View(), line_,
                              ExpressionCompiler::kCurrentVersion);
  compiler.SetBuiltinFunctions(Builtins());
  if (!compiler.Compile()) {
    if (error != nullptr) *error = compiler.ErrorText();
    last_error_ = compiler.ErrorText();
    return false;
  }
  *segment = compiler.SegmentNumber();
  return true;
}

Variable* LumoVM::ExecuteDynamicExpression(int32_t segment) {
  if (error_) return nullptr;
  auto stack = std::make_unique<LumoVM_Stack>(this);
  if (RunAt(segment, stack.get(), nullptr) == 0 || error_) return nullptr;
  StackEntry* top = stack->Peek(0);
  if (top == nullptr) return new Variable(std::string_view(), std::string_view());
  if (top->kind == kStackVariable && top->variable != nullptr) {
    Variable* result = top->variable;
    if (top->owned) {
      top->owned = 0;  // ownership passes to the caller
    } else {
      result->AddReference();
    }
    return result;
  }
  if (top->kind == kStackInteger) return new Variable(std::string_view(), top->integer);
  if (top->kind == kStackDouble) return new Variable(std::string_view(), top->number);
  PoppedText text;
  stack->PopText(text);
  return new Variable(std::string_view(), text.View());
}

bool LumoVM::ExecuteDynamicExpressionBoolean(int32_t segment) {
  if (error_) return false;
  auto stack = std::make_unique<LumoVM_Stack>(this);
  if (RunAt(segment, stack.get(), nullptr) == 0 || error_) return false;
  return stack->Count() > 0 && stack->PopBoolean();
}

}  // namespace lumo
