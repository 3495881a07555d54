// LmDO: running other program files and calling their functions, the cache
// of called programs, and the sandbox every called name goes through.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/vm/lmdo.h"
#include "tests/core/vm/run_program.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

// A script directory "www" inside a scratch tree (so that files can lie
// outside it), assembled programs in it and a main program run over it.
class DoRun {
 public:
  DoRun() : scratch_({"www"}) {
    EXPECT_TRUE(m.context.Files()->SetScriptDirectory(scratch_.Path("www")))
        << m.context.Files()->ErrorText().View();
  }

  // Assembles a program into www/relative (or, with outside, beside www).
  void Program(std::string_view relative, std::string_view source, bool outside = false) {
    String image;
    String error;
    ASSERT_TRUE(Assemble(source, relative, &image, &error)) << error.View();
    scratch_.Put(outside ? relative : "www/" + std::string(relative), image.View());
  }
  void Raw(std::string_view relative, std::string_view bytes) {
    scratch_.Put("www/" + std::string(relative), bytes);
  }
  void Dir(std::string_view relative) { scratch_.Dir("www/" + std::string(relative)); }
  std::string Outside(std::string_view relative) const { return scratch_.Path(relative); }

  // Runs the main program under `name`; what it printed, " => N" added
  // when its result is not 1.
  std::string Run(std::string_view source, std::string_view name = "/main.lmc") {
    if (!Prepare(source, name)) return std::string(m.error.View()) + " => -2";
    return Go();
  }
  // Run in two steps, for a test that looks at the machine in between.
  bool Prepare(std::string_view source, std::string_view name = "/main.lmc") {
    uint32_t version = 0;
    if (!AssembleInto(source, "main", m.Parts(), &version, &m.error)) return false;
    m.vm = std::make_unique<LumoVM>(name, &m.context, m.Parts());
    return true;
  }
  std::string Go() {
    const int result = m.vm->Run();
    return result == 1 ? m.context.output
                       : m.context.output + " => " + std::to_string(result);
  }
  int32_t Loads() { return m.vm->DoContexts().Loads(); }
  // The file manager's refusal of a name, as the run must report it.
  std::string Refusal(std::string_view name) {
    String full;
    EXPECT_FALSE(m.context.Files()->Resolve(kScriptLocation, name, &full)) << name;
    return "LmDO: " + std::string(m.context.Files()->ErrorText().View()) + "\n";
  }

  Machine m;

 private:
  Scratch scratch_;
};

// pushc NAME; op_do_file, as a line of a program.
std::string DoFile(std::string_view name) {
  return "pushc \"" + std::string(name) + "\"\nop_do_file\n";
}

TEST(LmDo, GlobalsAreSharedByName) {
  DoRun run;
  // The called program declares the names in another order: they match
  // by name, not by number.
  run.Program("b.lmc", ".global other, seen, shared\n"
                       "pushg seen\nout\npushc \"from b\"\npopg shared\n");
  EXPECT_EQ(run.Run(".global shared, seen\npushc \"main;\"\npopg seen\n" + DoFile("b.lmc") +
                    "pushc \"|\"\nout\npushg shared\nout\n"),
            "main;|from b");
}

TEST(LmDo, NamesStartFromTheCallersDirectoryOrTheTop) {
  DoRun run;
  run.Dir("sub");
  run.Program("sub/b.lmc", "pushc \"sub/b \"\nout\n" + DoFile("c.lmc"));
  run.Program("sub/c.lmc", "pushc \"sub/c \"\nout\n");
  run.Program("c.lmc", "pushc \"top/c \"\nout\n");
  EXPECT_EQ(run.Run(DoFile("b.lmc") + DoFile("/c.lmc") + DoFile("\\\\c.lmc") +
                        DoFile("../c.lmc") + DoFile("./b.lmc"),
                    "/sub/main.lmc"),
            "sub/b sub/c top/c top/c top/c sub/b sub/c ");
  // One context per file, however it was named.
  EXPECT_EQ(run.Loads(), 3);
  EXPECT_EQ(run.m.vm->DoContexts().Count(), 3);
}

