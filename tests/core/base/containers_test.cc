#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/conversions.h"
#include "core/base/hash_table.h"
#include "core/base/list.h"
#include "core/base/splay_tree.h"
#include "core/base/stack.h"

namespace lumo {
namespace {

// An element that knows how many of its kind are alive, so that tests can
// tell "deleted by the container" from "handed back to the caller".
struct Item {
  static int alive;
  explicit Item(std::string n = "") : name(std::move(n)) { ++alive; }
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

// Walks both directions, so a broken previous link shows as well as a
// broken next link.
std::string Forward(List<Item>& list) {
  std::string out;
  for (Item* i = list.First(); i; i = list.Next()) out += i->name;
  return out;
}
std::string Backward(List<Item>& list) {
  std::string out;
  for (Item* i = list.Last(); i; i = list.Previous()) out += i->name;
  return out;
}

using ListTest = ItemTest;

TEST_F(ListTest, InsertAtHeadCursorAndTail) {
  Item a("a"), b("b"), c("c"), d("d"), e("e");
  List<Item> list;
  list.Insert(&a, List<Item>::kHead);  // into an empty list
  EXPECT_EQ(list.Current(), &a);
  list.Insert(&b, List<Item>::kTail);
  EXPECT_EQ(list.Current(), &b);
  list.Insert(&c, List<Item>::kHead);
  EXPECT_EQ(list.Current(), &c);
  EXPECT_EQ(list.Find(&a), &a);
  list.Insert(&d, List<Item>::kCursor);  // before the cursor
  EXPECT_EQ(list.Current(), &d);
  EXPECT_EQ(Forward(list), "cdab");
  EXPECT_EQ(Backward(list), "badc");
  list.First();
  list.Insert(&e, List<Item>::kCursor);  // before the head: a new head
  EXPECT_EQ(Forward(list), "ecdab");
  EXPECT_EQ(Backward(list), "badce");
  EXPECT_EQ(list.Count(), 5);
}

TEST_F(ListTest, RemoveMovesCursorToNextNode) {
  Item a("a"), b("b"), c("c"), d("d"), e("e");
  List<Item> list;
  for (Item* i : {&a, &b, &c, &d, &e}) list.Insert(i);
  list.Find(&b);
  EXPECT_EQ(list.Remove(List<Item>::kCursor), &b);
  EXPECT_EQ(list.Current(), &c);
  EXPECT_EQ(list.Remove(List<Item>::kHead), &a);
  EXPECT_EQ(list.Remove(List<Item>::kTail), &e);
  EXPECT_EQ(Forward(list), "cd");
  EXPECT_EQ(Backward(list), "dc");
  // Removing the node under the cursor from either end must not leave the
  // cursor on freed memory.
  list.Last();
  EXPECT_EQ(list.Remove(List<Item>::kTail), &d);
  EXPECT_NE(list.Current(), &d);
  list.First();
  EXPECT_EQ(list.Remove(List<Item>::kHead), &c);
  EXPECT_EQ(list.Current(), nullptr);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.First(), nullptr);
  EXPECT_EQ(list.Last(), nullptr);
  // An emptied list must accept new nodes as if new.
  list.Insert(&a, List<Item>::kCursor);
  EXPECT_EQ(Forward(list), "a");
  EXPECT_EQ(Backward(list), "a");
}

TEST_F(ListTest, RemovingFromEmptyListReturnsNull) {
  List<Item> list;
  for (int where : {List<Item>::kHead, List<Item>::kCursor, List<Item>::kTail}) {
    EXPECT_EQ(list.Remove(where), nullptr);
    EXPECT_EQ(list.Count(), 0);
  }
  Item a("a");
  list.Insert(&a);
  list.Next();  // cursor walks off the end
  EXPECT_EQ(list.Remove(List<Item>::kCursor), nullptr);
  EXPECT_EQ(list.Count(), 1);
  list.Insert(&a, List<Item>::kCursor);  // no cursor: goes to the tail
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Last(), &a);
}

TEST_F(ListTest, FindIsByIdentity) {
  Item x1("x"), x2("x"), other("y");
  List<Item> list;
  list.Insert(&x1);
  list.Insert(&x2);
  EXPECT_EQ(list.Find(&x2), &x2);
  EXPECT_EQ(list.Previous(), &x1);
  EXPECT_EQ(list.Find(&other), nullptr);
}

TEST_F(ListTest, OwningListDeletesOnlyWhatItStillHolds) {
  {
    List<Item> list(true);
    for (const char* n : {"a", "b", "c"}) list.Insert(new Item(n));
    Item* taken = list.Remove(List<Item>::kHead);
    EXPECT_EQ(Item::alive, 3);  // removal hands the element back undeleted
    delete taken;
    list.Clear();
    EXPECT_EQ(Item::alive, 0);
    EXPECT_EQ(list.Count(), 0);
    list.Insert(new Item("d"));
  }  // the destructor deletes "d"
  EXPECT_EQ(Item::alive, 0);

  Item kept("k");
  {
    List<Item> borrowed;
    borrowed.Insert(&kept);
    borrowed.Clear();
    EXPECT_EQ(Item::alive, 1);
    borrowed.Insert(&kept);
  }
  EXPECT_EQ(Item::alive, 1);

  List<Item> owner(true);
  owner.Insert(&kept);
  owner.Empty();  // frees nodes only
  EXPECT_EQ(Item::alive, 1);
  EXPECT_EQ(owner.Count(), 0);
}

class ItemList : public SearchableList<Item, const char*> {
 public:
  int KeyCompare(const char* key, const Item* element) const override {
    std::string_view k(key);
    if (k.size() != element->name.size()) return 1;
    return CompareNoCase(key, element->name.data(), static_cast<int32_t>(k.size()));
  }
};

TEST_F(ListTest, FindKeyReturnsFirstMatchAndMovesCursor) {
  Item a("alpha"), b1("Beta"), b2("beta"), c("gamma");
  ItemList list;
  for (Item* i : {&a, &b1, &b2, &c}) list.Insert(i);
  EXPECT_EQ(list.FindKey("BETA"), &b1);
  EXPECT_EQ(list.Current(), &b1);
  EXPECT_EQ(list.Next(), &b2);
  EXPECT_EQ(list.FindKey("delta"), nullptr);
  EXPECT_EQ(list.Current(), nullptr);
  EXPECT_EQ(list.FindKey("gamma"), &c);
}

using StackTest = ItemTest;

TEST_F(StackTest, PopToCursorAtTopRemovesExactlyOneNode) {
  Item a("a"), b("b"), c("c");
  Stack<Item> stack;
  stack.Push(&a);
  stack.Push(&b);
  stack.Push(&c);
  EXPECT_EQ(stack.Current(), &c);
  EXPECT_EQ(stack.PopToCursor(), &c);
  EXPECT_EQ(stack.Count(), 2);
  EXPECT_EQ(stack.Current(), &b);
  EXPECT_EQ(stack.Top(), &b);
  EXPECT_EQ(stack.Next(), &a);
  EXPECT_EQ(stack.Next(), nullptr);
  EXPECT_EQ(stack.PopToCursor(), nullptr);  // no cursor: nothing happens
  EXPECT_EQ(stack.Count(), 2);
}

TEST_F(StackTest, PopToDeeperCursorDeletesOwnedNodesAbove) {
  Stack<Item> stack(true);
  Item* a = new Item("a");
  Item* b = new Item("b");
  stack.Push(a);
  stack.Push(b);
  stack.Push(new Item("c"));
  stack.Push(new Item("d"));
  stack.Top();
  stack.Next();
  EXPECT_EQ(stack.Next(), b);
  EXPECT_EQ(stack.PopToCursor(), b);
  EXPECT_EQ(Item::alive, 2);  // c and d deleted, b handed back
  EXPECT_EQ(stack.Count(), 1);
  EXPECT_EQ(stack.Current(), a);
  delete b;
  stack.Push(new Item("e"));
  EXPECT_EQ(stack.Count(), 2);
  stack.Clear();
  EXPECT_EQ(Item::alive, 0);
  EXPECT_EQ(stack.Top(), nullptr);
}

TEST_F(StackTest, BorrowingStackLeavesElementsAlone) {
  Item a("a"), b("b"), c("c");
  {
    Stack<Item> stack;
    stack.Push(&a);
    stack.Push(&b);
    stack.Push(&c);
    stack.Top();
    stack.Next();
    stack.Next();
    EXPECT_EQ(stack.PopToCursor(), &a);
    EXPECT_EQ(stack.Count(), 0);
    EXPECT_EQ(stack.Top(), nullptr);
    EXPECT_EQ(Item::alive, 3);
    stack.Push(&a);
  }
  EXPECT_EQ(Item::alive, 3);
}

class ItemTable : public NameHashTable<Item> {
 public:
  using NameHashTable<Item>::NameHashTable;
};

// Entry indexes along one bucket's chain.
std::vector<int32_t> Chain(const ItemTable& table, uint32_t bucket) {
  std::vector<int32_t> out;
  for (int32_t e = table.BucketHead(bucket); e >= 0; e = table.ChainNext(e)) out.push_back(e);
  return out;
}

// Every key of up to two bytes over a small alphabet that mixes case,
// punctuation between the cases and bytes above 0x7F.
std::vector<std::string> CandidateKeys() {
  const std::string alphabet = "aAbB_\xE9\xC9z";
  std::vector<std::string> keys;
  for (char x : alphabet) {
    keys.emplace_back(1, x);
    for (char y : alphabet) keys.push_back(std::string{x, y});
  }
  return keys;
}

void CheckChainOrder(bool case_insensitive) {
  SCOPED_TRACE(case_insensitive ? "case-insensitive" : "case-sensitive");
  ItemTable table(true, case_insensitive, 1);  // two buckets: collisions guaranteed
  std::vector<std::string> keys;
  for (const std::string& k : CandidateKeys()) {
    if (table.HashKey(k) == 0) keys.push_back(k);
  }
  ASSERT_GT(keys.size(), 20u);
  keys.push_back(keys[3]);  // equal keys must both be kept
  keys.push_back(keys[7]);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(7));

