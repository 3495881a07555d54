// The one place LmDO reaches the expression compiler.
#include "core/vm/lmdo.h"
#include "expr/expression_compiler.h"

namespace lumo {

bool CompileDoExpression(const ProgramParts& parts, FunctionManager* caller_functions,
                         const BuiltinFunctions* builtins, std::string_view text,
                         std::string_view source_file, int32_t line, int32_t* segment,
                         String* error) {
  ExpressionCompiler compiler(parts, caller_functions, text, std::string_view(), source_file, line,
                              ExpressionCompiler::kCurrentVersion);
  compiler.SetBuiltinFunctions(builtins);
  if (!compiler.Compile()) {
    *error = compiler.ErrorText();
    return false;
  }
  *segment = compiler.SegmentNumber();
  return true;
}

}  // namespace lumo
