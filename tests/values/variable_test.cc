// Scalars, conversions, copies, references and the read-only and null
// variables.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "values/variable.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <typename T>
Held New(T value) {
  return Held(new Variable("v", value));
}

char* Malloced(const char* text, int32_t capacity) {
  auto* p = static_cast<char*>(malloc(static_cast<size_t>(capacity)));
  memcpy(p, text, strlen(text));
  return p;
}

// The shortest text that reads back as exactly d ("-0", "inf", "-nan").
std::string Exact(double d) {
  char out[32];
  return std::string(out, std::to_chars(out, out + sizeof out, d).ptr);
}

// Value_Double_Flagged: "2.5", or "0 NaN" when flagged. The flag starts
// both ways, so it must be written either way.
std::string Flagged(Variable* v) {
  bool flag = false, other = true;
  const double d = v->Value_Double_Flagged(&flag);
  v->Value_Double_Flagged(&other);
  return flag != other ? "flag not written" : Exact(d) + (flag ? " NaN" : "");
}

// Value type, the valid forms (t, i, d) before the text is read, and the
// text: "double/id 2.5".
std::string State(Variable* v) {
  static const char* const kTypes[] = {"none", "text", "int", "double"};
  std::string out = std::string(kTypes[v->ValueType()]) + "/";
  if (v->ValidForms() & Variable::kTextValid) out += 't';
  if (v->ValidForms() & Variable::kIntegerValid) out += 'i';
  if (v->ValidForms() & Variable::kDoubleValid) out += 'd';
  return out + " " + S(v->Value());
}

