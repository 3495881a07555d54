// The expression compiler, checked mostly by running what it compiles in
// the machine over a host program's globals and functions.
#include "expr/expression_compiler.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/expr/expression_host.h"

namespace lumo {
namespace {

struct Case {
  const char* text;
  const char* value;
};

void ExpectValues(const Case* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    ExpressionHost host;
    ASSERT_TRUE(host.assembled) << host.machine.error.View();
    EXPECT_EQ(host.Value(cases[i].text), cases[i].value) << cases[i].text;
  }
}

TEST(ExpressionCompiler, PrecedenceAndGrouping) {
  const Case cases[] = {
      {"1 + 2 * 3", "7"},
      {"10 - 2 - 3", "5"},
      // A tighter operator in the middle does not pull the rest of the
      // chain into the right operand.
      {"10 - 2 * 3 + 1", "5"},
      {"100 / 10 / 5", "2"},
      {"(1 + 2) * 3", "9"},
      {"2 * (3 + (4 - 1)) - 1", "11"},
      {"2 POW 3 * 2", "16"},
      {"7 MOD 4 * 2", "6"},
      {"2 $ 3 + 4", "27"},
      {"2 + 3 $ 4", "54"},
      // NOT binds more tightly than EQ: (NOT 0) EQ 2.
      {"NOT 0 EQ 2", "0"},
      {"NOT (0 EQ 2)", "1"},
      {"NOT NOT 3", "1"},
      {"1 OR 0 AND 0", "0"},
      {"1 EQ 1 AND 2 GT 1", "1"},
      {"3 GT 2 EQ 1", "1"},
      // A unary operator takes binary operators of its own precedence into
      // its operand: BITOC (0 + 1).
      {"BITOC 0 + 1", "-2"},
      {"BITOC 0 AND 1", "1"},
      {"  \t1\r\n+\n2 ", "3"},
      {"((((7))))", "7"},
      {"", "<nothing>"},
      {"   ", "<nothing>"},
  };
  ExpectValues(cases, std::size(cases));
}

TEST(ExpressionCompiler, OperatorWordsInAnyCase) {
  const Case cases[] = {
      {"a eq 5", "1"},     {"a Eq 5", "1"},           {"a EQ 5", "1"},
      {"a ne b", "1"},     {"b mod a", "2"},          {"not(a eq 5)", "0"},
      {"Not(0)", "1"},     {"1 bitor 2 BitAnd 3", "3"}, {"a lt b and b gt a", "1"},
      {"2 pow 10", "1024"}, {"1 bitsl 4", "16"},       {"'b' in 'abc'", "2"},
  };
  ExpectValues(cases, std::size(cases));
}

TEST(ExpressionCompiler, NumbersAndSigns) {
  const Case cases[] = {
      {"-5 + 3", "-2"},  {"a - -5", "10"},   {"a--5", "error: Found additional argument '5' while looking for operator"},
      {"2*-3", "-6"},    {"(4)-1", "3"},     {"a-1", "4"},
      {".5 + 1", "1.5"}, {"+7", "+7"},       {"1.25", "1.25"},
      {"-.5", "-.5"},    {"1.2.3", "1.2.3"}, {"0 - (2)", "-2"},
  };
  ExpectValues(cases, std::size(cases));
}

TEST(ExpressionCompiler, QuotedTexts) {
  const Case cases[] = {
      {"'ab' $ \"cd\"", "abcd"},
      {R"('it\'s')", "it's"},
      {R"("say \"hi\"")", "say \"hi\""},
      {R"("mixed \'")", "mixed '"},
      {R"('a\b\\c')", R"(a\b\\c)"},
      {"'a + b'", "a + b"},
      {"'(' $ \")\"", "()"},
      {"''", ""},
      {"s $ '!'", "abc!"},
  };
  ExpectValues(cases, std::size(cases));
}

TEST(ExpressionCompiler, VariablesIndexesAndMembers) {
  ExpressionHost host;
  ASSERT_TRUE(host.assembled);
  EXPECT_EQ(host.Value("a + b * 2"), "19");
  EXPECT_EQ(host.Value("g.a + l.b"), "12");
  // Index and member paths are built by elem and memb; stepping them
  // stores through the path.
  EXPECT_EQ(host.Value("arr[1 + 1]++"), "0");
  EXPECT_EQ(host.Value("arr[2] + arr[b - 5]"), "2");
  EXPECT_EQ(host.Value("rec:count++"), "0");
  EXPECT_EQ(host.Value("++rec:count"), "2");
  EXPECT_EQ(host.Value("grid[1][2]:x"), "");
  EXPECT_EQ(host.Value("_x"), "");
}

TEST(ExpressionCompiler, IncrementAndDecrement) {
  ExpressionHost host;
  ASSERT_TRUE(host.assembled);
  EXPECT_EQ(host.Value("n++"), "5");
  EXPECT_EQ(host.Global("n"), "6");
  EXPECT_EQ(host.Value("++n"), "7");
  EXPECT_EQ(host.Global("n"), "7");
  EXPECT_EQ(host.Value("n--"), "7");
  EXPECT_EQ(host.Value("--n"), "5");
  EXPECT_EQ(host.Global("n"), "5");
  EXPECT_EQ(host.Value("n++ + n"), "11");
  EXPECT_EQ(host.Value("10 - --n"), "5");
  EXPECT_EQ(host.Value("a+++b"), "12");
  EXPECT_EQ(host.Global("a"), "6");
  EXPECT_EQ(host.Value("(a)--"), "6");
  EXPECT_EQ(host.Global("a"), "5");

  // The emitted sequences, as the machine's compiler writes them.
  ASSERT_EQ(host.Compile("n++"), "");
  EXPECT_EQ(host.Listing(),
            "pushnc 'n'\ndup\npushi 0\nadd\nswap\ndup\npushi 1\nadd\nswap\nstore\n");
  ASSERT_EQ(host.Compile("--n"), "");
  EXPECT_EQ(host.Listing(), "pushnc 'n'\ndup\npushi 1\nsub\ndup\nswapn 0, 2\nstore\n");

  for (const char* text : {"n++", "++n", "n--", "--n", "1 + n++"}) {
    EXPECT_EQ(host.Compile(text, {}, 0x10008), "Invalid operator found in expression") << text;
    EXPECT_EQ(host.Compile(text, {}, 0x10009), "") << text;
  }
  EXPECT_EQ(host.Global("n"), "5");
}

TEST(ExpressionCompiler, ScriptFunctions) {
  const Case cases[] = {
      {"twice(4) + 1", "9"},
      {"TWICE(twice(2))", "8"},
      {"twice((1 + 2) * 2)", "12"},
      {"join('a,b', \"c)\")", "a,bc)"},
      {"join(twice(1), join('x', 'y'))", "2xy"},
      {"join(1, 2,)", "12"},
      {"twice(1, 2)", "error: Function 'twice' is defined with 1 parameters and was called with 2"},
      {"join('x')", "error: Function 'join' is defined with 2 parameters and was called with 1"},
      {"twice()", "error: Function 'twice' is defined with 1 parameters and was called with 0"},
      {"fail() + 1", "stopped: Runtime error in test.lmc @ [00000003:0000000c]: (in expression): "
                     "Array index must be positive integer\n"},
      {"nosuch(1)", "error: Unable to find function 'nosuch'"},
      {"join(,1)", "error: Argument expected in Expression"},
  };
  ExpectValues(cases, std::size(cases));
}

TEST(ExpressionCompiler, CallsRestoreTheSourcePosition) {
  ExpressionHost host;
  host.source_file = "page.lms";
  host.line = 12;
  ASSERT_EQ(host.Compile("twice(a)"), "");
  EXPECT_EQ(host.Listing(),
            "sourcefile 'page.lms'\nlineno 12\npushnc 'a'\ncall 0\nsourcefile 'page.lms'\n");
  ASSERT_EQ(host.Compile("twice(a) + 1"), "");
  EXPECT_EQ(host.Listing(),
            "sourcefile 'page.lms'\nlineno 12\npushnc 'a'\ncall 0\nsourcefile 'page.lms'\n"
            "lineno 12\npushc '1'\nadd\n");
  host.source_file.clear();
  host.line = 0;
  ASSERT_EQ(host.Compile("1"), "");
  EXPECT_EQ(host.Listing(), "pushc '1'\n");
}

class FakeBuiltins : public BuiltinFunctions {
 public:
  const BuiltinFunction* Find(std::string_view name) const override {
    return name == std::string_view("len") ? &len_ : nullptr;
  }

