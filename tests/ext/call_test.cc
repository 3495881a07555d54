// Calling library functions from programs: which library a name binds to,
// how arguments and results travel, and what the libraries keep between
// calls.
#include <gtest/gtest.h>

#include <string>

#include "core/base/memory_budget.h"
#include "tests/ext/ext_harness.h"

namespace lumo {
namespace {

const char kLen[] = ".function len(s) flags 1\n";

std::string PrintLen(const char* text) {
  return std::string("pushc \"") + text + "\"\ncall len\nout\n";
}

TEST(ExternalCalls, FirstRegisteredLibraryWins) {
  // b spells it LEN: the case of the name does not matter.
  EXPECT_EQ(LibraryRun({Builtin("builtin_a"), Builtin("builtin_b")})
                .Printed(std::string(kLen) + PrintLen("xyz")),
            "a:3");
  EXPECT_EQ(LibraryRun({Builtin("builtin_b"), Builtin("builtin_a")})
                .Printed(std::string(kLen) + PrintLen("xyz")),
            "b:3");
  EXPECT_EQ(LibraryRun({Builtin("builtin_a")})
                .Printed(".function LeN(s) flags 1\npushc \"abcd\"\ncall LeN\nout"),
            "a:4");
}

TEST(ExternalCalls, CallsThatCannotBeMade) {
  const std::vector<RegisteredLibrary> a = {Builtin("builtin_a")};
  EXPECT_EQ(LibraryRun(a).Printed(".function nothing(s) flags 1\npushc \"x\"\ncall nothing"),
            Fatal(6, "Unresolved call to external function 'nothing'"));
  EXPECT_EQ(LibraryRun(a).Printed(".function len(a, b) flags 1\npushi 1\npushi 2\ncall len"),
            Fatal(12, "Number of parameters mismatch in call to external function"));
  EXPECT_EQ(LibraryRun(a).Printed(".function len(&s) flags 1\n.global g\npushg g\ncall len"),
            Fatal(6, "Parameter type mismatch in call to external function"));
  EXPECT_EQ(LibraryRun(a).Printed(".function twice(x) flags 1\npushi 1\ncall twice"),
            Fatal(6, "Parameter type mismatch in call to external function"));
}

TEST(ExternalCalls, ArgumentsAndResults) {
  LibraryRun run({Builtin("builtin_a")});
  EXPECT_EQ(run.Printed(".function twice(&x) flags 1\n.function echo(s) flags 1\n.global v\n"
                        // By reference: the library changes the caller's variable.
                        "storegi v, 21\npushg v\ncall twice\nout\npushg v\nout\n"
                        // A result still on the stack is not overwritten by
                        // the next call of the same function.
                        "pushc \"|\"\nout\npushc \"1\"\ncall echo\npushc \"2\"\ncall echo\n"
                        "cat\nout\n"
                        // Nor is one the script went on to use after storing.
                        "pushc \"3\"\ncall echo\npopg v\npushc \"4\"\ncall echo\npop\n"
                        "pushc \"|\"\nout\npushg v\nout\n"),
            "142|12|3");
  // Once bound, a result is stored without the stack: into a local, and
  // into a variable that is a reference, it lands where the pop puts it.
  LibraryRun stored({Builtin("builtin_a")});
  EXPECT_EQ(stored.Printed(".function echo(s) flags 1\n.global g\n"
                           ".function f(&r)\n.local t\npushc \"in\"\ncall echo\npopl t\n"
                           "pushc \"out\"\ncall echo\npopl r\npushl t\nret\n.end\n"
                           "pushc \"bind\"\ncall echo\npop\n"
                           "pushg g\ncall f\nout\npushg g\nout\n"
                           // The stored variable may be the argument too;
                           // the value it held before is gone for good.
                           ".global v\npushc \"self\"\npopg v\npushg v\ncall echo\npopg v\n"
                           "pushc \"x\"\ncall echo\npopg g\npushg v\nout\n"),
            "inoutself");
  // A by-value argument is the function's own copy: what the library
  // writes into it stays there, also on the next call, which reuses it.
  LibraryRun copied({Builtin("builtin_a")});
  EXPECT_EQ(copied.Printed(".function scribble(s) flags 1\n.global g\npushc \"mine\"\npopg g\n"
                           "pushg g\ncall scribble\nout\npushg g\ncall scribble\npop\n"
                           "pushg g\nout\n"),
            "scribbledmine");
  // A parameter the library turned into a reference does not carry the
  // next call's argument into what it refers to.
  LibraryRun aliased({Builtin("builtin_a")});
  EXPECT_EQ(aliased.Printed(".function alias(s) flags 1\n.global target\n"
                            "pushc \"kept\"\npopg target\npushc \"x\"\ncall alias\npop\n"
                            "pushc \"y\"\ncall alias\npop\npushg target\nout\n"),
            "kept");
}

TEST(ExternalCalls, DataWordsGetOneFinalCall) {
  const int before = LibraryCounter("builtin_a", "test_releases");
  {
    LibraryRun run({Builtin("builtin_a")});
    // counter keeps a count in its data word; stateless never sets one.
    EXPECT_EQ(run.Printed(".function counter() flags 1\n.function stateless() flags 1\n"
                          "call counter\nout\ncall counter\nout\ncall stateless\nout\n"),
              "12same");
    EXPECT_EQ(LibraryCounter("builtin_a", "test_releases"), before);
  }
  EXPECT_EQ(LibraryCounter("builtin_a", "test_releases"), before + 1);
}

TEST(ExternalCalls, PersistentDataIsFreedOnce) {
  const char* const kDeclarations =
      ".function keep(s) flags 1\n.function keepsame(s) flags 1\n.function kept(s) flags 1\n";
  const int before = LibraryCounter("builtin_a", "test_persistent_frees");
  {
    LibraryRun run({Builtin("builtin_a")});
    EXPECT_EQ(run.Printed(std::string(kDeclarations) +
                          "pushc \"one\"\ncall keep\nout\npushc \"ONE\"\ncall keep\nout\n"
                          "pushc \"one\"\ncall kept\nout\npushc \"two\"\ncall kept\nout\n"),
              "11ONE(none)");
    // Registering again freed the first data, and only that.
    EXPECT_EQ(LibraryCounter("builtin_a", "test_persistent_frees"), before + 1);
  }
  EXPECT_EQ(LibraryCounter("builtin_a", "test_persistent_frees"), before + 2);
  {
    // The very data registered again is kept, not freed under its user.
    LibraryRun run({Builtin("builtin_a")});
    EXPECT_EQ(run.Printed(std::string(kDeclarations) +
                          "pushc \"same\"\ncall keep\nout\npushc \"same\"\ncall keepsame\nout\n"
                          "pushc \"same\"\ncall kept\nout\n"),
              "11same");
    EXPECT_EQ(LibraryCounter("builtin_a", "test_persistent_frees"), before + 2);
  }
  EXPECT_EQ(LibraryCounter("builtin_a", "test_persistent_frees"), before + 3);
}

TEST(ExternalCalls, LibrariesLookUpFunctionsAndSystemLibraries) {
  LibraryRun run({Builtin("builtin_b"), Builtin("builtin_a"),
                  Named(LibraryType::kSystem, "answers", "system_answer")});
  EXPECT_EQ(run.Printed(".function describe(s) flags 1\n.function answer(a, b) flags 1\n"
                        "pushc \"len\"\ncall describe\nout\npushc \"nothing\"\ncall describe\n"
                        "out\npushc \"Answers\"\npushc \"test_answer\"\ncall answer\nout\n"
                        "pushc \"others\"\npushc \"test_answer\"\ncall answer\nout\n"),
            "LEN(none)42(no library)");
}

TEST(ExternalCalls, DynamicExpressionsCallLibraryFunctions) {
  LibraryRun run({Builtin("builtin_a")});
  ASSERT_EQ(run.Printed("pushc \"\"\nout"), "");
  LumoVM& vm = run.machine.Vm();
  int32_t segment = -1;
  String error;
  ASSERT_TRUE(vm.CompileDynamicExpression("LEN(\"abcde\") $ \"!\"", &segment, &error))
      << error.View();
  Variable* result = vm.ExecuteDynamicExpression(segment);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Value().View(), "a:5!");
  result->Free();
}

// The configuration structure lists the libraries the run has.
TEST(ExternalCalls, ConfigurationListsLibraries) {
  LibraryRun run({Named(LibraryType::kCommerce, "pay", "commerce_table"),
                  Named(LibraryType::kSystem, "answers", "system_answer"),
                  Named(LibraryType::kCommerce, "bill", "commerce_functions")});
  EXPECT_EQ(run.Printed("pushnc \"lumo_config:commerce_list[1]\"\nout\n"
                        "pushnc \"lumo_config:commerce_list[2]\"\nout\n"
                        "pushnc \"lumo_config:systemlib_list[1]\"\nout\n"
                        "pushnc \"lumo_config:commerce_lookup:PAY\"\nout\n"
                        "pushnc \"lumo_config:commerce_lookup:answers\"\nout\n"),
            "paybillanswers10");
}

// Memory that runs out inside a library's call back into the host (where
// nothing may unwind) ends the run once the library returns, as it would
// in the script itself; the library's result is not used.
TEST(ExternalCalls, MemoryRunningOutInALibraryEndsTheRun) {
  LibraryRun run({Builtin("builtin_a")});
  MemoryBudget budget(int64_t{64} << 20);
  std::string printed;
  {
    const MemoryBudgetScope scope(&budget);
    printed = run.Printed(".function hog() flags 1\ncall hog\nout\npushc \"after\"\nout");
  }
  EXPECT_EQ(printed.find("survived"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("after"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Out of memory"), std::string::npos) << printed;
}

}  // namespace
}  // namespace lumo
