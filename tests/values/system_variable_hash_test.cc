// SystemVariableHash: levels that a called program or function pushes, and
// Pop putting back what was there before.
#include <gtest/gtest.h>

#include <string>

#include "core/base/dictionary.h"
#include "values/system_variable_hash.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

class SystemVariableHashTest : public ::testing::Test {
 protected:
  std::string Value(const char* name) {
    Variable* v = nullptr;
    if (!hash_.Find(&v, name, -1, false)) return "<no entry>";
    return v ? S(v->Value()) : "<no variable>";
  }

  Dictionary dictionary_;
  SystemVariableHash hash_{&dictionary_};
};

TEST_F(SystemVariableHashTest, SetTwiceAfterPushThenPopRestores) {
  hash_.SetVariable("x", -1, "1", -1);
  hash_.Push();
  hash_.ReplaceVariable(new Variable("x", "2"));
  hash_.ReplaceVariable(new Variable("X", "3"));
  EXPECT_EQ(Value("x"), "3");
  EXPECT_TRUE(hash_.Pop());
  EXPECT_EQ(Value("x"), "1");

  hash_.Push();
  hash_.SetVariable("x", -1, "2", -1);
  hash_.SetVariable("x", -1, "3", -1);
  EXPECT_EQ(Value("x"), "3");
  EXPECT_TRUE(hash_.Pop());
  EXPECT_EQ(Value("x"), "1");

  hash_.Push();
  const int32_t e1 = hash_.AddEntry(-1, "x", -1, new Variable("x", "2"));
  const int32_t e2 = hash_.AddEntry(-1, "X", -1, new Variable("x", "3"));
  EXPECT_EQ(e1, 0);  // the existing entry, not a second one
  EXPECT_EQ(e2, 0);
  EXPECT_EQ(hash_.Count(), 1);
  EXPECT_EQ(hash_.EntryTagOf(0), 1);
  EXPECT_EQ(Value("x"), "3");
  EXPECT_TRUE(hash_.Pop());
  EXPECT_EQ(Value("x"), "1");
  EXPECT_EQ(hash_.EntryTagOf(0), 0);
  EXPECT_EQ(hash_.Level(), 0);
}

TEST_F(SystemVariableHashTest, PopBringsBackTheVeryVariable) {
  Variable* original = hash_.SetVariable("x", -1, "1", -1);
  original->AddReference();  // a holder outside the table
  hash_.Push();
  hash_.SetVariable("x", -1, "2", -1);
  // The old variable is replaced, not written: its holders still see 1.
  EXPECT_EQ(S(original->Value()), "1");
  EXPECT_NE(hash_.Index(0, false), original);
  hash_.Pop();
  EXPECT_EQ(hash_.Index(0, false), original);
  EXPECT_EQ(original->ReferenceCount(), 2);
  original->Free();
}

TEST_F(SystemVariableHashTest, NameNewAfterPushIsEmptiedByPop) {
  hash_.SetVariable("old", -1, "o", -1);
  hash_.Push();
  hash_.SetVariable("new", -1, "n", -1);
  hash_.AddEntry(-1, "other", -1, new Variable("other", "x"));
  EXPECT_EQ(hash_.Count(), 3);
  EXPECT_EQ(hash_.EntryTagOf(1), 1);
  hash_.Pop();
  // Entries are never removed; their variables are.
  EXPECT_EQ(hash_.Count(), 3);
  EXPECT_EQ(Value("new"), "<no variable>");
  EXPECT_EQ(Value("other"), "<no variable>");
  EXPECT_EQ(hash_.EntryTagOf(1), 0);
  EXPECT_EQ(Value("old"), "o");
}

