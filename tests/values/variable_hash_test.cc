// VariableHash: entries, chains, lookups, paths and the stand-alone
// UserVariableHash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "core/base/dictionary.h"
#include "values/variable_hash.h"
#include "values/variable_list.h"
#include "tests/values/held.h"

namespace lumo {
namespace {

constexpr char kBadIndex[] = "Array index must be positive integer";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// Chain order: shorter names first, then case-insensitive byte order.
bool ChainOrdered(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return Lower(a) <= Lower(b);
}

Variable* Found(VariableHash& hash, const char* name, bool create = false) {
  Variable* v = nullptr;
  hash.Find(&v, name, -1, create);
  return v;
}

// Walks every chain: each entry sits exactly once, in the bucket of its
// name, in chain order.
void ExpectChainsSound(VariableHash& hash) {
  std::set<int32_t> seen;
  int32_t used = 0;
  for (int32_t b = 0; b < (int32_t{1} << hash.Bits()); ++b) {
    int32_t e = hash.BucketHead(b);
    if (e >= 0) ++used;
    std::string_view previous;
    bool first = true;
    for (; e >= 0; e = hash.ChainNext(e)) {
      ASSERT_TRUE(seen.insert(e).second) << "entry " << e << " twice";
      std::string_view name = hash.EntryName(e);
      EXPECT_EQ(hash.BucketOf(name.data(), static_cast<int32_t>(name.size())),
                static_cast<uint32_t>(b));
      if (!first) {
        EXPECT_TRUE(ChainOrdered(previous, name)) << previous << " before " << name;
      }
      previous = name;
      first = false;
    }
  }
  EXPECT_EQ(static_cast<int32_t>(seen.size()), hash.Count());
  EXPECT_EQ(used, hash.BucketsUsed());
}

TEST(VariableHash, NamesDifferingInCaseFindTheSameEntry) {
  Dictionary dictionary;
  VariableHash hash(&dictionary);
  Variable* v = hash.SetVariable("City", -1, "Oslo", -1);
  EXPECT_EQ(Found(hash, "CITY"), v);
  EXPECT_EQ(Found(hash, "city"), v);
  EXPECT_EQ(hash.FindEntry(-1, "cItY", -1), 0);
  EXPECT_EQ(hash.EntryName(0), "City");
  EXPECT_EQ(S(v->Name()), "City");
  EXPECT_EQ(hash.BucketOf("CITY", 4), hash.BucketOf("city", 4));
  hash.SetVariable("CITY", -1, "Bergen", -1);
  EXPECT_EQ(hash.Count(), 1);
  EXPECT_EQ(S(v->Value()), "Bergen");
}

TEST(VariableHash, ChainsStaySortedWhenEverythingCollides) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 1, 4);
  const char* names[] = {"bb", "a",   "CCC", "B",  "ab", "c",   "Aa", "zz",   "ba",
                         "d",  "abc", "A1",  "a0", "Z",  "xyz", "_",  "long", "LONG2"};
  for (const char* name : names) hash.AddEntry(name, -1);
  EXPECT_EQ(hash.Count(), 18);
  ExpectChainsSound(hash);
  // Entry numbers are the order of addition.
  for (int32_t i = 0; i < 18; ++i) EXPECT_EQ(hash.EntryName(i), names[i]);

  // Present names are found, absent ones (shorter, between, longer than
  // every name in the chain) are not.
  for (int32_t i = 0; i < 18; ++i) EXPECT_EQ(hash.FindEntry(-1, names[i], -1), i) << names[i];
  for (const char* absent : {"", "0", "e", "ac", "zzz", "abd", "zzzzzzzzzz", "b b"}) {
    EXPECT_EQ(hash.FindEntry(-1, absent, -1), -1) << absent;
  }
}

TEST(VariableHash, EqualNameAddedTwiceFindsTheFirst) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 0, 4);
  hash.AddEntry("other", -1);
  const int32_t first = hash.Insert(new Variable("x", "1"));
  const int32_t second = hash.Insert(new Variable("X", "2"));
  EXPECT_NE(first, second);
  EXPECT_EQ(hash.FindEntry(-1, "x", -1), first);
  EXPECT_EQ(S(Found(hash, "x")->Value()), "1");
  ExpectChainsSound(hash);
  EXPECT_EQ(hash.ChainNext(first), second);
}

