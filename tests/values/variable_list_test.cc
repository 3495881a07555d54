// VariableList: the reference-holding list handed to extension libraries,
// and the list of an aggregate's elements.
#include <gtest/gtest.h>

#include <string>

#include "values/variable.h"
#include "values/variable_list.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

TEST(VariableList, HoldsOneReferencePerInsert) {
  auto* v = new Variable("a", "1");
  {
    VariableList list;
    list.Insert(v);
    list.Insert(v);
    EXPECT_EQ(v->ReferenceCount(), 3);
    EXPECT_EQ(list.Entries(), 2);
    list.RemoveAndRelease(VariableList::kHead);
    EXPECT_EQ(v->ReferenceCount(), 2);
    EXPECT_EQ(list.Entries(), 1);
  }
  EXPECT_EQ(v->ReferenceCount(), 1);
  v->Free();

  auto* w = new Variable("w");
  VariableList list;
  list.Insert(w);
  w->Free();  // the list's reference is the only one left
  list.Dump();
  EXPECT_EQ(list.Entries(), 0);
}

TEST(VariableList, FindComparesWholeNamesWithoutCase) {
  VariableList list;
  for (const char* name : {"abc", "Ab", "AB", "x"}) {
    auto* v = new Variable(name, name);
    list.Insert(v);
    v->Free();
  }
  EXPECT_EQ(S(list.Find("ab")->Value()), "Ab");  // the first of two
  EXPECT_EQ(S(list.Current()->Value()), "Ab");
  EXPECT_EQ(S(list.Find("ABC", -1)->Value()), "abc");
  EXPECT_EQ(S(list.Find("abcdef", 3)->Value()), "abc");
  EXPECT_EQ(list.Find("a"), nullptr);
  EXPECT_EQ(list.Find("abcd"), nullptr);
  EXPECT_EQ(list.Find(static_cast<const char*>(nullptr)), nullptr);
}

TEST(VariableList, SetVariableFindsOrAppends) {
  VariableList list;
  Variable* a = list.SetVariable("a", -1, "1", -1);
  EXPECT_EQ(a->ReferenceCount(), 1);
  EXPECT_EQ(list.SetVariable("A", -1, "2", 1), a);
  EXPECT_EQ(S(a->Value()), "2");
  Variable* b = list.SetVariable("bcd", 1, "xyz", 2);
  EXPECT_EQ(S(b->Name()), "b");
  EXPECT_EQ(S(b->Value()), "xy");
  EXPECT_EQ(list.Entries(), 2);
  EXPECT_EQ(list.Last(), b);
}

TEST(VariableList, AggregateListGivesNamedReferences) {
  auto* array = new Variable("a");
  array->Element(AggregateIndex(1), true)->SetValue("one", -1);
  array->Element(AggregateIndex(3), true)->SetValue("three", -1);
  Variable* third = array->Element(AggregateIndex(3), false);
  {
    VariableList list;
    array->Aggregate_List(list);
    ASSERT_EQ(list.Entries(), 2);
    Variable* first = list.First();
    EXPECT_EQ(S(first->Name()), "1");
    EXPECT_EQ(first->StorageClass(), kStorageReference);
    EXPECT_EQ(S(first->Value()), "one");
    Variable* last = list.Next();
    EXPECT_EQ(S(last->Name()), "3");
    EXPECT_EQ(last->RealIdentity(), third);
    EXPECT_EQ(third->ReferenceCount(), 2);
    last->SetValue("changed", -1);
    EXPECT_EQ(S(third->Value()), "changed");
  }
  EXPECT_EQ(third->ReferenceCount(), 1);

  auto* structure = new Variable("s");
  structure->Element(AggregateIndex("Zeta"), true);
  structure->Element(AggregateIndex("alpha"), true);
  VariableList members;
  structure->Aggregate_List(members);
  ASSERT_EQ(members.Entries(), 2);
  EXPECT_EQ(S(members.First()->Name()), "alpha");
  EXPECT_EQ(S(members.Next()->Name()), "Zeta");
  EXPECT_NE(members.Find("ZETA"), nullptr);

  Variable scalar("x", "1");
  scalar.Aggregate_List(members);
  EXPECT_EQ(members.Entries(), 2);
  members.Dump();
  structure->Free();
  array->Free();
}

}  // namespace
}  // namespace lumo
