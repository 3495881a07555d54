// Arrays and structures: the element tree, the element operations of
// Variable, the flattened text, the debug description and the element
// lists handed to extension libraries.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "values/aggregate.h"
#include "values/variable.h"
#include "values/variable_list.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

Variable* At(Variable* v, int32_t index) { return v->Element(AggregateIndex(index), false); }

TEST(AggregateElement, MemberNamesIgnoreCaseAndNegativeIndexIsZero) {
  Held s = Make("{b=b,City=City,abc=abc,A=A}"), a = Make("[]");
  EXPECT_EQ(s->Element(AggregateIndex("CITY"), true), s->Element(AggregateIndex("city"), false));
  EXPECT_EQ(Dump(s.get()), "A=A abc=abc b=b City=City");
  a->Element(AggregateIndex(-5), true)->SetValue("z", 1); EXPECT_EQ(Dump(a.get()), "0=z");
  EXPECT_EQ(At(a.get(), -1), At(a.get(), 0));
}

// A scalar loses its value, and an aggregate its elements, when an element
// of the other kind is created or stored; looking one up changes nothing.
TEST(AggregateElement, CreatingTheOtherKindDiscardsEverything) {
  Held s = Make("scalar"), x = Make("x"), y = Make("y");
  EXPECT_EQ(At(s.get(), 1), nullptr);
  EXPECT_EQ(V(s.get()), "scalar");
  s->Element(AggregateIndex("a"), true)->SetValue("1", 1);
  EXPECT_EQ(std::to_string(s->ValidForms()) + std::to_string(s->Aggregate_Type()), "00");
  EXPECT_EQ(At(s.get(), 1), nullptr);
  s->Element(AggregateIndex(1), true)->SetValue("3", 1);
  EXPECT_EQ(std::to_string(s->Aggregate_Type()) + " " + Dump(s.get()), "1 1=3");
  s->Element(AggregateIndex("c"), true);
  EXPECT_EQ(std::to_string(s->Aggregate_Type()) + " " + Dump(s.get()), "0 c=");
  // Set_Element shares; replacing releases. An element stored under the
  // other kind survives the tree it came from.
  s->Set_Element(AggregateIndex(1), x.get()); EXPECT_EQ(At(s.get(), 1), x.get());
  EXPECT_EQ(x->ReferenceCount(), 2);
  s->Set_Element(AggregateIndex(1), y.get()); s->Set_Element(AggregateIndex(1), y.get());
  EXPECT_EQ(Counts({x.get(), y.get()}), "1 2");
  Variable* element = s->Element(AggregateIndex(2), true);
  element->SetValue("kept", -1); s->Set_Element(AggregateIndex("k"), element);
  EXPECT_EQ(Dump(s.get()) + " " + Counts({element, y.get()}), "k=kept 1 1");
}