TEST(LmDo, MissingOrDamagedFileIsTheLmDoError) {
  DoRun run;
  String full;
  ASSERT_TRUE(run.m.context.Files()->Resolve(kScriptLocation, "nope.lmc", &full));
  // What the file manager says about opening it.
  EXPECT_EQ(run.m.context.Files()->Open(kScriptLocation, "nope.lmc", kOpenRead), nullptr);
  const std::string message(run.m.context.Files()->ErrorText().View());
  EXPECT_EQ(run.Run(".global LmDO_Error\n" + DoFile("nope.lmc") + "pushc \"after\"\nout\n"),
            "Runtime error in /main.lmc @ [00000000:00000006]: LmDO: " + message + "\n => 0");
  EXPECT_EQ(run.m.Global("LmDO_Error"), message);

  // With tag 22 set to display only the run goes on.
  DoRun shown;
  shown.Raw("junk.lmc", "not a program");
  std::string printed = shown.Run("tagerror 22, 1\n" + DoFile("junk.lmc") + "pushc \"after\"\nout\n");
  EXPECT_NE(printed.find("LmDO: Unable to open '/junk.lmc': "), std::string::npos) << printed;
  EXPECT_EQ(printed.substr(printed.size() - 6), "\nafter");
  EXPECT_EQ(shown.m.vm->DoContexts().Count(), 0);
}

TEST(LmDo, NamesThatLeaveTheScriptDirectoryNeverRun) {
  DoRun run;
  run.Dir("sub");
  run.Program("secret.lmc", "pushc \"SECRET\"\nout\n", /*outside=*/true);
  run.Program("sub/ok.lmc", "pushc \"ok\"\nout\n");
  const std::string absolute = run.Outside("secret.lmc");
  const std::string deep = [] {
    std::string s;
    for (int i = 0; i < 2000; ++i) s += "d/";
    for (int i = 0; i < 2001; ++i) s += "../";
    return s + "secret.lmc";
  }();
  // As the assembler reads them (\\ is one backslash, \0 a NUL byte).
  const char* names[] = {
      "../secret.lmc",      "..\\\\secret.lmc",       "/../secret.lmc",
      "\\\\..\\\\secret.lmc", "sub/../../secret.lmc", "sub\\\\..\\\\..\\\\secret.lmc",
      "sub/..\\\\../secret.lmc", "..//\\\\secret.lmc",  ".\\0./secret.lmc",
      "../\\0secret.lmc",   "sub/../../www/../secret.lmc",
  };
  for (const char* name : names) {
    DoRun attempt;
    attempt.Program("secret.lmc", "pushc \"SECRET\"\nout\n", true);
    const std::string printed = attempt.Run(DoFile(name) + "pushc \"after\"\nout\n");
    EXPECT_EQ(printed.find("SECRET"), std::string::npos) << name;
    EXPECT_NE(printed.find("LmDO: The specified path references a path outside the configured "
                           "script directory\n"),
              std::string::npos)
        << name << ": " << printed;
    EXPECT_EQ(printed.substr(printed.size() - 5), " => 0") << name;
  }
  // Taken from the top of the script directory, an absolute path names
  // nothing there; a very deep climb is refused like a short one; a very
  // long name is only a name that is not there.
  for (const std::string& name : {absolute, deep, std::string(100000, 'a'), "sub/" + deep}) {
    DoRun attempt;
    attempt.Program("secret.lmc", "pushc \"SECRET\"\nout\n", true);
    const std::string printed = attempt.Run(DoFile(name) + "pushc \"after\"\nout\n");
    EXPECT_EQ(printed.find("SECRET"), std::string::npos) << name.substr(0, 80);
    EXPECT_NE(printed.find("Runtime error in /main.lmc @ [00000000:00000006]: LmDO: "),
              std::string::npos)
        << name.substr(0, 80);
  }
  EXPECT_EQ(run.Run(DoFile("/sub/../sub/./ok.lmc")), "ok");
  EXPECT_EQ(run.Refusal("sub/../../secret.lmc"),
            "LmDO: The specified path references a path outside the configured script "
            "directory\n");
}

