// The element operations of Variable: arrays and structures.
#include <cstdint>
#include <memory>
#include <vector>

#include "values/variable.h"

namespace lumo {

namespace {

// A reference held for the length of an operation, released however the
// operation ends.
class HeldReference {
 public:
  explicit HeldReference(Variable* variable) : variable_(variable) { variable_->AddReference(); }
  ~HeldReference() { variable_->Free(); }
  HeldReference(const HeldReference&) = delete;
  HeldReference& operator=(const HeldReference&) = delete;

 private:
  Variable* variable_;
};

int KindOf(const AggregateIndex& index) {
  return index.IsNumber() ? kAggregateArray : kAggregateStructure;
}

// Index arithmetic that cannot overflow: results outside 0..INT32_MAX are
// reported as -1 so callers can skip them.
int32_t Offset(int64_t value) {
  return value < 0 || value > INT32_MAX ? -1 : static_cast<int32_t>(value);
}

// Elements taken out of an array, in ascending order, each with a
// reference held until it is stored or the range goes.
struct TakenRange {
  TakenRange() = default;
  TakenRange(const TakenRange&) = delete;
  TakenRange& operator=(const TakenRange&) = delete;
  ~TakenRange() {
    for (auto& item : items) {
      if (item.second != nullptr) item.second->Free();
    }
  }
  std::vector<std::pair<int32_t, Variable*>> items;
};

// The elements of `source` with start <= index < end.
void TakeRange(Variable* source, int32_t start, int64_t end, TakenRange& range) {
  AggregateElementTree* tree = source->Elements();
  if (tree == nullptr || end <= start) return;
  AggregateIndex key(start);
  AggregateElement* e = tree->Find(key);
  if (e == nullptr) e = tree->Next(key);
  while (e != nullptr && e->Index().Number() < end) {
    Variable* v = e->Variable();
    const int32_t at = e->Index().Number();
    range.items.emplace_back(at, v);
    v->AddReference();
    e = tree->Next(AggregateIndex(at));
  }
}

// Stores the taken elements (or copies of them) from `destination` on,
// letting go of each as it is stored.
void StoreRange(Variable* into, TakenRange& range, int32_t start, int32_t destination, bool copy) {
  for (auto& item : range.items) {
    Variable* v = item.second;
    const int32_t to = Offset(static_cast<int64_t>(item.first) - start + destination);
    if (to >= 0) {
      if (copy) {
        auto* duplicate = new Variable(*v);
        const HeldReference held(duplicate);
        duplicate->Free();  // `held` has the only reference now
        into->Set_Element(AggregateIndex(to), duplicate);
      } else {
        into->Set_Element(AggregateIndex(to), v);
      }
    }
    item.second = nullptr;
    v->Free();
  }
}

}  // namespace

Variable* Variable::Element_Path(const AggregateIndex* path, int32_t count, bool create) {
  if (mode_ == Mode::kReference) return target_->Element_Path(path, count, create);
  if (mode_ == Mode::kNull) return create ? this : nullptr;
  Variable* v = this;
  for (int32_t i = 0; i < count && v != nullptr; ++i) v = v->Element(path[i], create);
  return v;
}

Variable* Variable::Member(const char* name, int32_t length, bool create) {
  AggregateElement* found = nullptr;
  if (plain_ && mode_ == Mode::kValue && aggregate_type_ == kAggregateStructure &&
      elements_ != nullptr && elements_->FindName(name, length, &found) && found != nullptr) {
    return found->Variable();
  }
  return Element(AggregateIndex(name, length), create);
}

Variable* Variable::Element(const AggregateIndex& index, bool create) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) return target_->Element(index, create);
    return create ? this : nullptr;
  }
  const int kind = KindOf(index);
  if (aggregate_type_ != kind) {
    if (!create) return nullptr;
    DestroyElements();
  }
  if (elements_ == nullptr) {
    if (!create) return nullptr;
    elements_ = new AggregateElementTree(true);
    aggregate_type_ = static_cast<uint8_t>(kind);
    valid_ = 0;
    value_type_ = kValueNone;
    if (text_.HasBuffer()) text_.SetLength(0);
  } else if (AggregateElement* found = elements_->Find(index)) {
    return found->Variable();
  }
  if (!create) return nullptr;
  auto element = std::make_unique<AggregateElement>(index);
  elements_->Insert(element.get());
  return element.release()->Variable();
}

void Variable::Set_Element(const AggregateIndex& index, Variable* variable) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Set_Element(index, variable);
    return;
  }
  if (variable == nullptr) return;
  // Hold the variable while the old tree may be torn down: it can be one of
  // the elements that go.
  const HeldReference held(variable);
  AggregateElement* found =
      aggregate_type_ == KindOf(index) && elements_ ? elements_->Find(index) : nullptr;
  if (found != nullptr) {
    found->SetVariable(variable);
    return;
  }
  Make_Aggregate(KindOf(index));
  auto element = std::make_unique<AggregateElement>(index, variable);
  elements_->Insert(element.get());
  element.release();
}

void Variable::Insert_Array_Element(int32_t index, Variable* variable) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Insert_Array_Element(index, variable);
    return;
  }
  if (variable == nullptr) return;
  const HeldReference held(variable);
  if (aggregate_type_ == kAggregateArray && elements_ != nullptr) {
    if (index > 0) {
      elements_->Renumber(index, 1);
    } else {
      index = Offset(static_cast<int64_t>(Array_Max()) + 1);
    }
  } else {
    Make_Aggregate(kAggregateArray);
    if (index < 1) index = 1;
  }
  if (index >= 0) {
    auto element = std::make_unique<AggregateElement>(AggregateIndex(index), variable);
    elements_->Insert(element.get());
    element.release();
  }
}