// Each case does one thing to "[v1,v2,v3,v4,v5]". i: insert "X" at a.
// d: delete b indexes from a; e: delete element a; shifting down when c.
// c, m: copy or merge b elements from a to c within the array. s: merge b
// elements of a scalar, which gives nothing.
TEST(AggregateOperations, ShiftDeleteCopyAndMergeOnOneArray) {
  const struct { char op; int32_t a, b, c; const char* left; } cases[] = {
      {'i', 2, 0, 0, "1=v1 2=X 3=v2 4=v3 5=v4 6=v5"},
      {'i', 0, 0, 0, "1=v1 2=v2 3=v3 4=v4 5=v5 6=X"},
      {'i', -3, 0, 0, "1=v1 2=v2 3=v3 4=v4 5=v5 6=X"},
      {'d', 2, 2, 1, "1=v1 2=v4 3=v5"},
      {'d', 2, 2, 0, "1=v1 4=v4 5=v5"},
      {'d', 3, -1, 1, "1=v1 2=v2"},
      {'d', 0, -1, 0, ""},
      {'e', 2, 0, 0, "1=v1 3=v3 4=v4 5=v5"},
      {'e', 2, 0, 1, "1=v1 2=v3 3=v4 4=v5"},
      // Within one array every element is read before anything is written.
      {'c', 1, 3, 2, "1=v1 2=v1 3=v2 4=v3 5=v5"},
      {'c', 3, 3, 1, "1=v3 2=v4 3=v5 4=v4 5=v5"},
      {'c', 4, -1, 0, "1=v1 2=v2 3=v3 4=v4 5=v5 6=v4 7=v5"},
      {'c', 1, 3, 1, "1=v1 2=v2 3=v3 4=v4 5=v5"},
      {'m', 1, 2, 4, "1=v1 2=v2 3=v3 4=v1 5=v2 6=v4 7=v5"},
      {'m', 3, 2, 1, "1=v3 2=v4 3=v1 4=v2 5=v3 6=v4 7=v5"},
      {'m', 2, 3, 3, "1=v1 2=v2 3=v2 4=v3 5=v4 6=v3 7=v4 8=v5"},
      {'m', 4, -1, 0, "1=v1 2=v2 3=v3 4=v4 5=v5 6=v4 7=v5"},
      {'s', 1, 2, 2, "1=v1 4=v2 5=v3 6=v4 7=v5"}};
  for (const auto& c : cases) {
    Held a = Make("[v1,v2,v3,v4,v5]"), x = Make("X");
    switch (c.op) {
      case 'i': a->Insert_Array_Element(c.a, x.get()); break;
      case 'd': a->Delete_Array_Elements(c.a, c.b, c.c != 0); break;
      case 'e': a->Delete_Element(AggregateIndex(c.a), c.c != 0); break;
      case 'c': a->Array_Copy(a.get(), c.a, c.b, c.c, false); break;
      default: a->Array_Merge(c.op == 'm' ? a.get() : x.get(), c.a, c.b, c.c, false);
    }
    EXPECT_EQ(Dump(a.get()) + "|" + std::to_string(a->Aggregate_Type()), c.left + std::string("|1"))
        << c.op << " " << c.a << " " << c.b << " " << c.c;
  }
  // Shared elements stay the same variables; copies are fresh ones.
  Held a = Make("[v1,v2,v3,v4,v5]");
  Variable* v1 = At(a.get(), 1);
  a->Array_Copy(a.get(), 1, 3, 2, false); EXPECT_EQ(At(a.get(), 2), v1);
  a->Array_Copy(a.get(), 1, 3, 1, true); EXPECT_NE(At(a.get(), 1), v1);
  // The key handed in may be that of the element that goes.
  a->Delete_Element(a->Elements()->Find(AggregateIndex(3))->Index(), true);
  a->Delete_Element(AggregateIndex("1"), true);  // the wrong kind of key
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v1 3=v3 4=v5");
}

TEST(AggregateOperations, SparseOtherKindsAndReleasedElements) {
  // Ranges count indexes, not elements; deleted elements are released.
  Held s = Make("[1=1,5=5,6=6,9=9,20=20]"), x = Make("X"), st = Make("{a=a,B=B,c=c}");
  s->Set_Element(AggregateIndex(6), x.get()); s->Delete_Array_Elements(4, 10, true);
  EXPECT_EQ(Dump(s.get()) + " " + Counts({x.get()}), "1=1 10=20 1");
  st->Delete_Element(AggregateIndex(0), true); st->Delete_Element(AggregateIndex("b"), true);
  EXPECT_EQ(Dump(st.get()), "a=a c=c");
  // Inserting into anything but an array makes a new array.
  Held scalar = Make("scalar");
  st->Insert_Array_Element(5, x.get()); scalar->Insert_Array_Element(0, x.get());
  EXPECT_EQ(Dump(st.get()) + " " + Dump(scalar.get()) + " " + Counts({x.get()}), "5=X 1=X 3");
}

