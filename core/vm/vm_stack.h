// The value stack of a machine frame: 512 entries, never grown. An entry is
// an integer, a double, a text (borrowed bytes such as a dictionary
// constant, or bytes the entry owns) or a variable (borrowed, or holding one
// reference). Popping converts to what the instruction wants; an owned
// entry's storage is released once its value has been used, and also when
// memory runs out on the way (OutOfMemoryError unwinds through here). The
// stacks and the owned texts are charged to the run's memory budget.
#ifndef LUMO_CORE_VM_VM_STACK_H_
#define LUMO_CORE_VM_VM_STACK_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/base/memory_budget.h"
#include "core/base/string.h"
#include "values/variable.h"

namespace lumo {

class LumoVM;

enum StackKind : uint32_t {
  kStackInteger = 0,
  kStackDouble = 1,
  kStackString = 2,
  kStackVariable = 3,
};

struct StackEntry {
  uint32_t kind;
  uint8_t owned;
  uint32_t length;    // text: byte count
  uint32_t capacity;  // text: bytes allocated, 0 when borrowed
  union {
    int32_t integer;
    double number;
    const char* text;
    Variable* variable;
  };
};

// A variable popped off a stack (PopVariable): the reference the entry held,
// if it held one, is released when this goes, however the instruction ends.
class HeldVariable {
 public:
  HeldVariable(Variable* variable, bool owned) : variable_(owned ? variable : nullptr) {}
  ~HeldVariable() {
    if (variable_ != nullptr) variable_->Free();
  }
  HeldVariable(const HeldVariable&) = delete;
  HeldVariable& operator=(const HeldVariable&) = delete;

 private:
  Variable* variable_;
};

// The text of a popped entry, valid while this object lives. Numbers are
// formatted into the object itself; an owned text or variable is released
// when it goes.
class PoppedText {
 public:
  PoppedText() = default;
  PoppedText(const PoppedText&) = delete;
  PoppedText& operator=(const PoppedText&) = delete;
  ~PoppedText() { Reset(); }

  const char* Data() const { return data_; }
  int32_t Length() const { return length_; }
  std::string_view View() const { return {data_, static_cast<size_t>(length_)}; }
  // Hands over a malloc'ed copy (or the owned buffer itself) with its
  // capacity, for results pushed as owned texts.
  char* Take(int32_t* capacity);

 private:
  friend class LumoVM_Stack;
  void SetDigits(int32_t value);
  // A string entry's text; an owned buffer passes to this object.
  void TakeString(StackEntry& e) {
    data_ = e.text;
    length_ = static_cast<int32_t>(e.length);
    if (e.owned) {
      owned_ = const_cast<char*>(e.text);
      owned_capacity_ = static_cast<int32_t>(e.capacity);
      e.owned = 0;
    }
  }
  void Reset() {
    // Most popped texts own nothing: skip the calls.
    if (owned_ != nullptr) {
      FreeText(owned_, owned_capacity_);
      owned_ = nullptr;
    }
    if (variable_ != nullptr) {
      variable_->Free();
      variable_ = nullptr;
    }
  }

  const char* data_ = "";
  int32_t length_ = 0;
  char* owned_ = nullptr;  // malloc'ed, freed by us
  int32_t owned_capacity_ = 0;
  Variable* variable_ = nullptr;  // a reference we hold
  String formatted_;  // a double's digits
  // An integer's digits: formatting one must not cost an allocation, as
  // joining a counter to a text is the commonest thing a page does.
  char digits_[16];
};

class LumoVM_Stack : public ChargedObject {
 public:
  static constexpr int32_t kCapacity = 512;

  explicit LumoVM_Stack(LumoVM* vm) : vm_(vm) {}
  LumoVM_Stack(const LumoVM_Stack&) = delete;
  LumoVM_Stack& operator=(const LumoVM_Stack&) = delete;
  ~LumoVM_Stack() { Clear(); }

  int32_t Count() const { return count_; }
  int32_t Capacity() const { return kCapacity; }
  LumoVM* Machine() const { return vm_; }
  void SetMachine(LumoVM* vm) { vm_ = vm; }
  // Releases every entry (a frame that ends with values left over).
  void Clear() {
    if (count_ > 0) ReleaseAll();
  }

  bool PushInteger(int32_t value) {
    StackEntry* e = Slot();
    if (e == nullptr) return false;
    e->kind = kStackInteger;
    e->owned = 0;
    e->integer = value;
    return true;
  }
  bool PushDouble(double value) {
    StackEntry* e = Slot();
    if (e == nullptr) return false;
    e->kind = kStackDouble;
    e->owned = 0;
    e->number = value;
    return true;
  }
  // An owned text's bytes must come from malloc, charged to the run by
  // `capacity` (AllocateText, String::Release); they are freed with the
  // entry (also when the push fails).
  bool PushString(const char* bytes, int32_t length, int32_t capacity, bool owned) {
    StackEntry* e = Slot();
    if (e == nullptr) {
      if (owned) FreeText(const_cast<char*>(bytes), capacity);
      return false;
    }
    e->kind = kStackString;
    e->owned = owned && bytes != nullptr ? 1 : 0;
    e->text = bytes != nullptr ? bytes : "";
    e->length = static_cast<uint32_t>(length < 0 ? 0 : length);
    e->capacity = owned ? static_cast<uint32_t>(capacity) : 0;
    return true;
  }
  // Pushes a String's buffer as an owned text, leaving the String empty.
  bool PushString(String&& text);
  // An owned variable's reference passes to the entry; a null variable is
  // the fatal error "Invalid variable reference".
  bool PushVariable(Variable* variable, bool owned) {
    if (variable == nullptr || count_ == kCapacity) [[unlikely]] {
      return PushVariableFailed(variable, owned);
    }
    StackEntry& e = entries_[count_++];
    e.kind = kStackVariable;
    e.owned = owned ? 1 : 0;
    e.variable = variable;
    return true;
  }

