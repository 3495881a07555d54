// LmCOMMERCE blocks: the library's init and loop decide how often the body
// runs, and every way the block can fail ends up in the tag's error.
#include <gtest/gtest.h>

#include <string>

#include "tests/ext/ext_harness.h"

namespace lumo {
namespace {

// A block over method `method` whose loop follows `script` (see
// tests/ext/libs/commerce.c): the body prints the iteration the library
// stored in n; after the block, the count of loop calls and the tag's
// error. Tag errors are neither shown nor fatal, so the run goes on.
std::string Block(const std::string& method, const std::string& script,
                  const std::string& body_extra = "") {
  return ".global n, calls\n"
         "tagerror 19, 0\nstoregi calls, 0\n"
         "pushc \"stale\"\npopnc \"LmCOMMERCE_Error\"\n"
         "pushc \"" + method + "\"\npushc \"" + script + "\"\npushc \" n , calls\"\n"
         "op_commerce done\n"
         "body: pushg n\nout\n" + body_extra +
         "op_commerce_loop body\n"
         "done: pushc \"|\"\nout\npushg calls\nout\npushc \"|\"\nout\n"
         "pushnc \"LmCOMMERCE_Error\"\nout\n";
}

const std::vector<RegisteredLibrary> kMethods = {
    Named(LibraryType::kCommerce, "table", "commerce_table"),
    Named(LibraryType::kCommerce, "four", "commerce_functions"),
    Named(LibraryType::kCommerce, "incomplete", "commerce_incomplete")};

TEST(Commerce, LoopResults) {
  for (const char* method : {"table", "FOUR"}) {
    // 0 runs the body (again); anything but 0 and 1 ends the loop quietly.
    EXPECT_EQ(LibraryRun(kMethods).Printed(Block(method, "002")), "01|3|") << method;
    EXPECT_EQ(LibraryRun(kMethods).Printed(Block(method, "7")), "|1|") << method;
    // The script runs out: the library answers 2.
    EXPECT_EQ(LibraryRun(kMethods).Printed(Block(method, "0")), "0|2|") << method;
    // 1 ends the loop with the error entry's text.
    EXPECT_EQ(LibraryRun(kMethods).Printed(Block(method, "01")),
              std::string("0|2|loop failed for ") + method + " after 2")
        << method;
    // A failing init skips the block.
    EXPECT_EQ(LibraryRun(kMethods).Printed(Block(method, "fail")),
              std::string("|0|init failed for ") + method)
        << method;
  }
}

TEST(Commerce, MethodsThatCannotRun) {
  EXPECT_EQ(LibraryRun(kMethods).Printed(Block("other", "0")),
            "|0|Commerce method 'other' is unsupported or not configured");
  EXPECT_EQ(LibraryRun(kMethods).Printed(Block("incomplete", "0")),
            "|0|Unable to load commerce library descriptor table/functions");
  // Shown and fatal by default.
  const std::string shown = LibraryRun(kMethods).Printed(
      "pushc \"other\"\npushc \"\"\npushc \"\"\nop_commerce done\npushc \"body\"\nout\n"
      "done: pushc \"after\"\nout\n");
  EXPECT_NE(shown.find("LmCOMMERCE: Commerce method 'other' is unsupported or not configured"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find("after"), std::string::npos) << shown;
}

TEST(Commerce, StopLeavesTheBlock) {
  // Stopped in the first pass: the loop is not asked again.
  const std::string stop = "op_commerce_stop done\n";
  EXPECT_EQ(LibraryRun(kMethods).Printed(Block("table", "000", stop)), "0|1|");
  // A block closed by its stop is gone: another stop finds none.
  EXPECT_EQ(LibraryRun(kMethods).Printed("op_commerce_stop 0\n"),
            Fatal(0, "Invalid instruction"));
  EXPECT_EQ(LibraryRun(kMethods).Printed("x: op_commerce_loop x\n"),
            Fatal(0, "Invalid instruction"));
}

// A block left open by a function's return is closed with it.
TEST(Commerce, ReturnClosesTheBlock) {
  EXPECT_EQ(LibraryRun(kMethods).Printed(
                ".global n, calls\n.function f()\n"
                "pushc \"table\"\npushc \"000\"\npushc \"n, calls\"\nop_commerce done\n"
                "pushg n\nout\nretn\ndone: retn\n.end\n"
                "call f\nx: op_commerce_loop x\n"),
            "0" + Fatal(6, "Invalid instruction"));
}

}  // namespace
}  // namespace lumo
