// ReferenceVariableHash: a called program's own name table laid over the
// caller's hash.
#include <gtest/gtest.h>

#include <string>

#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "values/reference_variable_hash.h"
#include "values/system_variable_hash.h"
#include "values/variable_list.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

// The caller's globals and the called program's name table. The two
// dictionaries number the same names differently on purpose.
class ReferenceVariableHashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    caller_.SetVariable("zzz", -1, "pad", -1);
    caller_.SetVariable("yyy", -1, "pad", -1);
    caller_total_ = caller_.SetVariable("Total", -1, "100", -1);  // entry 2

    called_dictionary_.AddEntry("unrelated", -1);
    VariableHash image(&called_dictionary_);
    image.AddEntry("total", -1);    // own entry 0
    image.AddEntry("missing", -1);  // own entry 1
    MemoryStream stream;
    ASSERT_TRUE(image.Write(stream));
    ASSERT_TRUE(stream.Seek(0));
    ASSERT_TRUE(called_.Read(stream));
  }

  Dictionary caller_dictionary_;
  VariableHash caller_{&caller_dictionary_};
  Variable* caller_total_ = nullptr;
  Dictionary called_dictionary_;
  ReferenceVariableHash called_{&called_dictionary_, &caller_};
};

TEST_F(ReferenceVariableHashTest, TargetEntriesUnknownAfterRead) {
  EXPECT_EQ(called_.EntryTagOf(0), -1);
  EXPECT_EQ(called_.EntryTagOf(1), -1);
  EXPECT_NE(called_.EntryNameNumber(0), caller_.EntryNameNumber(2));
}

TEST_F(ReferenceVariableHashTest, OwnEntryNumberReachesTheCallersVariable) {
  EXPECT_EQ(called_.Index(0, false), caller_total_);
  EXPECT_EQ(called_.EntryTagOf(0), 2);  // cached target entry
  EXPECT_EQ(called_.TargetEntry(0, false), 2);
  Variable* v = nullptr;
  EXPECT_TRUE(called_.Find(&v, "TOTAL", -1, false));
  EXPECT_EQ(v, caller_total_);
  EXPECT_EQ(called_.Index(5, true), nullptr);
  EXPECT_EQ(called_.Index(-1, true), nullptr);
}

TEST_F(ReferenceVariableHashTest, GlobalTheCallerLacksIsFoundOnlyWithCreate) {
  Variable* v = reinterpret_cast<Variable*>(1);
  EXPECT_FALSE(called_.Find(&v, "missing", -1, false));
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(called_.Index(1, false), nullptr);
  EXPECT_EQ(caller_.Count(), 3);
  EXPECT_EQ(caller_.FindEntry(-1, "missing", -1), -1);

  EXPECT_TRUE(called_.Find(&v, "Missing", -1, true));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(caller_.Count(), 4);
  const int32_t added = caller_.FindEntry(-1, "missing", -1);
  ASSERT_EQ(added, 3);
  EXPECT_EQ(caller_.Index(added, false), v);
  EXPECT_EQ(S(caller_.EntryName(added)), "missing");
  EXPECT_EQ(called_.EntryTagOf(1), added);
  EXPECT_EQ(called_.Index(1, false), v);
  EXPECT_EQ(caller_.Count(), 4);
}

TEST_F(ReferenceVariableHashTest, NameOutsideOwnTableIsLookedUpInTheCaller) {
  Variable* v = nullptr;
  EXPECT_TRUE(called_.Find(&v, "yyy", -1, false));
  EXPECT_EQ(S(v->Value()), "pad");
  EXPECT_FALSE(called_.Find(&v, "nowhere", -1, true));
  EXPECT_EQ(caller_.Count(), 3);
}

