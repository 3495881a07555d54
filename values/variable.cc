#include "values/variable.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/base/conversions.h"
#include "values/variable_list.h"

namespace lumo {

namespace {

// Empties a text without giving it a buffer it does not have yet.
void Truncate(String& text) {
  if (text.HasBuffer()) text.SetLength(0);
}

const String& EmptyText() {
  static const String empty;
  return empty;
}

// Element variables have no name; giving them an empty buffer would cost an
// allocation per element.
String NameOf(std::string_view name) { return name.empty() ? String() : String(name); }

bool IsAggregateType(int type) {
  return type == kAggregateStructure || type == kAggregateArray;
}

}  // namespace

int32_t TruncateToInteger(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// --- Construction and destruction -------------------------------------

Variable::Variable(std::string_view name) : name_(NameOf(name)) {}

Variable::Variable(std::string_view name, std::string_view text)
    : name_(NameOf(name)), text_(text), valid_(kTextValid), value_type_(kValueText) {}

Variable::Variable(std::string_view name, int32_t value)
    : name_(NameOf(name)), integer_(value), valid_(kIntegerValid), value_type_(kValueInteger) {}

Variable::Variable(std::string_view name, double value)
    : name_(NameOf(name)),
      integer_(TruncateToInteger(value)),
      double_(value),
      valid_(kIntegerValid | kDoubleValid),
      value_type_(kValueDouble) {}

Variable::Variable(std::string_view name, char* buffer, int32_t length, int32_t capacity)
    : name_(NameOf(name)),
      text_(String::Adopt(buffer, length, capacity)),
      valid_(kTextValid),
      value_type_(kValueText) {}

Variable::Variable(const Variable& other) : name_(other.name_) {
  SetValue_Variable(const_cast<Variable*>(&other));
}

// Only the null and reference classes construct in a mode; neither is plain.
Variable::Variable(Mode mode, std::string_view name)
    : name_(NameOf(name)), plain_(false), mode_(mode) {}

Variable::~Variable() {
  // Destroyed without going through Free (a variable with automatic
  // storage, or an owner that deletes): give back the counts a reference
  // still holds on its target.
  if (mode_ == Mode::kReference && target_ != nullptr) {
    for (int32_t i = 0; i < reference_count_; ++i) target_->Free();
  }
  DestroyElements();
  delete scratch_;
}

void Variable::DestroyElements() {
  AggregateElementTree* tree = elements_;
  elements_ = nullptr;
  delete tree;
}

void Variable::Destroy(Variable* variable) {
  // Destroying an aggregate releases its elements, which may destroy nested
  // aggregates in turn. Doing that recursively would let a deeply nested
  // value (built from a hostile request, say) overflow the machine stack,
  // so destructions that happen while one is under way are queued and run
  // from this loop instead.
  static thread_local std::vector<Variable*> pending;
  static thread_local bool draining = false;
  if (draining) {
    try {
      pending.push_back(variable);
    } catch (const std::bad_alloc&) {
      // Releasing memory must not fail for want of it: this one goes
      // now, recursion the lesser risk.
      delete variable;
    }
    return;
  }
  draining = true;
  delete variable;
  while (!pending.empty()) {
    Variable* v = pending.back();
    pending.pop_back();
    delete v;
  }
  draining = false;
}

void Variable::Unmarked() {
  fprintf(stderr, "A Variable subclass that overrides value operations lacks MarkSpecial()\n");
  abort();
}

// --- Identity -------------------------------------------------------------

const String& Variable::Name() const { return name_; }

Variable* Variable::NextIdentity() { return mode_ == Mode::kReference ? target_ : this; }

Variable* Variable::RealIdentity() {
  if (mode_ != Mode::kReference) return this;
  // Make_Reference refuses anything that would close a loop, so the chain
  // ends. The last link answers for itself (a subclass may override).
  Variable* v = target_;
  while (v->mode_ == Mode::kReference) v = v->target_;
  return v->RealIdentity();
}

// --- Reading ----------------------------------------------------------------

const String& Variable::Value() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Value() : EmptyText();
  }
  if (elements_ != nullptr) {
    // The flattened text is rebuilt on every call: elements may have
    // changed through other holders.
    text_.SetLength(0);
    Append_Text(text_);
    return text_;
  }
  if (!(valid_ & kTextValid)) Compute_Text();
  return text_;
}

