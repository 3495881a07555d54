// How the machine reports fatal and runtime errors, damaged code and the
// faults of its value stack.
#include <gtest/gtest.h>

#include <string>

#include "tests/core/vm/cases.h"
#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

TEST(Errors, FatalMessageNamesProgramPositionFileAndLine) {
  const Case cases[] = {
      {"pushc -1",
       "Fatal error in test.lmc @ [00000000:00000000]: Invalid dictionary reference\n => 0"},
      // Hex digits are lower case; the position is the failing instruction's.
      {"noop\nnoop\nnoop\nnoop\nnoop\nnoop\npop", Fatal(12, "Stack underflow")},
      {"sourcefile \"a.lum\"\nlineno 12\npushnc 99",
       "Fatal error in test.lmc @ [00000000:0000000c]: a.lum: Line 12: Invalid dictionary "
       "reference\n => 0"},
      {"lineno 7\nlineno 0\npop", Fatal(12, "Stack underflow")},
      {"sourcefile \"\"\n"
       "pop", "Fatal error in test.lmc @ [00000000:00000006]: : Stack underflow\n => 0"},
      {"pushc \"<b>\"\nerrprefix\nlineno 3\npop",
       "<b>Fatal error in test.lmc @ [00000000:0000000e]: Line 3: Stack underflow\n => 0"},
      // The line stays what the caller set; the segment is the function's.
      {"lineno 4\ncall f\n.function f\n  noop\n  pop\n.end",
       Fatal(2, "Line 4: Stack underflow", 1)},
      {"sourcefile 99", Fatal(0, "Invalid dictionary reference")},
  };
  ExpectPrinted(cases, std::size(cases));
}

// elem with index 0 raises the expression tag's runtime error.
TEST(Errors, RuntimeErrorFollowsTagSettingsAndFrameDisplay) {
  const char* kElemZero = ".global a\npushg a\npushi 0\nelem\npop\npushc \"after\"\nout\n";
  const std::string kMessage = "Array index must be positive integer";
  const struct {
    const char* settings;
    std::string printed;
  } cases[] = {
      {"", "Runtime error in test.lmc @ [00000000:0000000c]: (in expression): Array index must "
           "be positive integer\n => 0"},
      {"tagerror 62, 1\n", "Runtime error in test.lmc @ [00000000:00000016]: (in expression): "
                           "Array index must be positive integer\nafter"},
      {"tagerror 62, 0\n", "after"},
      {"tagerror 62, 2\n", " => 0"},
      {"erroutput 0\n", " => 0"},
      {"tagerror 62, 1\nerroutput 0\n", "after"},
      {"erroutput 0\nerroutput 4\ntagerror 62, 0\n", "after"},
      {"pushc \"!\"\nerrprefix\ntagerror 62, 1\nlineno 9\n",
       "!Runtime error in test.lmc @ [00000000:00000024]: Line 9: (in expression): Array index "
       "must be positive integer\nafter"},
      // Tags outside the table change nothing.
      {"tagerror 76, 1\ntagerror -1, 1\ntagerror 2147483647, 0\n",
       "Runtime error in test.lmc @ [00000000:0000002a]: (in expression): Array index must be "
       "positive integer\n => 0"},
  };
  for (const auto& c : cases) {
    Machine m;
    ASSERT_TRUE(m.Assemble(std::string(c.settings) + kElemZero)) << m.error.View();
    EXPECT_EQ(m.RunPrinted(), c.printed) << c.settings;
    EXPECT_EQ(m.Global("LmEXPRESSION_Error"), kMessage) << c.settings;
    // The last error keeps the whole message whether shown or not.
    EXPECT_NE(m.LastError().find("(in expression): " + kMessage + "\n"), std::string::npos);
  }
}

TEST(Errors, ErrorSettingsAreCopiedPerMachine) {
  // One machine's tagerror does not reach the next machine.
  EXPECT_EQ(Printed("tagerror 62, 0\n.global a\npushg a\npushi 0\nelem\npop"), "");
  EXPECT_EQ(Printed(".global a\npushg a\npushi -5\nelem\npop").substr(0, 16), "Runtime error in");
}

