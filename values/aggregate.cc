#include "values/aggregate.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <vector>
#include <cstring>

#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "values/variable.h"

namespace lumo {

AggregateIndex::AggregateIndex(const char* name, int32_t length) : text_(name, length) {}

const String& AggregateIndex::Text() const {
  if (index_ != -1 && !text_.HasBuffer()) AppendInteger(text_, index_);
  return text_;
}

void AggregateIndex::SetNumber(int32_t index) {
  index_ = index < 0 ? 0 : index;
  text_.Clear();
}

int AggregateIndex::CompareNames(const AggregateIndex& other) const {
  const int32_t a = text_.Length();
  const int32_t b = other.text_.Length();
  int c = CompareNoCase(text_.Text(), other.text_.Text(), a < b ? a : b);
  if (c != 0) return c;
  return a == b ? 0 : (a < b ? -1 : 1);
}

AggregateElement::AggregateElement(const AggregateIndex& index)
    : index_(index), variable_(new lumo::Variable()) {}

AggregateElement::AggregateElement(const AggregateIndex& index, lumo::Variable* variable)
    : index_(index), variable_(variable) {
  variable_->AddReference();
}

AggregateElement::~AggregateElement() {
  if (variable_) variable_->Free();
}

void AggregateElement::SetVariable(lumo::Variable* variable) {
  variable->AddReference();
  lumo::Variable* old = variable_;
  variable_ = variable;
  if (old) old->Free();
}

// Member names by hash, compared without case. Entries are kept in the
// order they were added and the probe table holds only their positions, so
// the table stays small and names used in the order they were added are
// found by walking memory forwards. A removed name leaves a dead entry that
// the next rebuild drops.
class AggregateElementTree::NameIndex {
 public:
  NameIndex() { Rebuild(64); }
  ~NameIndex() {
    if (table_ != nullptr) ReleaseMemory(Bytes(mask_ + 1));
    free(table_);
    free(entries_);
  }
  NameIndex(const NameIndex&) = delete;
  NameIndex& operator=(const NameIndex&) = delete;

  static uint32_t Hash(const String& name) { return Hash(name.Text(), name.Length()); }
  static uint32_t Hash(const char* text, int32_t length) {
    // FNV-1a over the lowered bytes.
    uint32_t h = 2166136261u;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (int32_t i = 0; i < length; ++i) {
      h ^= LowerByte(p[i]);
      h *= 16777619u;
    }
    // FNV leaves names that differ only in their last bytes close together
    // in the low bits; mix them before those bits pick a slot.
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
  }

  AggregateElement* Find(const AggregateIndex& key) const {
    return Find(key.Text().Text(), key.Text().Length());
  }
  AggregateElement* Find(const char* name, int32_t length) const {
    const uint32_t h = Hash(name, length);
    for (uint32_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot slot = table_[i];
      if (slot.entry == kEmpty) return nullptr;
      if (slot.entry == kRemoved || slot.hash != h) continue;
      const Entry& e = entries_[slot.entry];
      {
        const String& stored = e.element->Index().Text();
        if (stored.Length() == length && CompareNoCase(stored.Text(), name, length) == 0) {
          return e.element;
        }
      }
    }
  }

  void Add(AggregateElement* element) {
    if ((static_cast<int64_t>(count_) + 1) * 2 > static_cast<int64_t>(mask_) + 1) {
      Rebuild((live_ + 1) * 4 > static_cast<int64_t>(mask_) + 1 ? (mask_ + 1) * 2 : mask_ + 1);
    }
    const uint32_t h = Hash(element->Index().Text());
    entries_[count_] = Entry{element, h};
    Place(count_, h);
    ++count_;
    ++live_;
  }

  void Erase(AggregateElement* element) {
    const uint32_t h = Hash(element->Index().Text());
    for (uint32_t i = h & mask_;; i = (i + 1) & mask_) {
      const int32_t k = table_[i].entry;
      if (k == kEmpty) return;
      if (k != kRemoved && entries_[k].element == element) {
        table_[i].entry = kRemoved;
        entries_[k].element = nullptr;
        --live_;
        return;
      }
    }
  }

 private:
  static constexpr int32_t kEmpty = -1;
  static constexpr int32_t kRemoved = -2;

  struct Entry {
    AggregateElement* element;  // null once removed
    uint32_t hash;
  };
  // The hash is kept in the probe table as well: a probe past other names
  // then never visits their entries.
  struct Slot {
    int32_t entry;
    uint32_t hash;
  };

  // What the arrays of a table of `capacity` slots take: charged to the
  // run, a large structure being something a script makes at will.
  static int64_t Bytes(uint32_t capacity) {
    return static_cast<int64_t>(sizeof(Slot)) * capacity +
           static_cast<int64_t>(sizeof(Entry)) * (capacity / 2);
  }

  static bool Same(const String& a, const String& b) {
    return a.Length() == b.Length() && CompareNoCase(a.Text(), b.Text(), a.Length()) == 0;
  }

  void Place(int32_t k, uint32_t h) {
    uint32_t i = h & mask_;
    while (table_[i].entry != kEmpty) i = (i + 1) & mask_;
    table_[i] = Slot{k, h};
  }