int32_t Variable::Value_Integer() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Value_Integer() : 0;
  }
  if (elements_ != nullptr) return 0;
  if (!(valid_ & kIntegerValid)) Compute_Integer();
  return integer_;
}

double Variable::Value_Double() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Value_Double() : 0.0;
  }
  if (elements_ != nullptr) return 0.0;
  if (!(valid_ & kDoubleValid)) Compute_Double();
  return double_;
}

double Variable::Value_Double_Flagged(bool* not_a_number) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) return target_->Value_Double_Flagged(not_a_number);
    *not_a_number = false;
    return 0.0;
  }
  *not_a_number = false;
  if (elements_ != nullptr) {
    *not_a_number = true;
    return 0.0;
  }
  // A stored number stays authoritative: its text may have been rounded
  // (1e-25 reads "0"), and reading that text back would lose the value.
  const bool stored_number = value_type_ == kValueInteger || value_type_ == kValueDouble;
  if ((valid_ & kTextValid) && !stored_number) {
    bool failed = false;
    double d = ParseDouble(text_.Text(), text_.Length(), &failed);
    if (failed) {
      *not_a_number = true;
    } else {
      double_ = d;
      valid_ |= kDoubleValid;
    }
    return d;
  }
  if (valid_ & kDoubleValid) return double_;
  if (valid_ & kIntegerValid) return integer_;
  return 0.0;
}

int Variable::StorageClass() {
  switch (mode_) {
    case Mode::kReference: return kStorageReference;
    case Mode::kNull: return kStorageNull;
    default: return kStorageOrdinary;
  }
}

int Variable::ValueType() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->ValueType() : kValueNone;
  }
  return value_type_;
}

int Variable::NaturalType() {
  return mode_ == Mode::kReference ? target_->NaturalType() : kValueText;
}

bool Variable::Value_Boolean() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Value_Boolean() : false;
  }
  if (elements_ == nullptr) {
    // A stored number decides by itself, not by its possibly rounded text
    // (1e-25 reads "0"), so the truth of a value does not change when its
    // text happens to be read.
    if (value_type_ == kValueDouble && (valid_ & kDoubleValid)) return double_ != 0.0;
    if (value_type_ == kValueInteger && (valid_ & kIntegerValid)) return integer_ != 0;
    if (valid_ & kTextValid) return TextTruth(text_.Text(), text_.Length());
    if (valid_ & kDoubleValid) return double_ != 0.0;  // NaN counts as true
    if (valid_ & kIntegerValid) return integer_ != 0;
  }
  const String& text = Value();
  return TextTruth(text.Text(), text.Length());
}

bool Variable::IsEmpty() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->IsEmpty() : true;
  }
  if (elements_ != nullptr) return false;
  if (valid_ & kTextValid) return text_.Length() == 0;
  return !(valid_ & (kIntegerValid | kDoubleValid));
}

const String& Variable::Compute_Text() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Compute_Text() : EmptyText();
  }
  text_.SetLength(0);
  if (valid_ & kDoubleValid) {
    AppendDouble(text_, double_, -1);
  } else if (valid_ & kIntegerValid) {
    AppendInteger(text_, integer_);
  }
  valid_ |= kTextValid;
  return text_;
}

void Variable::Compute_Integer() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Compute_Integer();
    return;
  }
  if (valid_ & kDoubleValid) {
    integer_ = TruncateToInteger(double_);
  } else if (valid_ & kTextValid) {
    bool failed = false;
    integer_ = ParseInteger(text_.Text(), text_.Length(), &failed);
    if (failed) {
      // "1.5" and "1e3" are numbers too: go through the double form.
      Compute_Double();
      integer_ = TruncateToInteger(double_);
    }
  } else {
    integer_ = 0;
  }
  valid_ |= kIntegerValid;
}

void Variable::Compute_Double() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Compute_Double();
    return;
  }
  if ((valid_ & kIntegerValid) && (value_type_ == kValueInteger || !(valid_ & kTextValid))) {
    // A stored integer's text is its decimal form: no need to read it back.
    double_ = integer_;
  } else if (valid_ & kTextValid) {
    double_ = ParseDouble(text_.Text(), text_.Length(), nullptr);
  } else {
    double_ = 0.0;
  }
  valid_ |= kDoubleValid;
}

// --- Writing ----------------------------------------------------------------