TEST(ArrayCopyAndMerge, SharedOrCopiedRangesAndDefaults) {
  Held source = Make("[v1,v2,v3]"), shared = Make(""), copied = Make(""), merged = Make("[x,y]");
  shared->Array_Copy(source.get(), 1, -1, 1, false);
  copied->Array_Copy(source.get(), 1, -1, 1, true);
  merged->Array_Merge(source.get(), 0, -1, 2, false);  // start 0: the first index; -1: to the end
  EXPECT_EQ(At(shared.get(), 1), At(source.get(), 1));
  EXPECT_EQ(At(merged.get(), 2), At(source.get(), 1));
  EXPECT_EQ(At(source.get(), 1)->ReferenceCount(), 3);
  At(source.get(), 2)->SetValue("changed", -1);
  EXPECT_EQ(Dump(shared.get()) + " | " + Dump(copied.get()),
            "1=v1 2=changed 3=v3 | 1=v1 2=v2 3=v3");
  EXPECT_EQ(Dump(merged.get()), "1=x 2=v1 3=changed 4=v3 5=y");  // room made, nothing lost
  // Destination 0 appends; a missing index is skipped; a reference is followed.
  Held sparse = Make("[3=3,4,6=6]"), d = Make("scalar");
  d->Array_Copy(sparse.get(), 0, 2, 1, false);
  d->Array_Copy(Held(new ReferenceVariable("r", sparse.get())).get(), 3, -1, 0, false);
  d->Array_Copy(sparse.get(), 5, 1, 1, false); d->Array_Merge(sparse.get(), 6, 1, 0, true);
  EXPECT_EQ(Dump(d.get()), "1=3 2=4 3=3 4=4 6=6 7=6");
  EXPECT_NE(At(d.get(), 7), At(sparse.get(), 6));
  // A source that is not an array gives nothing; the destination is an
  // array all the same.
  Held f = Make("scalar");
  f->Array_Copy(Make("{m=m}").get(), 1, 1, 1, false);
  EXPECT_EQ(std::to_string(f->Aggregate_Type()) + std::to_string(f->ElementsUsed()), "10");
}

TEST(ArrayCopyAndMerge, SharingNeverMakesAnArrayHoldItself) {
  // The source holds the destination: sharing its elements would make a
  // loop that nothing releases (LeakSanitizer would see it at exit).
  Held outer = Make("[a]"), inner = Make("[b]");
  outer->Set_Element(AggregateIndex(2), inner.get());
  Held alias(new ReferenceVariable("r", outer.get()));
  inner->Array_Copy(outer.get(), 1, -1, 1, false);
  inner->Array_Merge(alias.get(), 1, -1, 1, false);
  EXPECT_EQ(Dump(inner.get()), "1=b");
  // Copies hold no loop; and an array may still share its own elements.
  inner->Array_Merge(outer.get(), 1, 1, 0, true);
  inner->Array_Copy(inner.get(), 1, 1, 3, false);
  EXPECT_EQ(Dump(inner.get()), "1=b 2=a 3=b");
  EXPECT_EQ(At(inner.get(), 3), At(inner.get(), 1));
}

TEST(AggregateTree, RenumberMovesOnlyIndexesFromTheStart) {
  AggregateElementTree tree;
  for (int i = 0; i < 300; ++i) tree.Insert(new AggregateElement(AggregateIndex(i * 7 % 300 + 1)));
  tree.InOrder([](AggregateElement* e) { e->Index().Text(); });  // cache every text
  tree.Renumber(5, 3);
  tree.Renumber(304, 5);  // nothing at or above
  std::string keys, expected;
  tree.InOrder([&keys](AggregateElement* e) { keys += S(e->Index().Text()) + " "; });
  for (int k = 1; k <= 300; ++k) expected += std::to_string(k < 5 ? k : k + 3) + " ";
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(tree.Find(AggregateIndex(6)), nullptr);
  EXPECT_EQ(tree.Find(AggregateIndex(303))->Index().Number(), 303);
}

