// Variable: the script value. A named object holding one scalar (text,
// integer or double, the other forms derived on demand and cached) or, as an
// aggregate, a tree of elements. Variables are reference counted: whoever
// allocates one holds the first reference, every further holder calls
// AddReference, and Free destroys the variable when the last holder lets go.
//
// How a live variable changes what it is without changing its address.
// Scripts and extension libraries hold plain Variable pointers, yet two
// operations must change a variable's behaviour under those holders:
// Make_Reference turns an ordinary variable into an alias of another, and a
// database that closes turns its field variables into empty null values.
// Replacing the object with another class in place (placement new over a
// live object) would leave every holder with a pointer to an object whose
// lifetime has ended, which is undefined behaviour. Instead the behaviour is
// a state of Variable itself: `mode_` says whether the variable holds its
// own value, forwards to `target_` (a reference) or is null. Every virtual
// operation of Variable looks at the mode first, so ReferenceVariable and
// NULLVariable are Variables constructed in the matching mode, and
// BecomeReference / BecomeNull switch a live variable safely. A subclass that
// overrides an operation (a database field variable) checks IsNull() and
// defers to Variable's operation once it has been made null.
#ifndef LUMO_VALUES_VARIABLE_H_
#define LUMO_VALUES_VARIABLE_H_

#include <cstdint>
#include <string_view>
#include <typeinfo>
#include <utility>

#include "core/base/memory_budget.h"
#include "core/base/string.h"
#include "values/aggregate.h"

namespace lumo {

class VariableList;

// The form a scalar was last stored in.
enum ValueTypeCode : int {
  kValueNone = 0,
  kValueText = 1,
  kValueInteger = 2,
  kValueDouble = 3,
};

enum AggregateTypeCode : int {
  kAggregateStructure = 0,
  kAggregateArray = 1,
  kAggregateScalar = 2,
};

// How SetValue_Variable reads a source.
enum StorageClassCode : int {
  kStorageOrdinary = 0,
  kStorageReference = 1,
  kStorageNull = 2,
  kStorageFixedInteger = 3,
  kStorageFixedText = 4,
  kStorageField = 5,  // a database field whose caches are kept live
};

// Allocated variables are charged to the run's memory budget.
class Variable : public ChargedObject {
 public:
  // Bits of the valid-forms field.
  static constexpr uint8_t kTextValid = 1;
  static constexpr uint8_t kIntegerValid = 2;
  static constexpr uint8_t kDoubleValid = 4;

  Variable() = default;
  explicit Variable(std::string_view name);
  Variable(std::string_view name, std::string_view text);
  Variable(std::string_view name, const char* text) : Variable(name, std::string_view(text)) {}
  Variable(std::string_view name, int32_t value);
  // The integer form is valid as well: the double truncated toward zero.
  Variable(std::string_view name, double value);
  // Adopts a malloc'ed buffer as the value text.
  Variable(std::string_view name, char* buffer, int32_t length, int32_t capacity);
  // Copies the name, then the value as SetValue_Variable does (aggregates
  // deeply).
  Variable(const Variable& other);
  Variable& operator=(const Variable&) = delete;
  virtual ~Variable();

  // --- Identity -------------------------------------------------------
  virtual const String& Name() const;
  // A reference's target, or the variable itself.
  virtual Variable* NextIdentity();
  // The variable at the end of a chain of references.
  virtual Variable* RealIdentity();

  // --- Reading ----------------------------------------------------------
  virtual const String& Value();
  virtual int32_t Value_Integer();
  virtual double Value_Double();
  // The double form; *not_a_number is set when the value is not numeric (an
  // aggregate, or a text that does not read as a number).
  virtual double Value_Double_Flagged(bool* not_a_number);
  virtual int StorageClass();
  virtual int ValueType();
  // The preferred form of a database field: 1 text, 2 integer, 3 double.
  virtual int NaturalType();
  virtual bool Value_Boolean();
  virtual bool IsEmpty();

  // --- Writing ----------------------------------------------------------
  virtual void Clear();
  virtual AggregateElementTree* Elements();
  virtual int Aggregate_Type();
  virtual int32_t ReferenceCount() const;
  // Keeps the old name when `name` is null.
  virtual void SetName(const char* name, int32_t length = -1);
  virtual bool SetValue_Variable(Variable* source);
  virtual bool SetValue(const char* bytes, int32_t length);
  // Adopts a malloc'ed buffer; the caller gives it up in every case.
  virtual bool SetValue_Nocopy(char* buffer, int32_t length, int32_t capacity);
  virtual bool SetValue_Integer(int32_t value);
  virtual bool SetValue_Double(double value);
  virtual String& ScratchText();

