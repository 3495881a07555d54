// Arrays and structures: keys, the element tree, the element operations of
// Variable, the flattened text and the debug description.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "values/aggregate.h"
#include "values/variable.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

// An array whose elements 1..n hold the texts "v1".."vn".
Held Array(int n) {
  Held a(new Variable("a"));
  a->Make_Aggregate(kAggregateArray);
  for (int i = 1; i <= n; ++i) {
    std::string text = "v" + std::to_string(i);
    a->Element(AggregateIndex(i), true)->SetValue(text.data(), static_cast<int32_t>(text.size()));
  }
  return a;
}

// "index=value" for every element, in key order.
std::string Dump(Variable* v) {
  std::string out;
  if (v->Elements() == nullptr) return out;
  v->Elements()->InOrder([&out](AggregateElement* e) {
    if (!out.empty()) out += ' ';
    out += S(e->Index().Text()) + "=" + S(e->Variable()->Value());
  });
  return out;
}

Variable* At(Variable* v, int32_t index) { return v->Element(AggregateIndex(index), false); }

// --- Keys --------------------------------------------------------------------

TEST(AggregateIndex, OrderAndText) {
  EXPECT_EQ(AggregateIndex(-5).Number(), 0);
  EXPECT_TRUE(AggregateIndex(0).IsNumber());
  EXPECT_FALSE(AggregateIndex("name").IsNumber());
  EXPECT_FALSE(AggregateIndex().IsNumber());

  EXPECT_LT(AggregateIndex(2).Compare(AggregateIndex(10)), 0);
  EXPECT_GT(AggregateIndex(10).Compare(AggregateIndex(2)), 0);
  EXPECT_EQ(AggregateIndex(7).Compare(AggregateIndex(7)), 0);
  // Names sort before every number, even 0, whatever their text.
  EXPECT_LT(AggregateIndex("zzz").Compare(AggregateIndex(0)), 0);
  EXPECT_GT(AggregateIndex(0).Compare(AggregateIndex("zzz")), 0);
  EXPECT_EQ(AggregateIndex("City").Compare(AggregateIndex("cITY")), 0);
  EXPECT_LT(AggregateIndex("ab").Compare(AggregateIndex("ABC")), 0);
  EXPECT_GT(AggregateIndex("b").Compare(AggregateIndex("ABC")), 0);
  EXPECT_LT(AggregateIndex("").Compare(AggregateIndex("a")), 0);

  AggregateIndex key(12);
  EXPECT_EQ(S(key.Text()), "12");
  key.SetNumber(13);
  EXPECT_EQ(S(key.Text()), "13");
  key.SetNumber(-1);
  EXPECT_EQ(key.Number(), 0);
  EXPECT_EQ(S(AggregateIndex("Name").Text()), "Name");
}

// --- Element lookup and kinds ---------------------------------------------

TEST(AggregateElement, MemberNamesIgnoreCase) {
  Held s(new Variable("s"));
  s->Element(AggregateIndex("City"), true)->SetValue("Oslo", -1);
  EXPECT_EQ(s->Element(AggregateIndex("CITY"), true), s->Element(AggregateIndex("city"), false));
  EXPECT_EQ(s->ElementsUsed(), 1);
  EXPECT_EQ(S(s->Element(AggregateIndex("cItY"), false)->Value()), "Oslo");
  EXPECT_EQ(s->Aggregate_Type(), kAggregateStructure);
}

TEST(AggregateElement, NegativeIndexIsZero) {
  Held a(new Variable("a"));
  a->Element(AggregateIndex(-5), true)->SetValue("z", 1);
  EXPECT_EQ(a->Array_Min(), 0);
  EXPECT_EQ(S(At(a.get(), 0)->Value()), "z");
  EXPECT_EQ(At(a.get(), -1), At(a.get(), 0));
}

