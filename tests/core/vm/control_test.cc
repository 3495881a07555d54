// Control flow: jumps, the time-out, function calls and returns, external
// functions, the function flags, calls from native code and exit.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

TEST(Control, ConditionalJumps) {
  const struct {
    const char* jump;
    const char* value;
    bool taken;
  } cases[] = {
      {"jmp_eq", "pushi 0", true},     {"jmp_eq", "pushi 1", false},
      {"jmp_eq", "pushc \"0\"", true}, {"jmp_eq", "pushf 0.9", true},
      {"jmp_eq", "pushc \"x\"", true}, {"jmp_ne", "pushi -3", true},
      {"jmp_ne", "pushi 0", false},    {"jmp_lt", "pushi -1", true},
      {"jmp_lt", "pushi 0", false},    {"jmp_gt", "pushi 1", true},
      {"jmp_gt", "pushi 0", false},    {"jmp_le", "pushi 0", true},
      {"jmp_le", "pushi -7", true},    {"jmp_le", "pushi 1", false},
      {"jmp_ge", "pushi 0", true},     {"jmp_ge", "pushi 2", true},
      {"jmp_ge", "pushi -1", false},
  };
  for (const auto& c : cases) {
    const std::string source = std::string(c.value) + "\n" + c.jump +
                               " skip\npushc \"n\"\nout\nskip: pushc \"e\"\nout";
    EXPECT_EQ(Printed(source), c.taken ? "e" : "ne") << c.jump << " " << c.value;
  }
}

TEST(Control, JumpDistances) {
  EXPECT_EQ(Printed("jmp 0\npushc \"a\"\nout"), "a");
  EXPECT_EQ(Printed("pushi 0\njmp_eq 0\npushc \"a\"\nout"), "a");
  // Forward to the very end of the segment ends the code.
  EXPECT_EQ(Printed("jmp end\npushc \"a\"\nout\nend:"), "");
  EXPECT_EQ(Printed("pushi 1\njmp_ne end\npushc \"a\"\nout\nend:"), "");
  // Past the end likewise, for every kind of jump.
  EXPECT_EQ(Printed("jmp 1000\npushc \"a\"\nout"), "");
  EXPECT_EQ(Printed("pushi 0\njmp_eq 100\npushc \"a\"\nout"), "");
  EXPECT_EQ(Printed("pushi -1\njmp_lt 2147483647\npushc \"a\"\nout"), "");
  // A backward loop: counts to 3.
  EXPECT_EQ(Printed(".global i\nstoregi i, 0\nloop: incg i, 1\npushg i\nout\ncmpgi i, 3\n"
                    "jmp_lt loop"),
            "123");
  // Before the segment's start is damage, not a crash.
  for (const char* source : {"jmp -100", "noop\njmp -9", "pushi 0\njmp_eq -2147483648",
                             "jmp -2147483648"}) {
    const std::string printed = Printed(source);
    EXPECT_NE(printed.find("]: Illegal Instruction\n => 0"), std::string::npos) << source;
  }
}

TEST(Control, JumpBeforeTheStartNamesTheJump) {
  EXPECT_EQ(Printed("noop\njmp -9"), Fatal(2, "Illegal Instruction"));
  EXPECT_EQ(Printed("pushi 0\njmp_eq -2147483648"), Fatal(6, "Illegal Instruction"));
}

TEST(Control, SelfLoopIsStoppedByTheTimeOut) {
  for (const char* source :
       {"loop: jmp loop", "jmp -6", "loop: pushi 1\njmp_ne loop",
        ".global i\nloop: incg i, 0\ncmpgi i, 1\njmp_lt loop",
        ".global i, x\nloop: pushg x\npushi 1\nadd\npopg x\nincg i, 0\ncmpgi i, 1\njmp_lt loop",
        ".global i, s\nloop: pushg s\npushc \"x\"\ncat\npopg s\nincg i, 0\ncmpgi i, 1\njmp_lt loop",
        ".function f\nretn\n.end\nloop: call f\njmp loop"}) {
    Machine m;
    ASSERT_TRUE(m.Assemble(source));
    std::thread stopper([&m] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      m.context.Stop();
    });
    const int result = m.Run();
    stopper.join();
    EXPECT_EQ(result, 0) << source;
    EXPECT_EQ(m.context.output, "Application timed out") << source;
  }
}