void Variable::Clear() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) target_->Clear();
    return;
  }
  Truncate(text_);
  valid_ = 0;
  value_type_ = kValueNone;
  aggregate_type_ = kAggregateScalar;
  DestroyElements();
}

AggregateElementTree* Variable::Elements() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Elements() : nullptr;
  }
  return elements_;
}

int Variable::Aggregate_Type() {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->Aggregate_Type() : kAggregateScalar;
  }
  return aggregate_type_;
}

int32_t Variable::ReferenceCount() const { return reference_count_; }

void Variable::SetName(const char* name, int32_t length) {
  if (name == nullptr) return;
  name_.Assign(name, length);
}

bool Variable::SetValue(const char* bytes, int32_t length) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->SetValue(bytes, length) : true;
  }
  // Copy first: the bytes may belong to one of our own elements.
  text_.Assign(bytes, bytes == nullptr ? 0 : length);
  valid_ = kTextValid;
  value_type_ = kValueText;
  aggregate_type_ = kAggregateScalar;
  DestroyElements();
  return true;
}

bool Variable::SetValue_Nocopy(char* buffer, int32_t length, int32_t capacity) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    if (mode_ == Mode::kReference) return target_->SetValue_Nocopy(buffer, length, capacity);
    FreeText(buffer, capacity);
    return true;
  }
  text_ = String::Adopt(buffer, length, capacity);
  if (!text_.HasBuffer()) text_.Assign("", 0);
  valid_ = kTextValid;
  value_type_ = kValueText;
  aggregate_type_ = kAggregateScalar;
  DestroyElements();
  return true;
}

bool Variable::SetValue_Integer(int32_t value) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->SetValue_Integer(value) : true;
  }
  integer_ = value;
  valid_ = kIntegerValid;
  value_type_ = kValueInteger;
  if (elements_ != nullptr) {
    aggregate_type_ = kAggregateScalar;
    DestroyElements();
  }
  return true;
}

bool Variable::SetValue_Double(double value) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->SetValue_Double(value) : true;
  }
  double_ = value;
  valid_ = kDoubleValid;
  value_type_ = kValueDouble;
  if (elements_ != nullptr) {
    aggregate_type_ = kAggregateScalar;
    DestroyElements();
  }
  return true;
}

String& Variable::ScratchText() {
  if (mode_ == Mode::kReference) return target_->ScratchText();
  // Made on first use: few variables ever need one.
  if (scratch_ == nullptr) scratch_ = new String();
  return *scratch_;
}

bool Variable::SetValue_Variable(Variable* source) {
  if (mode_ != Mode::kValue) [[unlikely]] {
    return mode_ == Mode::kReference ? target_->SetValue_Variable(source) : true;
  }
  if (source == nullptr) return true;
  source = source->RealIdentity();
  if (source == this) return true;
  if (IsAggregateType(source->Aggregate_Type()) && source->Elements() != nullptr) {
    CopyAggregateFrom(source);
    return true;
  }
  // The old tree goes last: the source may be one of its elements.
  AggregateElementTree* old = elements_;
  elements_ = nullptr;
  aggregate_type_ = kAggregateScalar;
  CopyScalarFrom(source);
  delete old;
  return true;
}

void Variable::CopyScalarFrom(Variable* source) {
  switch (source->StorageClass()) {
    case kStorageNull:
      Truncate(text_);
      valid_ = 0;
      value_type_ = kValueNone;
      return;
    case kStorageFixedInteger:
      integer_ = source->Value_Integer();
      valid_ = kIntegerValid;
      value_type_ = kValueInteger;
      return;
    case kStorageFixedText:
      text_.Assign(source->Value());
      valid_ = kTextValid;
      value_type_ = kValueText;
      return;
    case kStorageField:
      if (source->valid_ == 0 || source->value_type_ == kValueNone) {
        switch (source->NaturalType()) {
          case kValueInteger:
            integer_ = source->Value_Integer();
            valid_ = kIntegerValid;
            value_type_ = kValueInteger;
            break;
          case kValueDouble:
            double_ = source->Value_Double();
            valid_ = kDoubleValid;
            value_type_ = kValueDouble;
            break;
          default:
            text_.Assign(source->Value());
            valid_ = kTextValid;
            value_type_ = kValueText;
            break;
        }
        return;
      }
      break;
    default:
      if (source->valid_ == 0) source->Compute_Text();
      break;
  }
  if (source->valid_ & kTextValid) text_.Assign(source->text_);
  integer_ = source->integer_;
  double_ = source->double_;
  valid_ = source->valid_;
  value_type_ = source->value_type_;
}

