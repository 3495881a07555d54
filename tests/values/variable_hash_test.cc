// The name tables: VariableHash (entries, chains, lookups, paths), the
// stand-alone UserVariableHash, SystemVariableHash levels and the
// ReferenceVariableHash a called program lays over its caller's table.
#include <gtest/gtest.h>

#include <strings.h>

#include <functional>
#include <set>
#include <string>

#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "values/reference_variable_hash.h"
#include "values/system_variable_hash.h"
#include "values/variable_hash.h"
#include "values/variable_list.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

constexpr char kBadIndex[] = "Array index must be positive integer";

Variable* Found(VariableHash& hash, const char* name, bool create = false) {
  Variable* v = nullptr;
  hash.Find(&v, name, -1, create);
  return v;
}

// The value of each name, "-" for an entry without a variable.
std::string Values(VariableHash& hash, std::initializer_list<const char*> names) {
  std::string out;
  for (const char* name : names) {
    if (!out.empty()) out += ' ';
    out += Found(hash, name) ? V(Found(hash, name)) : "-";
  }
  return out;
}

// Every entry sits exactly once, in the bucket of its name, after shorter
// names and after names of its length that sort before it ignoring case.
void ExpectChainsSound(VariableHash& hash) {
  std::set<int32_t> seen;
  int32_t used = 0;
  for (int32_t b = 0; b < (int32_t{1} << hash.Bits()); ++b) {
    used += hash.BucketHead(b) >= 0;
    std::string previous;
    for (int32_t e = hash.BucketHead(b); e >= 0; e = hash.ChainNext(e)) {
      ASSERT_TRUE(seen.insert(e).second) << "entry " << e << " twice";
      const std::string name(hash.EntryName(e));
      EXPECT_EQ(hash.BucketOf(name.data(), static_cast<int32_t>(name.size())), uint32_t(b));
      const bool ordered = previous.size() < name.size() ||
                           (previous.size() == name.size() &&
                            strcasecmp(previous.c_str(), name.c_str()) <= 0);
      EXPECT_TRUE(ordered) << previous << " before " << name;
      previous = name;
    }
  }
  EXPECT_EQ(static_cast<int32_t>(seen.size()), hash.Count());
  EXPECT_EQ(used, hash.BucketsUsed());
}

class VariableHashTest : public ::testing::Test {
 protected:
  Dictionary dictionary_;
  VariableHash hash_{&dictionary_};
  SystemVariableHash system_{&dictionary_};
};
using SystemVariableHashTest = VariableHashTest;

TEST_F(VariableHashTest, ChainsStaySortedWhenEverythingCollides) {
  VariableHash hash(&dictionary_, 1, 4);
  const char* names[] = {"bb", "a",   "CCC", "B",  "ab", "c",   "Aa", "zz",   "ba",
                         "d",  "abc", "A1",  "a0", "Z",  "xyz", "_",  "long", "LONG2"};
  for (const char* name : names) hash.AddEntry(name, -1);
  ExpectChainsSound(hash);
  // Entry numbers are the order of addition, found whatever the case;
  // absent names shorter, between and longer than the chain's are not.
  for (int32_t i = 0; i < 18; ++i) EXPECT_EQ(hash.FindEntry(-1, names[i], -1), i) << names[i];
  EXPECT_EQ(hash.FindEntry(-1, "lOnG2", -1), 17);
  for (const char* absent : {"", "0", "e", "ac", "zzz", "abd", "zzzzzzzzzz", "b b"}) {
    EXPECT_EQ(hash.FindEntry(-1, absent, -1), -1) << absent;
  }
  // An equal name goes after the first, which is the one found.
  const int32_t again = hash.Insert(new Variable("AB", "2"));
  EXPECT_EQ(hash.FindEntry(-1, "ab", -1), 4);
  EXPECT_EQ(hash.ChainNext(4), again);
  ExpectChainsSound(hash);
}

TEST_F(VariableHashTest, GrowthKeepsEntryNumbersAndVariables) {
  VariableHash hash(&dictionary_, VariableHash::kLocalBits, VariableHash::kLocalCapacity);
  for (int i = 0; i < 600; ++i) {
    ASSERT_EQ(hash.Insert(new Variable(std::string("n").append(std::to_string(i)), int32_t{i})), i);
  }
  for (int i = 0; i < 600; ++i) {
    ASSERT_EQ(hash.FindEntry(-1, std::string("N").append(std::to_string(i)).c_str(), -1), i);
    ASSERT_EQ(hash.Index(i, false)->Value_Integer(), i);
  }
  ExpectChainsSound(hash);
}