const char* const kFunctions =
    ".function set_value(p)\npushi 9\npopl p\nretn\n.end\n"
    ".function set_reference(&p)\npushi 9\npopl p\nretn\n.end\n"
    ".function two\npushi 2\nret\n.end\n"
    ".function nothing\nretn\n.end\n"
    ".function fib(n)\npushl n\npushi 2\nlt\njmp_eq recurse\npushl n\nret\n"
    "recurse: pushl n\npushi 1\nsub\ncall fib\npushl n\npushi 2\nsub\ncall fib\nadd\nret\n.end\n"
    // Locals that the returned value must outlive.
    ".function make_local\n.local s\npushc \"ab\"\npushc \"cd\"\ncat\npopl s\npushl s\nret\n.end\n"
    ".function make_element\n.local a\npushc \"el\"\npushl a\npushi 3\nelem\nstore\npushl a\n"
    "pushi 3\nelem\nret\n.end\n"
    ".function first_of(a, b)\npushl a\nret\n.end\n"
    ".function exits\npushc \"in\"\nout\nexit\npushc \"after\"\nout\nretn\n.end\n"
    ".global x\n";

TEST(Control, Calls) {
  const struct {
    const char* body;
    std::string printed;
  } cases[] = {
      {"pushi 5\npopg x\npushg x\ncall set_value\npushg x\nout", "5"},
      {"pushi 5\npopg x\npushg x\ncall set_reference\npushg x\nout", "9"},
      {"pushc \"a\"\npopnc \"g.y:k\"\npushnc \"y:k\"\ncall set_reference\npushnc \"y:k\"\n"
       "out", "9"},
      {"call two\nout", "2"},
      {"pushc \"kept\"\ncall nothing\nout", "kept"},
      {"pushi 15\ncall fib\nout", "610"},
      {"call make_local\nout", "abcd"},
      {"call make_local\ncall make_local\ncat\nout", "abcdabcd"},
      {"call make_element\nout", "el"},
      {"pushi 1\npushc \"2\"\ncall first_of\nout", "1"},
      {"pushi 1\ncall first_of", Fatal(6, "Stack underflow")},
      {"call exits\npushc \"top\"\nout", "in"},
      {"pushc \"a\"\nout\nexit\npushc \"b\"\nout", "a"},
      {"ret", Fatal(0, "Frame underflow")},
      {"retn", Fatal(0, "Frame underflow")},
      {"call 99", Fatal(0, "Invalid function call")},
      {"call -1", Fatal(0, "Invalid function call")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Printed(std::string(kFunctions) + c.body), c.printed) << c.body;
  }
}

// Frames are reused between calls: every call must still start with empty
// locals, and a local that escaped must keep its value.
TEST(Control, EachCallStartsWithFreshLocals) {
  const struct {
    const char* function;
    const char* top;
    const char* printed;
  } cases[] = {
      {".local t\npushl t\nout\npushc \"x\"\npopl t\nretn", "call f\ncall f\ncall f", ""},
      {".local a\npushl a\npushi 1\nelemr\nout\npushc \"x\"\npushl a\npushi 1\nelem\nstore\nretn",
       "call f\ncall f", ""},
      {"pushnc \"l.w\"\nout\npushc \"x\"\npopnc \"l.w\"\nretn", "call f\ncall f", ""},
      {"pushnc \"w\"\nout\npushc \"x\"\npopnc \"l.w\"\npushnc \"w\"\nout\nretn",
       "pushc \"g\"\npopnc \"w\"\ncall f\ncall f", "gxgx"},
      // t escapes through a global reference, then through an array.
      {"(p)\n.local t\npushl p\npopl t\npushl p\njmp_eq skip\npushl t\nrefernc \"g.al\"\n"
       "skip: retn",
       "pushi 7\ncall f\npushi 0\ncall f\npushnc \"al\"\nout", "7"},
      {"(p)\n.local t\npushl p\npopl t\npushl p\njmp_eq skip\npushl t\npushnc \"arr\"\npushi 1\n"
       "elem\nrefer\nskip: retn",
       "pushi 7\ncall f\npushi 0\ncall f\npushnc \"arr[1]\"\nout", "7"},
      {"(&p)\n.local t\npushc \"x\"\npopl p\nretn",
       "pushc \"a\"\npopnc \"v\"\npushnc \"v\"\ncall f\npushnc \"v\"\nout", "x"},
  };
  for (const auto& c : cases) {
    std::string source = std::string(".function f") + (c.function[0] == '(' ? "" : "\n") +
                         c.function + "\n.end\n" + c.top;
    EXPECT_EQ(Printed(source), c.printed) << source;
  }
}

TEST(Control, CallDepth) {
  const char* const kDown = ".function down(n)\npushl n\njmp_eq done\npushl n\npushi 1\nsub\n"
                            "call down\ndone: retn\n.end\n";
  EXPECT_EQ(Printed(std::string(kDown) + "pushi 1000\ncall down\npushc \"ok\"\nout"), "ok");
  // Recursion without end stops before it exhausts memory.
  EXPECT_EQ(Printed(".function deep\ncall deep\nretn\n.end\ncall deep"),
            Fatal(0, "Stack overflow", 1));
}