// Each form is read from a fresh variable: a cache filled by one reading
// must not decide the next.
TEST(VariableConversion, TextToNumbers) {
  const struct { const char* text; int32_t integer; const char* number; bool numeric; } cases[] = {
      {"12abc", 0, "0", false}, {" 12", 12, "12", true},    {"12 ", 0, "0", false},
      {"1.5", 1, "1.5", true},  {"-1.5", -1, "-1.5", true}, {"1e3", 1000, "1000", true},
      {"2147483648", INT32_MIN, "2147483648", true},
      {"-2147483649", INT32_MAX, "-2147483649", true},
      // The spellings of the names are ParseDouble's; one of each here.
      {"Infinity", INT32_MIN, "inf", true}, {"-INF", INT32_MIN, "-inf", true}, {"+INF", 0, "0", false},
      {"-", 0, "0", false}, {"nAN", INT32_MIN, "nan", true}, {"-NaN", INT32_MIN, "-nan", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(New(c.text)->Value_Integer(), c.integer);
    EXPECT_EQ(Exact(New(c.text)->Value_Double()), c.number);
    EXPECT_EQ(Flagged(New(c.text).get()), c.number + std::string(c.numeric ? "" : " NaN"));
  }
}

TEST(VariableConversion, NumbersToTextAndTheTruncatedInteger) {
  const std::pair<double, const char*> texts[] = {
      {100.0, "100"}, {0.1, "0.1"}, {1e21, "1000000000000000000000"}, {1e-25, "0"}, {-0.0, "-0"},
      {-1234.5, "-1234.5"}, {kInf, "Infinity"}, {-kInf, "-Infinity"}, {kNaN, "NaN"}};
  for (auto [number, text] : texts) EXPECT_EQ(V(New(number).get()), text);
  EXPECT_EQ(V(New(INT32_MIN).get()), "-2147483648");
  // The (name, double) constructor makes the truncated integer valid too.
  EXPECT_EQ(State(New(2.9).get()), "double/id 2.9");
  const std::pair<double, int32_t> integers[] = {
      {2.9, 2},          {-2.9, -2},  {3e9, INT32_MIN},          {-3e9, INT32_MIN},
      {kNaN, INT32_MIN}, {2147483647.9, INT32_MAX}, {-2147483648.9, INT32_MIN}};
  for (auto [number, integer] : integers) EXPECT_EQ(New(number)->Value_Integer(), integer);
}

TEST(VariableConversion, StoreInvalidatesEveryOtherForm) {
  Held v = New("12");
  EXPECT_EQ(v->Value_Integer() + v->Value_Double(), 24.0);  // fills both caches
  v->SetValue_Double(2.5); EXPECT_EQ(v->Value_Integer(), 2);
  EXPECT_EQ(State(v.get()), "double/id 2.5");
  v->SetValue_Integer(-7); EXPECT_EQ(v->Value_Double(), -7.0);
  EXPECT_EQ(State(v.get()), "int/id -7");
  v->SetValue("3.75", -1); EXPECT_EQ(v->Value_Integer() + v->Value_Double(), 6.75);
  // An adopted buffer with room is kept; without room it is copied and
  // freed. Either way the caller gave it up, so a leak would show.
  EXPECT_TRUE(v->SetValue_Nocopy(Malloced("abc", 3), 3, 3));
  EXPECT_EQ(State(v.get()), "text/t abc");
  EXPECT_TRUE(v->SetValue_Nocopy(Malloced("xyz", 10), 3, 10));
  EXPECT_EQ(V(v.get()) + V(Held(new Variable("a", Malloced("hi", 8), 2, 8)).get()), "xyzhi");
}

TEST(VariableFlaggedDouble, StoredNumberWinsAndStoredTextIsParsedEachTime) {
  Held v = New(1e-25);
  EXPECT_EQ(V(v.get()), "0");
  EXPECT_EQ(Flagged(v.get()), "1e-25");
  v->SetValue_Integer(7); v->Value(); EXPECT_EQ(Flagged(v.get()), "7");
  // Value_Double caches 0.0 for a non-numeric text; that must not make the
  // text look numeric afterwards.
  for (auto [text, flagged] : {std::pair{"abc", "0 NaN"}, {"2.5", "2.5"}, {"x", "0 NaN"}}) {
    v->SetValue(text, -1); v->Value_Double(); EXPECT_EQ(Flagged(v.get()), flagged);
  }
  v->Clear();  // no value at all is 0; an aggregate is not a number
  EXPECT_EQ(Flagged(v.get()) + " " + Flagged(Make("[5]").get()), "0 0 NaN");
  EXPECT_EQ(Make("[5]")->Value_Integer(), 0);
}

TEST(VariableTruth, TextsAggregatesAndEmptiness) {
  // Which texts are true is TextTruth's; a few here, and aggregates by their text.
  const std::pair<const char*, bool> texts[] = {
      {"", false}, {"0.0", false}, {"-0", true}, {" 0", true}, {"0e0", true}, {"[0]", false}, {"[0,0]", true},
      {"{m=}", false}};
  for (auto [text, truth] : texts) EXPECT_EQ(Make(text)->Value_Boolean(), truth) << text;
  // Empty: no value or an empty text; never a number or an aggregate.
  Held none(new Variable("v")), cleared = Make("[x]");
  cleared->Clear(); EXPECT_EQ(cleared->Aggregate_Type(), kAggregateScalar);
  auto empty = [](const Held& v) { return v->IsEmpty() ? 'E' : '-'; };
  EXPECT_EQ((std::string{empty(none), empty(Make("")), empty(cleared), empty(New(int32_t{0})),
                         empty(New(0.0)), empty(Make("[]"))}),
            "EEE---");
}

// Reading the text of a stored number must not change its truth: the text
// of 1e-25 is "0" and the text of -0.0 is "-0".
TEST(VariableTruth, StoredNumberKeepsItsTruthAfterItsTextIsRead) {
  Held v(new Variable("v"));
  for (double d : {1e-25, -0.0, 0.0, 1e-300, 0.25, kNaN}) {
    v->SetValue_Double(d);
    const bool before = v->Value_Boolean();
    v->Value();
    EXPECT_EQ(std::make_pair(before, v->Value_Boolean()), std::make_pair(d != 0, d != 0)) << d;
  }
  v->SetValue_Integer(0); v->Value(); EXPECT_FALSE(v->Value_Boolean());
}

TEST(VariableTruth, StoringAScalarDiscardsTheElements) {
  Held a = Make("[xyz]");
  const String& own = a->Element(AggregateIndex(1), false)->Value();  // destroyed by the store
  a->SetValue(own.Text(), own.Length());
  EXPECT_EQ(State(a.get()) + std::to_string(a->Aggregate_Type()), "text/t xyz2");
  a->Element(AggregateIndex("k"), true); a->SetValue_Double(4.5); EXPECT_EQ(a->Elements(), nullptr);
}

// A source of any storage class whose caches hold 12 (valid as given) while
// it reads 99, 4.25 and "record": copying caches instead of reading shows.
class Source : public Variable {
 public:
  Source(int storage, int natural, uint8_t valid, uint8_t type)
      : Variable("s", "12"), storage_(storage), natural_(natural) {
    integer_ = 12;
    valid_ = valid; value_type_ = type;
  }
  int StorageClass() override { return storage_; }
  int NaturalType() override { return natural_; }
  const String& Value() override { return record_; }
  int32_t Value_Integer() override { return 99; }
  double Value_Double() override { return 4.25; }

 private:
  int storage_, natural_;
  String record_{"record"};
};

TEST(VariableCopy, EachStorageClass) {
  // Ordinary: 1e-25 with its text computed keeps the double rather than
  // reading the rounded text back; with no value the text is computed.
  Held ordinary = New(1e-25), empty(new Variable("e")), target = New("through");
  ordinary->Value();
  Held ref(new ReferenceVariable("r", target.get())), null(new NULLVariable());
  // Fixed and field sources are read, not copied. A field with valid caches
  // gives them; without a value (valid caches with no value type count as
  // none) it is read in its natural form, also behind a reference.
  const uint8_t t = Variable::kTextValid, i = Variable::kIntegerValid;
  Source fixed_integer(kStorageFixedInteger, 0, t, kValueText);
  Source fixed_text(kStorageFixedText, 0, i, kValueInteger);
  Source cached(kStorageField, kValueInteger, t | i, kValueText);
  Source integer(kStorageField, kValueInteger, 0, 0), text(kStorageField, kValueText, 0, 0);
  Source stale(kStorageField, kValueInteger, t, kValueNone);
  Source number(kStorageField, kValueDouble, 0, 0);
  Held field_ref(new ReferenceVariable("r", &number));
  const std::pair<Variable*, const char*> cases[] = {
      {ordinary.get(), "double/tid 0"}, {empty.get(), "none/t "}, {ref.get(), "text/t through"},
      {null.get(), "none/ "}, {&fixed_integer, "int/i 99"}, {&fixed_text, "text/t record"},
      {&cached, "text/ti 12"}, {&integer, "int/i 99"}, {&stale, "int/i 99"},
      {&text, "text/t record"}, {field_ref.get(), "double/d 4.25"}};
  for (auto [source, state] : cases) {
    Held copy = Make("[old]", "c");
    EXPECT_TRUE(copy->SetValue_Variable(source));
    EXPECT_EQ(State(copy.get()) + " " + S(copy->Name()) + std::to_string(copy->Aggregate_Type()),
              state + std::string(" c2"));
    if (source == ordinary.get()) {
      EXPECT_EQ(copy->Value_Double(), 1e-25);
    }
  }
  EXPECT_EQ(V(target.get()) + V(empty.get()), "through");
}

TEST(VariableCopy, OntoItselfChangesNothing) {
  Held v = New(1e-25), a = Make("[x]");
  v->SetValue_Variable(v.get()); EXPECT_EQ(v->Value_Double(), 1e-25);
  Variable* element = a->Element(AggregateIndex(1), false);
  a->SetValue_Variable(a.get());
  a->SetValue_Variable(Held(new ReferenceVariable("r", a.get())).get());
  EXPECT_EQ(a->Element(AggregateIndex(1), false), element);
  EXPECT_EQ(V(a.get()), "x");
}

TEST(VariableCopy, AggregateCopyIsDeepAndIndependent) {
  Held a = Make("[x,{k=y}]", "a"), b = New("scalar");
  b->SetValue_Variable(a.get());
  Held c(new Variable(*a));
  EXPECT_EQ(b->ValidForms(), 0);
  EXPECT_EQ(b->Element(AggregateIndex(2), false)->Aggregate_Type(), kAggregateStructure);
  b->Element(AggregateIndex(2), false)->Element(AggregateIndex("k"), false)->SetValue("B", 1);
  c->Element(AggregateIndex(1), false)->SetValue("C", 1);
  EXPECT_EQ(S(c->Name()) + " " + V(a.get()) + " " + V(b.get()) + " " + V(c.get()),
            "a x,y x,B C,y");
}

// The source lives in the tree that the copy replaces.
TEST(VariableCopy, ElementOfTheDestinationCopiedOntoIt) {
  Held a = Make("[first,second]"), b = Make("[[p,q],r]"), c = Make("{m=deep}");
  a->SetValue_Variable(a->Element(AggregateIndex(1), false));
  b->SetValue_Variable(b->Element(AggregateIndex(1), false));
  EXPECT_EQ(V(a.get()) + std::to_string(a->Aggregate_Type()) + " " + Dump(b.get()),
            "first2 1=p 2=q");
  // A reference into the tree keeps its old target alive.
  Held ref(new ReferenceVariable("r", c->Element(AggregateIndex("m"), false)));
  c->SetValue_Variable(ref.get()); EXPECT_EQ(V(c.get()) + V(ref.get()), "deepdeep");
}

TEST(ReferenceVariable, ForwardsEverythingButNameAndCount) {
  Held target(new Variable("t", "hello")), ref(new ReferenceVariable("r", target.get()));
  EXPECT_EQ(V(ref.get()) + std::to_string(ref->StorageClass()), "hello1");
  EXPECT_TRUE(ref->SetValue_Integer(5));
  EXPECT_EQ(State(target.get()), "int/i 5");
  ref->Element(AggregateIndex(1), true)->SetValue("e", 1);
  EXPECT_EQ(ref->Elements(), target->Elements());
  EXPECT_EQ(ref->Array_Max(), 1);
  ref->SetName("renamed", -1); ref->Clear();
  EXPECT_EQ(S(ref->Name()) + S(target->Name()) + std::to_string(target->Aggregate_Type()),
            "renamedt2");
}

TEST(ReferenceVariable, HoldsOneTargetCountPerOwnCount) {
  Held target = New("x");
  auto* ref = new ReferenceVariable("r", target.get());
  ref->AddReference(); EXPECT_EQ(Counts({ref, target.get()}), "2 3");
  ref->Free(); EXPECT_EQ(Counts({ref, target.get()}), "1 2");
  ref->Free();
  {
    ReferenceVariable local("r", target.get());  // destroyed without Free
    local.AddReference(); EXPECT_EQ(target->ReferenceCount(), 3);
  }
  EXPECT_EQ(target->ReferenceCount(), 1);
  Held b(new ReferenceVariable("b", target.get())), a(new ReferenceVariable("a", b.get()));
  EXPECT_EQ(a->NextIdentity(), b.get());
  EXPECT_EQ(a->RealIdentity(), target.get());
  EXPECT_EQ(V(a.get()) + " " + Counts({a.get(), b.get(), target.get()}), "x 1 2 3");
}

TEST(ReferenceVariable, ElementPathIsCreatedAndReferred) {
  Held target = New("scalar");
  const AggregateIndex path[] = {AggregateIndex(2), AggregateIndex("City")};
  Held ref(new ReferenceVariable("r", target.get(), path, 2));
  Variable* element = target->Element_Path(path, 2, false);
  ASSERT_NE(element, nullptr);
  EXPECT_EQ(ref->RealIdentity(), element);
  ref->SetValue("Oslo", -1);
  EXPECT_EQ(V(target.get()) + " " + Counts({element, target.get()}), "Oslo 2 1");
}

TEST(MakeReference, KeepsAddressNameAndCount) {
  Variable* v = Make("[released]", "Name").release();
  v->AddReference();  // a second holder that kept the address
  Held target = New("new");
  v->Make_Reference(target.get()); v->SetValue("written", -1);
  EXPECT_EQ(S(v->Name()) + " " + V(target.get()) + " " + Counts({v, target.get()}),
            "Name written 2 3");
  v->Free(); EXPECT_EQ(target->ReferenceCount(), 2);
  v->Free(); EXPECT_EQ(target->ReferenceCount(), 1);
  // A target that only the variable's own elements held survives them.
  Variable* w = Make("[inner]").release();
  Variable* inner = w->Element(AggregateIndex(1), false);
  w->Make_Reference(inner); EXPECT_EQ(V(w) + " " + Counts({inner}), "inner 1");
  w->Free();
}

TEST(MakeReference, RetargetingMovesTheCountsAndLoopsAreRefused) {
  Held first = New("first"), second = New("second"), ref(new ReferenceVariable("r", first.get()));
  ref->AddReference(); ref->Make_Reference(second.get());
  EXPECT_EQ(V(ref.get()) + " " + Counts({first.get(), second.get()}), "second 1 3");
  ref->Free();
  // The same target, an alias of it, itself, or a loop: nothing changes.
  Held alias(new ReferenceVariable("a", second.get())), back(new ReferenceVariable("b", ref.get()));
  for (Variable* to : {second.get(), alias.get(), ref.get(), back.get()}) ref->Make_Reference(to);
  EXPECT_EQ(Counts({first.get(), second.get()}), "1 4");  // alias and back add one each
  EXPECT_EQ(ref->NextIdentity(), second.get());
  Held v = New("self"), own(new ReferenceVariable("a", v.get()));
  Held own_of_own(new ReferenceVariable("aa", own.get()));
  for (Variable* to : {v.get(), own.get(), own_of_own.get()}) v->Make_Reference(to);
  EXPECT_FALSE(v->IsReference());
  EXPECT_EQ(V(v.get()) + " " + Counts({v.get()}), "self 3");
}

TEST(BecomeNull, HoldersSeeAnEmptyNullValueAndTargetsAreReleased) {
  Variable* v = Make("[gone]").release();
  v->AddReference();  // two holders
  v->BecomeNull(); EXPECT_TRUE(v->SetValue("ignored", -1));
  EXPECT_EQ(v->Element(AggregateIndex(1), true), v);
  EXPECT_EQ(std::to_string(v->StorageClass()) + std::to_string(v->Aggregate_Type()) + V(v), "22");
  v->Free(); EXPECT_EQ(v->ReferenceCount(), 1);
  v->Free();
  Held target = New("t");
  auto* ref = new ReferenceVariable("r", target.get());
  ref->AddReference(); ref->BecomeNull(); EXPECT_EQ(V(ref) + Counts({target.get()}), "1");
  ref->Free(); ref->Free();
}

TEST(ImmutableVariable, StoresSucceedAndChangeNothing) {
  Held v(new ImmutableVariable("c", "fixed")), other = New("other");
  // The buffer handed over is freed all the same.
  EXPECT_TRUE(v->SetValue("x", 1) && v->SetValue_Integer(1) && v->SetValue_Double(1.5) &&
              v->SetValue_Variable(other.get()) && v->SetValue_Nocopy(Malloced("x", 16), 1, 16));
  v->Clear(); v->Make_Aggregate(kAggregateArray); v->Make_Reference(other.get());
  Held(new ReferenceVariable("r", v.get()))->SetValue("through", -1);
  EXPECT_FALSE(v->IsReference());
  EXPECT_EQ(State(v.get()) + std::to_string(v->Aggregate_Type()) + " " + Counts({other.get()}),
            "text/t fixed2 1");
  ImmutableVariable copy(*static_cast<ImmutableVariable*>(v.get()));  // read-only too
  copy.SetValue("x", 1); EXPECT_EQ(S(copy.Value()), "fixed");
}

TEST(ImmutableVariable, ElementsAreFoundButNeverCreatedOrChanged) {
  Held v(new ImmutableVariable("c")), other = New("o");
  const AggregateIndex path[] = {AggregateIndex(2), AggregateIndex("K")};
  EXPECT_EQ(v->Element(AggregateIndex(1), false), nullptr);
  Variable* null = v->Element(AggregateIndex(1), true);
  ASSERT_NE(null, nullptr);
  EXPECT_EQ(null->StorageClass(), kStorageNull);
  EXPECT_EQ(v->Element_Path(path, 2, true), null);
  EXPECT_EQ(v->Aggregate_Type(), kAggregateScalar);
  // Filled through the base class, as a builder of read-only values would.
  v->Variable::Element(AggregateIndex(1), true)->SetValue("a", 1);
  v->Variable::Element(AggregateIndex(2), true)->SetValue_Variable(Make("{k=b}").get());
  Variable* first = v->Element(AggregateIndex(1), true);
  EXPECT_EQ(V(first) + V(v->Element_Path(path, 2, true)), "ab");
  // A member name on an array would discard the elements if it created.
  EXPECT_EQ(v->Element(AggregateIndex("name"), true), null);
  v->Set_Element(AggregateIndex(1), other.get()); v->Set_Element(AggregateIndex(5), other.get());
  v->Insert_Array_Element(1, other.get()); v->Delete_Element(AggregateIndex(1), true);
  v->Delete_Array_Elements(1, -1, true); v->Array_Copy(v.get(), 1, 2, 3, true);
  v->Array_Merge(v.get(), 1, 2, 1, false); EXPECT_EQ(v->Element(AggregateIndex(1), false), first);
  EXPECT_EQ(V(v.get()) + " " + Counts({other.get()}), "a,b 1");
}

TEST(NULLVariable, IsTheUniversalEmptyValue) {
  Held null(new NULLVariable());
  const AggregateIndex path[] = {AggregateIndex("a"), AggregateIndex(3)};
  null->SetValue("x", 1); null->SetValue_Integer(3);
  EXPECT_TRUE(null->SetValue_Nocopy(Malloced("abc", 8), 3, 8));  // freed, not kept
  null->Set_Element(AggregateIndex(1), null.get());
  EXPECT_EQ(std::to_string(null->StorageClass()) + Flagged(null.get()) + V(null.get()) +
                std::to_string(null->ElementsUsed()) + Counts({null.get()}),
            "2001");
  EXPECT_FALSE(null->Value_Boolean());
  EXPECT_TRUE(null->IsEmpty());
  EXPECT_EQ(null->Element(AggregateIndex(1), false), nullptr);
  EXPECT_EQ(null->Element_Path(path, 2, true), null.get());
}

}  // namespace
}  // namespace lumo