TEST(VariableHash, GrowthKeepsEntryNumbersAndVariables) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, VariableHash::kLocalBits, VariableHash::kLocalCapacity);
  EXPECT_EQ(hash.Capacity(), 64);
  for (int i = 0; i < 600; ++i) {
    std::string name = "name" + std::to_string(i);
    auto* v = new Variable(name, int32_t{i});
    ASSERT_EQ(hash.Insert(v), i);
  }
  EXPECT_EQ(hash.Capacity(), 64 + 2 * 512);
  for (int i = 0; i < 600; ++i) {
    std::string name = "NAME" + std::to_string(i);
    ASSERT_EQ(hash.FindEntry(-1, name.c_str(), -1), i);
    ASSERT_EQ(hash.Index(i, false)->Value_Integer(), i);
  }
  ExpectChainsSound(hash);
}

TEST(VariableHash, FindAndIndexCreateOnlyForExistingEntries) {
  Dictionary dictionary;
  VariableHash hash(&dictionary);
  const int32_t e = hash.AddEntry("Empty", -1);
  Variable* v = reinterpret_cast<Variable*>(1);
  EXPECT_TRUE(hash.Find(&v, "empty", -1, false));
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(hash.Index(e, false), nullptr);

  EXPECT_TRUE(hash.Find(&v, "EMPTY", -1, true));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(S(v->Name()), "Empty");
  EXPECT_TRUE(v->IsEmpty());
  EXPECT_EQ(hash.Index(e, false), v);
  EXPECT_EQ(Found(hash, "empty", true), v);

  EXPECT_FALSE(hash.Find(&v, "missing", -1, true));
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(hash.Count(), 1);

  EXPECT_EQ(hash.Index(-1, true), nullptr);
  EXPECT_EQ(hash.Index(1, true), nullptr);
  const int32_t n = hash.AddEntry("second", -1);
  Variable* created = hash.Index(n, true);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(S(created->Name()), "second");
}

TEST(VariableHash, AddEntryByNumberReadsTheName) {
  Dictionary dictionary;
  const int32_t number = dictionary.AddEntry("Known", -1);
  VariableHash hash(&dictionary);
  const int32_t e = hash.AddEntry(number);
  EXPECT_EQ(hash.EntryNameNumber(e), number);
  EXPECT_EQ(hash.FindEntry(-1, "KNOWN", -1), e);
  EXPECT_EQ(hash.FindEntry(number, nullptr, 0), e);
  EXPECT_EQ(hash.EntryTagOf(e), 0);
}

TEST(VariableHash, InsertReplaceAndSetVariableOwnership) {
  Dictionary dictionary;
  {
    VariableHash hash(&dictionary);
    auto* kept = new Variable("a", "1");
    kept->AddReference();  // the test's own hold
    hash.Insert(kept);     // the creator's reference passes to the table
    EXPECT_EQ(kept->ReferenceCount(), 2);

    hash.ReplaceVariable(new Variable("A", "2"));
    EXPECT_EQ(kept->ReferenceCount(), 1);
    EXPECT_EQ(S(Found(hash, "a")->Value()), "2");
    kept->Free();

    hash.ReplaceVariable(new Variable("b", "new"));
    EXPECT_EQ(hash.Count(), 2);
    EXPECT_EQ(S(Found(hash, "B")->Value()), "new");

    // SetVariable stores into the variable in place.
    Variable* b = Found(hash, "b");
    EXPECT_EQ(hash.SetVariable("B", 1, "xyz", 2), b);
    EXPECT_EQ(S(b->Value()), "xy");
    Variable* c = hash.SetVariable("c", -1, "3", -1);
    EXPECT_EQ(Found(hash, "c"), c);
    hash.AddEntry("d", -1);
    Variable* d = hash.SetVariable("d", -1, "4", -1);
    EXPECT_EQ(hash.Count(), 4);
    EXPECT_EQ(hash.Index(3, false), d);
  }
  // Everything released with the hash: leak checking shows the rest.
}

TEST(VariableHash, MakeReferenceAndClearVariable) {
  Dictionary dictionary;
  VariableHash hash(&dictionary);
  auto* old = new Variable("x", "old");
  old->AddReference();
  const int32_t e = hash.Insert(old);
  auto* target = new Variable("t", "target");

  hash.MakeReference(e, target);
  Variable* ref = hash.Index(e, false);
  ASSERT_NE(ref, old);
  EXPECT_EQ(ref->StorageClass(), kStorageReference);
  EXPECT_EQ(S(ref->Name()), "x");
  EXPECT_EQ(S(ref->Value()), "target");
  EXPECT_EQ(target->ReferenceCount(), 2);
  EXPECT_EQ(old->ReferenceCount(), 1);
  old->Free();

  hash.MakeReference(99, target);
  hash.MakeReference(-1, target);
  const int32_t holder = hash.Insert(target);  // the table now holds the target itself
  hash.MakeReference(holder, target);
  EXPECT_EQ(hash.Index(holder, false), target);

  EXPECT_TRUE(hash.ClearVariable("X", -1));  // clears through the reference
  EXPECT_TRUE(target->IsEmpty());
  hash.AddEntry("bare", -1);
  EXPECT_TRUE(hash.ClearVariable("bare", -1));
  EXPECT_FALSE(hash.ClearVariable("missing", -1));
}