TEST(Control, ReturnInsideRunAtFrame) {
  Machine m;
  ASSERT_TRUE(m.Assemble(".segment\n  ret\n.end\n.segment\n  pushc \"x\"\n  popnc \"g\"\n.end\n"
                         "pushc \"top\"\nout"));
  EXPECT_EQ(m.Vm().RunAt(2), 1);
  EXPECT_EQ(m.Global("g"), "x");
  EXPECT_EQ(m.Vm().RunAt(1), 0);
  EXPECT_EQ(m.context.output + " => 0", Fatal(0, "Return outside of function", 1));
  Machine n;
  ASSERT_TRUE(n.Assemble(""));
  EXPECT_EQ(n.Vm().RunAt(99), 0);
  EXPECT_EQ(n.context.output + " => 0", Fatal(0, "Invalid segment reference", 99));
}

// An external function that adds one to its first parameter and, by
// reference, stores "set" in it.
class AddOne : public ExternalFunction {
 public:
  AddOne(int32_t count, bool by_reference) : count_(count), by_reference_(by_reference) {}
  ~AddOne() override {
    for (Variable* v : results_) v->Free();
  }
  int32_t ParameterCount() const override { return count_; }
  bool ParameterByReference(int32_t) const override { return by_reference_; }
  Variable* Invoke(LumoVM&, Variable* const* arguments) override {
    Variable* p = arguments[0];
    results_.push_back(new Variable("", p->Value_Integer() + 1));
    if (by_reference_) p->SetValue("set", 3);
    results_.back()->AddReference();  // the machine's
    return results_.back();
  }

 private:
  int32_t count_;
  bool by_reference_;
  std::vector<Variable*> results_;
};

class Externals : public ExternalFunctionResolver {
 public:
  ExternalFunction* Resolve(const char* name, int32_t length) override {
    const std::string n(name, static_cast<size_t>(length));
    return n == "inc" ? &inc : n == "incref" ? &incref : n == "pair" ? &pair : nullptr;
  }
  AddOne inc{1, false};
  AddOne incref{1, true};
  AddOne pair{2, false};
};

TEST(Control, ExternalCalls) {
  const char* const kDeclarations =
      ".function inc(a) flags 1\n.function incref(&a) flags 1\n.function pair(a) flags 1\n"
      ".function Other(a) flags 1\n.global v\n";
  const struct {
    bool manager;
    const char* body;
    std::string printed;
  } cases[] = {
      {true, "pushi 4\ncall inc\nout\npushi 6\ncall inc\nout", "57"},
      {true, "pushi 4\npopg v\npushg v\ncall incref\nout\npushg v\nout", "5set"},
      {true, "pushi 4\ncall pair",
       Fatal(6, "Number of parameters mismatch in call to external function")},
      {true, "pushi 4\ncall Other", Fatal(6, "Unresolved call to external function 'Other'")},
      {false, "pushi 4\ncall inc", Fatal(6, "Unresolved call to external function 'inc'")},
  };
  for (const auto& c : cases) {
    Externals externals;
    Machine m;
    ASSERT_TRUE(m.Assemble(std::string(kDeclarations) + c.body));
    if (c.manager) m.Vm().SetExternalCalls(&externals);
    EXPECT_EQ(m.RunPrinted(), c.printed) << c.body;
  }
  // The declared by-reference flag must match the implementation's.
  Externals externals;
  Machine m;
  ASSERT_TRUE(m.Assemble(".function inc(&a) flags 1\n.global v\npushg v\ncall inc"));
  m.Vm().SetExternalCalls(&externals);
  EXPECT_EQ(m.RunPrinted(), Fatal(6, "Parameter type mismatch in call to external function"));
}

TEST(Control, FunctionFlagsSetErrorDisplay) {
  // f raises a runtime error that is not fatal under tagerror 62, 1.
  const char* const kFunction = "\n  pushc \"x\"\n  popnc \"a\"\n  pushnc \"a\"\n  pushi 0\n"
                                "  elem\n  pop\n  retn\n.end\ntagerror 62, 1\n";
  const struct {
    const char* flags;
    const char* top;
    bool shown;
  } cases[] = {
      {"0", "call f", true},          {"8", "call f", false},
      {"0", "erroutput 0\ncall f", false}, {"4", "erroutput 0\ncall f", true},
      {"12", "call f", false},        {"8", "call f\npushnc \"a\"\npushi 0\nelem", true},
  };
  for (const auto& c : cases) {
    Machine m;
    ASSERT_TRUE(m.Assemble(std::string(".function f flags ") + c.flags + kFunction + c.top));
    EXPECT_EQ(m.Run(), 1);
    EXPECT_EQ(m.context.output.find("(in expression): Array index") != std::string::npos,
              c.shown)
        << c.flags << " " << c.top;
    EXPECT_EQ(m.Global("LmEXPRESSION_Error"), "Array index must be positive integer");
  }
  // Hidden, a fatal runtime error still stops the run.
  EXPECT_EQ(Printed(std::string(".function f flags 8") + kFunction + "tagerror 62, 3\ncall f\n"
                    "pushc \"after\"\nout"),
            " => 0");
}

