// A host program for the expression compiler's tests: an assembled program
// with a few globals and functions, into which expressions are compiled and
// then run by the machine, as the machine runs them for a script.
#ifndef LUMO_TESTS_EXPR_EXPRESSION_HOST_H_
#define LUMO_TESTS_EXPR_EXPRESSION_HOST_H_

#include <memory>
#include <string>
#include <string_view>

#include "core/program/opcodes.h"
#include "core/vm/lumo_vm.h"
#include "expr/expression_compiler.h"
#include "tests/core/vm/run_program.h"

namespace lumo {

// a = 5, b = 7, n = 5, s = "abc"; twice(x) = 2x; join(a, b) = a $ b;
// fail() stops the run on an array index of 0.
inline constexpr char kHostProgram[] = R"(
.global a, b, n, s
        storegi a, 5
        storegi b, 7
        storegi n, 5
        pushc "abc"
        popg s
.function twice(x)
        pushl x
        pushi 2
        mul
        ret
.end
.function join(p, q)
        pushl p
        pushl q
        cat
        ret
.end
.function fail()
        pushnc "arr"
        pushi 0
        elem
        ret
.end
)";

// Whether a compiler message is one the compiler may give.
inline bool IsKnownMessage(std::string_view message) {
  static constexpr std::string_view kFixed[] = {
      "Argument expected in Expression",
      "Mismatched Parenetheses in Expression",
      "Mismatched Parentheses found in Expression",
      "Mismatched Quotes found in Expression",
      "Invalid operator found in expression",
      "Unable to store variable",
      "Unable to find variable",
      ExpressionCompiler::kTooDeepText,
      ExpressionCompiler::kTooLongText,
  };
  for (std::string_view fixed : kFixed) {
    if (message == fixed) return true;
  }
  auto framed = [message](std::string_view head, std::string_view tail) {
    return message.size() >= head.size() + tail.size() && message.substr(0, head.size()) == head &&
           message.substr(message.size() - tail.size()) == tail;
  };
  return (framed("Invalid Argument '", "' Found in expression") && message.size() == 40) ||
         (framed("Invalid Argument '", "' in Expression") && message.size() == 34) ||
         (framed("Found additional argument '", "' while looking for operator") &&
          message.size() == 56) ||
         framed("Invalid Operator '", "' Found in Expression") ||
         framed("Unable to find function '", "'") ||
         (framed("Function '", "") &&
          message.find("' is defined with ") != std::string_view::npos &&
          message.find(" parameters and was called with ") != std::string_view::npos);
}

class ExpressionHost {
 public:
  ExpressionHost() {
    if (!machine.Assemble(kHostProgram)) return;
    assembled = true;
    machine.Run();
  }

  // Compiles into the host; "" when it compiles, else the message.
  std::string Compile(std::string_view text, std::string_view default_view = {},
                      uint32_t version = ExpressionCompiler::kCurrentVersion) {
    ExpressionCompiler compiler(machine.Parts(), second_table, text, default_view, source_file,
                                line, version);
    compiler.SetBuiltinFunctions(builtins);
    if (!compiler.Compile()) {
      segment = -1;
      return std::string(compiler.ErrorText().View());
    }
    segment = compiler.SegmentNumber();
    return "";
  }

  // The value the expression leaves, as text; "error: " and the message
  // when it does not compile, "stopped: " and the last error when the run
  // stops, "<nothing>" when it leaves no value.
  std::string Value(std::string_view text,
                    uint32_t version = ExpressionCompiler::kCurrentVersion) {
    const std::string error = Compile(text, {}, version);
    if (!error.empty()) return "error: " + error;
    auto stack = std::make_unique<LumoVM_Stack>(&machine.Vm());
    if (machine.Vm().RunAt(segment, stack.get()) == 0) return "stopped: " + machine.LastError();
    if (stack->Count() == 0) return "<nothing>";
    PoppedText value;
    stack->PopText(value);
    std::string result(value.View());
    if (stack->Count() != 0) result += " (and more left on the stack)";
    return result;
  }

  // The compiled segment, one instruction a line; dictionary operands are
  // shown as their texts.
  std::string Listing() const {
    std::string out;
    const Segment* code = machine.segments.Segment(segment);
    if (code == nullptr) return "<no segment>";
    for (int32_t at = 0; at + 2 <= code->Size();) {
      uint16_t word = 0;
      at = code->ReadWord(at, &word);
      const OpcodeInfo* info = FindOpcode(word);
      out += info != nullptr ? info->name : "?";
      int32_t operands[2] = {0, 0};
      const int count = ((word >> 14) == 1 ? 1 : 0) + (((word >> 12) & 3) == 1 ? 1 : 0);
      for (int i = 0; i < count; ++i) at = code->ReadDword(at, &operands[i]);
      for (int i = 0; i < count; ++i) {
        const bool names_entry = word == kOpPushc || word == kOpPushnc || word == kOpPushdc ||
                                 word == kOpSourcefile;
        out += i == 0 ? " " : ", ";
        if (names_entry) {
          out += '\'';
          out += machine.dictionary.EntryView(operands[i]);
          out += '\'';
        } else {
          out += std::to_string(operands[i]);
        }
      }
      out += "\n";
    }
    return out;
  }

  std::string Global(std::string_view name) { return machine.Global(name); }

  // Compiles, and runs what compiles under the watchdog; false when the
  // compiler fails with a message it may not give.
  bool CompileAndRun(std::string_view text, Watchdog& watchdog, std::string_view view = {},
                     uint32_t version = ExpressionCompiler::kCurrentVersion) {
    const std::string error = Compile(text, view, version);
    if (!error.empty()) return IsKnownMessage(error);
    auto stack = std::make_unique<LumoVM_Stack>(&machine.Vm());
    watchdog.Arm(&machine.context);
    machine.Vm().RunAt(segment, stack.get());
    watchdog.Disarm();
    return true;
  }

  Machine machine;
  bool assembled = false;
  FunctionManager* second_table = nullptr;
  const BuiltinFunctions* builtins = nullptr;
  std::string source_file;
  int32_t line = 0;
  int32_t segment = -1;
};

}  // namespace lumo

#endif  // LUMO_TESTS_EXPR_EXPRESSION_HOST_H_