void Variable::CopyAggregateFrom(Variable* source) {
  // Copies the element trees level by level with an explicit stack of
  // frames, never by recursion, so nesting depth is not limited by the
  // machine stack. A tree met again while it is still being copied (an
  // aggregate that contains itself through shared elements) is not
  // followed: that element's copy stays empty.
  //
  // Should memory run out part way, what was copied goes with the partial
  // tree (each copy is linked as soon as it is made) and the source trees
  // are no longer marked as walked.
  struct Frame {
    AggregateElementTree* from;
    std::vector<std::pair<Variable*, Variable*>> nested;  // (source, copy)
    size_t next = 0;
  };
  struct Frames {
    std::vector<Frame> stack;
    ~Frames() {
      for (Frame& f : stack) f.from->walking = false;
    }
  } frames;
  auto copy_tree = [&frames](AggregateElementTree* from) {
    auto into = std::make_unique<AggregateElementTree>(true);
    frames.stack.emplace_back();
    Frame& frame = frames.stack.back();
    frame.from = from;
    from->walking = true;
    from->CopyShapeInto(*into, [&frame](const AggregateElement& e) {
      Variable* original = e.Variable();
      auto* copy = new Variable(original->Name());
      std::unique_ptr<AggregateElement> node;
      try {
        node = std::make_unique<AggregateElement>(e.Index(), copy);
      } catch (...) {
        copy->Free();
        throw;
      }
      copy->Free();  // the element holds the only reference now
      Variable* real = original->RealIdentity();
      if (IsAggregateType(real->Aggregate_Type()) && real->Elements() != nullptr) {
        frame.nested.emplace_back(real, copy);
      } else {
        copy->CopyScalarFrom(real);
      }
      return node.release();
    });
    return into;
  };

  const int type = source->Aggregate_Type();
  std::unique_ptr<AggregateElementTree> top = copy_tree(source->Elements());
  while (!frames.stack.empty()) {
    Frame& f = frames.stack.back();
    if (f.next < f.nested.size()) {
      auto [from, copy] = f.nested[f.next++];
      AggregateElementTree* tree = from->Elements();
      if (tree->walking) continue;
      const int nested_type = from->Aggregate_Type();
      copy->elements_ = copy_tree(tree).release();  // invalidates f
      copy->aggregate_type_ = static_cast<uint8_t>(nested_type);
    } else {
      f.from->walking = false;
      frames.stack.pop_back();
    }
  }

  AggregateElementTree* old = elements_;
  elements_ = top.release();
  aggregate_type_ = static_cast<uint8_t>(type);
  valid_ = 0;
  value_type_ = kValueNone;
  Truncate(text_);
  delete old;
}

// --- Life -------------------------------------------------------------------

void Variable::AddReference() {
  if (mode_ == Mode::kReference) target_->AddReference();
  ++reference_count_;
}

void Variable::Free() {
  if (mode_ == Mode::kReference) target_->Free();
  if (reference_count_ > 1) {
    --reference_count_;
    return;
  }
  reference_count_ = 0;
  Destroy(this);
}

void Variable::SetTarget(Variable* target) {
  target_ = target;
  mode_ = Mode::kReference;
}

bool Variable::Reaches(const Variable* wanted) {
  if (this == wanted) return true;
  if (mode_ != Mode::kReference && elements_ == nullptr) return false;
  // Elements are made unnamed; a named variable with one holder is held by
  // its table alone (a parameter passed by reference, say), and the walk
  // below would cost as much as the aggregate is large on every call.
  if (wanted->reference_count_ <= 1 && !wanted->name_.IsEmpty()) return false;
  // Iterative, and each variable once: aggregates may be deep and shared.
  std::vector<Variable*> pending{this};
  std::unordered_set<const Variable*> seen;
  while (!pending.empty()) {
    Variable* v = pending.back();
    pending.pop_back();
    if (v == wanted) return true;
    if (!seen.insert(v).second) continue;
    if (v->mode_ == Mode::kReference) {
      pending.push_back(v->target_);
    } else if (v->elements_ != nullptr) {
      v->elements_->InOrder([&pending](AggregateElement* e) {
        if (e->Variable() != nullptr) pending.push_back(e->Variable());
      });
    }
  }
  return false;
}

