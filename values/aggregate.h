// The elements of an array or structure: keys (AggregateIndex), elements
// (AggregateElement) and the splay tree that orders them
// (AggregateElementTree).
#ifndef LUMO_VALUES_AGGREGATE_H_
#define LUMO_VALUES_AGGREGATE_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/base/memory_budget.h"
#include "core/base/splay_tree.h"
#include "core/base/string.h"

namespace lumo {

class Variable;

// An array index (0 and up) or a member name (index -1). Member names
// compare without case; every name sorts before every number.
class AggregateIndex {
 public:
  AggregateIndex() = default;
  // A negative number becomes 0.
  explicit AggregateIndex(int32_t index) : index_(index < 0 ? 0 : index) {}
  AggregateIndex(const char* name, int32_t length);
  explicit AggregateIndex(std::string_view name)
      : AggregateIndex(name.data(), static_cast<int32_t>(name.size())) {}
  AggregateIndex(const AggregateIndex&) = default;
  AggregateIndex& operator=(const AggregateIndex&) = default;

  bool IsNumber() const { return index_ != -1; }
  int32_t Number() const { return index_; }
  // The member name, or for a number its decimal text (made on first use).
  const String& Text() const;
  // Changes the number, discarding the cached decimal text.
  void SetNumber(int32_t index);

  // Negative, 0 or positive as this key sorts before, with or after `other`.
  int Compare(const AggregateIndex& other) const {
    if (index_ != -1 || other.index_ != -1) {
      // A name (-1) is below every number.
      return index_ == other.index_ ? 0 : (index_ < other.index_ ? -1 : 1);
    }
    return CompareNames(other);
  }

 private:
  int CompareNames(const AggregateIndex& other) const;

  mutable String text_;
  int32_t index_ = -1;
};

// One element: its key and one reference on its variable. The element is
// itself the node of the tree that holds it.
class AggregateElement : public ChargedObject {
 public:
  // A new empty variable.
  explicit AggregateElement(const AggregateIndex& index);
  // Shares `variable`, adding a reference to it.
  AggregateElement(const AggregateIndex& index, lumo::Variable* variable);
  ~AggregateElement();
  AggregateElement(const AggregateElement&) = delete;
  AggregateElement& operator=(const AggregateElement&) = delete;

  const AggregateIndex& Index() const { return index_; }
  AggregateIndex& MutableIndex() { return index_; }
  lumo::Variable* Variable() const { return variable_; }
  // Adds a reference to the new variable, then releases the old one.
  void SetVariable(lumo::Variable* variable);

  AggregateElement* left = nullptr;
  AggregateElement* right = nullptr;

 private:
  friend class Variable;
  AggregateIndex index_;
  lumo::Variable* variable_;
};

class AggregateElementTree
    : public SplayTree<AggregateElementTree, AggregateElement, const AggregateIndex&>,
      public ChargedObject {
 public:
  // From this many member names on, names are also found through a hash
  // index, and names added from then on join the ordered tree only when
  // an ordered walk asks for it: a large structure used as a dictionary
  // costs one probe per lookup and per insertion, not a splay over long
  // shared prefixes.
  static constexpr int32_t kNameIndexThreshold = 32;

  explicit AggregateElementTree(bool owns_elements = true) : SplayTree(owns_elements) {}
  ~AggregateElementTree();

  int Compare(const AggregateIndex& key, const AggregateElement& element) const {
    return key.Compare(element.Index());
  }
  const AggregateIndex& KeyOf(const AggregateElement& element) const { return element.Index(); }

  void Insert(AggregateElement* element);
  AggregateElement* Find(const AggregateIndex& key);
  // Looks a member name up through the hash index without making a key;
  // false when the tree has no index (the caller then uses Find).
  bool FindName(const char* name, int32_t length, AggregateElement** found);
  AggregateElement* Remove(const AggregateIndex& key);
  void Clear();

  // The ordered operations first put pending names in order.
  int32_t Count() const {
    return SplayTree::Count() + static_cast<int32_t>(pending_.size());
  }
  AggregateElement* Min() {
    Order();
    return SplayTree::Min();
  }
  AggregateElement* Max() {
    Order();
    return SplayTree::Max();
  }
  AggregateElement* Next(const AggregateIndex& key) {
    Order();
    return SplayTree::Next(key);
  }
  AggregateElement* Previous(const AggregateIndex& key) {
    Order();
    return SplayTree::Previous(key);
  }
  template <typename Visit>
  void InOrder(Visit&& visit) {
    Order();
    SplayTree::InOrder(visit);
  }
  // Copies every element, those still pending included.
  template <typename Derived, typename Make>
  void CopyShapeInto(Derived& into, Make&& make) {
    Order();
    SplayTree::CopyShapeInto(into, make);
  }

  // Moves every element whose index is at least `from` by `delta`. The
  // order of the tree does not change. Moving down must not take an index
  // below 0 (callers only move elements into room they have just freed);
  // elements moved up past the largest index are removed.
  void Renumber(int32_t from, int32_t delta);

  // Set while a walk that follows nested aggregates is inside this tree, so
  // that a tree reached again through shared elements (a cycle) is skipped
  // instead of walked forever.
  bool walking = false;

 private:
  class NameIndex;
  void Order() {
    if (!pending_.empty()) OrderPending();
  }
  void OrderPending();

  NameIndex* names_ = nullptr;
  int32_t name_count_ = 0;
  // Names in the index but not yet in the ordered tree.
  std::vector<AggregateElement*> pending_;
};

}  // namespace lumo

#endif  // LUMO_VALUES_AGGREGATE_H_