TEST(VariableHash, ListAndDump) {
  Dictionary dictionary;
  VariableHash hash(&dictionary);
  hash.SetVariable("a", -1, "1", -1);
  hash.AddEntry("empty", -1);
  hash.SetVariable("b", -1, "2", -1);
  {
    VariableList list;
    list.Insert(new Variable("first", "0"));
    list.First()->Free();
    hash.List(list);
    ASSERT_EQ(list.Entries(), 3);
    EXPECT_EQ(S(list.First()->Name()), "first");
    EXPECT_EQ(S(list.Next()->Name()), "a");
    EXPECT_EQ(S(list.Next()->Name()), "b");
    EXPECT_EQ(Found(hash, "a")->ReferenceCount(), 2);
  }
  EXPECT_EQ(Found(hash, "a")->ReferenceCount(), 1);
  hash.Dump();
  EXPECT_EQ(hash.Count(), 3);
  Variable* v = nullptr;
  EXPECT_TRUE(hash.Find(&v, "a", -1, false));
  EXPECT_EQ(v, nullptr);
}

TEST(VariableHash, CopyNamesGivesSameEntriesWithoutVariables) {
  Dictionary dictionary;
  VariableHash function(&dictionary, 1, 4);
  for (const char* name : {"p", "q", "total", "i"}) function.SetVariable(name, -1, "v", -1);
  VariableHash locals(&dictionary, VariableHash::kLocalBits, VariableHash::kLocalCapacity);
  locals.CopyNames(function);
  EXPECT_EQ(locals.Count(), 4);
  EXPECT_EQ(locals.Bits(), 1);
  for (int32_t b = 0; b < 2; ++b) EXPECT_EQ(locals.BucketHead(b), function.BucketHead(b));
  for (int32_t e = 0; e < 4; ++e) {
    EXPECT_EQ(locals.Index(e, false), nullptr);
    EXPECT_EQ(locals.ChainNext(e), function.ChainNext(e));
  }
  EXPECT_EQ(locals.FindEntry(-1, "TOTAL", -1), 2);
  locals.SetVariable("i", -1, "1", -1);
  EXPECT_EQ(S(Found(function, "i")->Value()), "v");
}

TEST(UserVariableHash, OwnsItsDictionary) {
  auto* hash = new UserVariableHash();
  hash->SetVariable("a", -1, "1", -1);
  hash->Insert(new Variable("b", "2"));
  EXPECT_EQ(hash->Bits(), VariableHash::kGlobalBits);
  EXPECT_EQ(hash->Capacity(), VariableHash::kGlobalCapacity);
  EXPECT_EQ(S(Found(*hash, "B")->Value()), "2");
  EXPECT_EQ(hash->GetDictionary()->Count(), 2);
  delete hash;  // dictionary and variables go with it (leak checking)
}

// --- Paths ---------------------------------------------------------------------

class VariableHashPath : public ::testing::Test {
 protected:
  void SetUp() override {
    Variable* a = hash_.SetVariable("a", -1, "", 0);
    a->Element(AggregateIndex(0), true)->SetValue("zero", -1);
    a->Element(AggregateIndex(1), true)->SetValue("one", -1);
    a->Element(AggregateIndex(2), true)
        ->Element(AggregateIndex("City"), true)
        ->SetValue("Oslo", -1);
  }
  Variable* Path(const char* path, bool create = false) {
    Variable* v = reinterpret_cast<Variable*>(1);
    ok_ = hash_.FindPath(&v, path, -1, create);
    return v;
  }
  std::string Text(const char* path) {
    Variable* v = Path(path);
    return v ? S(v->Value()) : "<null>";
  }

  Dictionary dictionary_;
  VariableHash hash_{&dictionary_};
  bool ok_ = false;
};