void Variable::Make_Reference(Variable* target) {
  if (target == nullptr || mode_ == Mode::kNull) return;
  if (mode_ == Mode::kReference) {
    if (target == this || target == target_ || target->RealIdentity() == RealIdentity() ||
        target->Reaches(this)) {
      return;
    }
    Variable* old = target_;
    for (int32_t i = 0; i < reference_count_; ++i) target->AddReference();
    target_ = target;
    for (int32_t i = 0; i < reference_count_; ++i) old->Free();
    return;
  }
  if (target == this || target->RealIdentity() == this || target->Reaches(this)) return;
  for (int32_t i = 0; i < reference_count_; ++i) target->AddReference();
  SetTarget(target);
  text_.Clear();
  delete scratch_;
  scratch_ = nullptr;
  valid_ = 0;
  value_type_ = kValueNone;
  aggregate_type_ = kAggregateScalar;
  DestroyElements();
}

void Variable::BecomeNull() {
  Variable* old_target = mode_ == Mode::kReference ? target_ : nullptr;
  int32_t counts = reference_count_;
  mode_ = Mode::kNull;
  target_ = nullptr;
  text_.Clear();
  valid_ = 0;
  value_type_ = kValueNone;
  aggregate_type_ = kAggregateScalar;
  DestroyElements();
  if (old_target) {
    for (int32_t i = 0; i < counts; ++i) old_target->Free();
  }
}

// --- Flattened text and description ---------------------------------------

void Variable::AppendScalarText(String& out) {
  const String& value = Value();
  if (!out.IsEmpty()) out.Append(',');
  out.Append(value);
}

void Variable::Append_Text(String& out) {
  if (mode_ == Mode::kReference) {
    target_->Append_Text(out);
    return;
  }
  if (mode_ == Mode::kNull || elements_ == nullptr) {
    AppendScalarText(out);
    return;
  }
  // Depth-first over nested aggregates with an explicit stack; a tree that
  // is already on the path (a cycle through shared elements) is skipped.
  struct Frame {
    AggregateElementTree* tree;
    std::vector<Variable*> items;
    size_t next = 0;
  };
  // Should memory run out part way, no tree stays marked as walked.
  struct Frames {
    std::vector<Frame> stack;
    ~Frames() {
      for (Frame& f : stack) f.tree->walking = false;
    }
  } frames;
  auto open = [&frames](AggregateElementTree* tree) {
    frames.stack.emplace_back();
    Frame& frame = frames.stack.back();
    frame.tree = tree;
    tree->walking = true;
    frame.items.reserve(static_cast<size_t>(tree->Count()));
    tree->InOrder([&frame](AggregateElement* e) { frame.items.push_back(e->Variable()); });
  };
  open(elements_);
  while (!frames.stack.empty()) {
    Frame& f = frames.stack.back();
    if (f.next == f.items.size()) {
      f.tree->walking = false;
      frames.stack.pop_back();
      continue;
    }
    Variable* v = f.items[f.next++];
    AggregateElementTree* tree =
        IsAggregateType(v->Aggregate_Type()) ? v->Elements() : nullptr;
    if (tree == nullptr) {
      const String& value = v->Value();
      if (!out.IsEmpty()) out.Append(',');
      out.Append(value);
    } else if (!tree->walking) {
      open(tree);  // invalidates f
    }
  }
}

namespace {

void AppendEscaped(String& out, const String& text) {
  const char* p = text.Text();
  for (int32_t i = 0; i < text.Length(); ++i) {
    auto c = static_cast<unsigned char>(p[i]);
    if (c < 32) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out.Append(hex, 4);
    } else {
      out.Append(static_cast<char>(c));
    }
  }
}

void AppendShallow(String& out, Variable* v) {
  switch (v->Aggregate_Type()) {
    case kAggregateStructure:
      out.Append("<structure>");
      break;
    case kAggregateArray:
      out.Append("<array>[");
      AppendInteger(out, v->Array_Max());
      out.Append(']');
      break;
    default:
      AppendEscaped(out, v->Value());
      break;
  }
}

}  // namespace

