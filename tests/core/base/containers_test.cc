#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "core/base/hash_table.h"
#include "core/base/list.h"
#include "core/base/lookup2.h"
#include "core/base/splay_tree.h"
#include "core/base/stack.h"

namespace lumo {
namespace {

using namespace std::string_view_literals;

// Counts live elements, to tell "deleted by the container" from "handed
// back"; the fixture fails on leaks and double deletes.
struct Item {
  static int alive;
  explicit Item(std::string n) : name(std::move(n)) { ++alive; }
  virtual ~Item() { --alive; }
  std::string_view Name() const { return name; }
  std::string name;
};
int Item::alive = 0;

class ItemTest : public ::testing::Test {
 protected:
  void SetUp() override { Item::alive = 0; }
  void TearDown() override { EXPECT_EQ(Item::alive, 0) << "elements leaked or deleted twice"; }
};
using ListTest = ItemTest;
using StackTest = ItemTest;
using HashTableTest = ItemTest;
constexpr int kHead = List<Item>::kHead, kCursor = List<Item>::kCursor, kTail = List<Item>::kTail;

// Names of results in order, "-" for null, each taken at once: a later call
// in the same braced list may delete an earlier result.
struct Named {
  Named(const Item* i) : name(i ? i->name : "-") {}  // NOLINT: implicit by design
  std::string name;
};
std::string Names(std::initializer_list<Named> items) {
  std::string out;
  for (const Named& i : items) out += i.name;
  return out;
}

// Both directions, so that a broken previous link shows as well as a next.
std::string Walk(List<Item>& list) {
  std::string out;
  for (Item* i = list.First(); i; i = list.Next()) out += i->name;
  out += '|';
  for (Item* i = list.Last(); i; i = list.Previous()) out += i->name;
  return out;
}

TEST_F(ListTest, CursorDecidesWhereInsertAndRemoveAct) {
  Item a("a"), b("b"), c("c"), d("d"), e("e"), twin("d");
  List<Item> list;
  EXPECT_EQ(Names({list.Remove(kHead), list.Remove(kCursor), list.Remove(kTail)}), "---");
  EXPECT_EQ(list.Count(), 0);
  list.Insert(&a, kHead);  // into an empty list
  list.Insert(&b, kTail);
  list.Insert(&c, kHead);
  EXPECT_EQ(Names({list.Current(), list.Find(&a)}), "ca");  // a new node is the cursor
  list.Insert(&d, kCursor);  // before the cursor
  EXPECT_EQ(list.Current(), &d);
  list.First();
  list.Insert(&e, kCursor);  // before the head: a new head
  EXPECT_EQ(Walk(list), "ecdab|badce");
  EXPECT_EQ(Names({list.Find(&twin), list.Find(&c)}), "-c");  // by identity, not by name
  // Removing the cursor moves it on, also at either end.
  EXPECT_EQ(Names({list.Remove(kCursor), list.Current(), list.Remove(kHead), list.Remove(kTail)}), "cdeb");
  EXPECT_EQ(Walk(list), "da|ad");
  EXPECT_EQ(Names({list.Last(), list.Remove(kTail), list.Current(), list.First(), list.Remove(kHead)}), "aa-dd");
  EXPECT_EQ(Walk(list), "|");
  list.Insert(&a, kCursor);  // an emptied list works as new
  list.Insert(&b, kTail);
  EXPECT_EQ(Walk(list), "ab|ba");  // and leaves no cursor
  EXPECT_EQ(list.Remove(kCursor), nullptr);
  list.Insert(&c, kCursor);  // no cursor: at the tail
  EXPECT_EQ(Walk(list), "abc|cba");
  EXPECT_EQ(list.Count(), 3);
}

class ItemList : public SearchableList<Item, const char*> {
 public:
  using SearchableList::SearchableList;
  int KeyCompare(const char* key, const Item* e) const override { return !String(key).EqualsNoCase(e->name); }
};

TEST_F(ListTest, OwningListDeletesWhatItStillHoldsAndFindKeyTakesTheFirst) {
  Item kept("k");
  {
    ItemList list(true), borrowed, owner(true);
    for (const char* n : {"a", "Beta", "beta", "c"}) list.Insert(new Item(n));
    EXPECT_EQ(Names({list.FindKey("BETA"), list.Next(), list.FindKey("delta"), list.Current()}), "Betabeta--");
    delete list.Remove(kHead);  // handed back, not deleted
    list.Clear();
    list.Insert(new Item("d"));  // for the destructor
    EXPECT_EQ(Item::alive, 2);
    borrowed.Insert(&kept);
    borrowed.Clear();
    borrowed.Insert(&kept);
    owner.Insert(&kept);
    owner.Empty();  // frees nodes only
  }
  EXPECT_EQ(Item::alive, 1);
}

TEST_F(StackTest, PopToCursorRemovesTheCursorNodeAndDeletesOwnedOnesAbove) {
  Stack<Item> stack(true);
  Item* kept[3] = {new Item("a"), new Item("b"), new Item("c")};
  for (Item* i : {kept[0], kept[1], kept[2], new Item("d"), new Item("e")}) stack.Push(i);
  EXPECT_EQ(Names({stack.Top(), stack.Next(), stack.Next(), stack.PopToCursor()}), "edcc");
  EXPECT_EQ(Item::alive, 3);  // d and e deleted, c handed back
  delete kept[2];
  // At the top, exactly one node goes; without a cursor, nothing.
  EXPECT_EQ(Names({stack.Current(), stack.PopToCursor(), stack.Top(), stack.Next(), stack.PopToCursor()}),
            "bba--");
  delete kept[1];
  EXPECT_EQ(Item::alive, 1);
  EXPECT_EQ(stack.Count(), 1);
  stack.Push(new Item("f"));  // for the destructor
}

// From a separate transcription of the reference lookup2.c hash(), not from
// this code; compiled programs store tables laid out by these numbers. The
// no-case form folds ASCII letters only, not high bytes or '@' and '['.
constexpr struct { std::string_view key; uint32_t initial, hash; bool nocase = false; } kVectors[] = {
    {""sv, 0, 0xBD49D10D}, {"a"sv, 0, 0x29EEC818}, {"name"sv, 0, 0x2E256A1A}, {"Name"sv, 0, 0xFC3F90EB},
    {"foobar"sv, 0, 0x9D3FFA02}, {"hello world"sv, 0, 0x1AA919E6}, {"Four score a"sv, 0, 0xCC6600D8},  // 11, 12
    {"Four score an"sv, 0, 0xF4692621}, {"abcdefghijklmnopqrstuvw"sv, 0, 0x68E5FF21},  // 13, 23
    {"abcdefghijklmnopqrstuvwx"sv, 0, 0xD6638B78}, {"abcdefghijklmnopqrstuvwxy"sv, 0, 0x720B6730},
    {"\x80\xFF\xFE\x81\xC3\xA9t\xE9"sv, 0, 0xF1756B7F},  // bytes must not sign-extend
    {"\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8D\x8E\x8F\x90\x91\x92\x93\x94\x95\x96\x97\x98"sv,
     0, 0xC87EE51E},
    {"name"sv, 0x12345678, 0xA2AFC1F8}, {""sv, 0xDEADBEEF, 0x1153F4BE}, {"\xE9"sv, 0, 0x917FA5A8},
    {"abcdefghijklmnopqrstuvwxy"sv, 0x9E3779B9, 0x344AD976}, {"NAME"sv, 0, 0x2E256A1A, true},
    {"ABCDEFGHIJKLMNOPQRSTUVWXY"sv, 0, 0x720B6730, true}, {"NAME"sv, 0x12345678, 0xA2AFC1F8, true},
    {"\xC9"sv, 0, 0xA6A19468, true},
};

TEST(Lookup2, MatchesReferenceValues) {
  for (const auto& v : kVectors) {
    // Exactly sized, so that the address checker sees any read past the key.
    std::unique_ptr<char[]> key(new char[v.key.size()]);
    memcpy(key.get(), v.key.data(), v.key.size());
    const auto n = static_cast<uint32_t>(v.key.size());
    EXPECT_EQ(v.nocase ? Lookup2NoCase(key.get(), n, v.initial) : Lookup2(key.get(), n, v.initial), v.hash)
        << "key of length " << v.key.size() << ", initial " << v.initial << (v.nocase ? ", no case" : "");
  }
  EXPECT_EQ(Lookup2NoCase("@[", 2), Lookup2("@[", 2));
}

// The no-case hash folds words at a time; it must equal hashing a copy
// lowered byte by byte, for every byte value and every tail length.
TEST(Lookup2, NoCaseEqualsHashingTheLoweredBytes) {
  std::mt19937 rng(7);
  for (uint32_t length = 0; length <= 40; ++length) {
    for (int round = 0; round < 200; ++round) {
      std::string key(length, '\0');
      for (char& c : key) c = static_cast<char>(round < 100 ? rng() % 256 : "@AZ[`az{"[rng() % 8]);
      std::string lowered = key;
      for (char& c : lowered) c = static_cast<char>(LowerByte(static_cast<unsigned char>(c)));
      ASSERT_EQ(Lookup2NoCase(key.data(), length, round), Lookup2(lowered.data(), length, round))
          << "length " << length << ", round " << round;
    }
  }
}

using ItemTable = NameHashTable<Item>;

// Checks every chain: each entry in its bucket, shorter keys first, then byte
// order (lowered or not), equal keys in slot order and Find giving the first.
std::vector<int32_t> Chains(const ItemTable& table, int bits, bool nocase) {
  std::vector<int32_t> out;
  for (uint32_t bucket = 0; bucket < (1u << bits); ++bucket) {
    for (int32_t e = table.BucketHead(bucket), last = -1; e >= 0; last = e, e = table.ChainNext(e)) {
      out.push_back(e);
      const std::string& k = table.At(e)->name;
      const std::string p = last < 0 ? "" : table.At(last)->name;
      const auto n = static_cast<int32_t>(k.size());
      const int c = last < 0 ? -1 : p.size() != k.size() ? (p.size() < k.size() ? -1 : 1)
                    : nocase ? CompareNoCase(p.data(), k.data(), n) : memcmp(p.data(), k.data(), k.size());
      EXPECT_TRUE(c < 0 || (c == 0 && last < e)) << p << " before " << k;
      EXPECT_EQ(table.HashKey(k), bucket) << k;
      EXPECT_TRUE(c == 0 || table.Find(k) == table.At(e)) << "first " << k;
    }
  }
  return out;
}

// Keys of both cases, the punctuation between them and high bytes, many equal.
TEST_F(HashTableTest, ChainsStaySortedThroughGrowthAndRemoval) {
  const std::string alphabet = "aAbB_\xE9\xC9z";
  std::mt19937 rng(7);
  for (bool nocase : {false, true}) {
    for (int bits : {1, 8}) {
      SCOPED_TRACE(std::to_string(bits) + (nocase ? " bits, case-insensitive" : " bits"));
      ItemTable table(true, nocase, bits);
      EXPECT_EQ(table.Capacity(), ItemTable::kFirstEntries);
      std::vector<std::string> keys(1500);
      for (std::string& k : keys) {
        k.resize(1 + rng() % 3);
        for (char& c : k) c = alphabet[rng() % alphabet.size()];
        ASSERT_EQ(table.Insert(new Item(k)), &k - keys.data());
      }
      EXPECT_EQ(table.Capacity(), 1536);
      EXPECT_EQ(Chains(table, bits, nocase).size(), keys.size());
      for (size_t i = 0; i < keys.size(); i += 2) delete table.Remove(keys[i]);
      EXPECT_EQ(Chains(table, bits, nocase).size(), keys.size() / 2);
      EXPECT_EQ(table.Count(), static_cast<int32_t>(keys.size() / 2));
    }
  }
}

TEST_F(HashTableTest, CaseDecidesWhetherSpellingsAreOneKey) {
  Item name("Name"), upper("NAME"), lower("name");
  ItemTable nocase(false, true), exact(false, false, 8);
  // Compiled files store tables laid out by these buckets (see kVectors).
  EXPECT_EQ(nocase.HashKey("NaMe"), 0xA1Au);
  EXPECT_EQ(exact.HashKey("name"), 0x1Au);
  EXPECT_EQ(exact.HashKey("Name"), 0xEBu);
  nocase.Insert(&name);
  for (Item* i : {&name, &upper, &lower}) exact.Insert(i);
  EXPECT_EQ(Names({nocase.Find("NAME"), nocase.Find("name"), nocase.Find("nameX", 4), nocase.Find("Nam")}),
            "NameNameName-");
  EXPECT_EQ(Names({exact.Find("Name"), exact.Find("NAME"), exact.Find("name"), exact.Find("nAme")}),
            "NameNAMEname-");
  exact.Clear();  // a borrowing table deletes nothing
  EXPECT_EQ(Item::alive, 3);
}

// Removal hands the element back and leaves its slot empty until Clear.
TEST_F(HashTableTest, SlotsAreNotReusedUntilClear) {
  ItemTable table(true, true, 1);
  for (const char* k : {"a", "dup", "c", "DUP"}) table.Insert(new Item(k));
  Item* first = table.Remove("dUp");
  EXPECT_EQ(Names({first, table.Find("Dup"), table.At(1), table.At(-1)}), "dupDUP--");  // the first of equals
  delete first;
  EXPECT_EQ(table.Insert(new Item("b")), 4);
  EXPECT_EQ(std::to_string(table.Count()) + " in " + std::to_string(table.SlotsUsed()) + " slots", "4 in 5 slots");
  EXPECT_EQ(Names({table.At(4), table.At(5), table.Find("c")}), "b-c");
  table.Clear();
  EXPECT_EQ(Item::alive, 0);
  EXPECT_EQ(table.SlotsUsed(), 0);
  EXPECT_EQ(table.Find("a"), nullptr);
  EXPECT_EQ(table.Insert(new Item("z")), 0);
  EXPECT_EQ(Chains(table, 1, true), std::vector<int32_t>{0});
}

struct TreeNode {
  static int alive;
  explicit TreeNode(int k) : key(k) { ++alive; }
  ~TreeNode() { --alive; }
  int key;
  TreeNode *left = nullptr, *right = nullptr;
};
int TreeNode::alive = 0;

class IntTree : public SplayTree<IntTree, TreeNode, int> {
 public:
  using SplayTree::SplayTree;
  int Compare(int key, const TreeNode& node) const { return key < node.key ? -1 : key > node.key; }
};

// In order, in a copy of the shape and walked in any order: exactly `want`.
void ExpectWholeTree(const IntTree& tree, const std::vector<int>& want) {
  IntTree copy;
  tree.CopyShapeInto(copy, [](const TreeNode& from) { return new TreeNode(from.key); });
  const IntTree* both[] = {&tree, &copy};
  for (const IntTree* t : both) {
    std::vector<int> keys;
    t->InOrder([&](TreeNode* n) { keys.push_back(n->key); });
    ASSERT_TRUE(keys == want) << "in order, " << keys.size() << " keys of " << want.size();
    int32_t walked = 0;
    IntTree::Walk(t->Root(), t->Count(), [&](TreeNode*) { ++walked; });
    EXPECT_EQ(walked, static_cast<int32_t>(want.size()));
    EXPECT_TRUE(want.empty() || (t->Min()->key == want.front() && t->Max()->key == want.back()));
  }
}

// Whole-tree walks switch from recursion to a stack at 100 nodes: one key
// range keeps the tree below that, the other well above.
TEST(SplayTree, AgreesWithOrderedSetBelowAndAbove100Nodes) {
  TreeNode::alive = 0;
  std::mt19937 rng(99);
  for (int range : {80, 600}) {
    SCOPED_TRACE(range);
    IntTree tree;
    std::set<int> model;
    for (int step = 1; step <= 10000; ++step) {
      const int key = static_cast<int>(rng() % range), probe = static_cast<int>(rng() % range);
      if (rng() % 2 == 0) {
        if (!tree.Find(key) && model.insert(key).second) tree.Insert(new TreeNode(key), key);
      } else {
        TreeNode* removed = tree.Remove(key);
        ASSERT_EQ(removed ? removed->key : -1, model.erase(key) ? key : -1);
        delete removed;
      }
      const TreeNode *next = tree.Next(probe), *previous = tree.Previous(probe);
      const auto above = model.upper_bound(probe), below = model.lower_bound(probe);
      ASSERT_EQ(next ? next->key : -1, above == model.end() ? -1 : *above) << probe;
      ASSERT_EQ(previous ? previous->key : -1, below == model.begin() ? -1 : *std::prev(below)) << probe;
      ASSERT_EQ(tree.Count(), static_cast<int32_t>(model.size()));
      if (step % 500 == 0) ExpectWholeTree(tree, {model.begin(), model.end()});
    }
    EXPECT_EQ(model.size() < 100, range == 80);
  }
  EXPECT_EQ(TreeNode::alive, 0);
}

// Ascending inserts make one long left spine; recursion would overflow the
// machine stack walking, copying or freeing it.
TEST(SplayTree, LongPathNeedsNoRecursion) {
  TreeNode::alive = 0;
  std::vector<int> keys(300000);
  std::iota(keys.begin(), keys.end(), 0);
  {
    TreeNode outside(-1);
    IntTree tree, borrowed(false);
    for (int i : keys) tree.Insert(new TreeNode(i), i);
    ExpectWholeTree(tree, keys);
    borrowed.Insert(&outside, -1);  // freeing it would be a bad free
  }
  EXPECT_EQ(TreeNode::alive, 0);
}

}  // namespace
}  // namespace lumo