TEST_F(VariableHashTest, FindAndIndexCreateOnlyForExistingEntries) {
  const int32_t e = hash_.AddEntry(dictionary_.AddEntry("Empty", -1));
  Variable* v = reinterpret_cast<Variable*>(1);
  EXPECT_TRUE(hash_.Find(&v, "empty", -1, false)); EXPECT_EQ(v, nullptr);
  EXPECT_EQ(hash_.Index(e, false), nullptr);
  EXPECT_TRUE(hash_.Find(&v, "EMPTY", -1, true)); EXPECT_EQ(hash_.Index(e, false), v);
  EXPECT_EQ(S(v->Name()), "Empty");
  EXPECT_FALSE(hash_.Find(&v, "missing", -1, true)); EXPECT_EQ(v, nullptr);
  EXPECT_EQ(hash_.Index(-1, true), nullptr);
  EXPECT_EQ(hash_.Index(1, true), nullptr);
  EXPECT_EQ(S(hash_.Index(hash_.AddEntry("second", -1), true)->Name()), "second");
  EXPECT_EQ(hash_.Count(), 2);
}

TEST_F(VariableHashTest, InsertReplaceAndSetVariable) {
  Held kept(new Variable("a", "1"));
  kept->AddReference(); hash_.Insert(kept.get());  // that reference passes to the table
  hash_.ReplaceVariable(new Variable("A", "2")); hash_.ReplaceVariable(new Variable("b", "new"));
  EXPECT_EQ(Values(hash_, {"a", "B"}) + " " + Counts({kept.get()}), "2 new 1");
  // SetVariable stores into the variable in place, or makes one.
  Variable* b = Found(hash_, "b");
  EXPECT_EQ(hash_.SetVariable("B", 1, "xyz", 2), b);
  hash_.AddEntry("d", -1);
  Variable* d = hash_.SetVariable("d", -1, "4", -1);
  EXPECT_EQ(hash_.Index(2, false), d);
  EXPECT_EQ(Values(hash_, {"b", "d"}) + " " + std::to_string(hash_.Count()), "xy 4 3");
}

TEST_F(VariableHashTest, MakeReferenceAndClearVariable) {
  Held old(new Variable("x", "old")), target(new Variable("t", "target"));
  old->AddReference();
  const int32_t e = hash_.Insert(old.get());
  for (int32_t entry : {e, 99, -1}) hash_.MakeReference(entry, target.get());
  Variable* ref = hash_.Index(e, false);
  EXPECT_EQ(ref->StorageClass(), kStorageReference);
  EXPECT_EQ(S(ref->Name()) + " " + V(ref) + " " + Counts({target.get(), old.get()}),
            "x target 2 1");
  target->AddReference();
  const int32_t holder = hash_.Insert(target.get());  // the table holds the target itself
  hash_.MakeReference(holder, target.get()); EXPECT_EQ(hash_.Index(holder, false), target.get());
  EXPECT_EQ(target->ReferenceCount(), 3);
  EXPECT_TRUE(hash_.ClearVariable("X", -1));  // through the reference
  EXPECT_TRUE(target->IsEmpty());
  hash_.AddEntry("bare", -1); EXPECT_TRUE(hash_.ClearVariable("bare", -1));
  EXPECT_FALSE(hash_.ClearVariable("missing", -1));
}

TEST_F(VariableHashTest, ListDumpAndCopyNames) {
  VariableHash locals(&dictionary_);
  hash_.SetVariable("a", -1, "1", -1);
  hash_.AddEntry("empty", -1);
  hash_.SetVariable("Total", -1, "2", -1);
  {
    VariableList list;
    hash_.List(list);
    EXPECT_EQ(V(list.First()) + V(list.Last()) + Counts({Found(hash_, "a")}), "122");
  }
  // Locals get the same names, chains and numbers without variables.
  locals.CopyNames(hash_);
  EXPECT_EQ(std::to_string(locals.FindEntry(-1, "TOTAL", -1)) + Values(locals, {"a"}), "2-");
  hash_.Dump();
  EXPECT_EQ(Values(hash_, {"a", "Total"}) + " " + std::to_string(hash_.Count()), "- - 3");
}