  // A table of `capacity` slots (a power of two) holding the live entries;
  // room for capacity / 2 entries.
  void Rebuild(uint32_t capacity) {
    if (capacity > (1u << 30)) OutOfMemory("AggregateElementTree");
    ChargeMemory(Bytes(capacity));
    auto* table = static_cast<Slot*>(malloc(sizeof(Slot) * capacity));
    auto* entries = static_cast<Entry*>(malloc(sizeof(Entry) * (capacity / 2)));
    if (table == nullptr || entries == nullptr) {
      free(table);
      free(entries);
      ReleaseMemory(Bytes(capacity));
      OutOfMemory("AggregateElementTree");
    }
    for (uint32_t i = 0; i < capacity; ++i) table[i] = Slot{kEmpty, 0};
    if (table_ != nullptr) ReleaseMemory(Bytes(mask_ + 1));
    free(table_);
    table_ = table;
    mask_ = capacity - 1;
    int32_t kept = 0;
    for (int32_t k = 0; k < count_; ++k) {
      if (entries_[k].element == nullptr) continue;
      entries[kept] = entries_[k];
      Place(kept, entries[kept].hash);
      ++kept;
    }
    free(entries_);
    entries_ = entries;
    count_ = kept;
    live_ = kept;
  }

  Slot* table_ = nullptr;
  uint32_t mask_ = 0;
  Entry* entries_ = nullptr;
  int32_t count_ = 0;  // entries in use, dead ones included
  int32_t live_ = 0;
};

AggregateElementTree::~AggregateElementTree() { Clear(); }

void AggregateElementTree::Insert(AggregateElement* element) {
  if (element->Index().IsNumber()) {
    SplayTree::Insert(element, element->Index());
    return;
  }
  if (names_ != nullptr) {
    pending_.push_back(element);
    try {
      names_->Add(element);
    } catch (...) {
      pending_.pop_back();
      throw;
    }
    ++name_count_;
    return;
  }
  if (name_count_ + 1 >= kNameIndexThreshold) {
    // The index is complete, the new name included, before anything
    // changes: should memory run out on the way, the tree is as it was and
    // the element still the caller's.
    auto names = std::make_unique<NameIndex>();
    SplayTree::InOrder([&names](AggregateElement* e) {
      if (!e->Index().IsNumber()) names->Add(e);
    });
    names->Add(element);
    names_ = names.release();
  }
  SplayTree::Insert(element, element->Index());
  ++name_count_;
}

AggregateElement* AggregateElementTree::Find(const AggregateIndex& key) {
  if (names_ != nullptr && !key.IsNumber()) return names_->Find(key);
  return SplayTree::Find(key);
}

bool AggregateElementTree::FindName(const char* name, int32_t length, AggregateElement** found) {
  if (names_ == nullptr) return false;
  *found = names_->Find(name, length);
  return true;
}

AggregateElement* AggregateElementTree::Remove(const AggregateIndex& key) {
  Order();
  AggregateElement* removed = SplayTree::Remove(key);
  if (removed != nullptr && !key.IsNumber()) {
    --name_count_;
    if (names_ != nullptr) names_->Erase(removed);
  }
  return removed;
}

void AggregateElementTree::Clear() {
  delete names_;
  names_ = nullptr;
  name_count_ = 0;
  if (OwnsNodes()) {
    for (AggregateElement* e : pending_) delete e;
  }
  pending_.clear();
  SplayTree::Clear();
}

void AggregateElementTree::OrderPending() {
  // Merge the sorted pending names with the tree's nodes and rebuild a
  // balanced tree from the merged run: one sort, no splaying.
  std::sort(pending_.begin(), pending_.end(), [](AggregateElement* a, AggregateElement* b) {
    return a->Index().Compare(b->Index()) < 0;
  });
  std::vector<AggregateElement*> nodes;
  nodes.reserve(static_cast<size_t>(SplayTree::Count()));
  SplayTree::InOrder([&nodes](AggregateElement* e) { nodes.push_back(e); });
  std::vector<AggregateElement*> merged;
  merged.reserve(nodes.size() + pending_.size());
  // The ranges never outnumber the levels of a balanced tree: reserved
  // before the old tree is taken apart, nothing below can fail half way.
  struct Range {
    size_t low;
    size_t high;  // exclusive
    AggregateElement** link;
  };
  std::vector<Range> ranges;
  ranges.reserve(2 * 64 + 2);
  std::merge(nodes.begin(), nodes.end(), pending_.begin(), pending_.end(),
             std::back_inserter(merged), [](AggregateElement* a, AggregateElement* b) {
               return a->Index().Compare(b->Index()) < 0;
             });
  pending_.clear();
  // Built level by level from an explicit stack of ranges.
  root_ = nullptr;
  ranges.push_back(Range{0, merged.size(), &root_});
  while (!ranges.empty()) {
    Range r = ranges.back();
    ranges.pop_back();
    if (r.low >= r.high) {
      *r.link = nullptr;
      continue;
    }
    const size_t middle = r.low + (r.high - r.low) / 2;
    AggregateElement* node = merged[middle];
    *r.link = node;
    ranges.push_back(Range{r.low, middle, &node->left});
    ranges.push_back(Range{middle + 1, r.high, &node->right});
  }
  count_ = static_cast<int32_t>(merged.size());
}

void AggregateElementTree::Renumber(int32_t from, int32_t delta) {
  if (delta == 0 || root_ == nullptr) return;
  if (delta > 0) {
    // Elements that would move past the largest index cannot keep their
    // order: they fall off the end of the array.
    const int32_t limit = INT32_MAX - delta;
    for (AggregateElement* e = Max(); e && e->Index().Number() > limit && e->Index().Number() >= from;
         e = Max()) {
      delete Remove(AggregateIndex(e->Index().Number()));
    }
    if (root_ == nullptr) return;
  }
  auto shift = [delta](AggregateElement* e) {
    e->MutableIndex().SetNumber(e->Index().Number() + delta);
  };
  root_ = Splay(AggregateIndex(from), root_);
  if (root_->Index().Number() >= from) shift(root_);
  Walk(root_->right, count_, shift);
}

}  // namespace lumo