void Variable::Delete_Element(const AggregateIndex& index, bool shift) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Delete_Element(index, shift);
    return;
  }
  if (elements_ == nullptr || aggregate_type_ != KindOf(index)) return;
  // Copy the key: it may live in the element being destroyed.
  const AggregateIndex key(index);
  delete elements_->Remove(key);
  if (shift && key.IsNumber() && elements_ != nullptr && key.Number() < INT32_MAX) {
    elements_->Renumber(key.Number() + 1, -1);
  }
}

void Variable::Delete_Array_Elements(int32_t start, int32_t count, bool shift) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Delete_Array_Elements(start, count, shift);
    return;
  }
  Make_Aggregate(kAggregateArray);
  if (count < 0) {
    // Everything from start up: take the maximum until it falls below.
    for (AggregateElement* e = elements_->Max(); e && e->Index().Number() >= start;
         e = elements_->Max()) {
      delete elements_->Remove(AggregateIndex(e->Index().Number()));
    }
    return;
  }
  const int64_t end = static_cast<int64_t>(start) + count;
  AggregateIndex key(start);
  AggregateElement* e = elements_->Find(key);
  if (e == nullptr) e = elements_->Next(key);
  while (e != nullptr && e->Index().Number() < end) {
    const int32_t at = e->Index().Number();
    delete elements_->Remove(AggregateIndex(at));
    e = elements_->Next(AggregateIndex(at));
  }
  if (shift && count > 0 && end <= INT32_MAX) {
    elements_->Renumber(static_cast<int32_t>(end), -count);
  }
}

// Both copy operations read their whole source range before writing, so a
// copy within one array never reads an element it has already overwritten,
// whatever the overlap.
void Variable::Array_Copy(Variable* source, int32_t start, int32_t count, int32_t destination,
                          bool copy) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Array_Copy(source, start, count, destination, copy);
    return;
  }
  Make_Aggregate(kAggregateArray);
  if (source == nullptr) return;
  source = source->RealIdentity();
  if (source->Aggregate_Type() != kAggregateArray) return;
  if (!copy && SharingWouldLoop(source)) return;
  if (start <= 0) {
    start = source->Array_Min();
    if (start <= 0) return;
  }
  if (count < 0) {
    const int32_t max = source->Array_Max();
    if (max < 1) return;
    count = static_cast<int32_t>(static_cast<int64_t>(max) + 1 - start);
    if (count < 0) return;
  }
  if (destination < 1) destination = Offset(static_cast<int64_t>(Array_Max()) + 1);
  if (destination < 0) return;
  if (source == this && destination == start && !copy) return;

  TakenRange items;
  TakeRange(source, start, static_cast<int64_t>(start) + count, items);
  StoreRange(this, items, start, destination, copy);
}

void Variable::Array_Merge(Variable* source, int32_t start, int32_t count, int32_t destination,
                           bool copy) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Array_Merge(source, start, count, destination, copy);
    return;
  }
  Make_Aggregate(kAggregateArray);
  if (source == nullptr) return;
  source = source->RealIdentity();
  if (start < 1) {
    start = source->Array_Min();
    if (start < 1) start = 1;
  }
  if (count < 0) {
    const int32_t max = source->Array_Max();
    if (max > 0) count = static_cast<int32_t>(static_cast<int64_t>(max) + 1 - start);
  }
  if (count < 0) count = 0;
  if (destination < 1) destination = Offset(static_cast<int64_t>(Array_Max()) + 1);
  if (destination < 0) return;
  if (!copy && SharingWouldLoop(source)) return;

  // Taken before the move: when the source is this array, the range is the
  // one the caller named, wherever the move puts its elements.
  TakenRange items;
  if (source->Aggregate_Type() == kAggregateArray) {
    TakeRange(source, start, static_cast<int64_t>(start) + count, items);
  }
  elements_->Renumber(destination, count);
  StoreRange(this, items, start, destination, copy);
}

int32_t Variable::Array_Max() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Array_Max() : 0;
  }
  AggregateElement* e = elements_ ? elements_->Max() : nullptr;
  return e ? e->Index().Number() : 0;
}

int32_t Variable::Array_Min() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Array_Min() : 0;
  }
  AggregateElement* e = elements_ ? elements_->Min() : nullptr;
  return e ? e->Index().Number() : 0;
}

int32_t Variable::Array_Next(int32_t index) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Array_Next(index) : 0;
  }
  if (elements_ == nullptr) return 0;
  if (aggregate_type_ != kAggregateArray) return -1;
  if (index < 0) index = -1;
  // Every index is at least 0, so "above -1" is the first element.
  AggregateElement* e = index < 0 ? elements_->Min() : elements_->Next(AggregateIndex(index));
  return e ? e->Index().Number() : 0;
}

int32_t Variable::Array_Previous(int32_t index) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Array_Previous(index) : 0;
  }
  if (elements_ == nullptr) return 0;
  if (aggregate_type_ != kAggregateArray) return -1;
  if (index <= 0) return 0;
  AggregateElement* e = elements_->Previous(AggregateIndex(index));
  return e ? e->Index().Number() : 0;
}

int32_t Variable::ElementsUsed() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->ElementsUsed() : 0;
  }
  return elements_ ? elements_->Count() : 0;
}

void Variable::Make_Aggregate(int type) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Make_Aggregate(type);
    return;
  }
  if (!(type == kAggregateStructure || type == kAggregateArray)) return;
  if (aggregate_type_ == type && elements_ != nullptr) return;
  AggregateElementTree* old = elements_;
  elements_ = new AggregateElementTree(true);
  aggregate_type_ = static_cast<uint8_t>(type);
  valid_ = 0;
  value_type_ = kValueNone;
  if (text_.HasBuffer()) text_.SetLength(0);
  delete old;
}

}  // namespace lumo
