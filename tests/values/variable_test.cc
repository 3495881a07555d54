// Scalars, conversions, copies, references and the read-only and null
// variables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "values/variable.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

Held Text(const char* value) { return Held(new Variable("v", value)); }

char* Malloced(const char* text, int32_t capacity) {
  auto* p = static_cast<char*>(malloc(static_cast<size_t>(capacity)));
  memcpy(p, text, strlen(text));
  return p;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

// --- Conversions -----------------------------------------------------------

struct TextCase {
  const char* text;
  int32_t integer;
  double number;
  bool numeric;
};

// Every form is read from a fresh variable: a cache filled by one reading
// must not decide the next.
TEST(VariableConversion, TextToNumbers) {
  const TextCase cases[] = {
      {"12abc", 0, 0.0, false},
      {" 12", 12, 12.0, true},
      {"12 ", 0, 0.0, false},
      {"1.5", 1, 1.5, true},
      {"-1.5", -1, -1.5, true},
      {"1e3", 1000, 1000.0, true},
      {"2147483648", INT32_MIN, 2147483648.0, true},
      {"-2147483649", INT32_MAX, -2147483649.0, true},
      {"Infinity", INT32_MIN, kInf, true},
      {"iNfInItY", INT32_MIN, kInf, true},
      {"-INF", INT32_MIN, -kInf, true},
      {"+INF", 0, 0.0, false},
      {"+Infinity", 0, 0.0, false},
      {"-", 0, 0.0, false},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Text(c.text)->Value_Integer(), c.integer);
    EXPECT_EQ(Text(c.text)->Value_Double(), c.number);
    bool not_a_number = c.numeric;  // the opposite, so it must be written
    EXPECT_EQ(Text(c.text)->Value_Double_Flagged(&not_a_number), c.number);
    EXPECT_EQ(not_a_number, !c.numeric);
  }
}

TEST(VariableConversion, NotANumberNames) {
  bool flag = true;
  EXPECT_TRUE(std::isnan(Text("nan")->Value_Double()));
  EXPECT_TRUE(std::isnan(Text("nan")->Value_Double_Flagged(&flag)));
  EXPECT_FALSE(flag);
  EXPECT_EQ(Text("nan")->Value_Integer(), INT32_MIN);
  const double negative = Text("-NaN")->Value_Double();
  EXPECT_TRUE(std::isnan(negative));
  EXPECT_TRUE(std::signbit(negative));
  EXPECT_EQ(Text("+nan")->Value_Double_Flagged(&flag), 0.0);
  EXPECT_TRUE(flag);
}

TEST(VariableConversion, NumbersToText) {
  const struct {
    double number;
    const char* text;
  } doubles[] = {
      {100.0, "100"},
      {0.1, "0.1"},
      {1e21, "1000000000000000000000"},
      {1e-25, "0"},
      {-0.0, "-0"},
      {2.5, "2.5"},
      {-1234.5, "-1234.5"},
      {kInf, "Infinity"},
      {-kInf, "-Infinity"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const auto& c : doubles) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(S(Held(new Variable("v", c.number))->Value()), c.text);
  }
  EXPECT_EQ(S(Held(new Variable("v", INT32_MIN))->Value()), "-2147483648");
  EXPECT_EQ(S(Held(new Variable("v", int32_t{-5}))->Value()), "-5");
  EXPECT_EQ(S(Held(new Variable("v", int32_t{0}))->Value()), "0");
}

TEST(VariableConversion, DoubleConstructorMakesTruncatedIntegerValid) {
  Held v(new Variable("v", 2.9));
  EXPECT_EQ(v->ValidForms(), Variable::kIntegerValid | Variable::kDoubleValid);
  EXPECT_EQ(v->ValueType(), kValueDouble);
  EXPECT_EQ(v->Value_Integer(), 2);
  EXPECT_EQ(Held(new Variable("v", -2.9))->Value_Integer(), -2);
  EXPECT_EQ(Held(new Variable("v", 3e9))->Value_Integer(), INT32_MIN);
  EXPECT_EQ(Held(new Variable("v", -3e9))->Value_Integer(), INT32_MIN);
  EXPECT_EQ(Held(new Variable("v", std::nan("")))->Value_Integer(), INT32_MIN);
  EXPECT_EQ(Held(new Variable("v", 2147483647.9))->Value_Integer(), INT32_MAX);
  EXPECT_EQ(Held(new Variable("v", -2147483648.9))->Value_Integer(), INT32_MIN);
}