// Writes the context's output level where it stands.
void NoteLevel(LumoVM& vm) {
  vm.Context()->Write(std::to_string(vm.Context()->OutputLevel()).c_str());
}

TEST(Control, FunctionFlagsSetOutputLevels) {
  LumoVM::RegisterInstruction(0x03f4, NoteLevel);
  const struct {
    const char* flags;
    const char* top;
    const char* levels;  // inside f, then after the call
  } cases[] = {
      {"0", "call f", "00"},
      {"2", "call f", "10"},
      {"16", "call f", "00"},
      {"16", "stdoutput 1\ncall f", "21"},
      {"18", "call f", "10"},
      {"2", "stdoutput 2\ncall f", "12"},
      // g (flag 2) notes its level before and after calling f.
      {"16", "call g", "1210"},
      {"0", "call g", "1010"},
  };
  for (const auto& c : cases) {
    Machine m;
    ASSERT_TRUE(m.Assemble(std::string(".function f flags ") + c.flags +
                           "\n  .word 0x03f4\n  retn\n.end\n.function g flags 2\n  .word 0x03f4\n"
                           "  call f\n  .word 0x03f4\n  retn\n.end\n" + c.top + "\n.word 0x03f4"));
    EXPECT_EQ(m.Run(), 1);
    EXPECT_EQ(m.context.output, c.levels) << c.flags << " " << c.top;
  }
}

TEST(Control, DebugLogEvents) {
  const std::string kProgram =
      ".function f(a)\n  pushl a\n  ret\n.end\nlineno 1\nlineno 1\nlineno 2\npushi 3\ncall f\n"
      "pop\ntagerror 62, 1\npushnc \"x\"\npushi 0\nelem\npop\npop\npop";
  const std::vector<uint32_t> kEvents = {
      kEventTrace,          kEventTrace,          kEventFunctionCall, kEventFunctionParameter,
      kEventFunctionReturnValue, kEventFunctionReturn, kEventRuntimeError, kEventFatalError};
  for (const bool debug : {true, false}) {
    Machine m;
    m.context.SetLogLevel(0xffffffff);
    ASSERT_TRUE(m.Assemble((debug ? "" : ".flags 1\n") + kProgram));
    EXPECT_EQ(m.Run(), 0);
    EXPECT_EQ(m.context.events, debug ? kEvents : std::vector<uint32_t>{});
  }
  // The log filter decides by source file and line.
  Machine m;
  m.context.SetLogLevel(kEventTrace);
  m.context.SetLogFilter("a.lum:2-3");
  ASSERT_TRUE(m.Assemble("sourcefile \"a.lum\"\nlineno 1\nlineno 2\nlineno 3\nlineno 4\n"
                         "sourcefile \"b.lum\"\nlineno 3"));
  EXPECT_EQ(m.Run(), 1);
  EXPECT_EQ(m.context.events.size(), 2u);
}

TEST(Control, CallScriptFunction) {
  Machine m;
  ASSERT_TRUE(m.Assemble(".function add(a, b)\n  pushl a\n  pushl b\n  add\n  ret\n.end\n"
                         ".function note(t)\n  pushl t\n  out\n  retn\n.end\n"
                         ".function bad\n  pop\n  retn\n.end\n"));
  LumoVM& vm = m.Vm();
  const LumoVM::Argument args[] = {{false, {}, 3}, {true, "4", 0}};
  int32_t result = -1;
  EXPECT_TRUE(vm.CallScriptFunction("missing", args, 2, &result));
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(vm.CallScriptFunction("add", args, 1, &result));
  EXPECT_TRUE(vm.CallScriptFunction("ADD", args, 2, &result));
  EXPECT_EQ(result, 7);
  EXPECT_TRUE(vm.CallScriptFunction("note", args + 1, 1, &result));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(m.context.output, "4");
  EXPECT_EQ(vm.CurrentStack()->Count(), 0);
  // The machine still runs its own code afterwards.
  EXPECT_EQ(vm.Run(), 1);
  EXPECT_FALSE(vm.CallScriptFunction("bad", nullptr, 0));
  EXPECT_FALSE(vm.CallScriptFunction("add", args, 2, &result));
}

}  // namespace
}  // namespace lumo