TEST(LmDo, CacheLimitEvictsLeastRecentlyUsed) {
  for (const int32_t limit : {0, 1, 2}) {
    DoRun run;
    run.m.context.Configuration()->SetInteger(kConfigMaxDocache, limit);
    run.Program("a.lmc", "pushc \"a\"\nout\n");
    run.Program("b.lmc", "pushc \"b\"\nout\n");
    EXPECT_EQ(run.Run(DoFile("a.lmc") + DoFile("b.lmc") + DoFile("a.lmc") + DoFile("b.lmc") +
                      DoFile("a.lmc")),
              "ababa");
    // 1 reloads on every change of file; 0 and 2 keep both.
    EXPECT_EQ(run.Loads(), limit == 1 ? 5 : 2) << limit;
    EXPECT_EQ(run.m.vm->DoContexts().Count(), limit == 1 ? 1 : 2) << limit;
  }
}

TEST(LmDo, ProgramInUseIsNeverEvicted) {
  // rec.lmc calls itself three deep and calls two other files at every
  // level, with room for one program in the cache: the running rec.lmc
  // stays (a freed one would fail under the sanitizers), the others come
  // and go.
  DoRun run;
  run.m.context.Configuration()->SetInteger(kConfigMaxDocache, 1);
  run.Program("rec.lmc", ".global n\nincg n, 1\npushc \"<\"\nout\npushg n\nout\n"
                         "cmpgi n, 3\njmp_ge done\n" +
                             DoFile("rec.lmc") + "done: " + DoFile("x.lmc") + DoFile("y.lmc") +
                             "pushc \">\"\nout\n");
  run.Program("x.lmc", "pushc \"x\"\nout\n");
  run.Program("y.lmc", "pushc \"y\"\nout\n");
  EXPECT_EQ(run.Run(DoFile("rec.lmc") + DoFile("x.lmc")), "<1<2<3xy>xy>xy>x");
  // y's machine was made under rec's, which keeps rec in use while y is
  // cached: making room for the last x frees y, and rec stays.
  EXPECT_EQ(run.m.vm->DoContexts().Count(), 2);
}

TEST(LmDo, EndlessSelfCallStopsWithStackOverflow) {
  DoRun run;
  run.Program("loop.lmc", DoFile("loop.lmc"));
  const std::string printed = run.Run(DoFile("loop.lmc") + "pushc \"after\"\nout\n");
  EXPECT_NE(printed.find("Fatal error in /loop.lmc @ [00000000:00000006]: Stack overflow\n"),
            std::string::npos)
      << printed;
  EXPECT_EQ(printed.find("after"), std::string::npos);
  EXPECT_EQ(printed.substr(printed.size() - 5), " => 0");
  EXPECT_EQ(run.m.LastError(), "Fatal error in /loop.lmc @ [00000000:00000006]: Stack overflow\n");
  EXPECT_EQ(run.m.vm->DoContexts().depth, 0);
}

TEST(LmDo, ExitAndFatalErrorsStopTheCallers) {
  {
    // exit in a function of a program two calls down.
    DoRun run;
    run.Program("b.lmc", "pushc \"b\"\nout\n" + DoFile("c.lmc") + "pushc \"b after\"\nout\n");
    run.Program("c.lmc", "call f\npushc \"c after\"\nout\n"
                         ".function f\n  pushc \"c\"\n  out\n  exit\n.end\n");
    EXPECT_EQ(run.Run(DoFile("b.lmc") + "pushc \"main after\"\nout\n"), "bc");
  }
  {
    DoRun run;
    run.Program("b.lmc", "sourcefile \"b.lum\"\nlineno 3\npushc \"b\"\nout\npop\n");
    EXPECT_EQ(run.Run("sourcefile \"main.lum\"\n" + DoFile("b.lmc") + "pushc \"after\"\nout\n"),
              "bFatal error in /b.lmc @ [00000000:00000014]: b.lum: Line 3: Stack underflow\n"
              " => 0");
    EXPECT_EQ(run.m.LastError(),
              "Fatal error in /b.lmc @ [00000000:00000014]: b.lum: Line 3: Stack underflow\n");
  }
}