  std::vector<int32_t> expected;
  for (const std::string& k : keys) expected.push_back(table.Insert(new Item(k)));
  auto before = [&](int32_t x, int32_t y) {
    const std::string& a = keys[x];
    const std::string& b = keys[y];
    if (a.size() != b.size()) return a.size() < b.size();
    auto n = static_cast<int32_t>(a.size());
    int c = case_insensitive ? CompareNoCase(a.data(), b.data(), n) : memcmp(a.data(), b.data(), a.size());
    return c < 0;
  };
  // Equal keys stay in insertion order, which is what a stable sort of the
  // insertion sequence gives.
  std::stable_sort(expected.begin(), expected.end(), before);
  EXPECT_EQ(Chain(table, 0), expected);
  EXPECT_TRUE(Chain(table, 1).empty());
  for (const std::string& k : keys) EXPECT_NE(table.Find(k), nullptr) << k;
}

using HashTableTest = ItemTest;

TEST_F(HashTableTest, ChainsSortedByLengthThenBytes) { CheckChainOrder(false); }
TEST_F(HashTableTest, ChainsSortedByLengthThenBytesIgnoringCase) { CheckChainOrder(true); }

TEST_F(HashTableTest, BucketIsTheLowBitsOfTheNameHash) {
  // 0x2E256A1A is lookup2("name", 0) from the reference algorithm; compiled
  // files store tables laid out with it, so the bucket choice is format.
  ItemTable nocase(false, true);
  EXPECT_EQ(nocase.HashKey("NaMe"), 0x2E256A1Au & 0xFFFu);
  ItemTable exact(false, false, 8);
  EXPECT_EQ(exact.HashKey("name"), 0x1Au);
  EXPECT_EQ(exact.HashKey("Name"), 0xEBu);  // lookup2("Name") = 0xFC3F90EB
}