TEST_F(VariableHashPath, Selectors) {
  EXPECT_EQ(Path("a"), Found(hash_, "a"));
  EXPECT_TRUE(ok_);
  EXPECT_EQ(Text("a[1]"), "one");
  EXPECT_EQ(Text("a[2]:city"), "Oslo");
  EXPECT_EQ(Text("A[2]:CITY"), "Oslo");
  EXPECT_EQ(Text("a[ 2 ]:City"), "Oslo");
  EXPECT_TRUE(ok_);
  EXPECT_EQ(Text("a[]"), "zero");
  EXPECT_EQ(Text("a[  ]"), "zero");
  EXPECT_EQ(Text("a[02]:City"), "Oslo");
  EXPECT_TRUE(ok_);
  EXPECT_EQ(Path("a", true), Found(hash_, "a"));
  Variable* v = nullptr;
  EXPECT_TRUE(hash_.FindPath(&v, "a[1]junk", 4, false));  // the length bounds the path
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(S(v->Value()), "one");
}

TEST_F(VariableHashPath, MalformedIndexFails) {
  for (const char* path : {"a[a]", "a[-1]", "a[2", "a[", "a[1]y", "a[1]]", "a[1]x]", "a[2]:City[x]",
                           "a[1 x]", "a[+1]"}) {
    SCOPED_TRACE(path);
    hash_.SetErrorText("");
    EXPECT_EQ(Path(path), nullptr);
    EXPECT_FALSE(ok_);
    EXPECT_EQ(S(hash_.ErrorText()), kBadIndex);
  }
}

TEST_F(VariableHashPath, MissingStepIsNullAndSuccess) {
  for (const char* path :
       {"nosuch", "nosuch[1]", "a[9]", "a[2]:nosuch", "a:member", "a[1][1]", "a[9]:x"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Path(path), nullptr);
    EXPECT_TRUE(ok_);
  }
  EXPECT_EQ(hash_.Count(), 1);
  EXPECT_EQ(Found(hash_, "a")->ElementsUsed(), 3);
}

TEST_F(VariableHashPath, CreateBuildsTheWholePath) {
  Variable* v = Path("b[3]:k", true);
  ASSERT_NE(v, nullptr);
  EXPECT_TRUE(ok_);
  v->SetValue("made", -1);
  Variable* b = Found(hash_, "B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(S(b->Element(AggregateIndex(3), false)->Element(AggregateIndex("K"), false)->Value()),
            "made");
  EXPECT_EQ(Path("b[3]:k", true), v);
}

TEST_F(VariableHashPath, AppendBuildsArraysFromRepeatedValues) {
  ASSERT_TRUE(hash_.SetPathValue("f", -1, "1", -1, true));
  Variable* f = Found(hash_, "f");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(S(f->Value()), "1");

  ASSERT_TRUE(hash_.SetPathValue("F", -1, "2", -1, true));
  EXPECT_EQ(f->Aggregate_Type(), kAggregateArray);
  EXPECT_EQ(f->ElementsUsed(), 2);
  EXPECT_EQ(Text("f[1]"), "1");
  EXPECT_EQ(Text("f[2]"), "2");

  ASSERT_TRUE(hash_.SetPathValue("f", -1, "3", -1, true));
  EXPECT_EQ(f->ElementsUsed(), 3);
  EXPECT_EQ(S(f->Value()), "1,2,3");

  ASSERT_TRUE(hash_.SetPathValue("f", -1, "only", -1, false));
  EXPECT_EQ(f->Aggregate_Type(), kAggregateScalar);
  EXPECT_EQ(S(f->Value()), "only");

  // An empty scalar is simply replaced; an empty array gets element 1.
  hash_.SetVariable("e", -1, "", 0);
  ASSERT_TRUE(hash_.SetPathValue("e", -1, "x", -1, true));
  EXPECT_EQ(Found(hash_, "e")->Aggregate_Type(), kAggregateScalar);
  Found(hash_, "e")->Make_Aggregate(kAggregateArray);
  ASSERT_TRUE(hash_.SetPathValue("e", -1, "y", -1, true));
  EXPECT_EQ(Text("e[1]"), "y");

  ASSERT_TRUE(hash_.SetPathValue("form:tags", -1, "t1", -1, true));
  ASSERT_TRUE(hash_.SetPathValue("form:tags", -1, "t2", -1, true));
  EXPECT_EQ(S(Found(hash_, "form")->Value()), "t1,t2");

  EXPECT_FALSE(hash_.SetPathValue("g[x]", -1, "v", -1, false));
  EXPECT_EQ(S(hash_.ErrorText()), kBadIndex);
}

}  // namespace
}  // namespace lumo