  // An entry that owns nothing goes without a call.
  void Pop() {
    if (count_ > 0 && !entries_[count_ - 1].owned) [[likely]] {
      --count_;
      return;
    }
    PopOwned();
  }
  bool PopBoolean();
  // An integer entry, or a variable that holds its integer form, inline.
  int32_t PopInteger() {
    if (count_ > 0) [[likely]] {
      StackEntry& e = entries_[count_ - 1];
      if (e.kind == kStackInteger) {
        --count_;
        return e.integer;
      }
      int32_t value = 0;
      if (e.kind == kStackVariable && e.variable->FastInteger(&value)) {
        --count_;
        Release(e);
        return value;
      }
    }
    return PopOtherInteger();
  }
  double PopDouble();
  // Texts, the common case, inline; numbers and variables out of line.
  void PopText(PoppedText& out) {
    if (count_ > 0 && entries_[count_ - 1].kind == kStackString) {
      out.Reset();
      out.TakeString(entries_[--count_]);
      return;
    }
    PopOtherText(out);
  }
  // The variable entry on top, or null after the fatal error "Expected
  // variable, found constant". *owned says whether the caller must Free it.
  Variable* PopVariable(bool* owned);
  void PopInto(Variable* target);
  // PopInto with the common cases inline: a number, or a plain variable,
  // stored into a plain variable.
  void PopIntoFast(Variable* target) {
    if (count_ > 0 && target != nullptr) {
      StackEntry& e = entries_[count_ - 1];
      bool done = false;
      switch (e.kind) {
        case kStackInteger: done = target->FastSetInteger(e.integer); break;
        case kStackDouble: done = target->FastSetDouble(e.number); break;
        case kStackVariable: done = target->FastCopyFrom(e.variable); break;
        default: break;
      }
      if (done) {
        --count_;
        Release(e);
        return;
      }
    }
    PopInto(target);
  }
  // Moves the top entry of another stack here, as MoveFrom(other, 1).
  void MoveTopFrom(LumoVM_Stack& other) {
    if (other.count_ == 0 || count_ == kCapacity) {
      MoveFrom(other, 1);
      return;
    }
    const StackEntry& from = other.entries_[--other.count_];
    StackEntry& to = entries_[count_++];
    const uint32_t kind = from.kind;
    const bool owned = from.owned != 0;
    memcpy(&to, &from, sizeof(StackEntry));
    if (kind == kStackVariable && !owned) {
      to.variable->AddReference();
      to.owned = 1;
    }
  }
  int32_t PopRecordNumber();
  bool PopIsEmpty();
  void Dup();
  void Swap(int32_t i, int32_t j);
  // Pops b then a and compares a with b: -1, 0 or 1.
  int Compare();
  void MoveFrom(LumoVM_Stack& other, int32_t count);

  // The entry i places below the top (0 is the top), or null.
  StackEntry* Peek(int32_t i) {
    return i >= 0 && i < count_ ? &entries_[count_ - 1 - i] : nullptr;
  }
  // Releases an entry taken off the stack when it goes out of scope, unless
  // its storage has been handed on (owned cleared) by then: a pop whose
  // conversion runs out of memory leaks nothing.
  class TakenEntry {
   public:
    explicit TakenEntry(StackEntry* e) : e_(e) {}
    ~TakenEntry() {
      if (e_ != nullptr) Release(*e_);
    }
    TakenEntry(const TakenEntry&) = delete;
    TakenEntry& operator=(const TakenEntry&) = delete;

   private:
    StackEntry* e_;
  };

  // Removes the top entry without releasing it: the caller takes over its
  // storage. Null (after "Stack underflow") when the stack is empty.
  StackEntry* Take() {
    if (count_ == 0) [[unlikely]] {
      Underflow();
      return nullptr;
    }
    return &entries_[--count_];
  }
  static void Release(StackEntry& e) {
    if (!e.owned) return;
    if (e.kind == kStackString) {
      FreeText(const_cast<char*>(e.text), static_cast<int32_t>(e.capacity));
    } else if (e.kind == kStackVariable) {
      e.variable->Free();
    }
    e.owned = 0;
  }

  // Conversions of an entry already taken off the stack; the entry is
  // released afterwards.
  static int32_t EntryInteger(StackEntry& e);
  static double EntryDouble(StackEntry& e);
  static bool EntryBoolean(StackEntry& e);
  // A numeric reading of the entry, or false when it is not a number.
  static bool EntryNumber(StackEntry& e, double* value);
  static void EntryText(StackEntry& e, PoppedText& out);
  // Compares two entries as Compare does (neither is released).
  static int CompareEntries(StackEntry& a, StackEntry& b);

 private:
  StackEntry* Slot() {
    if (count_ == kCapacity) [[unlikely]] {
      Overflow();
      return nullptr;
    }
    return &entries_[count_++];
  }
  void PopOtherText(PoppedText& out);
  int32_t PopOtherInteger();
  void PopOwned();
  bool PushVariableFailed(Variable* variable, bool owned);
  void Overflow();
  void Underflow();
  void ReleaseAll();

  LumoVM* vm_;
  int32_t count_ = 0;
  StackEntry entries_[kCapacity];
};

}  // namespace lumo

#endif  // LUMO_CORE_VM_VM_STACK_H_