TEST(AggregateElement, CreatingTheOtherKindDiscardsEverything) {
  Held s(new Variable("s"));
  s->Element(AggregateIndex("a"), true)->SetValue("1", 1);
  s->Element(AggregateIndex("b"), true)->SetValue("2", 1);
  // Without create the wrong kind is just not found.
  EXPECT_EQ(At(s.get(), 1), nullptr);
  EXPECT_EQ(s->ElementsUsed(), 2);
  EXPECT_EQ(s->Aggregate_Type(), kAggregateStructure);

  ASSERT_NE(s->Element(AggregateIndex(1), true), nullptr);
  EXPECT_EQ(s->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(s->ElementsUsed(), 1);
  EXPECT_EQ(s->Element(AggregateIndex("a"), false), nullptr);

  s->Element(AggregateIndex("c"), true);
  EXPECT_EQ(s->Aggregate_Type(), kAggregateStructure);
  EXPECT_EQ(s->ElementsUsed(), 1);

  Held shared(new Variable("x", "x"));
  s->Set_Element(AggregateIndex(3), shared.get());
  EXPECT_EQ(s->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(Dump(s.get()), "3=x");
}

TEST(AggregateElement, ScalarLosesItsValueWhenItGetsElements) {
  Held v(new Variable("v", "scalar"));
  EXPECT_EQ(At(v.get(), 1), nullptr);
  EXPECT_EQ(S(v->Value()), "scalar");
  v->Element(AggregateIndex(1), true);
  EXPECT_EQ(v->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(v->ValueType(), kValueNone);
  EXPECT_EQ(v->ValidForms(), 0);
  EXPECT_EQ(S(v->Value()), "");

  const AggregateIndex path[] = {AggregateIndex(1), AggregateIndex("m"), AggregateIndex(4)};
  Variable* leaf = v->Element_Path(path, 3, true);
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(v->Element_Path(path, 3, false), leaf);
  const AggregateIndex missing[] = {AggregateIndex(1), AggregateIndex("n"), AggregateIndex(4)};
  EXPECT_EQ(v->Element_Path(missing, 3, false), nullptr);
  EXPECT_EQ(v->Element_Path(path, 0, false), v.get());
}

TEST(AggregateElement, SetElementSharesAndReplaces) {
  Held a(new Variable("a"));
  Held x(new Variable("x", "x"));
  Held y(new Variable("y", "y"));
  a->Set_Element(AggregateIndex(1), x.get());
  EXPECT_EQ(At(a.get(), 1), x.get());
  EXPECT_EQ(x->ReferenceCount(), 2);
  x->SetValue("seen", -1);
  EXPECT_EQ(S(a->Value()), "seen");

  a->Set_Element(AggregateIndex(1), y.get());
  EXPECT_EQ(x->ReferenceCount(), 1);
  EXPECT_EQ(y->ReferenceCount(), 2);
  a->Set_Element(AggregateIndex(1), y.get());
  EXPECT_EQ(y->ReferenceCount(), 2);

  // An element stored under the other kind survives the discarded tree.
  Variable* element = a->Element(AggregateIndex(2), true);
  element->SetValue("kept", -1);
  a->Set_Element(AggregateIndex("k"), element);
  EXPECT_EQ(a->Aggregate_Type(), kAggregateStructure);
  EXPECT_EQ(element->ReferenceCount(), 1);
  EXPECT_EQ(y->ReferenceCount(), 1);
  EXPECT_EQ(Dump(a.get()), "k=kept");
}

TEST(AggregateElement, InsertShiftsOrAppends) {
  Held a = Array(3);
  Held x(new Variable("x", "X"));
  a->Insert_Array_Element(2, x.get());
  EXPECT_EQ(Dump(a.get()), "1=v1 2=X 3=v2 4=v3");
  EXPECT_EQ(x->ReferenceCount(), 2);
  Held y(new Variable("y", "Y"));
  Held b = Array(3);
  b->Insert_Array_Element(0, y.get());
  EXPECT_EQ(Dump(b.get()), "1=v1 2=v2 3=v3 4=Y");
  b->Insert_Array_Element(-3, y.get());
  EXPECT_EQ(b->Array_Max(), 5);
  EXPECT_EQ(y->ReferenceCount(), 3);

  // On anything but an array: a new array, starting at 1.
  Held s(new Variable("s", "scalar"));
  s->Insert_Array_Element(0, x.get());
  EXPECT_EQ(Dump(s.get()), "1=X");
  Held t(new Variable("t"));
  t->Element(AggregateIndex("m"), true);
  t->Insert_Array_Element(5, y.get());
  EXPECT_EQ(Dump(t.get()), "5=Y");
}

// --- Deleting ----------------------------------------------------------------

TEST(AggregateDelete, ArrayRanges) {
  Held a = Array(5);
  a->Delete_Array_Elements(2, 2, true);
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v4 3=v5");

  a = Array(5);
  a->Delete_Array_Elements(2, 2, false);
  EXPECT_EQ(Dump(a.get()), "1=v1 4=v4 5=v5");

  a = Array(5);
  a->Delete_Array_Elements(3, -1, true);
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v2");
  a->Delete_Array_Elements(0, -1, false);
  EXPECT_EQ(a->ElementsUsed(), 0);
  EXPECT_EQ(a->Aggregate_Type(), kAggregateArray);

  // Sparse: the range counts indexes, not elements.
  Held s(new Variable("s"));
  for (int i : {1, 5, 9, 20}) s->Element(AggregateIndex(i), true)->SetValue_Integer(i);
  s->Delete_Array_Elements(4, 10, true);
  EXPECT_EQ(Dump(s.get()), "1=1 10=20");

  // Deleted elements are released.
  Held shared(new Variable("x", "x"));
  s->Set_Element(AggregateIndex(3), shared.get());
  s->Delete_Array_Elements(1, 5, false);
  EXPECT_EQ(shared->ReferenceCount(), 1);

  Held st(new Variable("st"));
  st->Element(AggregateIndex("m"), true);
  st->Delete_Array_Elements(1, 1, false);
  EXPECT_EQ(st->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(st->ElementsUsed(), 0);
}

TEST(AggregateDelete, SingleElementWithAndWithoutShift) {
  Held a = Array(4);
  a->Delete_Element(AggregateIndex(2), false);
  EXPECT_EQ(Dump(a.get()), "1=v1 3=v3 4=v4");
  a = Array(4);
  a->Delete_Element(AggregateIndex(2), true);
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v3 3=v4");

  // The key handed in may be the very key of the element that goes.
  a = Array(4);
  a->Delete_Element(a->Elements()->Find(AggregateIndex(3))->Index(), true);
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v2 3=v4");

  // The wrong kind of key changes nothing.
  a->Delete_Element(AggregateIndex("1"), true);
  EXPECT_EQ(a->ElementsUsed(), 3);

  Held s(new Variable("s"));
  for (const char* name : {"a", "B", "c"}) {
    s->Element(AggregateIndex(name), true)->SetValue(name, 1);
  }
  s->Delete_Element(AggregateIndex(0), true);
  EXPECT_EQ(s->ElementsUsed(), 3);
  s->Delete_Element(AggregateIndex("b"), true);
  EXPECT_EQ(Dump(s.get()), "a=a c=c");
}

TEST(AggregateTree, RenumberMovesOnlyIndexesFromTheStart) {
  for (int n : {10, 300}) {  // below and above the recursion limit
    SCOPED_TRACE(n);
    AggregateElementTree tree;
    std::vector<int> order(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = (i * 7) % n + 1;
    for (int k : order) tree.Insert(new AggregateElement(AggregateIndex(k)));
    // Ask for every key's text so a stale cached text would show.
    tree.InOrder([](AggregateElement* e) { e->Index().Text(); });
    tree.Renumber(5, 3);
    std::vector<int> keys;
    bool texts_match = true;
    tree.InOrder([&](AggregateElement* e) {
      keys.push_back(e->Index().Number());
      texts_match = texts_match && S(e->Index().Text()) == std::to_string(e->Index().Number());
    });
    std::vector<int> expected;
    for (int k = 1; k <= n; ++k) expected.push_back(k < 5 ? k : k + 3);
    EXPECT_EQ(keys, expected);
    EXPECT_TRUE(texts_match);
    EXPECT_EQ(tree.Find(AggregateIndex(6)), nullptr);
    ASSERT_NE(tree.Find(AggregateIndex(8)), nullptr);
    EXPECT_EQ(tree.Find(AggregateIndex(n + 3))->Index().Number(), n + 3);

    tree.Renumber(8, -3);
    keys.clear();
    tree.InOrder([&](AggregateElement* e) { keys.push_back(e->Index().Number()); });
    expected.clear();
    for (int k = 1; k <= n; ++k) expected.push_back(k);
    EXPECT_EQ(keys, expected);
    tree.Renumber(n + 1, 5);  // nothing at or above
    tree.Renumber(1, 0);
    EXPECT_EQ(tree.Max()->Index().Number(), n);
  }
}

// Indexes cannot go past the largest 32-bit number: an element pushed past
// it leaves the array instead of wrapping round and breaking the order.
TEST(AggregateTree, ShiftingPastTheLargestIndexDropsTheElement) {
  Held a(new Variable("a"));
  a->Element(AggregateIndex(5), true)->SetValue("five", 4);
  a->Element(AggregateIndex(INT32_MAX), true)->SetValue("top", 3);
  Held x(new Variable("x", "new"));
  a->Insert_Array_Element(1, x.get());
  EXPECT_EQ(Dump(a.get()), "1=new 6=five");
  EXPECT_EQ(a->Array_Max(), 6);

  a->Element(AggregateIndex(INT32_MAX - 1), true)->SetValue("near", 4);
  Held b(new Variable("b"));
  b->Element(AggregateIndex(1), true)->SetValue("m", 1);
  a->Array_Merge(b.get(), 1, 1, 2, false);  // everything from 2 up moves by 1
  EXPECT_EQ(Dump(a.get()), "1=new 2=m 7=five 2147483647=near");
}

// The splay tree against std::map under random operations, first small
// (recursive walks) and then past 100 elements (explicit-stack walks).
TEST(AggregateTree, RandomOperationsMatchAnOrderedMap) {
  std::mt19937 random(20240611);
  AggregateElementTree tree;
  std::map<int, AggregateElement*> model;
  auto check_all = [&] {
    ASSERT_EQ(tree.Count(), static_cast<int32_t>(model.size()));
    std::vector<int> keys;
    tree.InOrder([&keys](AggregateElement* e) { keys.push_back(e->Index().Number()); });
    std::vector<int> expected;
    for (auto& [k, e] : model) expected.push_back(k);
    ASSERT_EQ(keys, expected);
    if (model.empty()) {
      ASSERT_EQ(tree.Min(), nullptr);
      ASSERT_EQ(tree.Max(), nullptr);
    } else {
      ASSERT_EQ(tree.Min(), model.begin()->second);
      ASSERT_EQ(tree.Max(), model.rbegin()->second);
    }
  };
  struct Phase {
    int range;
    int operations;
    int insert_percent;
  };
  for (Phase phase : {Phase{60, 4000, 50}, Phase{3000, 8000, 65}, Phase{3000, 6000, 35}}) {
    for (int op = 0; op < phase.operations; ++op) {
      const int key = static_cast<int>(random() % static_cast<unsigned>(phase.range));
      const int what = static_cast<int>(random() % 100);
      const AggregateIndex index(key);
      if (what < phase.insert_percent) {
        if (model.count(key) == 0) {
          auto* e = new AggregateElement(index);
          tree.Insert(e);
          model[key] = e;
        } else {
          ASSERT_EQ(tree.Find(index), model[key]);
        }
      } else if (what < 80) {
        AggregateElement* removed = tree.Remove(index);
        auto it = model.find(key);
        if (it == model.end()) {
          ASSERT_EQ(removed, nullptr);
        } else {
          ASSERT_EQ(removed, it->second);
          model.erase(it);
          delete removed;
        }
      } else if (what < 88) {
        auto it = model.upper_bound(key);
        ASSERT_EQ(tree.Next(index), it == model.end() ? nullptr : it->second) << key;
      } else if (what < 96) {
        auto it = model.lower_bound(key);
        ASSERT_EQ(tree.Previous(index), it == model.begin() ? nullptr : std::prev(it)->second)
            << key;
      } else if (what < 99) {
        auto it = model.find(key);
        ASSERT_EQ(tree.Find(index), it == model.end() ? nullptr : it->second);
      } else {
        const int delta = 1 + static_cast<int>(random() % 3);
        tree.Renumber(key, delta);
        std::map<int, AggregateElement*> moved;
        for (auto& [k, e] : model) moved[k >= key ? k + delta : k] = e;
        model.swap(moved);
      }
      if (op % 97 == 0) check_all();
    }
    check_all();
    if (phase.range > 100) {
      EXPECT_GT(tree.Count(), 100);
    }
  }
}

TEST(AggregateTree, NamesOrderWithoutCaseBeforeNumbers) {
  Held s(new Variable("s"));
  for (const char* name : {"b", "abc", "A", "Ab"}) {
    s->Element(AggregateIndex(name), true)->SetValue(name, -1);
  }
  EXPECT_EQ(Dump(s.get()), "A=A Ab=Ab abc=abc b=b");
}

TEST(AggregateTree, LargeTreeCopiesAndFrees) {
  Held a(new Variable("a"));
  std::mt19937 random(7);
  for (int i = 0; i < 500; ++i) {
    a->Element(AggregateIndex(static_cast<int32_t>(random() % 5000)), true)->SetValue_Integer(i);
  }
  Held copy(new Variable(*a));
  EXPECT_EQ(copy->ElementsUsed(), a->ElementsUsed());
  EXPECT_EQ(Dump(copy.get()), Dump(a.get()));
  EXPECT_EQ(S(copy->Value()), S(a->Value()));
}

// --- Walking indexes -----------------------------------------------------------

TEST(AggregateWalk, NextPreviousMaxMin) {
  Held scalar(new Variable("s", "x"));
  Held empty_array(new Variable("e"));
  empty_array->Make_Aggregate(kAggregateArray);
  for (Variable* v : {scalar.get(), empty_array.get()}) {
    EXPECT_EQ(v->Array_Next(0), 0);
    EXPECT_EQ(v->Array_Previous(5), 0);
    EXPECT_EQ(v->Array_Max(), 0);
    EXPECT_EQ(v->Array_Min(), 0);
  }
  Held structure(new Variable("st"));
  structure->Element(AggregateIndex("m"), true);
  EXPECT_EQ(structure->Array_Next(0), -1);
  EXPECT_EQ(structure->Array_Previous(5), -1);
  EXPECT_EQ(structure->Array_Max(), -1);
  EXPECT_EQ(structure->Array_Min(), -1);

  Held sparse(new Variable("sp"));
  for (int i : {9, 2, 5}) sparse->Element(AggregateIndex(i), true);
  EXPECT_EQ(sparse->Array_Next(-7), 2);
  EXPECT_EQ(sparse->Array_Next(0), 2);
  EXPECT_EQ(sparse->Array_Next(2), 5);
  EXPECT_EQ(sparse->Array_Next(3), 5);
  EXPECT_EQ(sparse->Array_Next(5), 9);
  EXPECT_EQ(sparse->Array_Next(9), 0);
  EXPECT_EQ(sparse->Array_Previous(100), 9);
  EXPECT_EQ(sparse->Array_Previous(9), 5);
  EXPECT_EQ(sparse->Array_Previous(6), 5);
  EXPECT_EQ(sparse->Array_Previous(2), 0);
  EXPECT_EQ(sparse->Array_Max(), 9);
  EXPECT_EQ(sparse->Array_Min(), 2);
  EXPECT_EQ(sparse->ElementsUsed(), 3);
}

// --- Array_Copy ------------------------------------------------------------------

TEST(ArrayCopy, SharedOrCopied) {
  Held source = Array(3);
  Held shared(new Variable("d"));
  shared->Array_Copy(source.get(), 1, -1, 1, false);
  EXPECT_EQ(Dump(shared.get()), "1=v1 2=v2 3=v3");
  EXPECT_EQ(At(shared.get(), 1), At(source.get(), 1));
  EXPECT_EQ(At(source.get(), 1)->ReferenceCount(), 2);
  At(source.get(), 1)->SetValue("changed", -1);
  EXPECT_EQ(S(At(shared.get(), 1)->Value()), "changed");

  Held copied(new Variable("c"));
  copied->Array_Copy(source.get(), 1, -1, 1, true);
  EXPECT_NE(At(copied.get(), 2), At(source.get(), 2));
  At(source.get(), 2)->SetValue("again", -1);
  EXPECT_EQ(Dump(copied.get()), "1=changed 2=v2 3=v3");
}

TEST(ArrayCopy, RangesAndDefaults) {
  Held source(new Variable("s"));
  for (int i : {3, 4, 6}) source->Element(AggregateIndex(i), true)->SetValue_Integer(i);

  Held d(new Variable("d", "scalar"));
  d->Array_Copy(source.get(), 0, 2, 1, false);  // start 0: the source's first index
  EXPECT_EQ(Dump(d.get()), "1=3 2=4");
  d->Array_Copy(source.get(), 3, -1, 0, false);  // count -1: to the end; destination 0: append
  EXPECT_EQ(Dump(d.get()), "1=3 2=4 3=3 4=4 6=6");
  d->Array_Copy(source.get(), 5, 1, 1, false);  // a missing index is skipped
  EXPECT_EQ(Dump(d.get()), "1=3 2=4 3=3 4=4 6=6");

  Held ref(new ReferenceVariable("r", source.get()));
  Held e(new Variable("e"));
  e->Array_Copy(ref.get(), 6, 1, 10, false);
  EXPECT_EQ(Dump(e.get()), "10=6");

  // A source that is not an array gives nothing, but the destination is an
  // array afterwards.
  Held structure(new Variable("st"));
  structure->Element(AggregateIndex("m"), true)->SetValue("m", 1);
  Held f(new Variable("f", "scalar"));
  f->Array_Copy(structure.get(), 1, 1, 1, false);
  EXPECT_EQ(f->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(f->ElementsUsed(), 0);
}

TEST(ArrayCopy, WithinOneArrayReadsBeforeWriting) {
  Held a = Array(5);
  Variable* v1 = At(a.get(), 1);
  a->Array_Copy(a.get(), 1, 3, 2, false);  // forward overlap
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v1 3=v2 4=v3 5=v5");
  EXPECT_EQ(At(a.get(), 2), v1);

  a = Array(5);
  a->Array_Copy(a.get(), 3, 3, 1, false);  // backward overlap
  EXPECT_EQ(Dump(a.get()), "1=v3 2=v4 3=v5 4=v4 5=v5");

  a = Array(3);
  a->Array_Copy(a.get(), 1, -1, 0, false);  // appended after itself
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v2 3=v3 4=v1 5=v2 6=v3");
  EXPECT_EQ(At(a.get(), 4), At(a.get(), 1));

  Variable* before = At(a.get(), 2);
  a->Array_Copy(a.get(), 1, 3, 1, false);  // onto itself, shared: nothing
  EXPECT_EQ(At(a.get(), 2), before);
  a->Array_Copy(a.get(), 1, 3, 1, true);  // onto itself, copied: fresh copies
  EXPECT_NE(At(a.get(), 2), before);
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v2 3=v3 4=v1 5=v2 6=v3");
}

// --- Array_Merge -----------------------------------------------------------------

TEST(ArrayMerge, MakesRoomInsteadOfOverwriting) {
  Held d(new Variable("d"));
  for (const char* t : {"x", "y", "z"}) d->Insert_Array_Element(0, Held(new Variable("", t)).get());
  Held source = Array(2);
  d->Array_Merge(source.get(), 1, 2, 2, false);
  EXPECT_EQ(Dump(d.get()), "1=x 2=v1 3=v2 4=y 5=z");
  EXPECT_EQ(At(d.get(), 2), At(source.get(), 1));

  Held e = Array(2);
  e->Array_Merge(source.get(), 0, -1, 0, true);  // defaults: whole source, appended
  EXPECT_EQ(Dump(e.get()), "1=v1 2=v2 3=v1 4=v2");
  EXPECT_NE(At(e.get(), 3), At(source.get(), 1));
  At(source.get(), 1)->SetValue("changed", -1);
  EXPECT_EQ(S(At(e.get(), 3)->Value()), "v1");

  // Not an array: the room is still made, nothing goes into it.
  Held f = Array(3);
  Held scalar(new Variable("s", "s"));
  f->Array_Merge(scalar.get(), 1, 2, 2, false);
  EXPECT_EQ(Dump(f.get()), "1=v1 4=v2 5=v3");
}

TEST(ArrayMerge, WithinOneArray) {
  Held a = Array(5);
  a->Array_Merge(a.get(), 1, 2, 4, false);  // range below the destination
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v2 3=v3 4=v1 5=v2 6=v4 7=v5");

  a = Array(5);
  a->Array_Merge(a.get(), 3, 2, 1, false);  // range above: it moved up first
  EXPECT_EQ(Dump(a.get()), "1=v3 2=v4 3=v1 4=v2 5=v3 6=v4 7=v5");

  a = Array(3);
  a->Array_Merge(a.get(), 1, -1, 0, false);
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v2 3=v3 4=v1 5=v2 6=v3");

  // Destination inside the range: the range is the one named, read before
  // anything moves.
  a = Array(5);
  a->Array_Merge(a.get(), 2, 3, 3, false);
  EXPECT_EQ(Dump(a.get()), "1=v1 2=v2 3=v2 4=v3 5=v4 6=v3 7=v4 8=v5");
}

// --- Flattened text -------------------------------------------------------------

Held Texts(std::initializer_list<const char*> texts) {
  Held a(new Variable("a"));
  a->Make_Aggregate(kAggregateArray);
  int i = 1;
  for (const char* t : texts) a->Element(AggregateIndex(i++), true)->SetValue(t, -1);
  return a;
}

TEST(AggregateText, CommasBetweenLeavesOnly) {
  EXPECT_EQ(S(Texts({"a", "b"})->Value()), "a,b");
  EXPECT_EQ(S(Texts({"", "b"})->Value()), "b");
  EXPECT_EQ(S(Texts({"a", ""})->Value()), "a,");
  EXPECT_EQ(S(Texts({"a", "", ""})->Value()), "a,,");

  Held nested = Texts({"a"});
  Held inner = Texts({"b"});
  inner->Element(AggregateIndex(2), true)->Element(AggregateIndex(1), true)->SetValue("c", 1);
  nested->Set_Element(AggregateIndex(2), inner.get());
  nested->Element(AggregateIndex(3), true)->SetValue("d", 1);
  EXPECT_EQ(S(nested->Value()), "a,b,c,d");

  Held s(new Variable("s"));
  s->Element(AggregateIndex("b"), true)->SetValue_Integer(2);
  s->Element(AggregateIndex("A"), true)->SetValue_Double(1.5);
  EXPECT_EQ(S(s->Value()), "1.5,2");

  // Rebuilt on every reading: elements change behind the aggregate's back.
  inner->Element(AggregateIndex(1), false)->SetValue("B", 1);
  EXPECT_EQ(S(nested->Value()), "a,B,c,d");

  // An element referring to another array is flattened through it.
  Held through = Texts({"x"});
  Held ref(new ReferenceVariable("r", inner.get()));
  through->Set_Element(AggregateIndex(2), ref.get());
  EXPECT_EQ(S(through->Value()), "x,B,c");
}

TEST(AggregateText, AppendTextContinuesTheGivenText) {
  String out("x");
  Texts({"a", "b"})->Append_Text(out);
  EXPECT_EQ(S(out), "x,a,b");
  String empty;
  Held(new Variable("s", "y"))->Append_Text(empty);
  EXPECT_EQ(S(empty), "y");
  Held(new Variable("e"))->Append_Text(out);
  EXPECT_EQ(S(out), "x,a,b,");
}

// --- Description ------------------------------------------------------------------

std::string Describe(Variable* v) {
  String out;
  v->Describe(out);
  return S(out);
}

TEST(AggregateDescribe, OneLevelDeep) {
  Held s(new Variable("s"));
  s->Element(AggregateIndex("a"), true)->SetValue_Integer(1);
  Variable* b = s->Element(AggregateIndex("b"), true);
  b->Element(AggregateIndex(1), true)->SetValue("deep", -1);
  b->Element(AggregateIndex(2), true);
  EXPECT_EQ(Describe(s.get()), "{ a: 1, b: <array>[2] }");
  s->Element(AggregateIndex("c"), true)->Element(AggregateIndex("x"), true);
  EXPECT_EQ(Describe(s.get()), "{ a: 1, b: <array>[2], c: <structure> }");

  Held a(new Variable("a"));
  for (int i = 1; i <= 3; ++i) a->Element(AggregateIndex(i), true)->SetValue_Integer(i);
  EXPECT_EQ(Describe(a.get()).rfind("[3] = [ ", 0), 0u);
  EXPECT_EQ(Describe(a.get()), "[3] = [ 1,2,3 ]");
  Held ref(new ReferenceVariable("r", a.get()));
  EXPECT_EQ(Describe(ref.get()), "[3] = [ 1,2,3 ]");

  Held sparse(new Variable("sp"));
  sparse->Element(AggregateIndex(7), true)->SetValue("a\tb", -1);
  sparse->Element(AggregateIndex(2), true)->SetValue("x", 1);
  EXPECT_EQ(Describe(sparse.get()), "[7] = [ x,a\\x09b ]");
}

TEST(AggregateDescribe, TopLevelScalarByItsStoredForm) {
  Held v(new Variable("v"));
  EXPECT_EQ(Describe(v.get()), "");
  v->SetValue("a\nb\x01", -1);
  EXPECT_EQ(Describe(v.get()), "a\\x0ab\\x01");
  v->SetValue("a\0b", 3);
  EXPECT_EQ(Describe(v.get()), "a\\x00b");
  v->SetValue_Integer(-42);
  EXPECT_EQ(Describe(v.get()), "-42");
  v->SetValue_Double(2.5);
  EXPECT_EQ(Describe(v.get()), "2.5");
  v->SetValue_Double(1e21);
  EXPECT_EQ(Describe(v.get()), "1000000000000000000000");
  String out("arg=");
  v->SetValue_Integer(7);
  v->Describe(out);
  EXPECT_EQ(S(out), "arg=7");
}

// --- Depth and cycles ------------------------------------------------------------

TEST(AggregateDepth, DeepNestingCopiesFlattensAndFreesWithoutRecursion) {
  constexpr int kDepth = 200000;
  Held top(new Variable("top"));
  Variable* v = top.get();
  for (int i = 0; i < kDepth; ++i) v = v->Element(AggregateIndex(1), true);
  v->SetValue("leaf", 4);
  EXPECT_EQ(S(top->Value()), "leaf");
  EXPECT_TRUE(top->Value_Boolean());

  Held copy(new Variable(*top));
  Variable* c = copy.get();
  for (int i = 0; i < kDepth; ++i) {
    c = At(c, 1);
    ASSERT_NE(c, nullptr) << i;
  }
  EXPECT_EQ(S(c->Value()), "leaf");
  c->SetValue("changed", -1);
  EXPECT_EQ(S(top->Value()), "leaf");
  EXPECT_EQ(S(copy->Value()), "changed");

  Held assigned(new Variable("x"));
  assigned->SetValue_Variable(top.get());
  EXPECT_EQ(S(assigned->Value()), "leaf");
  assigned->SetValue("flat", 4);  // tears the copy down inside a store
  copy->Clear();
  EXPECT_EQ(S(assigned->Value()), "flat");
}

TEST(AggregateCycle, SelfContainingArrayDoesNotHang) {
  Held a(new Variable("a"));
  a->Element(AggregateIndex(1), true)->SetValue("x", 1);
  a->Set_Element(AggregateIndex(2), a.get());
  EXPECT_EQ(a->ReferenceCount(), 2);
  EXPECT_EQ(S(a->Value()), "x");
  EXPECT_TRUE(a->Value_Boolean());

  Held copy(new Variable(*a));
  EXPECT_EQ(S(At(copy.get(), 1)->Value()), "x");
  Variable* inner = At(copy.get(), 2);
  ASSERT_NE(inner, nullptr);
  EXPECT_NE(inner, a.get());
  EXPECT_EQ(inner->Elements(), nullptr);

  // Break the cycle, or the count never reaches zero.
  a->Delete_Element(AggregateIndex(2), false);
  EXPECT_EQ(a->ReferenceCount(), 1);
}

TEST(AggregateCycle, TwoArraysHoldingEachOther) {
  Held a = Texts({"x"});
  Held b = Texts({"y"});
  a->Set_Element(AggregateIndex(2), b.get());
  b->Set_Element(AggregateIndex(2), a.get());
  EXPECT_EQ(S(a->Value()), "x,y");
  EXPECT_EQ(S(b->Value()), "y,x");

  Held copy(new Variable("c"));
  copy->SetValue_Variable(a.get());
  EXPECT_EQ(S(At(At(copy.get(), 2), 1)->Value()), "y");
  EXPECT_NE(At(copy.get(), 2), b.get());

  // Copying b onto a: the source holds the destination.
  a->SetValue_Variable(b.get());
  EXPECT_EQ(S(At(a.get(), 1)->Value()), "y");
  EXPECT_NE(At(a.get(), 2), a.get());
  b->Delete_Element(AggregateIndex(2), false);
  EXPECT_EQ(a->ReferenceCount(), 1);
  EXPECT_EQ(b->ReferenceCount(), 1);
}

TEST(AggregateCycle, SharedButAcyclicElementIsWalkedEveryTime) {
  Held shared = Texts({"p", "q"});
  Held a(new Variable("a"));
  a->Set_Element(AggregateIndex(1), shared.get());
  a->Set_Element(AggregateIndex(2), shared.get());
  EXPECT_EQ(S(a->Value()), "p,q,p,q");
  Held copy(new Variable(*a));
  EXPECT_EQ(S(copy->Value()), "p,q,p,q");
  EXPECT_NE(At(copy.get(), 1), At(copy.get(), 2));
}

}  // namespace
}  // namespace lumo