void Variable::Describe(String& out) {
  Variable* v = RealIdentity();
  AggregateElementTree* tree = v->Elements();
  const int type = v->Aggregate_Type();
  if (type == kAggregateStructure && tree != nullptr) {
    out.Append("{ ");
    bool first = true;
    tree->InOrder([&](AggregateElement* e) {
      if (!first) out.Append(", ");
      first = false;
      out.Append(e->Index().Text());
      out.Append(": ");
      AppendShallow(out, e->Variable());
    });
    out.Append(" }");
    return;
  }
  if (type == kAggregateArray && tree != nullptr) {
    out.Append('[');
    AppendInteger(out, v->Array_Max());
    out.Append("] = [ ");
    bool first = true;
    tree->InOrder([&](AggregateElement* e) {
      if (!first) out.Append(',');
      first = false;
      AppendShallow(out, e->Variable());
    });
    out.Append(" ]");
    return;
  }
  switch (v->ValueType()) {
    case kValueText:
      AppendEscaped(out, v->Value());
      break;
    case kValueInteger:
      AppendInteger(out, v->Value_Integer());
      break;
    case kValueDouble:
      AppendDouble(out, v->Value_Double(), -1);
      break;
    default:
      break;
  }
}

void Variable::Aggregate_List(VariableList& list) {
  AggregateElementTree* tree = Elements();
  if (tree == nullptr) return;
  tree->InOrder([&list](AggregateElement* e) {
    auto* r = new ReferenceVariable(e->Index().Text(), e->Variable());
    try {
      list.Insert(r);
    } catch (...) {
      r->Free();
      throw;
    }
    r->Free();
  });
}

// --- ImmutableVariable ----------------------------------------------------

ImmutableVariable::~ImmutableVariable() {
  if (null_) null_->Free();
}

Variable* ImmutableVariable::NullElement() {
  if (null_ == nullptr) null_ = new NULLVariable();
  return null_;
}

bool ImmutableVariable::SetValue_Variable(Variable*) { return true; }
bool ImmutableVariable::SetValue(const char*, int32_t) { return true; }
bool ImmutableVariable::SetValue_Nocopy(char* buffer, int32_t, int32_t capacity) {
  FreeText(buffer, capacity);
  return true;
}
bool ImmutableVariable::SetValue_Integer(int32_t) { return true; }
bool ImmutableVariable::SetValue_Double(double) { return true; }

Variable* ImmutableVariable::Element(const AggregateIndex& index, bool create) {
  Variable* v = Variable::Element(index, false);
  if (v == nullptr && create) return NullElement();
  return v;
}

Variable* ImmutableVariable::Element_Path(const AggregateIndex* path, int32_t count,
                                          bool create) {
  Variable* v = this;
  for (int32_t i = 0; i < count; ++i) {
    v = v == this ? Variable::Element(path[i], false) : v->Element(path[i], false);
    if (v == nullptr) return create ? NullElement() : nullptr;
  }
  return v;
}

void ImmutableVariable::Set_Element(const AggregateIndex&, Variable*) {}
void ImmutableVariable::Insert_Array_Element(int32_t, Variable*) {}
void ImmutableVariable::Delete_Element(const AggregateIndex&, bool) {}
void ImmutableVariable::Delete_Array_Elements(int32_t, int32_t, bool) {}
void ImmutableVariable::Array_Merge(Variable*, int32_t, int32_t, int32_t, bool) {}
void ImmutableVariable::Array_Copy(Variable*, int32_t, int32_t, int32_t, bool) {}
void ImmutableVariable::Make_Aggregate(int) {}
void ImmutableVariable::Make_Reference(Variable*) {}

// --- ReferenceVariable ----------------------------------------------------

ReferenceVariable::ReferenceVariable(std::string_view name, Variable* target)
    : Variable(Mode::kReference, name) {
  if (target == nullptr) {
    mode_ = Mode::kNull;
    return;
  }
  target->AddReference();
  SetTarget(target);
}

ReferenceVariable::ReferenceVariable(std::string_view name, Variable* target,
                                     const AggregateIndex* path, int32_t count)
    : Variable(Mode::kReference, name) {
  Variable* element = target ? target->Element_Path(path, count, true) : nullptr;
  if (element == nullptr) {
    mode_ = Mode::kNull;
    return;
  }
  element->AddReference();
  SetTarget(element);
}

int ReferenceVariable::TargetStorageClass() {
  return IsReference() ? Target()->StorageClass() : kStorageNull;
}

}  // namespace lumo