TEST(UserVariableHash, OwnsItsDictionaryAndIgnoresCase) {
  auto* hash = new UserVariableHash();
  hash->SetVariable("City", -1, "Oslo", -1); hash->SetVariable("CITY", -1, "Bergen", -1);
  EXPECT_EQ(Values(*hash, {"city"}) + S(Found(*hash, "city")->Name()), "BergenCity");
  EXPECT_EQ(hash->GetDictionary()->Count(), 1);
  delete hash;  // dictionary and variables go with it
}

class VariableHashPath : public VariableHashTest {
 protected:
  void SetUp() override {
    hash_.SetVariable("a", -1, "", 0)->SetValue_Variable(Make("[0=zero,one,{City=Oslo}]").get());
  }
  // The text found, "<null>" for none, then "!" and the error if it failed.
  std::string Path(const char* path, bool create = false, int32_t length = -1) {
    Variable* v = reinterpret_cast<Variable*>(1);
    hash_.SetErrorText("");
    const bool ok = hash_.FindPath(&v, path, length, create);
    std::string out = V(v);
    if (!ok) out.append("!").append(S(hash_.ErrorText()));
    return out;
  }
};

TEST_F(VariableHashPath, SelectorsValidMissingAndInvalid) {
  const std::pair<const char*, const char*> cases[] = {
      {"a[1]", "one"},    {"A[2]:CITY", "Oslo"}, {"a[ 2 ]:City", "Oslo"}, {"a[]", "zero"},
      {"a[  ]", "zero"},  {"a[02]:City", "Oslo"},
      // A missing step is no variable, and success.
      {"nosuch", "<null>"}, {"nosuch[1]", "<null>"}, {"a[9]", "<null>"}, {"a[2]:nosuch", "<null>"},
      {"a:member", "<null>"}, {"a[1][1]", "<null>"}, {"a[9]:x", "<null>"}};
  for (auto [path, text] : cases) EXPECT_EQ(Path(path), text) << path;
  for (const char* path : {"a[a]", "a[-1]", "a[2", "a[", "a[1]y", "a[1]]", "a[1]x]", "a[2]:City[x]",
                           "a[1 x]", "a[+1]"}) {
    EXPECT_EQ(Path(path), std::string("<null>!") + kBadIndex) << path;
  }
  EXPECT_EQ(Path("a[1]junk", false, 4), "one");  // the length bounds the path
  EXPECT_EQ(std::to_string(hash_.Count()) + Dump(Found(hash_, "a")), "10=zero 1=one 2=Oslo");
  EXPECT_EQ(Path("b[3]:k", true), "");
  Variable* b3 = Found(hash_, "B")->Element(AggregateIndex(3), false);
  EXPECT_EQ(b3->Aggregate_Type(), kAggregateStructure);
}

TEST_F(VariableHashPath, AppendBuildsArraysFromRepeatedValues) {
  auto set = [this](const char* path, const char* value, bool append = true) {
    return hash_.SetPathValue(path, -1, value, -1, append);
  };
  ASSERT_TRUE(set("f", "1")); EXPECT_EQ(Found(hash_, "f")->Aggregate_Type(), kAggregateScalar);
  ASSERT_TRUE(set("F", "2") && set("f", "3"));
  EXPECT_EQ(Path("f[1]") + Path("F[3]") + " " + Path("f"), "13 1,2,3");
  ASSERT_TRUE(set("f", "only", false));
  EXPECT_EQ(Found(hash_, "f")->Aggregate_Type(), kAggregateScalar);
  // An empty scalar is simply replaced; an empty array gets element 1.
  hash_.SetVariable("e", -1, "", 0);
  hash_.SetVariable("ea", -1, "", 0)->Make_Aggregate(kAggregateArray);
  ASSERT_TRUE(set("e", "x") && set("ea", "y")); EXPECT_EQ(Path("e") + Path("ea[1]"), "xy");
  ASSERT_TRUE(set("form:tags", "t1") && set("form:tags", "t2"));
  EXPECT_EQ(Path("form:tags[2]") + Path("form"), "t2t1,t2");
  EXPECT_FALSE(set("g[x]", "v", false)); EXPECT_EQ(S(hash_.ErrorText()), kBadIndex);
}