 private:
  BuiltinParameter parameters_[1] = {{"text", false}};
  BuiltinFunction len_{1, parameters_};
};

TEST(ExpressionCompiler, FunctionsOfTheCallerAndOfLibraries) {
  ExpressionHost host;
  ASSERT_TRUE(host.assembled);
  Dictionary other_dictionary;
  other_dictionary.AddEntry("padding that shifts the entry numbers");
  FunctionManager caller(&other_dictionary);
  Function* shared = caller.Add("shared", -1, Function::kExternal, -1, -1);
  const int32_t slot = shared->Locals().AddEntry("value", 5);
  shared->AddParameter(shared->Locals().EntryNameNumber(slot), FunctionParameter::kByReference,
                       slot);
  caller.Add("private_one", -1, 0, 1, 0);
  host.second_table = &caller;
  const int32_t before = host.machine.functions.Count();

  EXPECT_EQ(host.Compile("private_one()"), "Unable to find function 'private_one'");
  EXPECT_EQ(host.Compile("shared(1, 2)"),
            "Function 'shared' is defined with 1 parameters and was called with 2");
  ASSERT_EQ(host.Compile("shared(a)"), "");
  Function* copy = host.machine.functions.Find("shared");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Number(), before);
  EXPECT_TRUE(copy->IsExternal());
  ASSERT_EQ(copy->ParameterCount(), 1);
  // The parameter's name is an entry of this program's dictionary.
  EXPECT_EQ(host.machine.dictionary.EntryView(copy->Parameter(0).name), "value");
  EXPECT_TRUE(copy->Parameter(0).ByReference());
  EXPECT_EQ(host.Listing(), "pushnc 'a'\ncall " + std::to_string(before) + "\n");
  // Found in the program's own table from now on.
  ASSERT_EQ(host.Compile("shared(b)"), "");
  EXPECT_EQ(host.machine.functions.Count(), before + 1);