TEST(LmDo, CalledProgramsOpenBlocksEndWithItsRun) {
  DoRun run;
  // b opens a capture it never ends: its output comes back when b's run
  // ends. c's output, written inside main's capture, is captured.
  run.Program("b.lmc", ".global w\npushg w\ncapture\npushc \"lost\"\nout\n");
  run.Program("c.lmc", "pushc \"c\"\nout\n");
  EXPECT_EQ(run.Run(".global v, w\n" + DoFile("b.lmc") + "pushc \"1\"\nout\n" +
                    "pushg v\ncapture\n" + DoFile("c.lmc") + "capture_end\n" +
                    "pushc \"2\"\nout\npushg v\nout\npushg w\nout\n"),
            "12c");
}

TEST(LmDo, CalledProgramsBringTheirLocalizedTexts) {
  DoRun run;
  run.Program("b.lmc", ".language \"en-US\"\n.token greet, \"hello from b\"\n"
                       "localize \"greet\"\n");
  EXPECT_EQ(run.Run(DoFile("b.lmc") + DoFile("b.lmc")), "hello from bhello from b");
}

TEST(LmDo, EnterAndExitAreLogged) {
  DoRun run;
  run.m.context.SetLogLevel(kEventDoEnter | kEventDoExit);
  run.Program("b.lmc", "noop\n");
  EXPECT_EQ(run.Run(DoFile("b.lmc") + DoFile("b.lmc")), "");
  EXPECT_EQ(run.m.context.events,
            (std::vector<uint32_t>{kEventDoEnter, kEventDoExit, kEventDoEnter, kEventDoExit}));
}

TEST(LmDo, FunctionCallFailuresGiveTheNullVariable) {
  DoRun run;
  run.Program("b.lmc", ".function f()\n  pushi 7\n  ret\n.end\n");
  // Display only: the run goes on with the null variable as the result.
  const std::string printed =
      run.Run("tagerror 22, 1\npushc \"[\"\nout\npushc \"nope.lmc\"\npushc \"f()\"\n"
              "op_do_function\nout\npushc \"b.lmc\"\npushc \"f(\"\nop_do_function\nout\n"
              "pushc \"]\"\nout\n");
  EXPECT_EQ(printed.substr(0, 1), "[");
  EXPECT_EQ(printed.substr(printed.size() - 1), "]");
  EXPECT_NE(printed.find("LmDO: "), std::string::npos);
  EXPECT_EQ(run.m.vm->CurrentStack()->Count(), 0);
}

// Calls through expressions already compiled into the called program: a
// bare segment of it stands for the compiler's code and is entered in the
// context's expression cache by hand.
class DoFunctionRun : public DoRun {
 public:
  DoFunctionRun() {
    Program("b.lmc", ".global total\n"
                     ".function twice(x)\n  pushl x\n  pushi 2\n  mul\n  ret\n.end\n"
                     ".segment\n  pushi 21\n  call twice\n.end\n"  // 2
                     ".function word()\n  pushc \"b's own text\"\n  ret\n.end\n"
                     ".segment\n  call word\n.end\n"  // 4
                     ".segment\n  pushc \"set in b\"\n  popg total\n  pushi 1\n.end\n"  // 5
                     ".segment\n  pushi 1\n  pop\n  pop\n  pop\n.end\n"  // 6
                     "pushc \"b ran\"\nout\n");
    Program("c.lmc", "pushc \"c\"\nout\n");
  }
  // After Prepare: b's expressions as the compiler would have cached them.
  void EnterExpressions() {
    DoContext* b = m.vm->GetDoContext("b.lmc");
    ASSERT_NE(b, nullptr);
    b->AddExpression("twice(21)", 2);
    b->AddExpression("word()", 4);
    b->AddExpression("set()", 5);
    b->AddExpression("underflow()", 6);
  }
};