  // --- Elements -----------------------------------------------------------
  // Element applied along the path; an empty path yields this variable.
  virtual Variable* Element_Path(const AggregateIndex* path, int32_t count, bool create);
  virtual Variable* Element(const AggregateIndex& index, bool create);
  // Stores `variable` as an element, shared (it gains a reference).
  virtual void Set_Element(const AggregateIndex& index, Variable* variable);
  virtual void Insert_Array_Element(int32_t index, Variable* variable);
  virtual void Delete_Element(const AggregateIndex& index, bool shift);
  virtual void Delete_Array_Elements(int32_t start, int32_t count, bool shift);
  // This variable is the destination array of both operations. Sharing
  // (copy false) elements that hold this variable is refused, as
  // Make_Reference refuses a loop: nothing would ever release either.
  virtual void Array_Merge(Variable* source, int32_t start, int32_t count, int32_t destination,
                           bool copy);
  virtual void Array_Copy(Variable* source, int32_t start, int32_t count, int32_t destination,
                          bool copy);
  virtual int32_t Array_Max();
  virtual int32_t Array_Min();
  virtual int32_t Array_Next(int32_t index);
  virtual int32_t Array_Previous(int32_t index);
  virtual int32_t ElementsUsed();

  // --- Life -----------------------------------------------------------
  virtual void AddReference();
  // Releases one reference and destroys the variable when it was the last.
  virtual void Free();

  virtual const String& Compute_Text();
  virtual void Compute_Integer();
  virtual void Compute_Double();
  // Becomes an empty array (1) or structure (0) unless already that kind.
  virtual void Make_Aggregate(int type);
  // Appends the flattened text: the leaves' values in depth-first key order,
  // separated by commas.
  virtual void Append_Text(String& out);
  // Turns this variable into a reference to `target`, or retargets it.
  // Refused (nothing changes) when `target` holds this variable, through
  // its elements or references at any depth: the loop would keep itself
  // alive past every release.
  virtual void Make_Reference(Variable* target);

  // --- Not part of the classic operation table ------------------------
  // Appends the one-level description the debug log prints.
  void Describe(String& out);
  // Appends a ReferenceVariable per element, in key order, named by the
  // element's key text.
  void Aggregate_List(VariableList& list);

  bool IsReference() const { return mode_ == Mode::kReference; }
  bool IsNull() const { return mode_ == Mode::kNull; }
  // Turns this variable, in place, into an empty null value: the value and
  // elements are released, a reference lets go of its target, and from then
  // on the variable behaves as NULLVariable. Holders stay valid.
  void BecomeNull();

  // Valid-forms bits and raw caches, for subclasses that keep the caches
  // live themselves (database field variables).
  uint8_t ValidForms() const { return valid_; }

