#include "values/aggregate.h"

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
