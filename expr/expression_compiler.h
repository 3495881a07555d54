// ExpressionCompiler: turns an expression that exists only as text at run
// time (a filter, an index key, a text a script built) into machine code
// in a new segment of the running program. Operands come first and the
// operator's instruction after them, so running the segment to its end
// leaves the expression's value on the stack.
//
// Parsing is precedence climbing over a scanner that finds the next
// operator in a stretch of text; the text between two operators is one
// argument (a number, a quoted text, a variable reference or a function
// call). The first failure stops compilation and keeps its message.
#ifndef LUMO_EXPR_EXPRESSION_COMPILER_H_
#define LUMO_EXPR_EXPRESSION_COMPILER_H_

#include <cstdint>
#include <string_view>

#include "core/base/string.h"
#include "core/program/function_manager.h"
#include "core/program/program_file.h"
#include "expr/builtin_functions.h"
#include "expr/code_writer.h"

namespace lumo {

struct ExpressionOperator;

// How a compiler of whole sources places plain variable names: it knows a
// function's parameters and the globals it declared, so those need no
// lookup by name at run time.
class VariableSlots {
 public:
  virtual ~VariableSlots() = default;
  // The push instruction and operand for the name (prefix included, no
  // indexes or members), or false to leave it to pushnc.
  virtual bool Find(std::string_view name, uint16_t* word, int32_t* operand) = 0;
};

// Where a compiler of whole sources keeps its constants: it gives equal
// texts one dictionary entry, as the assembler does.
class ConstantPool {
 public:
  virtual ~ConstantPool() = default;
  // The entry of the text, or -1 when the dictionary cannot take it.
  virtual int32_t Intern(std::string_view text) = 0;
};

class ExpressionCompiler {
 public:
  // `++` and `--` need at least this language version.
  static constexpr uint32_t kIncrementVersion = 0x10009;
  // What the machine passes.
  static constexpr uint32_t kCurrentVersion = 0x1000A;
  // Groups, calls, indexes and unary operators nested deeper than this fail
  // with kTooDeepText instead of taking the thread's stack with them.
  static constexpr int kMaxDepth = 100;
  static constexpr char kTooDeepText[] = "Expression is nested too deeply";
  static constexpr int32_t kMaxLength = 0x3FFFFFFF;
  static constexpr char kTooLongText[] = "Expression is too long";

  // parts: the running program's dictionary, segments, functions, system and
  // global tables. second_table: the function table of the calling program,
  // or null.
  ExpressionCompiler(const ProgramParts& parts, FunctionManager* second_table,
                     std::string_view text, std::string_view default_view,
                     std::string_view source_file, int32_t line, uint32_t version);
  ExpressionCompiler(const ExpressionCompiler&) = delete;
  ExpressionCompiler& operator=(const ExpressionCompiler&) = delete;

  // The builtin library functions that calls may name; none when null.
  void SetBuiltinFunctions(const BuiltinFunctions* builtins) { builtins_ = builtins; }

  // The code goes into a new segment of parts.segments, made only when the
  // whole text compiles.
  bool Compile();
  // Compiles without making a segment, for a compiler of whole sources that
  // places the code itself (Code()): no leading source-file marker, and
  // `line` counts as marked already.
  bool CompileInline();
  const CodeWriter& Code() const { return code_; }
  // Whether the code calls a function (whose code moves the line on).
  bool EmittedCall() const { return emitted_call_; }
  void SetVariableSlots(VariableSlots* slots) { slots_ = slots; }
  void SetConstantPool(ConstantPool* pool) { pool_ = pool; }
  // For a compiler of whole sources: whole numbers written plainly (no
  // sign, no leading zero, 32 bits) push as integers, which print and
  // compare as their text does; and calls need no source-file marker after
  // them when every function lives in the calling code's file.
  void SetWholeSourceOptions(bool integer_literals, bool remark_after_call) {
    integer_literals_ = integer_literals;
    remark_after_call_ = remark_after_call;
  }

  // That segment, valid after a successful Compile (-1 before).
  int32_t SegmentNumber() const { return segment_number_; }
  const String& ErrorText() const { return error_; }
  void SetVersion(uint32_t version) { version_ = version; }

 private:
  struct Found {
    const ExpressionOperator* op = nullptr;  // null: no operator up to the end
    int32_t start = 0;
    int32_t end = 0;
  };

  bool Fail(std::string_view message);
  bool InternSourceFile();
  bool FailWithChar(std::string_view before, char c, std::string_view after);

  // Scanning.
  char At(int32_t i) const { return text_[static_cast<size_t>(i)]; }
  bool NextOperator(int32_t from, int32_t end, bool operand_expected, Found* found);
  int32_t MatchQuote(int32_t open, int32_t end) const;
  int32_t MatchClose(int32_t open, int32_t end) const;
  int32_t SkipBlanks(int32_t from, int32_t end) const;

  // Parsing.
  bool CompileExpression(int32_t begin, int32_t end, int depth);
  bool ParseLevel(int32_t* position, int32_t end, int min_precedence, int depth);
  bool ParseOperand(int32_t* position, int32_t end, int depth);
  bool ParsePostfix(int32_t* position, int32_t end);
  bool CompileArgument(int32_t begin, int32_t end, int depth);
  bool CompileVariable(int32_t begin, int32_t end, int depth);
  bool CompileCall(int32_t name_begin, int32_t name_end, int32_t close, int depth);
  Function* FindFunction(std::string_view name);

  // Emitting.
  bool Intern(std::string_view text, const char* failure, int32_t* entry);
  void Emit(uint16_t word);
  void Emit(uint16_t word, int32_t operand);
  void Emit(uint16_t word, int32_t first, int32_t second);
  void MarkPosition();
  bool EmitStep(bool increment, bool prefix);

  const BuiltinFunctions* builtins_ = nullptr;
  VariableSlots* slots_ = nullptr;
  ConstantPool* pool_ = nullptr;
  String source_name_;
  bool emitted_call_ = false;
  bool integer_literals_ = false;
  bool remark_after_call_ = true;
  SegmentManager* segments_;
  Dictionary* dictionary_;
  FunctionManager* functions_;
  FunctionManager* second_table_;
  std::string_view text_;
  int32_t length_ = 0;
  String default_view_;
  int32_t default_view_entry_ = -1;
  int32_t source_file_ = -1;
  int32_t line_;
  int32_t last_line_ = 0;
  uint32_t version_;
  int32_t segment_number_ = -1;
  CodeWriter code_;
  String error_;
};

}  // namespace lumo

#endif  // LUMO_EXPR_EXPRESSION_COMPILER_H_