  // --- Inline forms for the machine's hot paths -------------------------
  // Each applies only to a variable that is exactly a Variable holding its
  // own scalar, and then does what the virtual operation would; otherwise
  // it returns false and the caller uses the virtual operation.
  bool IsPlainScalar() const {
#ifndef NDEBUG
    // A subclass that changes a value operation must call MarkSpecial.
    if (plain_ && typeid(*this) != typeid(Variable)) Unmarked();
#endif
    return plain_ && mode_ == Mode::kValue && elements_ == nullptr;
  }
  // Empties a variable nobody else holds so that it can serve again as a
  // fresh one of the same name (the locals of the next call); false when
  // it must be released instead.
  bool ResetIfPrivate() {
    if (!plain_ || mode_ != Mode::kValue || reference_count_ != 1) return false;
    if (elements_ != nullptr) {
      Variable::Clear();
      return true;
    }
    text_.Empty();
    valid_ = 0;
    value_type_ = kValueNone;
    aggregate_type_ = kAggregateScalar;
    return true;
  }
  bool FastDouble(double* out) const {
    if (!IsPlainScalar()) return false;
    if (valid_ & kDoubleValid) {
      *out = double_;
      return true;
    }
    if ((valid_ & (kTextValid | kIntegerValid)) == kIntegerValid) {
      *out = integer_;
      return true;
    }
    return false;
  }
  // The text of a plain scalar that holds it already, else null.
  const String* FastText() const {
    return IsPlainScalar() && (valid_ & kTextValid) ? &text_ : nullptr;
  }
  bool FastAggregateType(int* out) const {
    if (!IsPlainScalar()) return false;
    *out = aggregate_type_;
    return true;
  }
  // SetValue for a plain scalar (no elements to let go of).
  bool FastSetText(const char* bytes, int32_t length) {
    if (!IsPlainScalar()) return false;
    text_.Assign(bytes, bytes == nullptr ? 0 : length);
    valid_ = kTextValid;
    value_type_ = kValueText;
    aggregate_type_ = kAggregateScalar;
    return true;
  }
  bool FastInteger(int32_t* out) const {
    if (!IsPlainScalar() || !(valid_ & kIntegerValid)) return false;
    *out = integer_;
    return true;
  }
  // A stored integer (not a text that reads as one): its text is exactly
  // its decimal digits, so a reader may format it without the variable.
  bool FastStoredInteger(int32_t* out) const {
    if (!IsPlainScalar() || value_type_ != kValueInteger || !(valid_ & kIntegerValid)) return false;
    *out = integer_;
    return true;
  }
  // The numeric reading of Value_Double_Flagged for a stored number.
  bool FastNumber(double* out) const {
    if (!IsPlainScalar()) return false;
    if (value_type_ == kValueInteger || value_type_ == kValueDouble) {
      if (valid_ & kDoubleValid) {
        *out = double_;
        return true;
      }
      if (valid_ & kIntegerValid) {
        *out = integer_;
        return true;
      }
    }
    return false;
  }
  bool FastSetDouble(double value) {
    if (!IsPlainScalar()) return false;
    StoreDouble(value);
    return true;
  }
  // The same for a variable the caller has found to be a plain scalar
  // (a loop in which no other code runs keeps it one).
  bool StoredDouble(double* out) const {
    if (valid_ & kDoubleValid) {
      *out = double_;
      return true;
    }
    if ((valid_ & (kTextValid | kIntegerValid)) == kIntegerValid) {
      *out = integer_;
      return true;
    }
    return false;
  }
  void StoreDouble(double value) {
    double_ = value;
    valid_ = kDoubleValid;
    value_type_ = kValueDouble;
  }
  void StoreInteger(int32_t value) {
    integer_ = value;
    valid_ = kIntegerValid;
    value_type_ = kValueInteger;
  }
  bool FastSetInteger(int32_t value) {
    if (!IsPlainScalar()) return false;
    StoreInteger(value);
    return true;
  }
  // Element with a member name given as bytes: a large structure finds the
  // member without building a key.
  Variable* Member(const char* name, int32_t length, bool create);

  // SetValue_Variable between two plain scalars whose source holds a value.
  bool FastCopyFrom(const Variable* source) {
    if (!CanTakeScalarFrom(source)) return false;
    if (source->valid_ & kTextValid) text_.Assign(source->text_);
    TakeScalarForms(source);
    return true;
  }
  // As FastCopyFrom, taking the text's buffer instead of copying it:
  // `source` is left holding this variable's old text, for a caller that
  // owns it and empties it before its next use.
  bool FastTakeFrom(Variable* source) {
    if (!CanTakeScalarFrom(source)) return false;
    if (source->valid_ & kTextValid) text_.Swap(source->text_);
    TakeScalarForms(source);
    return true;
  }
  // Whether taking `source`'s elements into this variable by sharing them
  // would make it hold itself. An array sharing its own elements does not.
  bool SharingWouldLoop(Variable* source) {
    Variable* self = RealIdentity();
    source = source->RealIdentity();
    return source != self && source->Reaches(self);
  }
  // The length of the value's text (made when not yet there).
  int32_t TextLength() {
    if (plain_ && mode_ == Mode::kValue && elements_ == nullptr && (valid_ & kTextValid)) {
      return text_.Length();
    }
    return Value().Length();
  }
  // Appends to the value's text, as storing the joined text would.
  bool FastAppend(const char* bytes, int32_t length) {
    if (!IsPlainScalar()) return false;
    if (!(valid_ & kTextValid)) Compute_Text();
    text_.Append(bytes, length);
    valid_ = kTextValid;
    value_type_ = kValueText;
    aggregate_type_ = kAggregateScalar;
    return true;
  }

 protected:
  enum class Mode : uint8_t { kValue, kReference, kNull };

  void MarkSpecial() { plain_ = false; }
  [[noreturn]] static void Unmarked();

  // Constructs a variable directly in a mode (ReferenceVariable, NULLVariable).
  Variable(Mode mode, std::string_view name);

  void DestroyElements();
  // Whether `wanted` is this variable or lies under it, in its elements or
  // behind a reference, at any depth.
  bool Reaches(const Variable* wanted);
  void SetTarget(Variable* target);
  Variable* Target() const { return target_; }