// Set twice after one Push, by each way of storing: Pop brings back the
// very variable that was there, which its holders saw unchanged.
TEST_F(SystemVariableHashTest, PopRestoresWhatWasSetTwiceAfterPush) {
  Variable* original = system_.SetVariable("x", -1, "1", -1);
  Held target(new Variable("t", "target")), holder(original);
  original->AddReference();
  const std::function<void(const char*)> stores[] = {
      [&](const char* v) { system_.ReplaceVariable(new Variable("X", v)); },
      [&](const char* v) { system_.SetVariable("x", -1, v, -1); },
      [&](const char* v) { EXPECT_EQ(system_.AddEntry(-1, "X", -1, new Variable("x", v)), 0); },
      [&](const char*) { system_.MakeReference(0, target.get()); }};
  for (const auto& store : stores) {
    system_.Push(); store("2"); store("3");
    EXPECT_NE(system_.Index(0, false), original);
    EXPECT_TRUE(system_.Pop()); EXPECT_EQ(system_.Index(0, false), original);
    EXPECT_EQ(Values(system_, {"x"}) + " " + Counts({original, target.get()}) + " " +
                  std::to_string(system_.EntryTagOf(0)),
              "1 2 1 0");
    EXPECT_EQ(system_.Count(), 1);
  }
  EXPECT_FALSE(system_.Pop()); EXPECT_EQ(Values(system_, {"x"}), "1");  // at level 0
}

TEST_F(SystemVariableHashTest, NamesNewAfterPushAreEmptiedByPop) {
  system_.SetVariable("old", -1, "o", -1);
  const int32_t found = system_.AddEntry("found", -1);
  system_.Push(); system_.SetVariable("new", -1, "n", -1);
  system_.AddEntry(-1, "other", -1, new Variable("other", "x"));
  Variable* created = Found(system_, "found", true);
  EXPECT_EQ(system_.Index(found, false), created);
  system_.Pop();  // entries are never removed; their variables are
  EXPECT_EQ(Values(system_, {"old", "found", "new", "other"}) + std::to_string(system_.Count()) +
                std::to_string(system_.EntryTagOf(2)) + std::to_string(system_.EntryTagOf(3)),
            "o - - -400");
}

TEST_F(SystemVariableHashTest, LevelsUnwindOneAtATime) {
  Variable* x = system_.SetVariable("x", -1, "1", -1);
  EXPECT_EQ(system_.SetVariable("x", -1, "1", -1), x);  // level 0 stores in place
  system_.Push(); system_.SetVariable("x", -1, "2", -1); system_.SetVariable("only2", -1, "a", -1);
  system_.Push(); system_.SetVariable("x", -1, "3", -1); system_.SetVariable("only2", -1, "b", -1);
  system_.AddEntry(-1, "x", -1, new Variable("x", "4"));
  EXPECT_EQ(Values(system_, {"x", "only2"}) + " " + std::to_string(system_.EntryTagOf(0)), "4 b 2");
  EXPECT_TRUE(system_.Pop()); EXPECT_EQ(Values(system_, {"x", "only2"}), "2 a");
  EXPECT_TRUE(system_.Pop());
  EXPECT_EQ(Values(system_, {"x", "only2"}) + " " + std::to_string(system_.Level()), "1 - 0");
}

// The saved records are released, not restored; leaks would show.
TEST_F(SystemVariableHashTest, DestroyedWithPushedLevelsReleasesEverything) {
  Held outside(new Variable("held", "h"));
  {
    SystemVariableHash hash(&dictionary_);
    outside->AddReference(); hash.Insert(outside.get());
    hash.Push(); hash.SetVariable("held", -1, "replaced", -1); hash.SetVariable("a", -1, "1", -1);
    hash.Push(); hash.ReplaceVariable(new Variable("a", "2")); hash.MakeReference(0, outside.get());
    EXPECT_EQ(outside->ReferenceCount(), 3);
  }
  EXPECT_EQ(outside->ReferenceCount(), 1);
}