TEST(VariableConversion, StoreInvalidatesEveryOtherForm) {
  Held v = Text("12");
  EXPECT_EQ(v->Value_Integer(), 12);
  EXPECT_EQ(v->Value_Double(), 12.0);
  v->SetValue_Double(2.5);
  EXPECT_EQ(v->ValidForms(), Variable::kDoubleValid);
  EXPECT_EQ(v->ValueType(), kValueDouble);
  EXPECT_EQ(S(v->Value()), "2.5");
  EXPECT_EQ(v->Value_Integer(), 2);
  v->SetValue_Integer(-7);
  EXPECT_EQ(v->ValidForms(), Variable::kIntegerValid);
  EXPECT_EQ(v->Value_Double(), -7.0);
  EXPECT_EQ(S(v->Value()), "-7");
  v->SetValue("3.75", -1);
  EXPECT_EQ(v->ValidForms(), Variable::kTextValid);
  EXPECT_EQ(v->ValueType(), kValueText);
  EXPECT_EQ(v->Value_Integer(), 3);
  EXPECT_EQ(v->Value_Double(), 3.75);
}

TEST(VariableConversion, AdoptedBufferBecomesTheText) {
  // Room beyond the text: adopted as is. No room: copied and freed. Either
  // way the caller gave the buffer up, and a leak would show under ASan.
  Held a(new Variable("a", Malloced("hello", 24), 5, 24));
  EXPECT_EQ(S(a->Value()), "hello");
  Held b(new Variable("b"));
  EXPECT_TRUE(b->SetValue_Nocopy(Malloced("abc", 3), 3, 3));
  EXPECT_EQ(S(b->Value()), "abc");
  EXPECT_EQ(b->ValueType(), kValueText);
  b->SetValue_Integer(1);
  EXPECT_TRUE(b->SetValue_Nocopy(Malloced("xyz", 10), 3, 10));
  EXPECT_EQ(S(b->Value()), "xyz");
}

// --- Value_Double_Flagged ----------------------------------------------------

TEST(VariableFlaggedDouble, StoredNumberWinsOverItsRoundedText) {
  Held tiny(new Variable("v", 1e-25));
  EXPECT_EQ(S(tiny->Value()), "0");
  bool flag = true;
  EXPECT_EQ(tiny->Value_Double_Flagged(&flag), 1e-25);
  EXPECT_FALSE(flag);

  Held integer(new Variable("v"));
  integer->SetValue_Integer(7);
  EXPECT_EQ(S(integer->Value()), "7");
  flag = true;
  EXPECT_EQ(integer->Value_Double_Flagged(&flag), 7.0);
  EXPECT_FALSE(flag);
}

TEST(VariableFlaggedDouble, StoredTextIsParsedEveryTime) {
  // Value_Double caches 0.0 for a non-numeric text; that cache must not
  // make the text look numeric afterwards.
  Held v = Text("abc");
  bool flag = false;
  EXPECT_EQ(v->Value_Double_Flagged(&flag), 0.0);
  EXPECT_TRUE(flag);
  EXPECT_EQ(v->Value_Double(), 0.0);
  flag = false;
  v->Value_Double_Flagged(&flag);
  EXPECT_TRUE(flag);

  v->SetValue("2.5", 3);
  EXPECT_EQ(v->Value_Double_Flagged(&flag), 2.5);
  EXPECT_FALSE(flag);
  v->SetValue("x", 1);
  v->Value_Double_Flagged(&flag);
  EXPECT_TRUE(flag);
}

TEST(VariableFlaggedDouble, EmptyIsZeroAndAggregateIsNotANumber) {
  Held empty(new Variable("v"));
  bool flag = true;
  EXPECT_EQ(empty->Value_Double_Flagged(&flag), 0.0);
  EXPECT_FALSE(flag);

  Held array(new Variable("a"));
  array->Element(AggregateIndex(1), true)->SetValue("5", 1);
  EXPECT_EQ(array->Value_Double_Flagged(&flag), 0.0);
  EXPECT_TRUE(flag);
  EXPECT_EQ(array->Value_Integer(), 0);
  EXPECT_EQ(array->Value_Double(), 0.0);
}

// --- Truth and emptiness -------------------------------------------------