  String name_;
  String text_;
  int32_t integer_ = 0;
  // False in subclasses that change value operations: the inline forms
  // below must not bypass them. A class derived from Variable that
  // overrides any reading or writing operation calls MarkSpecial() in every
  // constructor.
  bool plain_ = true;
  double double_ = 0.0;
  uint8_t valid_ = 0;
  uint8_t value_type_ = kValueNone;
  uint8_t aggregate_type_ = kAggregateScalar;
  Mode mode_ = Mode::kValue;
  int32_t reference_count_ = 1;
  AggregateElementTree* elements_ = nullptr;
  String* scratch_ = nullptr;

 private:
  friend class ImmutableVariable;

  static void Destroy(Variable* variable);
  bool CanTakeScalarFrom(const Variable* source) const {
    return source != this && IsPlainScalar() && source->IsPlainScalar() && source->valid_ != 0;
  }
  // Everything of a plain scalar's value but its text.
  void TakeScalarForms(const Variable* source) {
    integer_ = source->integer_;
    double_ = source->double_;
    valid_ = source->valid_;
    value_type_ = source->value_type_;
  }
  void CopyScalarFrom(Variable* source);
  void CopyAggregateFrom(Variable* source);
  void AppendScalarText(String& out);

  Variable* target_ = nullptr;  // only in reference mode
};

// Truncates toward zero; NaN, infinities and values outside 32 bits give
// -2147483648.
int32_t TruncateToInteger(double value);

// A read-only variable: stores succeed silently and change nothing, and
// element lookups never create (a lookup that asks for creation gets an
// empty null variable of the immutable's own).
class ImmutableVariable : public Variable {
 public:
  template <typename... Arguments>
  explicit ImmutableVariable(Arguments&&... arguments)
      : Variable(std::forward<Arguments>(arguments)...) {
    MarkSpecial();
  }
  ImmutableVariable(const ImmutableVariable& other) : Variable(other) { MarkSpecial(); }
  ~ImmutableVariable() override;

  void Clear() override {}
  bool SetValue_Variable(Variable* source) override;
  bool SetValue(const char* bytes, int32_t length) override;
  bool SetValue_Nocopy(char* buffer, int32_t length, int32_t capacity) override;
  bool SetValue_Integer(int32_t value) override;
  bool SetValue_Double(double value) override;
  Variable* Element_Path(const AggregateIndex* path, int32_t count, bool create) override;
  Variable* Element(const AggregateIndex& index, bool create) override;
  void Set_Element(const AggregateIndex& index, Variable* variable) override;
  void Insert_Array_Element(int32_t index, Variable* variable) override;
  void Delete_Element(const AggregateIndex& index, bool shift) override;
  void Delete_Array_Elements(int32_t start, int32_t count, bool shift) override;
  void Array_Merge(Variable* source, int32_t start, int32_t count, int32_t destination,
                   bool copy) override;
  void Array_Copy(Variable* source, int32_t start, int32_t count, int32_t destination,
                  bool copy) override;
  void Make_Aggregate(int type) override;
  void Make_Reference(Variable* target) override;

 private:
  Variable* NullElement();
  Variable* null_ = nullptr;
};

// The universal empty value: empty text, 0, false; stores change nothing;
// an element lookup that asks for creation yields the null variable itself.
class NULLVariable : public Variable {
 public:
  NULLVariable() : Variable(Mode::kNull, {}) {}
  // A copy would be an ordinary variable, not a null one.
  NULLVariable(const NULLVariable&) = delete;
};

// An alias: every operation but the name, the count and retargeting goes to
// the target. A reference holds one count on its target for each count on
// itself.
class ReferenceVariable : public Variable {
 public:
  ReferenceVariable(std::string_view name, Variable* target);
  // Refers to the element at `path` inside `target`, created if missing.
  ReferenceVariable(std::string_view name, Variable* target, const AggregateIndex* path,
                    int32_t count);
  // A copy would be an ordinary variable, not a reference.
  ReferenceVariable(const ReferenceVariable&) = delete;

  int TargetStorageClass();
};

// Gives up one reference when the scope ends, also when memory runs out
// on the way.
class ReleasedAtEnd {
 public:
  explicit ReleasedAtEnd(Variable* variable) : variable_(variable) {}
  ~ReleasedAtEnd() { variable_->Free(); }
  ReleasedAtEnd(const ReleasedAtEnd&) = delete;
  ReleasedAtEnd& operator=(const ReleasedAtEnd&) = delete;

 private:
  Variable* variable_;
};

}  // namespace lumo

#endif  // LUMO_VALUES_VARIABLE_H_