TEST(Errors, DamagedCodeIsAnIllegalInstruction) {
  const Case cases[] = {
      {"", ""},
      // Cut short by the segment's end: word and one operand byte.
      {".word 0x4002\n.byte 1", Fatal(0, "Illegal Instruction")},
      {"pushi 1\n.word 0x4002\n.byte 1, 2, 3", Fatal(6, "Illegal Instruction")},
      {".word 0x8003\n.dword 0", Fatal(0, "Illegal Instruction")},
      {".word 0x505c\n.dword 0", Fatal(0, "Illegal Instruction")},
      {".word 0xa000\n.double 1", Fatal(0, "Illegal Instruction")},
      // Words the machine has no handler for, with and without operands.
      {".word 0x7777", Fatal(0, "Illegal Instruction")},
      {"noop\n.word 0x4fff\n.dword 0\npushc \"x\"\nout", Fatal(2, "Illegal Instruction")},
      {".word 0x0fff", Fatal(0, "Illegal Instruction")},
      {"pushg -1", Fatal(0, "Invalid variable reference")},
      {"pushl 0", Fatal(0, "Invalid variable reference")},
  };
  ExpectPrinted(cases, std::size(cases));
}

std::string Pushes(int n) {
  std::string source;
  for (int i = 0; i < n; ++i) source += "pushi 1\n";
  return source;
}

TEST(Errors, ValueStack) {
  EXPECT_EQ(Printed(Pushes(512)), "");
  EXPECT_EQ(Printed(Pushes(513)), Fatal(3072, "Stack overflow"));
  EXPECT_EQ(Printed(Pushes(510) + "pushc \"a\"\npushc \"b\"\ncat"), "");
  EXPECT_EQ(Printed(Pushes(512) + "dup"), Fatal(3072, "Stack overflow"));
  const Case cases[] = {
      {"pop", Fatal(0, "Stack underflow")},
      {"dup", Fatal(0, "Stack underflow")},
      {"pushi 1\nadd", Fatal(6, "Stack underflow")},
      {"pushi 1\npushi 2\nswapn 0, 2", Fatal(12, "Invalid stack reference")},
      {"pushi 1\nswapn -1, 0", Fatal(6, "Invalid stack reference")},
      {"swap", Fatal(0, "Invalid stack reference")},
      {"pushc \"a\"\npushc \"b\"\npushc \"c\"\nswapn 0, 2\nout\nout\nout", "abc"},
      // A duplicate of an owned text or variable outlives its original.
      {"pushc \"a\"\npushc \"b\"\ncat\ndup\nswap\npop\nout", "ab"},
      {"pushc \"a\"\npushc \"b\"\ncat\ndup\npop\nout", "ab"},
      {"pushc \"a\"\npushc \"b\"\ncat\ndup\ncat\nout", "abab"},
      {"pushc \"v\"\npopnc \"x\"\npushnc \"x\"\ndup\nswap\npop\npushc \"w\"\npopnc \"x\"\n"
       "out", "w"},
      {"pushi 5\ndup\nadd\nout", "10"},
  };
  ExpectPrinted(cases, std::size(cases));
}

// A text that keeps doubling ends the run, fused append or plain cat.
TEST(Errors, RunawayTextEndsTheRun) {
  EXPECT_EQ(Printed(".global s\npushc \"ab\"\npopg s\nloop: pushg s\npushg s\ncat\npopg s\n"
                    "jmp loop"),
            Fatal(12, "Out of memory"));
  EXPECT_EQ(Printed(".global s\npushc \"ab\"\npopg s\nloop: pushg s\npushg s\ncat\n"
                    "pushc \"\"\ncat\npopg s\njmp loop"),
            Fatal(24, "Out of memory"));
}

}  // namespace
}  // namespace lumo