TEST(VariableTruth, TextNumbersAndAggregates) {
  const struct {
    const char* text;
    bool truth;
  } texts[] = {
      {"", false},   {"0", false},  {"000", false}, {"0.0", false}, {".", false},
      {"0.", false}, {"-0", true},  {"0..0", true}, {"..", true},   {" 0", true},
      {"1", true},   {"abc", true}, {"0e0", true},
  };
  for (const auto& c : texts) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Text(c.text)->Value_Boolean(), c.truth);
  }

  Held v(new Variable("v"));
  EXPECT_FALSE(v->Value_Boolean());
  v->SetValue_Double(std::nan(""));
  EXPECT_TRUE(v->Value_Boolean());
  v->SetValue_Double(-0.0);
  EXPECT_FALSE(v->Value_Boolean());
  v->SetValue_Double(0.25);
  EXPECT_TRUE(v->Value_Boolean());
  v->SetValue_Integer(0);
  EXPECT_FALSE(v->Value_Boolean());
  v->SetValue_Integer(-3);
  EXPECT_TRUE(v->Value_Boolean());

  // An aggregate is as true as its flattened text.
  Held a(new Variable("a"));
  a->Element(AggregateIndex(1), true)->SetValue("0", 1);
  EXPECT_FALSE(a->Value_Boolean());
  a->Element(AggregateIndex(2), true)->SetValue("0", 1);
  EXPECT_TRUE(a->Value_Boolean());  // "0,0"
  Held s(new Variable("s"));
  s->Element(AggregateIndex("m"), true);
  EXPECT_FALSE(s->Value_Boolean());  // ""
}

// Reading the text of a stored number must not change its truth: the text
// of 1e-25 is "0" and the text of -0.0 is "-0".
TEST(VariableTruth, StoredNumberKeepsItsTruthAfterItsTextIsRead) {
  Held v(new Variable("v"));
  for (double d : {1e-25, -0.0, 0.0, 1e-300}) {
    SCOPED_TRACE(d);
    v->SetValue_Double(d);
    const bool before = v->Value_Boolean();
    EXPECT_EQ(before, d != 0.0);
    v->Value();
    EXPECT_EQ(v->Value_Boolean(), before);
  }
}