  EXPECT_EQ(host.Compile("len('abc')"), "Unable to find function 'len'");
  FakeBuiltins builtins;
  host.builtins = &builtins;
  EXPECT_EQ(host.Compile("len('a', 'b')"),
            "Function 'len' is defined with 1 parameters and was called with 2");
  ASSERT_EQ(host.Compile("len('abc')"), "");
  Function* declared = host.machine.functions.Find("len");
  ASSERT_NE(declared, nullptr);
  EXPECT_TRUE(declared->IsExternal());
  EXPECT_EQ(declared->ParameterCount(), 1);
  Function* in_caller = caller.Find("len");
  ASSERT_NE(in_caller, nullptr);
  EXPECT_EQ(other_dictionary.EntryView(in_caller->Parameter(0).name), "text");
  EXPECT_EQ(host.Compile("nothing(1)"), "Unable to find function 'nothing'");
}

TEST(ExpressionCompiler, DatabaseFields) {
  ExpressionHost host;
  const struct {
    const char* text;
    const char* view;
    const char* listing;
  } cases[] = {
      {"d.NAME", "shop", "pushdc 'shop', 'NAME'\n"},
      {"database.NAME", "shop", "pushdc 'shop', 'NAME'\n"},
      {"D.name", "shop", "pushdc 'shop', 'name'\n"},
      {"DataBase.x", "shop", "pushdc 'shop', 'x'\n"},
      {"d.NAME", "", "pushnc 'd.NAME'\n"},
      {"shop.d.NAME", "", "pushdc 'shop', 'NAME'\n"},
      {"stock.database.QTY", "shop", "pushdc 'stock', 'QTY'\n"},
      {"d.and", "shop", "pushdc 'shop', 'and'\n"},
      {"g.x", "shop", "pushnc 'g.x'\n"},
      {"a.b.c.d", "shop", "pushnc 'a.b.c.d'\n"},
      {"x.y.z", "shop", "pushnc 'x.y.z'\n"},
      {"d.", "shop", "pushnc 'd.'\n"},
      {"d.NAME $ 'x'", "shop", "pushdc 'shop', 'NAME'\npushc 'x'\ncat\n"},
      {"s:d", "shop", "pushnc 's'\npushc 'd'\nmemb\n"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(host.Compile(c.text, c.view), "") << c.text;
    EXPECT_EQ(host.Listing(), c.listing) << c.text << " with view '" << c.view << "'";
  }
}

TEST(ExpressionCompiler, ErrorMessages) {
  const Case cases[] = {
      {"1 +", "Argument expected in Expression"},
      {"* 2", "Argument expected in Expression"},
      {"1 + * 2", "Argument expected in Expression"},
      {"()", "Argument expected in Expression"},
      {"a[]", "Argument expected in Expression"},
      {"-", "Argument expected in Expression"},
      {"NOT", "Argument expected in Expression"},
      {"(1 + 2", "Mismatched Parenetheses in Expression"},
      {"((1)", "Mismatched Parenetheses in Expression"},
      {"twice(1", "Mismatched Parentheses found in Expression"},
      {"a[1", "Mismatched Parentheses found in Expression"},
      {"twice(')')", ""},
      {"'abc", "Mismatched Quotes found in Expression"},
      {"1 + \"abc", "Mismatched Quotes found in Expression"},
      {R"('abc\')", "Mismatched Quotes found in Expression"},
      {"#", "Invalid Argument '#' Found in expression"},
      {"1 + )", "Invalid Argument ')' Found in expression"},
      {"a#", "Invalid Argument '#' in Expression"},
      {"a'x'", "Invalid Argument ''' in Expression"},
      {"a:", "Invalid Argument ':' in Expression"},
      {"1 2", "Found additional argument '2' while looking for operator"},
      {"'a' b", "Found additional argument 'b' while looking for operator"},
      {"a)", "Invalid Argument ')' in Expression"},
      {"1)", "Found additional argument ')' while looking for operator"},
      {"(1) 2", "Found additional argument '2' while looking for operator"},
      {"twice(1)x", "Found additional argument 'x' while looking for operator"},
      {"a[1].b", "Found additional argument '.' while looking for operator"},
      {"1 NOT 2", "Invalid Operator 'NOT' Found in Expression"},
      {"a (1)", "Invalid Operator '(' Found in Expression"},
      {"(1)(2)", "Invalid Operator '(' Found in Expression"},
      {"a ISNULL", "Invalid Operator 'ISNULL' Found in Expression"},
      {"nosuch()", "Unable to find function 'nosuch'"},
      {"twice(1, 2)", "Function 'twice' is defined with 1 parameters and was called with 2"},
      {"twice(1,,2)", "Argument expected in Expression"},
      {"n++", ""},
  };
  for (const auto& c : cases) {
    ExpressionHost host;
    EXPECT_EQ(host.Compile(c.text), c.value) << c.text;
    if (*c.value != '\0') {
      EXPECT_EQ(host.segment, -1) << c.text;
    }
  }
  ExpressionHost host;
  EXPECT_EQ(host.Compile("n++", {}, 0x10008), "Invalid operator found in expression");
}

TEST(ExpressionCompiler, FailuresLeaveNoSegmentBehind) {
  ExpressionHost host;
  const int32_t before = host.machine.segments.Count();
  EXPECT_NE(host.Compile("1 +"), "");
  EXPECT_NE(host.Compile("twice(1, 2)"), "");
  EXPECT_EQ(host.machine.segments.Count(), before);
  ASSERT_EQ(host.Compile("1"), "");
  EXPECT_EQ(host.segment, before);
  EXPECT_EQ(host.machine.segments.Count(), before + 1);
}

TEST(ExpressionCompiler, DeepNestingFailsCleanly) {
  ExpressionHost host;
  const int deep = ExpressionCompiler::kMaxDepth * 4;
  const std::string too_deep = std::string(deep, '(') + "1" + std::string(deep, ')');
  EXPECT_EQ(host.Compile(too_deep), ExpressionCompiler::kTooDeepText);
  std::string nots;
  for (int i = 0; i < deep; ++i) nots += "NOT ";
  EXPECT_EQ(host.Compile(nots + "1"), ExpressionCompiler::kTooDeepText);
  std::string calls;
  for (int i = 0; i < deep; ++i) calls += "twice(";
  EXPECT_EQ(host.Compile(calls + "1" + std::string(deep, ')')), ExpressionCompiler::kTooDeepText);
  std::string indexes;
  for (int i = 0; i < deep; ++i) indexes += "a[";
  EXPECT_EQ(host.Compile(indexes + "1" + std::string(deep, ']')), ExpressionCompiler::kTooDeepText);

  const int fine = 30;
  EXPECT_EQ(host.Value(std::string(fine, '(') + "1 + 2" + std::string(fine, ')')), "3");
  std::string sum = "1";
  for (int i = 0; i < 5000; ++i) sum += " + 1";
  EXPECT_EQ(host.Value(sum), "5001");
}

}  // namespace
}  // namespace lumo