std::string DoFunction(std::string_view file, std::string_view text) {
  return "pushc \"" + std::string(file) + "\"\npushc \"" + std::string(text) +
         "\"\nop_do_function\n";
}

TEST(LmDo, FunctionCallRunsOnTheCallersStack) {
  DoFunctionRun run;
  run.m.context.Configuration()->SetInteger(kConfigMaxDocache, 1);
  ASSERT_TRUE(run.Prepare(".global total\npushc \"<\"\n" + DoFunction("b.lmc", "twice(21)") +
                          "cat\nout\n" + DoFunction("b.lmc", "twice(21)") + "out\n" +
                          DoFunction("b.lmc", "set()") + "out\npushg total\nout\n" +
                          // b's constant is still read after c has taken b's place.
                          DoFunction("b.lmc", "word()") + DoFile("c.lmc") + "out\n"));
  run.EnterExpressions();
  EXPECT_EQ(run.Go(), "<42421set in bcb's own text");
  EXPECT_EQ(run.m.vm->CurrentStack()->Count(), 0);
  // b was entered once (by hand) and evicted by c; the cache found the
  // second twice(21) without compiling.
  EXPECT_EQ(run.Loads(), 2);
  EXPECT_EQ(run.m.vm->DoContexts().Count(), 1);
}

TEST(LmDo, FunctionCallFaultStopsTheCaller) {
  DoFunctionRun run;
  ASSERT_TRUE(run.Prepare("pushi 5\n" + DoFunction("b.lmc", "underflow()") +
                          "pushc \"not reached\"\nout\n"));
  run.EnterExpressions();
  // The called code popped the caller's 5 and then found nothing: its
  // machine reports it, with its own program's name.
  EXPECT_EQ(run.Go(), "Fatal error in /b.lmc @ [00000006:0000000a]: Stack underflow\n => 0");
  EXPECT_EQ(run.m.LastError(), "Fatal error in /b.lmc @ [00000006:0000000a]: Stack underflow\n");
}

TEST(LmDo, CallExpressionsAreCompiledOncePerProgram) {
  DoRun run;
  run.Program("b.lmc", ".global total\n"
                       ".function twice(x)\n  pushl x\n  pushi 2\n  mul\n  ret\n.end\n"
                       ".function keep(x)\n  pushl x\n  popg total\n  pushi 1\n  ret\n.end\n"
                       "pushc \"b ran\"\nout\n");
  EXPECT_EQ(run.Run(".global total\n" + DoFunction("b.lmc", "twice(21)") + "out\n" +
                    "pushc \";\"\nout\n" + DoFunction("b.lmc", "twice(21)") + "out\n" +
                    DoFunction("b.lmc", "twice(  4 )") + "out\n" +
                    DoFunction("b.lmc", "keep(twice(5))") + "out\npushg total\nout\n"),
            "42;428110");
  DoContext* b = run.m.vm->GetDoContext("b.lmc");
  ASSERT_NE(b, nullptr);
  // The top level and two functions, and one segment per distinct text.
  EXPECT_EQ(b->ExpressionCount(), 3);
  EXPECT_EQ(b->Parts().segments->Count(), 3 + 3);
  EXPECT_EQ(run.m.vm->CurrentStack()->Count(), 0);
}

TEST(LmDo, UncompilableCallIsTheLmDoError) {
  DoRun run;
  run.Program("b.lmc", ".function f()\n  pushi 7\n  ret\n.end\n");
  const std::string printed =
      run.Run("sourcefile \"main.lum\"\nlineno 4\n" + DoFunction("b.lmc", "nothing_here()") +
              "pushc \"after\"\nout\n");
  EXPECT_EQ(printed,
            "Runtime error in /main.lmc @ [00000000:00000018]: main.lum: Line 4: LmDO: Unable to "
            "find function 'nothing_here'\n => 0");
}

}  // namespace
}  // namespace lumo