TEST_F(HashTableTest, CaseDecidesWhetherSpellingsAreOneKey) {
  Item name("Name"), upper("NAME"), lower("name");
  ItemTable nocase(false, true);
  nocase.Insert(&name);
  EXPECT_EQ(nocase.Find("Name"), &name);
  EXPECT_EQ(nocase.Find("NAME"), &name);
  EXPECT_EQ(nocase.Find("name"), &name);
  EXPECT_EQ(nocase.Find("Names"), nullptr);
  EXPECT_EQ(nocase.Find("Nam"), nullptr);
  EXPECT_EQ(nocase.Find("nameX", 4), &name);

  ItemTable exact(false, false);
  exact.Insert(&name);
  exact.Insert(&upper);
  exact.Insert(&lower);
  EXPECT_EQ(exact.Count(), 3);
  EXPECT_EQ(exact.Find("Name"), &name);
  EXPECT_EQ(exact.Find("NAME"), &upper);
  EXPECT_EQ(exact.Find("name"), &lower);
  EXPECT_EQ(exact.Find("nAme"), nullptr);
}

TEST_F(HashTableTest, EqualKeysKeptFirstFoundFirstRemoved) {
  Item first("dup"), second("DUP"), third("dup");
  ItemTable table(false, true, 2);
  table.Insert(&first);
  table.Insert(&second);
  table.Insert(&third);
  EXPECT_EQ(table.Count(), 3);
  EXPECT_EQ(table.Find("Dup"), &first);
  EXPECT_EQ(table.Remove("dUp"), &first);
  EXPECT_EQ(table.Find("dup"), &second);
  EXPECT_EQ(table.Remove("dup"), &second);
  EXPECT_EQ(table.Remove("dup"), &third);
  EXPECT_EQ(table.Remove("dup"), nullptr);
  EXPECT_EQ(table.Count(), 0);
}