// An element pushed past the largest index leaves the array instead of
// wrapping round and breaking the order.
TEST(AggregateTree, ShiftingPastTheLargestIndexDropsTheElement) {
  Held a = Make("[5=five,2147483647=top]"), x = Make("new"), b = Make("[m]");
  a->Insert_Array_Element(1, x.get()); EXPECT_EQ(Dump(a.get()), "1=new 6=five");
  a->Element(AggregateIndex(INT32_MAX - 1), true)->SetValue("near", 4);
  a->Array_Merge(b.get(), 1, 1, 2, false);  // everything from 2 up moves by 1
  EXPECT_EQ(Dump(a.get()), "1=new 2=m 7=five 2147483647=near");
}

// Insert, Remove, Next and the walks are the splay tree's, checked against
// std::set where it is defined. Here Renumber, between inserts and removals
// on trees below and above the walks' switch at 100 elements.
TEST(AggregateTree, RandomRenumberingMatchesAnOrderedMap) {
  std::mt19937 random(20240611);
  AggregateElementTree tree;
  std::map<int, AggregateElement*> model;
  for (int op = 0; op < 6000; ++op) {
    const int key = static_cast<int>(random() % 3000), what = static_cast<int>(random() % 100);
    if (what < 55) {
      if (model.count(key) == 0) tree.Insert(model[key] = new AggregateElement(AggregateIndex(key)));
    } else if (what < 95) {
      AggregateElement* removed = tree.Remove(AggregateIndex(key));
      ASSERT_EQ(removed, model.count(key) ? model[key] : nullptr);
      model.erase(key), delete removed;
    } else {
      const int delta = 1 + static_cast<int>(random() % 3);
      tree.Renumber(key, delta);
      std::map<int, AggregateElement*> moved;
      for (auto& [k, e] : model) moved[k >= key ? k + delta : k] = e;
      model.swap(moved);
    }
    if (op % 97 != 0 && op != 5999) continue;
    std::vector<AggregateElement*> in_order, expected;
    tree.InOrder([&in_order](AggregateElement* e) { in_order.push_back(e); });
    for (auto& [k, e] : model) {
      expected.push_back(e);
      ASSERT_EQ(tree.Find(AggregateIndex(k)), e) << k;
    }
    ASSERT_EQ(in_order, expected);
  }
  EXPECT_GT(tree.Count(), 100);
}

TEST(AggregateWalk, NextPreviousMaxMin) {
  auto walk = [](const Held& v) {
    std::string out = std::to_string(v->Array_Min()) + ".." + std::to_string(v->Array_Max()) + " >";
    for (int32_t i : {-7, 0, 2, 3, 5, 9}) out.append(" ").append(std::to_string(v->Array_Next(i)));
    out += " <";
    for (int32_t i : {100, 9, 6, 2}) out.append(" ").append(std::to_string(v->Array_Previous(i)));
    return out;
  };
  EXPECT_EQ(walk(Make("x")), "0..0 > 0 0 0 0 0 0 < 0 0 0 0");
  EXPECT_EQ(walk(Make("[]")), "0..0 > 0 0 0 0 0 0 < 0 0 0 0");
  EXPECT_EQ(walk(Make("{m=}")), "-1..-1 > -1 -1 -1 -1 -1 -1 < -1 -1 -1 -1");
  EXPECT_EQ(walk(Make("[9=,2=,5=]")), "2..9 > 2 2 5 5 9 0 < 9 5 5 0");
}

TEST(AggregateText, CommasBetweenLeavesOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"[a,b]", "a,b"}, {"[,b]", "b"}, {"[a,]", "a,"}, {"[a,,]", "a,,"},
      {"[a,[b,[c]],d]", "a,b,c,d"}, {"{b=2,A=1.5}", "1.5,2"}};
  for (auto [shape, text] : cases) {
    EXPECT_EQ(V(Make(shape).get()), text) << shape;
  }
  // Rebuilt on every reading; an element referring to an array is flattened
  // through it.
  Held outer = Make("[x]"), inner = Make("[b,[c]]");
  outer->Set_Element(AggregateIndex(2), Held(new ReferenceVariable("r", inner.get())).get());
  EXPECT_EQ(V(outer.get()), "x,b,c");
  At(inner.get(), 1)->SetValue("B", 1); EXPECT_EQ(V(outer.get()), "x,B,c");
}