// The caller's globals and the called program's name table, read from an
// image. The two dictionaries number the same names differently on purpose.
class ReferenceVariableHashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    caller_.SetVariable("zzz", -1, "pad", -1);
    caller_.SetVariable("yyy", -1, "pad", -1);
    total_ = caller_.SetVariable("Total", -1, "100", -1);  // entry 2
    called_dictionary_.AddEntry("unrelated", -1);
    VariableHash image(&called_dictionary_);
    image.AddEntry("total", -1);    // own entry 0
    image.AddEntry("missing", -1);  // own entry 1
    MemoryStream stream;
    ASSERT_TRUE(image.Write(stream));
    ASSERT_TRUE(called_.ReadAt(stream, 0));
  }

  Dictionary caller_dictionary_, called_dictionary_;
  VariableHash caller_{&caller_dictionary_};
  ReferenceVariableHash called_{&called_dictionary_, &caller_};
  Variable* total_ = nullptr;
};

TEST_F(ReferenceVariableHashTest, OwnEntryNumberReachesTheCallersVariable) {
  EXPECT_EQ(called_.EntryTagOf(0), -1);  // not looked up yet
  EXPECT_EQ(called_.Index(0, false), total_); EXPECT_EQ(called_.EntryTagOf(0), 2);
  EXPECT_EQ(Found(called_, "TOTAL"), total_);
  EXPECT_EQ(Values(called_, {"yyy"}), "pad");  // not in the own table
  EXPECT_EQ(called_.Index(5, true), nullptr);
  EXPECT_EQ(called_.Index(-1, true), nullptr);
}

TEST_F(ReferenceVariableHashTest, GlobalTheCallerLacksIsFoundOnlyWithCreate) {
  Variable* v = reinterpret_cast<Variable*>(1);
  EXPECT_FALSE(called_.Find(&v, "missing", -1, false)); EXPECT_EQ(v, nullptr);
  EXPECT_EQ(called_.Index(1, false), nullptr);
  EXPECT_FALSE(called_.Find(&v, "nowhere", -1, true)); EXPECT_EQ(caller_.Count(), 3);
  EXPECT_TRUE(called_.Find(&v, "Missing", -1, true));
  EXPECT_EQ(caller_.FindEntry(-1, "missing", -1), 3);
  EXPECT_EQ(caller_.EntryName(3), "missing");
  EXPECT_EQ(caller_.Index(3, false), v);
  EXPECT_EQ(called_.Index(1, false), v);
  EXPECT_EQ(caller_.Count(), 4);
}

TEST_F(ReferenceVariableHashTest, ChangesActOnTheCaller) {
  called_.SetVariable("fresh", -1, "f", -1);
  const int32_t added = called_.AddEntry(-1, "added", -1, new Variable("added", "a"));
  EXPECT_EQ(added, caller_.FindEntry(-1, "added", -1));
  // A number of the called program's dictionary is turned into its text.
  EXPECT_EQ(caller_.EntryName(called_.AddEntry(called_.EntryNameNumber(1))), "missing");
  called_.ReplaceVariable(new Variable("TOTAL", "200"));
  EXPECT_EQ(Values(caller_, {"fresh", "added", "total"}) + " " + std::to_string(called_.Count()),
            "f a 200 6");
  EXPECT_TRUE(called_.ClearVariable("total", -1)); EXPECT_TRUE(Found(caller_, "total")->IsEmpty());
  VariableList list;
  called_.List(list); EXPECT_EQ(list.Entries(), 5);
  Held target(new Variable("t", "target"));
  called_.MakeReference(0, target.get());
  EXPECT_EQ(caller_.Index(2, false)->StorageClass(), kStorageReference);
  EXPECT_EQ(V(caller_.Index(2, false)), "target");
}

TEST_F(ReferenceVariableHashTest, PushAndPopActOnTheCallersSystemVariables) {
  SystemVariableHash system(&caller_dictionary_);
  ReferenceVariableHash middle(&called_dictionary_, &system), called(&called_dictionary_, &middle);
  system.SetVariable("x", -1, "1", -1); EXPECT_EQ(called.RealHash(), &system);
  called.Push(); called.SetVariable("x", -1, "2", -1);
  EXPECT_EQ(Values(system, {"x"}) + std::to_string(system.Level()), "21");
  EXPECT_TRUE(called.Pop()); EXPECT_EQ(Values(system, {"x"}), "1");
  EXPECT_FALSE(called.Pop());
  called_.Push(); EXPECT_FALSE(called_.Pop());  // over a plain table
}

}  // namespace
}  // namespace lumo