TEST_F(HashTableTest, SlotsAreNotReusedUntilClear) {
  ItemTable table(true, true, 1);
  EXPECT_EQ(table.Insert(new Item("a")), 0);
  EXPECT_EQ(table.Insert(new Item("b")), 1);
  EXPECT_EQ(table.Insert(new Item("c")), 2);
  Item* b = table.Remove("B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Item::alive, 3);  // removal does not delete
  delete b;
  EXPECT_EQ(table.Count(), 2);
  EXPECT_EQ(table.SlotsUsed(), 3);
  EXPECT_EQ(table.At(1), nullptr);
  EXPECT_EQ(table.Insert(new Item("b")), 3);
  EXPECT_EQ(table.SlotsUsed(), 4);
  EXPECT_EQ(table.At(3)->name, "b");
  EXPECT_EQ(table.At(4), nullptr);
  EXPECT_EQ(table.At(-1), nullptr);
  EXPECT_EQ(table.Find("c"), table.At(2));

  table.Clear();
  EXPECT_EQ(Item::alive, 0);
  EXPECT_EQ(table.Count(), 0);
  EXPECT_EQ(table.SlotsUsed(), 0);
  EXPECT_EQ(table.Find("a"), nullptr);
  EXPECT_EQ(table.Insert(new Item("z")), 0);
  EXPECT_EQ(Chain(table, table.HashKey("z")), std::vector<int32_t>{0});
}

TEST_F(HashTableTest, GrowsPastFiveHundredTwelveEntries) {
  for (int bits : {3, 12}) {
    SCOPED_TRACE(bits);
    ItemTable table(true, true, bits);
    EXPECT_EQ(table.Capacity(), 512);
    const int n = 1500;
    for (int i = 0; i < n; ++i) ASSERT_EQ(table.Insert(new Item("key" + std::to_string(i))), i);
    EXPECT_EQ(table.Capacity(), 1536);
    EXPECT_EQ(table.Count(), n);
    for (int i = 0; i < n; ++i) {
      std::string k = "KEY" + std::to_string(i);
      ASSERT_EQ(table.Find(k), table.At(i)) << k;
    }
    for (int i = 0; i < n; i += 2) delete table.Remove("key" + std::to_string(i));
    size_t linked = 0;
    for (uint32_t bucket = 0; bucket < (1u << bits); ++bucket) linked += Chain(table, bucket).size();
    EXPECT_EQ(linked, static_cast<size_t>(n / 2));
    for (int i = 0; i < n; ++i) {
      Item* found = table.Find("key" + std::to_string(i));
      ASSERT_EQ(found, i % 2 ? table.At(i) : nullptr) << i;
    }
  }  // the owning tables delete what they still hold
}

TEST_F(HashTableTest, BorrowingTableNeverDeletes) {
  Item a("a"), b("b");
  {
    ItemTable table(false);
    table.Insert(&a);
    table.Insert(&b);
    table.Clear();
    EXPECT_EQ(Item::alive, 2);
    table.Insert(&a);
  }
  EXPECT_EQ(Item::alive, 2);
}

struct TreeNode {
  static int alive;
  explicit TreeNode(int k) : key(k) { ++alive; }
  ~TreeNode() { --alive; }
  int key;
  TreeNode* left = nullptr;
  TreeNode* right = nullptr;
};
int TreeNode::alive = 0;

class IntTree : public SplayTree<IntTree, TreeNode, int> {
 public:
  using SplayTree::SplayTree;
  int Compare(int key, const TreeNode& node) const { return key < node.key ? -1 : key > node.key ? 1 : 0; }
};

std::vector<int> Keys(const IntTree& tree) {
  std::vector<int> out;
  tree.InOrder([&](TreeNode* n) { out.push_back(n->key); });
  return out;
}

TEST(SplayTree, AgreesWithOrderedSet) {
  TreeNode::alive = 0;
  {
    IntTree tree;
    std::set<int> model;
    std::mt19937 rng(99);
    for (int step = 0; step < 20000; ++step) {
      int key = static_cast<int>(rng() % 500);
      switch (rng() % 4) {
        case 0:
          if (!tree.Find(key)) {
            tree.Insert(new TreeNode(key), key);
            model.insert(key);
          }
          break;
        case 1: {
          TreeNode* removed = tree.Remove(key);
          ASSERT_EQ(removed != nullptr, model.erase(key) == 1) << key;
          if (removed) {
            EXPECT_EQ(removed->key, key);
            delete removed;
          }
          break;
        }
        case 2: {
          TreeNode* next = tree.Next(key);
          auto it = model.upper_bound(key);
          ASSERT_EQ(next ? next->key : -1, it == model.end() ? -1 : *it) << key;
          break;
        }
        default: {
          TreeNode* previous = tree.Previous(key);
          auto it = model.lower_bound(key);
          int want = it == model.begin() ? -1 : *std::prev(it);
          ASSERT_EQ(previous ? previous->key : -1, want) << key;
          break;
        }
      }
      ASSERT_EQ(tree.Count(), static_cast<int32_t>(model.size()));
    }
    EXPECT_EQ(Keys(tree), std::vector<int>(model.begin(), model.end()));
    ASSERT_FALSE(model.empty());
    EXPECT_EQ(tree.Min()->key, *model.begin());
    EXPECT_EQ(tree.Max()->key, *model.rbegin());
  }
  EXPECT_EQ(TreeNode::alive, 0);
}

// Ascending inserts make the tree one long left spine; walking, copying or
// freeing it by recursion would overflow the machine stack.
TEST(SplayTree, LongPathNeedsNoRecursion) {
  TreeNode::alive = 0;
  const int n = 300000;
  {
    IntTree tree;
    for (int i = 0; i < n; ++i) tree.Insert(new TreeNode(i), i);
    std::vector<int> keys = Keys(tree);
    ASSERT_EQ(keys.size(), static_cast<size_t>(n));
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    int32_t visited = 0;
    IntTree::Walk(tree.Root(), tree.Count(), [&](TreeNode*) { ++visited; });
    EXPECT_EQ(visited, n);

    IntTree copy;
    tree.CopyShapeInto(copy, [](const TreeNode& from) { return new TreeNode(from.key); });
    EXPECT_EQ(copy.Count(), n);
    EXPECT_EQ(Keys(copy), keys);
    EXPECT_EQ(TreeNode::alive, 2 * n);
  }
  EXPECT_EQ(TreeNode::alive, 0);

  TreeNode outside(1);
  {
    IntTree borrowed(false);
    borrowed.Insert(&outside, 1);
  }
  EXPECT_EQ(TreeNode::alive, 1);
}

}  // namespace
}  // namespace lumo
