// The machine's own compile-and-evaluate operations, as extension libraries
// and per-record features use them.
#include <gtest/gtest.h>

#include <string>

#include "tests/expr/expression_host.h"

namespace lumo {
namespace {

std::string TextOf(Variable* v) {
  if (v == nullptr) return "<null>";
  std::string text(v->Value().View());
  v->Free();
  return text;
}

TEST(DynamicExpression, CompilesAndEvaluates) {
  ExpressionHost host;
  ASSERT_TRUE(host.assembled);
  LumoVM& vm = host.machine.Vm();
  int32_t segment = -1;
  String error;
  ASSERT_TRUE(vm.CompileDynamicExpression("a * b + twice(1)", &segment, &error));
  EXPECT_EQ(TextOf(vm.ExecuteDynamicExpression(segment)), "37");
  // The same code runs again over the current values.
  ASSERT_TRUE(vm.CompileDynamicExpression("n++", &segment, &error));
  EXPECT_EQ(TextOf(vm.ExecuteDynamicExpression(segment)), "5");
  EXPECT_EQ(TextOf(vm.ExecuteDynamicExpression(segment)), "6");
  EXPECT_EQ(host.Global("n"), "7");

  ASSERT_TRUE(vm.CompileDynamicExpression("a GT 4 AND s EQ 'abc'", &segment, &error));
  EXPECT_TRUE(vm.ExecuteDynamicExpressionBoolean(segment));
  ASSERT_TRUE(vm.CompileDynamicExpression("a LT 4", &segment, &error));
  EXPECT_FALSE(vm.ExecuteDynamicExpressionBoolean(segment));
  ASSERT_TRUE(vm.CompileDynamicExpression("", &segment, &error));
  EXPECT_EQ(TextOf(vm.ExecuteDynamicExpression(segment)), "");
  EXPECT_FALSE(vm.ExecuteDynamicExpressionBoolean(segment));
  EXPECT_FALSE(vm.HasError());
}

TEST(DynamicExpression, ANamedVariableComesBackWithAReferenceOfItsOwn) {
  ExpressionHost host;
  LumoVM& vm = host.machine.Vm();
  int32_t segment = -1;
  String error;
  ASSERT_TRUE(vm.CompileDynamicExpression("s", &segment, &error));
  Variable* s = vm.ExecuteDynamicExpression(segment);
  ASSERT_NE(s, nullptr);
  Variable* global = nullptr;
  host.machine.globals.Find(&global, "s", 1, false);
  EXPECT_EQ(s, global);
  s->Free();
  EXPECT_EQ(host.Global("s"), "abc");
}

TEST(DynamicExpression, CompileFailuresReportWithoutStoppingTheRun) {
  ExpressionHost host;
  LumoVM& vm = host.machine.Vm();
  int32_t segment = -7;
  String error;
  EXPECT_FALSE(vm.CompileDynamicExpression("twice(1, 2)", &segment, &error));
  EXPECT_EQ(error.View(), "Function 'twice' is defined with 1 parameters and was called with 2");
  EXPECT_EQ(vm.LastError().View(), error.View());
  EXPECT_EQ(segment, -7);
  EXPECT_FALSE(vm.HasError());
  EXPECT_TRUE(vm.CompileDynamicExpression("1", &segment, &error));
}

TEST(DynamicExpression, ARunThatStopsGivesNothing) {
  ExpressionHost host;
  LumoVM& vm = host.machine.Vm();
  int32_t segment = -1;
  String error;
  ASSERT_TRUE(vm.CompileDynamicExpression("fail()", &segment, &error));
  EXPECT_EQ(vm.ExecuteDynamicExpression(segment), nullptr);
  EXPECT_TRUE(vm.HasError());
  EXPECT_NE(vm.LastError().View().find("Array index must be positive integer"), std::string::npos);
  // Once stopped, nothing more runs.
  ASSERT_TRUE(vm.CompileDynamicExpression("1", &segment, &error));
  EXPECT_EQ(vm.ExecuteDynamicExpression(segment), nullptr);
  EXPECT_FALSE(vm.ExecuteDynamicExpressionBoolean(segment));
}

TEST(DynamicExpression, ReportsTheMachinesPositionAndCallersFunctions) {
  // A program called by another finds the caller's functions that may be
  // called from elsewhere.
  Machine caller;
  ASSERT_TRUE(caller.Assemble(".function helper(x) flags 1\n"));
  Machine callee;
  ASSERT_TRUE(callee.Assemble("lineno 9\n"));
  LumoVM parent(Machine::kName, &caller.context, caller.Parts());
  LumoVM child(Machine::kName, &callee.context, callee.Parts(), &parent);
  child.Run();
  int32_t segment = -1;
  String error;
  ASSERT_TRUE(child.CompileDynamicExpression("helper(1)", &segment, &error)) << error.View();
  EXPECT_NE(callee.functions.Find("helper"), nullptr);
  const Segment* code = callee.segments.Segment(segment);
  ASSERT_NE(code, nullptr);
  // lineno 9 first: the expression reports the line it was compiled at.
  uint16_t word = 0;
  int32_t line = 0;
  code->ReadDword(code->ReadWord(0, &word), &line);
  EXPECT_EQ(word, kOpLineno);
  EXPECT_EQ(line, 9);
}

}  // namespace
}  // namespace lumo
