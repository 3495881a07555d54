// The one place LmDO reaches the expression compiler.
#include <memory>

#include "core/vm/lmdo.h"

#if __has_include("expr/expression_compiler.h")
#include "expr/expression_compiler.h"
#define LUMO_HAS_EXPRESSION_COMPILER 1
#endif

namespace lumo {

bool CompileDoExpression(const ProgramParts& parts, std::string_view text,
                         std::string_view source_file, int32_t line, int32_t* segment,
                         String* error) {
#ifdef LUMO_HAS_EXPRESSION_COMPILER
  // No second function table: a function of the caller entered into the
  // called program's table would run on the wrong code.
  ExpressionCompiler compiler(parts, nullptr, text, "", source_file, line, 0x1000A);
  if (!compiler.Compile()) {
    *error = compiler.ErrorText();
    return false;
  }
  *segment = compiler.SegmentNumber();
  return true;
#else
  (void)parts;
  (void)text;
  (void)source_file;
  (void)line;
  (void)segment;
  error->Assign("The expression compiler is not available");
  return false;
#endif
}

}  // namespace lumo