TEST_F(SystemVariableHashTest, VariableCreatedByFindIsDroppedByPop) {
  const int32_t e = hash_.AddEntry("y", -1);
  hash_.Push();
  Variable* v = nullptr;
  ASSERT_TRUE(hash_.Find(&v, "y", -1, true));
  ASSERT_NE(v, nullptr);
  v->SetValue("z", 1);
  EXPECT_EQ(hash_.Index(e, true), v);
  hash_.Pop();
  EXPECT_EQ(hash_.Index(e, false), nullptr);
}

TEST_F(SystemVariableHashTest, MakeReferenceIsUndoneByPop) {
  Variable* original = hash_.SetVariable("x", -1, "1", -1);
  auto* target = new Variable("t", "target");
  hash_.Push();
  hash_.MakeReference(0, target);
  EXPECT_EQ(Value("x"), "target");
  EXPECT_EQ(target->ReferenceCount(), 2);
  hash_.Pop();
  EXPECT_EQ(hash_.Index(0, false), original);
  EXPECT_EQ(Value("x"), "1");
  EXPECT_EQ(target->ReferenceCount(), 1);
  target->Free();
}

TEST_F(SystemVariableHashTest, PopAtLevelZeroChangesNothing) {
  hash_.SetVariable("x", -1, "1", -1);
  EXPECT_FALSE(hash_.Pop());
  EXPECT_EQ(hash_.Level(), 0);
  EXPECT_EQ(Value("x"), "1");
  hash_.Push();
  EXPECT_TRUE(hash_.Pop());
  EXPECT_FALSE(hash_.Pop());
  EXPECT_EQ(Value("x"), "1");
  EXPECT_EQ(hash_.Count(), 1);
}

TEST_F(SystemVariableHashTest, LevelZeroBehavesAsAPlainHash) {
  Variable* x = hash_.SetVariable("x", -1, "1", -1);
  EXPECT_EQ(hash_.SetVariable("x", -1, "2", -1), x);  // stored in place
  EXPECT_EQ(hash_.AddEntry(-1, "x", -1, new Variable("x", "second")), 1);
  EXPECT_EQ(hash_.Count(), 2);
  EXPECT_EQ(Value("x"), "2");  // the first entry is still the one found
}

TEST_F(SystemVariableHashTest, NestedLevelsUnwindOneAtATime) {
  hash_.SetVariable("x", -1, "1", -1);
  hash_.Push();
  hash_.SetVariable("x", -1, "2", -1);
  hash_.SetVariable("only2", -1, "a", -1);
  hash_.Push();
  EXPECT_EQ(hash_.Level(), 2);
  hash_.SetVariable("x", -1, "3", -1);
  hash_.SetVariable("only2", -1, "b", -1);
  hash_.AddEntry(-1, "x", -1, new Variable("x", "4"));
  EXPECT_EQ(hash_.EntryTagOf(0), 2);
  EXPECT_EQ(Value("x"), "4");
  EXPECT_TRUE(hash_.Pop());
  EXPECT_EQ(Value("x"), "2");
  EXPECT_EQ(Value("only2"), "a");
  EXPECT_TRUE(hash_.Pop());
  EXPECT_EQ(Value("x"), "1");
  EXPECT_EQ(Value("only2"), "<no variable>");
  EXPECT_FALSE(hash_.Pop());
}

TEST(SystemVariableHash, DestroyedWithPushedLevelsReleasesEverything) {
  Dictionary dictionary;
  auto* outside = new Variable("held", "h");
  {
    SystemVariableHash hash(&dictionary);
    outside->AddReference();
    hash.Insert(outside);
    hash.Push();
    hash.SetVariable("held", -1, "replaced", -1);
    hash.SetVariable("a", -1, "1", -1);
    hash.Push();
    hash.ReplaceVariable(new Variable("a", "2"));
    hash.MakeReference(0, outside);
    EXPECT_EQ(outside->ReferenceCount(), 3);
  }
  // Saved records were released, not restored (leak checking shows the
  // rest).
  EXPECT_EQ(outside->ReferenceCount(), 1);
  outside->Free();
}

}  // namespace
}  // namespace lumo
