// Variables: names resolved at run time, system variable levels, elements
// and members, references, and the output instructions (hide, out).
#include <gtest/gtest.h>

#include <string>

#include "tests/core/vm/cases.h"
#include "tests/core/vm/run_program.h"

namespace lumo {
namespace {

const char* const kBadIndex = "Array index must be positive integer";

TEST(Names, ScopePrefixesAndPaths) {
  ExpectPrinted({
      {".global x\npushc \"v\"\npopnc \"g.x\"\npushg x\nout", "v"},
      {".global x\npushc \"v\"\npopnc \"GLOBAL.x\"\npushg x\nout", "v"},
      {".global x\npushc \"v\"\npopnc \"x\"\npushg x\nout", "v"},
      // At the top level the locals are the globals.
      {".global x\npushc \"v\"\npopnc \"l.x\"\npushg x\nout", "v"},
      {".global x\npushc \"v\"\npopnc \"Local.x\"\npushnc \"global.X\"\nout", "v"},
      {".system sv\npushc \"v\"\npops sv\npushnc \"system.sv\"\nout", "v"},
      // A declared system variable takes a value by name before it has one.
      {".system sv\npushc \"v\"\npopnc \"s.sv\"\npushs sv\nout", "v"},
      {".system sv\npushc \"v\"\npopnc \"sv\"\npushs sv\nout\npushnc \"g.sv\"\nout", "v"},
      // System variables are never made by name, and win over globals.
      {"pushc \"v\"\npopnc \"s.nope\"\npushnc \"s.nope\"\nout\npushnc \"nope\"\nout", ""},
      {".system q\n.global q\npushc \"s\"\npops q\npushc \"g\"\npopg q\npushnc \"q\"\nout\n"
       "pushnc \"g.q\"\nout",
       "sg"},
      // Database fields are null until a database is open.
      {"pushc \"v\"\npopnc \"d.f\"\npushnc \"d.f\"\nout\npushnc \"t.d.f\"\nisnull\nout", "1"},
      {"pushc \"v\"\npopnc \"a:b\"\npushnc \"g.a:b\"\nout\npushnc \"a\"\npushc \"b\"\nmembr\nout",
       "vv"},
      {"pushc \"v\"\npopnc \"a[2]\"\npushnc \"a\"\npushi 2\nelemr\nout\npushnc \"a[ 2]\"\n"
       "out", "vv"},
      {"pushc \"v\"\npopnc \"a[1]:k[3]\"\npushnc \"a[1]\"\npushc \"k\"\nmembr\npushi 3\nelemr\nout",
       "v"},
      {"pushc \"v\"\npushc \"g.x\"\npopn\npushc \"x\"\npushn\nout", "v"},
      {"pushnc \"a[x]\"", Fatal(0, kBadIndex)},
      {"pushc \"v\"\npopnc \"a[-1]\"", Fatal(6, kBadIndex)},
      {"pushnc \"a[2\"", Fatal(0, kBadIndex)},
      {"pushnc \"a[2]x\"", Fatal(0, kBadIndex)},
  });
}

TEST(Names, UnprefixedNamesInsideFunctionsPreferLocals) {
  const char* const kProgram = R"(
.function f
.local y
  pushc "local"
  popl y
  pushnc "y"
  out
  pushnc "g.y"
  out
  pushnc "z"
  out
  pushc "L"
  popnc "l.w"
  pushnc "w"
  out
  pushnc "g.w"
  out
  pushc "|"
  out
  retn
.end
.global y, z
pushc "global"
popg y
pushc "gz"
popg z
call f
call f
)";
  Machine m;
  ASSERT_TRUE(m.Assemble(kProgram));
  EXPECT_EQ(m.Run(), 1);
  EXPECT_EQ(m.context.output, "localglobalgzL|localglobalgzL|");
  EXPECT_EQ(m.Global("y"), "global");
  EXPECT_EQ(m.Global("w"), "");
}

TEST(Names, SystemVariableLevels) {
  ExpectPrinted({
      {"spop", Fatal(0, "System variable stack underflow")},
      {"spush\nspush\nspop\nspop\nspop", Fatal(8, "System variable stack underflow")},
      // A variable made above a level goes with it; a stack entry still
      // reading it keeps it.
      {".system sv\nspush\npushc \"b\"\npops sv\npushs sv\nout\nspop\npushs sv\nout", "b"},
      {".system sv\nspush\npushc \"b\"\npops sv\npushs sv\npushnc \"sv\"\nspop\nout\nout\n"
       "pushs sv\nout",
       "bb"},
  });
}

// Levels record changes to entries (a variable made, replaced or turned
// into a reference); a store into a variable that already exists changes
// that variable, and spop leaves it changed.
TEST(Names, SystemVariableLevelsRecordEntriesNotStores) {
  EXPECT_EQ(Printed(".system sv\npushc \"a\"\npops sv\nspush\npushc \"b\"\npops sv\nspop\n"
                    "pushs sv\nout"),
            "b");
}

TEST(Names, ElementsMembersAndStore) {
  ExpectPrinted({
      {".global a\npushc \"v\"\npushg a\npushi 3\nelem\nstore\npushg a\npushi 3\nelemr\nout", "v"},
      {".global a\npushi 5\npushg a\nstore\npushg a\nout", "5"},
      // Reading a missing element makes nothing; index 0 is refused for
      // reading as for writing.
      {".global a\npushg a\npushi 5\nelemr\nisnull\nout\npushc \"a\"\nhide",
       "1<input type=\"hidden\" name=\"a\" value=\"\">"},
      {".global a\npushg a\npushi 0\nelemr\nisnull\nout",
       "Runtime error in test.lmc @ [00000000:0000000c]: (in expression): Array index must be "
       "positive integer\n => 0"},
      {".global a\npushg a\npushi 0\nelem\nisnull\nout",
       "Runtime error in test.lmc @ [00000000:0000000c]: (in expression): Array index must be "
       "positive integer\n => 0"},
      {".global s\npushc \"v\"\npushg s\npushc \"k\"\nmemb\nstore\npushg s\npushc \"k\"\nmembr\n"
       "out\n"
       "pushg s\npushc \"m\"\nmembr\nisnull\nout",
       "v1"},
      {".global a\npushc \"v\"\npushg a\npushi 1\nelem\npushc \"k\"\nmemb\nstore\n"
       "pushnc \"a[1]:k\"\n"
       "out",
       "v"},
      // An element on the stack outlives its aggregate's change.
      {".global a\npushc \"v\"\npushg a\npushi 1\nelem\nstore\npushg a\npushi 1\nelem\n"
       "pushc \"s\"\n"
       "popg a\nout\npushg a\nout",
       "vs"},
      {"pushc \"x\"\npushi 1\nelem", Fatal(12, "Expected variable, found constant")},
      {"pushc \"v\"\npushc \"x\"\nstore", Fatal(12, "Expected variable, found constant")},
      {"pushi 1\nelem", Fatal(6, "Stack underflow")},
  });
}

TEST(Names, References) {
  ExpectPrinted({
      {".global t, al\npushg t\npushg al\nrefer\npushc \"x\"\npopg t\npushg al\nout", "x"},
      {".global t, al\npushg t\npushg al\nrefer\npushc \"y\"\npopg al\npushg t\nout", "y"},
      {".global t\npushg t\npushc \"al\"\nrefern\npushc \"x\"\npopg t\npushnc \"al\"\nout", "x"},
      {".global t\npushg t\nrefernc \"arr[2]\"\npushc \"q\"\npopg t\npushnc \"arr[2]\"\nout", "q"},
      {".system sv\n.global t\npushg t\nrefers sv\npushc \"x\"\npopg t\npushs sv\nout", "x"},
      {".function f\n.local r\n  pushg t\n  referl r\n  pushc \"z\"\n  popl r\n  retn\n.end\n"
       ".global t\ncall f\npushg t\nout",
       "z"},
      // The alias keeps an element whose aggregate changes.
      {".global a, al\npushc \"v\"\npushg a\npushi 1\nelem\nstore\npushg a\npushi 1\nelem\n"
       "pushg al\nrefer\npushc \"s\"\npopg a\npushg al\nout",
       "v"},
      // An element made an alias of its own aggregate, directly or through
      // another aggregate, would hold itself alive past the run: refused,
      // and the element stays an ordinary one.
      {"pushc \"y\"\npopnc \"t:b\"\npushnc \"t\"\nrefernc \"t:a\"\npushc \"x\"\n"
       "popnc \"t:a\"\npushnc \"t\"\nout",
       "x,y"},
      {"pushnc \"u\"\nrefernc \"t:a\"\npushnc \"t\"\nrefernc \"u:x:y\"\npushc \"v\"\n"
       "popnc \"u:x:y\"\npushnc \"u\"\nout",
       "v"},
      {".system sv\n.global t\npushg t\nrefers 5", Fatal(6, "Invalid variable reference")},
      {".global t\npushg t\nrefernc -1", Fatal(6, "Invalid dictionary reference")},
      {".global t\npushg t\npushc \"x\"\nrefer", Fatal(12, "Expected variable, found constant")},
  });
}

TEST(Names, Hide) {
  const auto field = [](const std::string& name, const std::string& value) {
    return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + value + "\">";
  };
  ExpectPrinted({
      {".global x\npushc \"v\"\npopg x\npushc \"x\"\nhide", field("x", "v")},
      {".global x\npushc \"v\"\npopg x\npushc \"g.x\"\nhide", field("x", "v")},
      {"pushc \"v\"\npopnc \"x\"\npushc \"global.x, l.x\"\n"
       "hide", field("x", "v") + field("x", "v")},
      {"pushc \"a\\\"&()<>b\"\npopnc \"x\"\npushc \"x\"\nhide",
       field("x", "a&quot;&amp;&#40;&#41;&lt;&gt;b")},
      {"pushc \"v\"\npopnc \"n\\\"&()<>\"\npushc \"n\\\"&()<>\"\nhide",
       field("n&quot;&amp;&#40;&#41;&lt;&gt;", "v")},
      {"pushc \"p\"\npopnc \"a[1]\"\npushc \"r\"\npopnc \"a[10]\"\npushc \"q\"\npopnc \"a[2]\"\n"
       "pushc \"a\"\nhide",
       field("a[1]", "p") + field("a[2]", "q") + field("a[10]", "r")},
      {"pushc \"v\"\npopnc \"s:k\"\npushc \"w\"\npopnc \"s:m[1]:n\"\npushc \"s\"\nhide",
       field("s:k", "v") + field("s:m[1]:n", "w")},
      {"pushc \"s.nope, ,\"\nhide", field("s.nope", "")},
      {"pushc \" x , y \"\nhide", field("x", "") + field("y", "")},
      {"pushc \"\"\nhide", ""},
      {"pushc \"v\"\npopnc \"x\"\npushc \"x, a[y]\"\nhide", Fatal(18, kBadIndex)},
      // A member cannot be made an alias of its own structure: it stays an
      // empty member, written as one.
      {"pushc \"v\"\npopnc \"s:k\"\npushnc \"s\"\npushnc \"s\"\npushc \"me\"\nmemb\nrefer\n"
       "pushc \"s, s\"\nhide",
       field("s:k", "v") + field("s:me", "") + field("s:k", "v") + field("s:me", "")},
  });
}

TEST(Names, LocalizedTokens) {
  Machine m;
  ASSERT_TRUE(m.Assemble("pushc \"text\"\npoplvnc \"tok\"\npushi 5\npoplvnc \"n\""));
  EXPECT_EQ(m.Run(), 1);
  VariableList& tokens = m.Vm().LocalizedTokens();
  ASSERT_EQ(tokens.Entries(), 2);
  Variable* token = tokens.Find("TOK");
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->Value().View(), "text");
  EXPECT_EQ(token->ReferenceCount(), 1);
  // localize forgets the tokens; localizev also pushes the (empty) text.
  Machine n;
  ASSERT_TRUE(n.Assemble("pushc \"t\"\npoplvnc \"tok\"\nlocalizev \"tok\"\nout\npushc \"x\"\nout"));
  EXPECT_EQ(n.Run(), 1);
  EXPECT_EQ(n.context.output, "x");
  EXPECT_EQ(n.Vm().LocalizedTokens().Entries(), 0);
  EXPECT_EQ(Printed("localize -1"), Fatal(0, "Invalid dictionary reference"));
}

TEST(Names, OutputGoesToTheContext) {
  Machine m;
  ASSERT_TRUE(m.Assemble("pushc \" a  b \"\nout_comp\npushi 3\nout_comp\npushc \"x\"\nout"));
  EXPECT_EQ(m.Run(), 1);
  EXPECT_EQ(m.context.compressed, " a  b 3");
  EXPECT_EQ(m.context.output, "x");
}

}  // namespace
}  // namespace lumo