std::string Describe(Variable* v) {
  String out("=");  // appended to
  v->Describe(out);
  return S(out);
}

TEST(AggregateDescribe, OneLevelDeepAndScalarsByStoredForm) {
  EXPECT_EQ(Describe(Make("{a=1,b=[deep,],c={x=}}").get()),
            "={ a: 1, b: <array>[2], c: <structure> }");
  Held a = Make("[2=3,7=a\tb]"), v = Make("");
  EXPECT_EQ(Describe(Held(new ReferenceVariable("r", a.get())).get()), "=[7] = [ 3,a\\x09b ]");
  EXPECT_EQ(Describe(v.get()), "=");
  v->SetValue("a\n\0b", 4); EXPECT_EQ(Describe(v.get()), "=a\\x0a\\x00b");
  v->SetValue_Double(1e21); EXPECT_EQ(Describe(v.get()), "=1000000000000000000000");
  v->SetValue_Integer(-7); EXPECT_EQ(Describe(v.get()), "=-7");
}

// 200,000 levels overflow the stack of any recursive walk under ASan.
TEST(AggregateDepth, DeepAndWideTreesCopyFlattenAndFreeWithoutRecursion) {
  constexpr int kDepth = 200000;
  Held top = Make(""), assigned = Make("");
  Variable* v = top.get();
  for (int i = 0; i < kDepth; ++i) v = v->Element(AggregateIndex(1), true);
  v->SetValue("leaf", 4); EXPECT_TRUE(top->Value_Boolean());
  Held copy(new Variable(*top));
  Variable* c = copy.get();
  for (int i = 0; i < kDepth && c != nullptr; ++i) c = At(c, 1);
  ASSERT_NE(c, nullptr);
  c->SetValue("changed", -1); EXPECT_EQ(V(top.get()) + V(copy.get()), "leafchanged");
  assigned->SetValue_Variable(top.get()); EXPECT_EQ(V(assigned.get()), "leaf");
  assigned->SetValue("flat", 4);  // tears the copy down inside a store
  copy->Clear();
  Held wide = Make("[]");
  std::mt19937 random(7);
  for (int i = 0; i < 500; ++i) {
    wide->Element(AggregateIndex(random() % 5000), true)->SetValue_Integer(i);
  }
  EXPECT_EQ(Dump(Held(new Variable(*wide)).get()), Dump(wide.get()));
  // A structure large enough for a name index keeps its later names out of
  // the tree until an ordered walk: a copy must take them too.
  Held members = Make("");
  for (int i = 0; i < 40; ++i) {
    members->Element(AggregateIndex(std::string("m").append(std::to_string(i))), true)->SetValue_Integer(i);
  }
  Held copied(new Variable(*members));
  EXPECT_EQ(copied->ElementsUsed(), 40);
  EXPECT_EQ(Dump(copied.get()), Dump(members.get()));
}

TEST(AggregateCycle, SelfContainingArrayDoesNotHang) {
  Held a = Make("[x]"), shared = Make("[p,q]"), twice = Make("");
  a->Set_Element(AggregateIndex(2), a.get()); EXPECT_EQ(V(a.get()), "x");
  EXPECT_TRUE(a->Value_Boolean());
  Held copy(new Variable(*a));
  EXPECT_EQ(V(At(copy.get(), 1)), "x");
  ASSERT_NE(At(copy.get(), 2), nullptr);
  EXPECT_NE(At(copy.get(), 2), a.get());
  EXPECT_EQ(At(copy.get(), 2)->Elements(), nullptr);
  a->Delete_Element(AggregateIndex(2), false);  // or the count never reaches zero
  EXPECT_EQ(a->ReferenceCount(), 1);
  // A shared but acyclic element is walked every time.
  twice->Set_Element(AggregateIndex(1), shared.get());
  twice->Set_Element(AggregateIndex(2), shared.get());
  Held twice_copy(new Variable(*twice));
  EXPECT_EQ(V(twice_copy.get()), "p,q,p,q");
  EXPECT_NE(At(twice_copy.get(), 1), At(twice_copy.get(), 2));
}