TEST(VariableTruth, IsEmpty) {
  Held v(new Variable("v"));
  EXPECT_TRUE(v->IsEmpty());
  v->SetValue("", 0);
  EXPECT_TRUE(v->IsEmpty());
  v->SetValue_Integer(0);
  EXPECT_FALSE(v->IsEmpty());
  v->SetValue_Double(0.0);
  EXPECT_FALSE(v->IsEmpty());
  v->SetValue("x", 1);
  EXPECT_FALSE(v->IsEmpty());
  v->Make_Aggregate(kAggregateArray);
  EXPECT_FALSE(v->IsEmpty());  // even with no elements
  v->Clear();
  EXPECT_TRUE(v->IsEmpty());
  EXPECT_EQ(v->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(v->ValueType(), kValueNone);
  EXPECT_EQ(v->Elements(), nullptr);
}

TEST(VariableTruth, StoringTextTurnsAggregateBackIntoScalar) {
  Held a(new Variable("a"));
  a->Element(AggregateIndex(1), true)->SetValue("xyz", 3);
  // The text belongs to the element that the store destroys.
  const String& own = a->Element(AggregateIndex(1), false)->Value();
  a->SetValue(own.Text(), own.Length());
  EXPECT_EQ(a->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(a->ElementsUsed(), 0);
  EXPECT_EQ(S(a->Value()), "xyz");
  a->Element(AggregateIndex("k"), true);
  a->SetValue_Integer(4);
  EXPECT_EQ(a->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(a->Elements(), nullptr);
  a->Element(AggregateIndex("k"), true);
  a->SetValue_Double(4.5);
  EXPECT_EQ(a->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(S(a->Value()), "4.5");
}

// --- SetValue_Variable by storage class ------------------------------------

// A variable whose integer is fixed; its caches hold something else, so a
// copy that read the caches would show it.
class FixedIntegerVariable : public Variable {
 public:
  explicit FixedIntegerVariable(int32_t fixed) : Variable("fixed", "stale"), fixed_(fixed) {}
  int StorageClass() override { return kStorageFixedInteger; }
  int32_t Value_Integer() override { return fixed_; }

 private:
  int32_t fixed_;
};

class FixedTextVariable : public Variable {
 public:
  explicit FixedTextVariable(std::string_view fixed)
      : Variable("fixed", int32_t{7}), fixed_(fixed) {}
  int StorageClass() override { return kStorageFixedText; }
  const String& Value() override { return fixed_; }

 private:
  String fixed_;
};

// A database field: reads come from the record (99, 4.25, "record") while
// the caches may hold something else.
class FieldVariable : public Variable {
 public:
  explicit FieldVariable(int natural) : Variable("field"), natural_(natural) {}
  int StorageClass() override { return kStorageField; }
  int NaturalType() override { return natural_; }
  const String& Value() override { return record_; }
  int32_t Value_Integer() override { return 99; }
  double Value_Double() override { return 4.25; }

  void SetCaches(const char* text, int32_t integer, double number, uint8_t valid, uint8_t type) {
    text_.Assign(text);
    integer_ = integer;
    double_ = number;
    valid_ = valid;
    value_type_ = type;
  }

 private:
  int natural_;
  String record_{"record"};
};

TEST(VariableCopy, OrdinarySourceCopiesCachesAndValueType) {
  // 1e-25 with its text computed: the copy must keep the double, not read
  // the rounded text back.
  Held source(new Variable("s", 1e-25));
  source->Value();
  Held copy(new Variable("c", "old"));
  EXPECT_TRUE(copy->SetValue_Variable(source.get()));
  EXPECT_EQ(copy->ValidForms(), source->ValidForms());
  EXPECT_EQ(copy->ValueType(), kValueDouble);
  EXPECT_EQ(copy->Value_Double(), 1e-25);
  EXPECT_EQ(S(copy->Value()), "0");
  EXPECT_EQ(S(copy->Name()), "c");

  Held integer(new Variable("i", int32_t{42}));
  copy->SetValue_Variable(integer.get());
  EXPECT_EQ(copy->ValidForms(), Variable::kIntegerValid);
  EXPECT_EQ(copy->ValueType(), kValueInteger);
  EXPECT_EQ(copy->Value_Integer(), 42);
}

TEST(VariableCopy, OrdinarySourceWithoutValueComputesItsText) {
  Held source(new Variable("s"));
  Held copy = Text("old");
  copy->SetValue_Variable(source.get());
  EXPECT_EQ(source->ValidForms(), Variable::kTextValid);
  EXPECT_EQ(copy->ValidForms(), Variable::kTextValid);
  EXPECT_EQ(copy->ValueType(), kValueNone);
  EXPECT_TRUE(copy->IsEmpty());
  EXPECT_EQ(S(copy->Value()), "");
}

TEST(VariableCopy, ReferenceSourceIsReadThroughItsTarget) {
  Held target = Text("through");
  Held ref(new ReferenceVariable("r", target.get()));
  Held copy(new Variable("c"));
  copy->SetValue_Variable(ref.get());
  EXPECT_EQ(S(copy->Value()), "through");
  EXPECT_FALSE(copy->IsReference());
  copy->SetValue("changed", -1);
  EXPECT_EQ(S(target->Value()), "through");
}

TEST(VariableCopy, NullSourceEmpties) {
  Held copy = Text("old");
  copy->Element(AggregateIndex(1), true);
  Held null(new NULLVariable());
  copy->SetValue_Variable(null.get());
  EXPECT_EQ(copy->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(copy->ValidForms(), 0);
  EXPECT_EQ(copy->ValueType(), kValueNone);
  EXPECT_TRUE(copy->IsEmpty());
}

TEST(VariableCopy, FixedIntegerAndFixedTextSourcesAreReadNotCopied) {
  Held copy(new Variable("c"));
  FixedIntegerVariable fixed_integer(42);
  copy->SetValue_Variable(&fixed_integer);
  EXPECT_EQ(copy->ValueType(), kValueInteger);
  EXPECT_EQ(copy->ValidForms(), Variable::kIntegerValid);
  EXPECT_EQ(copy->Value_Integer(), 42);
  EXPECT_EQ(S(copy->Value()), "42");

  FixedTextVariable fixed_text("fixed text");
  copy->SetValue_Variable(&fixed_text);
  EXPECT_EQ(copy->ValueType(), kValueText);
  EXPECT_EQ(copy->ValidForms(), Variable::kTextValid);
  EXPECT_EQ(S(copy->Value()), "fixed text");
}

TEST(VariableCopy, FieldSourceWithValidCachesCopiesThem) {
  FieldVariable field(kValueInteger);
  field.SetCaches("12", 12, 0.0, Variable::kTextValid | Variable::kIntegerValid, kValueText);
  Held copy(new Variable("c"));
  copy->SetValue_Variable(&field);
  EXPECT_EQ(copy->ValidForms(), Variable::kTextValid | Variable::kIntegerValid);
  EXPECT_EQ(copy->ValueType(), kValueText);
  EXPECT_EQ(S(copy->Value()), "12");
  EXPECT_EQ(copy->Value_Integer(), 12);
}

TEST(VariableCopy, FieldSourceWithoutValueReadsItsNaturalForm) {
  Held copy(new Variable("c"));
  FieldVariable integer(kValueInteger);
  copy->SetValue_Variable(&integer);
  EXPECT_EQ(copy->ValueType(), kValueInteger);
  EXPECT_EQ(copy->ValidForms(), Variable::kIntegerValid);
  EXPECT_EQ(copy->Value_Integer(), 99);

  FieldVariable number(kValueDouble);
  copy->SetValue_Variable(&number);
  EXPECT_EQ(copy->ValueType(), kValueDouble);
  EXPECT_EQ(copy->ValidForms(), Variable::kDoubleValid);
  EXPECT_EQ(copy->Value_Double(), 4.25);

  FieldVariable text(kValueText);
  copy->SetValue_Variable(&text);
  EXPECT_EQ(copy->ValueType(), kValueText);
  EXPECT_EQ(S(copy->Value()), "record");

  // Caches that are valid but carry no ValueType count as no value.
  FieldVariable stale(kValueInteger);
  stale.SetCaches("stale", 1, 0.0, Variable::kTextValid, kValueNone);
  copy->SetValue_Variable(&stale);
  EXPECT_EQ(copy->ValueType(), kValueInteger);
  EXPECT_EQ(copy->Value_Integer(), 99);
}

TEST(VariableCopy, ThroughReferenceTheTargetsStorageClassCounts) {
  FieldVariable field(kValueDouble);
  Held ref(new ReferenceVariable("r", &field));
  EXPECT_EQ(static_cast<ReferenceVariable*>(ref.get())->TargetStorageClass(), kStorageField);
  Held copy(new Variable("c"));
  copy->SetValue_Variable(ref.get());
  EXPECT_EQ(copy->Value_Double(), 4.25);
}

TEST(VariableCopy, OntoItselfChangesNothing) {
  Held v(new Variable("v", 1e-25));
  v->SetValue_Variable(v.get());
  EXPECT_EQ(v->Value_Double(), 1e-25);
  EXPECT_EQ(v->ValueType(), kValueDouble);

  Held a(new Variable("a"));
  a->Element(AggregateIndex(1), true)->SetValue("x", 1);
  Variable* element = a->Element(AggregateIndex(1), false);
  Held ref(new ReferenceVariable("r", a.get()));
  a->SetValue_Variable(a.get());
  a->SetValue_Variable(ref.get());
  EXPECT_EQ(a->Element(AggregateIndex(1), false), element);
  EXPECT_EQ(S(a->Value()), "x");
}

TEST(VariableCopy, AggregateCopyIsDeepAndIndependent) {
  Held a(new Variable("a"));
  a->Element(AggregateIndex(1), true)->SetValue("x", 1);
  a->Element(AggregateIndex(2), true)->Element(AggregateIndex("k"), true)->SetValue("y", 1);

  Held b(new Variable("b", "scalar"));
  b->SetValue_Variable(a.get());
  EXPECT_EQ(b->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(b->ValueType(), kValueNone);
  EXPECT_EQ(b->ValidForms(), 0);
  EXPECT_EQ(S(b->Value()), "x,y");
  Variable* nested = b->Element(AggregateIndex(2), false);
  ASSERT_NE(nested, nullptr);
  EXPECT_NE(nested, a->Element(AggregateIndex(2), false));
  EXPECT_EQ(nested->Aggregate_Type(), kAggregateStructure);

  nested->Element(AggregateIndex("k"), false)->SetValue("changed", -1);
  EXPECT_EQ(S(a->Value()), "x,y");
  a->Element(AggregateIndex(1), false)->SetValue("z", 1);
  EXPECT_EQ(S(b->Value()), "x,changed");

  Held c(new Variable(*a));
  EXPECT_EQ(S(c->Name()), "a");
  EXPECT_EQ(S(c->Value()), "z,y");
  EXPECT_NE(c->Element(AggregateIndex(1), false), a->Element(AggregateIndex(1), false));
}

TEST(VariableCopy, ElementOfTheDestinationCopiedOntoIt) {
  // a = a[1]: the source lives in the tree the copy replaces.
  Held a(new Variable("a"));
  a->Element(AggregateIndex(1), true)->SetValue("first", -1);
  a->Element(AggregateIndex(2), true)->SetValue("second", -1);
  a->SetValue_Variable(a->Element(AggregateIndex(1), false));
  EXPECT_EQ(a->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(S(a->Value()), "first");

  Held b(new Variable("b"));
  Variable* inner = b->Element(AggregateIndex(1), true);
  inner->Element(AggregateIndex(1), true)->SetValue("p", 1);
  inner->Element(AggregateIndex(2), true)->SetValue("q", 1);
  b->Element(AggregateIndex(2), true)->SetValue("r", 1);
  b->SetValue_Variable(inner);
  EXPECT_EQ(b->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(b->ElementsUsed(), 2);
  EXPECT_EQ(S(b->Value()), "p,q");

  // A reference into the tree, copied onto the tree's owner.
  Held c(new Variable("c"));
  c->Element(AggregateIndex("m"), true)->SetValue("deep", -1);
  Held ref(new ReferenceVariable("r", c->Element(AggregateIndex("m"), false)));
  c->SetValue_Variable(ref.get());
  EXPECT_EQ(S(c->Value()), "deep");
  EXPECT_EQ(S(ref->Value()), "deep");  // the reference keeps its old target alive
}

// --- References ----------------------------------------------------------

TEST(ReferenceVariable, ForwardsEverythingButNameAndCount) {
  Held target(new Variable("t", "hello"));
  Held ref(new ReferenceVariable("r", target.get()));
  EXPECT_EQ(S(ref->Name()), "r");
  EXPECT_EQ(S(ref->Value()), "hello");
  EXPECT_EQ(ref->StorageClass(), kStorageReference);
  EXPECT_EQ(ref->NextIdentity(), target.get());
  EXPECT_EQ(ref->RealIdentity(), target.get());

  EXPECT_TRUE(ref->SetValue("bye", 3));
  EXPECT_EQ(S(target->Value()), "bye");
  ref->SetValue_Integer(5);
  EXPECT_EQ(target->ValueType(), kValueInteger);
  EXPECT_EQ(ref->Value_Integer(), 5);

  ref->Element(AggregateIndex(1), true)->SetValue("e", 1);
  EXPECT_EQ(target->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(ref->Elements(), target->Elements());
  EXPECT_EQ(ref->Array_Max(), 1);
  EXPECT_EQ(S(ref->Value()), "e");

  ref->SetName("renamed", -1);
  EXPECT_EQ(S(ref->Name()), "renamed");
  EXPECT_EQ(S(target->Name()), "t");
  ref->Clear();
  EXPECT_TRUE(target->IsEmpty());
  EXPECT_EQ(target->Aggregate_Type(), kAggregateScalar);
}

TEST(ReferenceVariable, HoldsOneTargetCountPerOwnCount) {
  auto* target = new Variable("t", "x");
  auto* ref = new ReferenceVariable("r", target);
  EXPECT_EQ(target->ReferenceCount(), 2);
  EXPECT_EQ(ref->ReferenceCount(), 1);
  ref->AddReference();
  EXPECT_EQ(ref->ReferenceCount(), 2);
  EXPECT_EQ(target->ReferenceCount(), 3);
  ref->Free();
  EXPECT_EQ(ref->ReferenceCount(), 1);
  EXPECT_EQ(target->ReferenceCount(), 2);
  ref->Free();
  EXPECT_EQ(target->ReferenceCount(), 1);
  target->Free();
}

TEST(ReferenceVariable, DestroyedWithoutFreeGivesBackItsCounts) {
  Held target = Text("x");
  {
    ReferenceVariable ref("r", target.get());
    ref.AddReference();
    EXPECT_EQ(target->ReferenceCount(), 3);
  }
  EXPECT_EQ(target->ReferenceCount(), 1);
}

TEST(ReferenceVariable, ChainsResolveToTheLastLink) {
  Held c = Text("end");
  Held b(new ReferenceVariable("b", c.get()));
  Held a(new ReferenceVariable("a", b.get()));
  EXPECT_EQ(a->NextIdentity(), b.get());
  EXPECT_EQ(a->RealIdentity(), c.get());
  EXPECT_EQ(S(a->Value()), "end");
  EXPECT_EQ(c->ReferenceCount(), 3);
}

TEST(ReferenceVariable, ElementPathIsCreatedAndReferred) {
  Held target = Text("scalar");
  const AggregateIndex path[] = {AggregateIndex(2), AggregateIndex("City")};
  Held ref(new ReferenceVariable("r", target.get(), path, 2));
  EXPECT_EQ(target->Aggregate_Type(), kAggregateArray);
  Variable* element =
      target->Element(AggregateIndex(2), false)->Element(AggregateIndex("city"), false);
  ASSERT_NE(element, nullptr);
  EXPECT_EQ(ref->RealIdentity(), element);
  EXPECT_EQ(element->ReferenceCount(), 2);
  ref->SetValue("Oslo", -1);
  EXPECT_EQ(S(target->Value()), "Oslo");
  EXPECT_EQ(target->ReferenceCount(), 1);
}

TEST(MakeReference, KeepsAddressNameAndCount) {
  auto* v = new Variable("Name", "old");
  v->Element(AggregateIndex(1), true)->SetValue("released", -1);
  v->AddReference();
  Variable* holder = v;  // a second holder that kept the address
  Held target = Text("new");
  v->Make_Reference(target.get());
  EXPECT_TRUE(v->IsReference());
  EXPECT_EQ(S(v->Name()), "Name");
  EXPECT_EQ(v->ReferenceCount(), 2);
  EXPECT_EQ(target->ReferenceCount(), 3);
  EXPECT_EQ(S(holder->Value()), "new");
  EXPECT_EQ(holder->StorageClass(), kStorageReference);
  holder->SetValue("written", -1);
  EXPECT_EQ(S(target->Value()), "written");
  holder->Free();
  EXPECT_EQ(target->ReferenceCount(), 2);
  v->Free();
  EXPECT_EQ(target->ReferenceCount(), 1);

  // A target that only the variable's own elements held survives them.
  auto* w = new Variable("w");
  Variable* inner = w->Element(AggregateIndex(1), true);
  inner->SetValue("inner", -1);
  w->Make_Reference(inner);
  EXPECT_EQ(S(w->Value()), "inner");
  EXPECT_EQ(inner->ReferenceCount(), 1);
  w->Free();
}

TEST(MakeReference, ToItselfOrToItsOwnAliasDoesNothing) {
  Held v = Text("self");
  v->Make_Reference(v.get());
  EXPECT_FALSE(v->IsReference());
  Held alias(new ReferenceVariable("a", v.get()));
  Held alias_of_alias(new ReferenceVariable("aa", alias.get()));
  v->Make_Reference(alias.get());
  v->Make_Reference(alias_of_alias.get());
  EXPECT_FALSE(v->IsReference());
  EXPECT_EQ(S(v->Value()), "self");
  EXPECT_EQ(v->ReferenceCount(), 3);
}

TEST(MakeReference, RetargetingMovesTheCounts) {
  Held first = Text("first");
  Held second = Text("second");
  Held ref(new ReferenceVariable("r", first.get()));
  ref->AddReference();
  EXPECT_EQ(first->ReferenceCount(), 3);
  ref->Make_Reference(second.get());
  EXPECT_EQ(first->ReferenceCount(), 1);
  EXPECT_EQ(second->ReferenceCount(), 3);
  EXPECT_EQ(S(ref->Value()), "second");
  ref->Free();
  EXPECT_EQ(second->ReferenceCount(), 2);

  // Same target, an alias of it, itself, or anything that would close a
  // loop: nothing changes.
  Held alias(new ReferenceVariable("a", second.get()));
  Held back(new ReferenceVariable("b", ref.get()));
  const int32_t before = second->ReferenceCount();
  ref->Make_Reference(second.get());
  ref->Make_Reference(alias.get());
  ref->Make_Reference(ref.get());
  ref->Make_Reference(back.get());
  EXPECT_EQ(second->ReferenceCount(), before);
  EXPECT_EQ(ref->NextIdentity(), second.get());
}

TEST(BecomeNull, HoldersSeeAnEmptyNullValue) {
  auto* v = new Variable("field", "value");
  v->Element(AggregateIndex(1), true)->SetValue("gone", -1);
  v->AddReference();
  Variable* first = v;
  Variable* second = v;
  v->BecomeNull();
  EXPECT_TRUE(second->IsNull());
  EXPECT_EQ(second->StorageClass(), kStorageNull);
  EXPECT_EQ(S(second->Value()), "");
  EXPECT_TRUE(second->IsEmpty());
  EXPECT_FALSE(second->Value_Boolean());
  EXPECT_EQ(second->Aggregate_Type(), kAggregateScalar);
  EXPECT_TRUE(second->SetValue("ignored", -1));
  EXPECT_EQ(S(second->Value()), "");
  EXPECT_EQ(second->Element(AggregateIndex(1), true), second);
  first->Free();
  EXPECT_EQ(second->ReferenceCount(), 1);
  second->Free();
}

TEST(BecomeNull, AReferenceLetsGoOfItsTarget) {
  Held target = Text("t");
  auto* ref = new ReferenceVariable("r", target.get());
  ref->AddReference();
  EXPECT_EQ(target->ReferenceCount(), 3);
  ref->BecomeNull();
  EXPECT_EQ(target->ReferenceCount(), 1);
  EXPECT_EQ(S(ref->Value()), "");
  ref->Free();
  ref->Free();
  EXPECT_EQ(target->ReferenceCount(), 1);
}

// --- Read-only and null variables -------------------------------------------

TEST(ImmutableVariable, StoresSucceedAndChangeNothing) {
  Held v(new ImmutableVariable("c", "fixed"));
  Held other = Text("other");
  EXPECT_TRUE(v->SetValue("x", 1));
  EXPECT_TRUE(v->SetValue_Integer(1));
  EXPECT_TRUE(v->SetValue_Double(1.5));
  EXPECT_TRUE(v->SetValue_Variable(other.get()));
  // The buffer is given up even though it is not used (ASan checks).
  EXPECT_TRUE(v->SetValue_Nocopy(Malloced("leak?", 16), 5, 16));
  v->Clear();
  v->Make_Aggregate(kAggregateArray);
  v->Make_Reference(other.get());
  EXPECT_FALSE(v->IsReference());
  EXPECT_EQ(S(v->Value()), "fixed");
  EXPECT_EQ(v->ValueType(), kValueText);
  EXPECT_EQ(v->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(other->ReferenceCount(), 1);

  Held ref(new ReferenceVariable("r", v.get()));
  ref->SetValue("through", -1);
  EXPECT_EQ(S(v->Value()), "fixed");

  // A copy is read-only too, yet holds the value.
  ImmutableVariable copy(*static_cast<ImmutableVariable*>(v.get()));
  copy.SetValue("x", 1);
  EXPECT_EQ(S(copy.Value()), "fixed");
}

TEST(ImmutableVariable, LookupsNeverCreate) {
  Held v(new ImmutableVariable("c", "fixed"));
  EXPECT_EQ(v->Element(AggregateIndex(1), false), nullptr);
  Variable* null = v->Element(AggregateIndex(1), true);
  ASSERT_NE(null, nullptr);
  EXPECT_EQ(null->StorageClass(), kStorageNull);
  EXPECT_EQ(v->Element(AggregateIndex("m"), true), null);
  const AggregateIndex path[] = {AggregateIndex(1), AggregateIndex(2)};
  EXPECT_EQ(v->Element_Path(path, 2, true), null);
  EXPECT_EQ(v->Element_Path(path, 2, false), nullptr);
  EXPECT_EQ(v->Element_Path(path, 0, true), v.get());
  EXPECT_EQ(v->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(S(v->Value()), "fixed");
}

TEST(ImmutableVariable, ExistingElementsAreFoundButNeverChanged) {
  Held v(new ImmutableVariable("c"));
  // Filled through the base class, as a builder of read-only values would.
  v->Variable::Element(AggregateIndex(1), true)->SetValue("a", 1);
  v->Variable::Element(AggregateIndex(2), true)
      ->Element(AggregateIndex("k"), true)
      ->SetValue("b", 1);
  Variable* first = v->Element(AggregateIndex(1), false);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(v->Element(AggregateIndex(1), true), first);
  const AggregateIndex path[] = {AggregateIndex(2), AggregateIndex("K")};
  EXPECT_EQ(S(v->Element_Path(path, 2, false)->Value()), "b");
  const AggregateIndex missing[] = {AggregateIndex(2), AggregateIndex("x")};
  EXPECT_EQ(v->Element_Path(missing, 2, true)->StorageClass(), kStorageNull);
  // A member name on an array would discard the elements if it created.
  EXPECT_EQ(v->Element(AggregateIndex("name"), true)->StorageClass(), kStorageNull);

  Held other = Text("o");
  v->Set_Element(AggregateIndex(1), other.get());
  v->Set_Element(AggregateIndex(5), other.get());
  v->Insert_Array_Element(1, other.get());
  v->Delete_Element(AggregateIndex(1), true);
  v->Delete_Array_Elements(1, -1, true);
  v->Array_Copy(v.get(), 1, 2, 3, true);
  v->Array_Merge(v.get(), 1, 2, 1, false);
  EXPECT_EQ(other->ReferenceCount(), 1);
  EXPECT_EQ(v->ElementsUsed(), 2);
  EXPECT_EQ(v->Element(AggregateIndex(1), false), first);
  EXPECT_EQ(S(v->Value()), "a,b");
}

TEST(NULLVariable, IsTheUniversalEmptyValue) {
  Held null(new NULLVariable());
  bool flag = true;
  EXPECT_EQ(null->StorageClass(), kStorageNull);
  EXPECT_EQ(S(null->Value()), "");
  EXPECT_EQ(null->Value_Integer(), 0);
  EXPECT_EQ(null->Value_Double(), 0.0);
  EXPECT_EQ(null->Value_Double_Flagged(&flag), 0.0);
  EXPECT_FALSE(flag);
  EXPECT_FALSE(null->Value_Boolean());
  EXPECT_TRUE(null->IsEmpty());
  EXPECT_EQ(null->Element(AggregateIndex(1), true), null.get());
  EXPECT_EQ(null->Element(AggregateIndex(1), false), nullptr);
  const AggregateIndex path[] = {AggregateIndex("a"), AggregateIndex(3)};
  EXPECT_EQ(null->Element_Path(path, 2, true), null.get());
  EXPECT_EQ(null->Element_Path(path, 2, false), nullptr);
  null->SetValue("x", 1);
  null->SetValue_Integer(3);
  EXPECT_TRUE(null->SetValue_Nocopy(Malloced("abc", 8), 3, 8));
  null->Set_Element(AggregateIndex(1), null.get());
  EXPECT_EQ(null->ElementsUsed(), 0);
  EXPECT_TRUE(null->IsEmpty());
  EXPECT_EQ(null->ReferenceCount(), 1);
}

}  // namespace
}  // namespace lumo