TEST_F(ReferenceVariableHashTest, ChangesActOnTheCaller) {
  called_.SetVariable("fresh", -1, "f", -1);
  Variable* v = nullptr;
  EXPECT_TRUE(caller_.Find(&v, "fresh", -1, false));
  EXPECT_EQ(S(v->Value()), "f");
  EXPECT_EQ(called_.Count(), caller_.Count());

  const int32_t e = called_.AddEntry(-1, "added", -1, new Variable("added", "a"));
  EXPECT_EQ(e, caller_.FindEntry(-1, "added", -1));
  // A number of the called program's dictionary is turned into its text.
  const int32_t by_number = called_.AddEntry(called_.EntryNameNumber(0));
  EXPECT_EQ(S(caller_.EntryName(by_number)), "total");

  called_.ReplaceVariable(new Variable("TOTAL", "200"));
  EXPECT_EQ(S(caller_.Index(2, false)->Value()), "200");
  EXPECT_TRUE(called_.ClearVariable("total", -1));
  EXPECT_TRUE(caller_.Index(2, false)->IsEmpty());
  EXPECT_EQ(called_.RealHash(), &caller_);

  VariableList list;
  called_.List(list);
  EXPECT_EQ(list.Entries(), 5);
}

TEST_F(ReferenceVariableHashTest, MakeReferenceGoesToTheCallersEntry) {
  auto* target = new Variable("t", "target");
  called_.MakeReference(0, target);
  EXPECT_EQ(S(caller_.Index(2, false)->Value()), "target");
  EXPECT_EQ(caller_.Index(2, false)->StorageClass(), kStorageReference);
  called_.MakeReference(1, target);  // creates the caller's entry first
  EXPECT_EQ(caller_.Count(), 4);
  EXPECT_EQ(S(caller_.Index(3, false)->Value()), "target");
  target->Free();
}

TEST(ReferenceVariableHash, OverAReferenceHashUsesTheRealOne) {
  Dictionary dictionary;
  VariableHash caller(&dictionary);
  ReferenceVariableHash middle(&dictionary, &caller);
  ReferenceVariableHash inner(&dictionary, &middle);
  EXPECT_EQ(inner.RealHash(), &caller);
  inner.SetVariable("x", -1, "1", -1);
  EXPECT_EQ(caller.Count(), 1);
}

TEST(ReferenceVariableHash, PushAndPopActOnTheCallersSystemVariables) {
  Dictionary caller_dictionary;
  SystemVariableHash system(&caller_dictionary);
  system.SetVariable("x", -1, "1", -1);
  Dictionary called_dictionary;
  ReferenceVariableHash called(&called_dictionary, &system);
  called.Push();
  EXPECT_EQ(system.Level(), 1);
  called.SetVariable("x", -1, "2", -1);
  Variable* v = nullptr;
  ASSERT_TRUE(system.Find(&v, "x", -1, false));
  EXPECT_EQ(S(v->Value()), "2");
  EXPECT_TRUE(called.Pop());
  ASSERT_TRUE(system.Find(&v, "x", -1, false));
  EXPECT_EQ(S(v->Value()), "1");
  EXPECT_FALSE(called.Pop());

  Dictionary plain_dictionary;
  VariableHash plain(&plain_dictionary);
  ReferenceVariableHash over_plain(&called_dictionary, &plain);
  over_plain.Push();
  EXPECT_FALSE(over_plain.Pop());
}

TEST(ReferenceVariableHash, ReadAtAlsoForgetsCachedEntries) {
  Dictionary dictionary;
  VariableHash caller(&dictionary);
  caller.SetVariable("a", -1, "1", -1);
  VariableHash image(&dictionary);
  image.AddEntry("a", -1);
  MemoryStream stream;
  stream.Write("pad", 3);
  ASSERT_TRUE(image.Write(stream));
  ReferenceVariableHash called(&dictionary, &caller);
  ASSERT_TRUE(called.ReadAt(stream, 3));
  EXPECT_EQ(called.EntryTagOf(0), -1);
  EXPECT_EQ(S(called.Index(0, false)->Value()), "1");
}

}  // namespace
}  // namespace lumo