TEST(AggregateCycle, TwoArraysHoldingEachOther) {
  Held a = Make("[x]"), b = Make("[y]"), copy = Make("");
  a->Set_Element(AggregateIndex(2), b.get()); b->Set_Element(AggregateIndex(2), a.get());
  EXPECT_EQ(V(a.get()) + " " + V(b.get()), "x,y y,x");
  copy->SetValue_Variable(a.get()); EXPECT_EQ(V(At(At(copy.get(), 2), 1)), "y");
  EXPECT_NE(At(copy.get(), 2), b.get());
  a->SetValue_Variable(b.get());  // the source holds the destination
  EXPECT_EQ(V(At(a.get(), 1)), "y");
  EXPECT_NE(At(a.get(), 2), a.get());
  b->Delete_Element(AggregateIndex(2), false); EXPECT_EQ(Counts({a.get(), b.get()}), "1 1");
}

TEST(VariableList, HoldsOneReferencePerInsertAndFindsWholeNamesIgnoringCase) {
  Held v(new Variable("a", "1"));
  {
    VariableList list;
    list.Insert(v.get()); list.Insert(v.get()); EXPECT_EQ(v->ReferenceCount(), 3);
    list.RemoveAndRelease(VariableList::kHead);
    EXPECT_EQ(std::to_string(list.Entries()) + " " + Counts({v.get()}), "1 2");
  }
  EXPECT_EQ(v->ReferenceCount(), 1);
  VariableList list;
  for (const char* name : {"abc", "Ab", "AB"}) list.Insert(Make(name, name).get());
  EXPECT_EQ(V(list.Find("ab")), "Ab");  // the first of two
  EXPECT_EQ(V(list.Current()), "Ab");
  EXPECT_EQ(V(list.Find("abcdef", 3)), "abc");
  EXPECT_EQ(list.Find("a"), nullptr);
  EXPECT_EQ(list.Find("abcd"), nullptr);
  EXPECT_EQ(list.Find(static_cast<const char*>(nullptr)), nullptr);
  Variable* ab = list.Find("ab");
  EXPECT_EQ(list.SetVariable("aB", -1, "2x", 1), ab);
  Variable* b = list.SetVariable("bcd", 1, "xyz", 2);
  EXPECT_EQ(list.Last(), b);
  EXPECT_EQ(S(b->Name()) + V(b) + V(ab) + Counts({b}) + std::to_string(list.Entries()), "bxy214");
  list.Dump(); EXPECT_EQ(list.Entries(), 0);
}

TEST(VariableList, AggregateListGivesNamedReferences) {
  Held array = Make("[one,3=three]"), structure = Make("{Zeta=,alpha=}"), scalar = Make("1");
  Variable* third = At(array.get(), 3);
  {
    VariableList list;
    array->Aggregate_List(list); ASSERT_EQ(list.Entries(), 2);
    EXPECT_EQ(list.First()->StorageClass(), kStorageReference);
    EXPECT_EQ(S(list.First()->Name()) + V(list.First()), "1one");
    Variable* last = list.Next();
    last->SetValue("changed", -1);
    EXPECT_EQ(S(last->Name()) + V(third) + Counts({third}), "3changed2");
  }
  EXPECT_EQ(third->ReferenceCount(), 1);
  VariableList members;
  structure->Aggregate_List(members); scalar->Aggregate_List(members);
  ASSERT_EQ(members.Entries(), 2);
  const std::string first = S(members.First()->Name());
  EXPECT_EQ(first + S(members.Next()->Name()), "alphaZeta");
}

}  // namespace
}  // namespace lumo
