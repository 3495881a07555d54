#include "core/vm/vm_stack.h"

#include <charconv>
#include <cstring>

#include "core/base/conversions.h"
#include "core/vm/lumo_vm.h"

namespace lumo {

namespace {

char* CopyBytes(const char* bytes, int32_t length, int32_t* capacity) {
  const int32_t size = RoundStringCapacity(static_cast<int64_t>(length) + 1);
  char* p = AllocateText(size);
  if (length > 0) memcpy(p, bytes, static_cast<size_t>(length));
  p[length] = '\0';
  *capacity = size;
  return p;
}

int CompareBytes(const char* a, int32_t alen, const char* b, int32_t blen) {
  const int32_t n = alen < blen ? alen : blen;
  const int c = n > 0 ? memcmp(a, b, static_cast<size_t>(n)) : 0;
  if (c != 0) return c < 0 ? -1 : 1;
  return alen == blen ? 0 : alen < blen ? -1 : 1;
}

}  // namespace

void PoppedText::SetDigits(int32_t value) {
  // Room for the terminator: some callers hand the text to C.
  const auto result = std::to_chars(digits_, digits_ + sizeof digits_ - 1, value);
  *result.ptr = '\0';
  data_ = digits_;
  length_ = static_cast<int32_t>(result.ptr - digits_);
}

char* PoppedText::Take(int32_t* capacity) {
  if (owned_ != nullptr && data_ == owned_) {
    char* p = owned_;
    *capacity = owned_capacity_;
    owned_ = nullptr;
    return p;
  }
  return CopyBytes(data_, length_, capacity);
}

void LumoVM_Stack::ReleaseAll() {
  while (count_ > 0) Release(entries_[--count_]);
}

void LumoVM_Stack::Overflow() { vm_->FatalError("Stack overflow"); }

void LumoVM_Stack::Underflow() { vm_->FatalError("Stack underflow"); }

bool LumoVM_Stack::PushString(String&& text) {
  int32_t length = 0;
  int32_t capacity = 0;
  char* bytes = text.Release(&length, &capacity);
  if (bytes == nullptr) return PushString("", 0, 0, false);
  return PushString(bytes, length, capacity, true);
}

bool LumoVM_Stack::PushVariableFailed(Variable* variable, bool owned) {
  if (variable == nullptr) {
    vm_->FatalError("Invalid variable reference");
    return false;
  }
  Overflow();
  if (owned) variable->Free();
  return false;
}

void LumoVM_Stack::PopOwned() {
  StackEntry* e = Take();
  if (e != nullptr) Release(*e);
}

// --- Conversions ----------------------------------------------------------

int32_t LumoVM_Stack::EntryInteger(StackEntry& e) {
  const TakenEntry taken(&e);
  int32_t value = 0;
  switch (e.kind) {
    case kStackInteger: value = e.integer; break;
    case kStackDouble: value = TruncateToInteger(e.number); break;
    case kStackString: value = ParseInteger(e.text, static_cast<int32_t>(e.length)); break;
    default: value = e.variable->Value_Integer(); break;
  }
  return value;
}

double LumoVM_Stack::EntryDouble(StackEntry& e) {
  const TakenEntry taken(&e);
  double value = 0.0;
  switch (e.kind) {
    case kStackInteger: value = e.integer; break;
    case kStackDouble: value = e.number; break;
    case kStackString: {
      bool failed = false;
      value = ParseDouble(e.text, static_cast<int32_t>(e.length), &failed);
      if (failed) value = 0.0;
      break;
    }
    default: value = e.variable->Value_Double(); break;
  }
  return value;
}

bool LumoVM_Stack::EntryBoolean(StackEntry& e) {
  const TakenEntry taken(&e);
  bool value = false;
  switch (e.kind) {
    case kStackInteger: value = e.integer != 0; break;
    case kStackDouble: value = e.number != 0.0; break;
    case kStackString: value = TextTruth(e.text, static_cast<int32_t>(e.length)); break;
    default: value = e.variable->Value_Boolean(); break;
  }
  return value;
}

bool LumoVM_Stack::EntryNumber(StackEntry& e, double* value) {
  switch (e.kind) {
    case kStackInteger: *value = e.integer; return true;
    case kStackDouble: *value = e.number; return true;
    case kStackString: {
      bool failed = false;
      *value = ParseDouble(e.text, static_cast<int32_t>(e.length), &failed);
      return !failed;
    }
    default: {
      bool not_a_number = false;
      *value = e.variable->Value_Double_Flagged(&not_a_number);
      return !not_a_number;
    }
  }
}

void LumoVM_Stack::EntryText(StackEntry& e, PoppedText& out) {
  out.Reset();
  switch (e.kind) {
    case kStackInteger:
      out.SetDigits(e.integer);
      break;
    case kStackDouble:
      out.formatted_.SetLength(0);
      AppendDouble(out.formatted_, e.number, -1);
      out.data_ = out.formatted_.Text();
      out.length_ = out.formatted_.Length();
      break;
    case kStackString:
      out.TakeString(e);
      break;
    default: {
      int32_t integer = 0;
      if (e.variable->FastStoredInteger(&integer)) {
        // A counter joined to a text: its digits, without making the
        // variable build and keep a text form it may never need again.
        out.SetDigits(integer);
        if (e.owned) {
          out.variable_ = e.variable;
          e.owned = 0;
        }
        break;
      }
      const String& text = e.variable->Value();
      out.data_ = text.Text();
      out.length_ = text.Length();
      // The text lives in the variable: keep the variable until the text
      // has been used.
      if (e.owned) {
        out.variable_ = e.variable;
        e.owned = 0;
      }
      break;
    }
  }
}

int LumoVM_Stack::CompareEntries(StackEntry& a, StackEntry& b) {
  double x = 0.0;
  double y = 0.0;
  if (EntryNumber(a, &x) && EntryNumber(b, &y)) {
    return x == y ? 0 : x > y ? 1 : -1;
  }
  // Texts compare as unsigned bytes; an entry's text is read without
  // giving up its storage.
  const bool a_owned = a.owned;
  const bool b_owned = b.owned;
  a.owned = b.owned = 0;
  PoppedText ta;
  PoppedText tb;
  EntryText(a, ta);
  EntryText(b, tb);
  a.owned = a_owned;
  b.owned = b_owned;
  return CompareBytes(ta.Data(), ta.Length(), tb.Data(), tb.Length());
}

// --- Pops -------------------------------------------------------------------

bool LumoVM_Stack::PopBoolean() {
  StackEntry* e = Take();
  return e != nullptr && EntryBoolean(*e);
}

int32_t LumoVM_Stack::PopOtherInteger() {
  StackEntry* e = Take();
  return e != nullptr ? EntryInteger(*e) : 0;
}

double LumoVM_Stack::PopDouble() {
  StackEntry* e = Take();
  return e != nullptr ? EntryDouble(*e) : 0.0;
}

void LumoVM_Stack::PopOtherText(PoppedText& out) {
  StackEntry* e = Take();
  if (e == nullptr) {
    out.Reset();
    out.data_ = "";
    out.length_ = 0;
    return;
  }
  const TakenEntry taken(e);
  EntryText(*e, out);
}

Variable* LumoVM_Stack::PopVariable(bool* owned) {
  *owned = false;
  StackEntry* e = Take();
  if (e == nullptr) return nullptr;
  if (e->kind != kStackVariable) {
    Release(*e);
    vm_->FatalError("Expected variable, found constant");
    return nullptr;
  }
  *owned = e->owned != 0;
  return e->variable;
}

void LumoVM_Stack::PopInto(Variable* target) {
  StackEntry* e = Take();
  if (e == nullptr) return;
  const TakenEntry taken(e);
  if (target == nullptr) {
    Release(*e);
    vm_->FatalError("Invalid variable reference");
    return;
  }
  switch (e->kind) {
    case kStackInteger: target->SetValue_Integer(e->integer); break;
    case kStackDouble: target->SetValue_Double(e->number); break;
    case kStackString:
      if (e->owned) {
        // The buffer moves into the variable instead of being copied.
        e->owned = 0;
        target->SetValue_Nocopy(const_cast<char*>(e->text), static_cast<int32_t>(e->length),
                                static_cast<int32_t>(e->capacity));
      } else {
        target->SetValue(e->text, static_cast<int32_t>(e->length));
      }
      break;
    default:
      if (e->variable != target) target->SetValue_Variable(e->variable);
      break;
  }
}

int32_t LumoVM_Stack::PopRecordNumber() {
  StackEntry* e = Take();
  if (e == nullptr) return 0;
  const TakenEntry taken(e);
  if (e->kind == kStackVariable) {
    const String& text = e->variable->Value();
    int32_t special = 0;
    if (text.EqualsNoCase("top")) special = -1;
    if (text.EqualsNoCase("bottom")) special = -2;
    if (special != 0) return special;
  }
  return EntryInteger(*e);
}

bool LumoVM_Stack::PopIsEmpty() {
  StackEntry* e = Take();
  if (e == nullptr) return false;
  bool empty = false;
  switch (e->kind) {
    case kStackInteger:
    case kStackDouble: empty = false; break;
    case kStackString: empty = e->length == 0; break;
    default: empty = e->variable->IsEmpty(); break;
  }
  Release(*e);
  return empty;
}

void LumoVM_Stack::Dup() {
  if (count_ == 0) {
    Underflow();
    return;
  }
  StackEntry copy = entries_[count_ - 1];
  // A borrowed copy of an owned entry would dangle once the original is
  // released first (swap can reorder them), so the copy holds its own.
  if (copy.owned) {
    if (copy.kind == kStackString) {
      int32_t capacity = 0;
      copy.text = CopyBytes(copy.text, static_cast<int32_t>(copy.length), &capacity);
      copy.capacity = static_cast<uint32_t>(capacity);
    } else if (copy.kind == kStackVariable) {
      copy.variable->AddReference();
    }
  }
  StackEntry* e = Slot();
  if (e == nullptr) {
    Release(copy);
    return;
  }
  *e = copy;
}

void LumoVM_Stack::Swap(int32_t i, int32_t j) {
  if (i < 0 || j < 0 || i >= count_ || j >= count_) {
    vm_->FatalError("Invalid stack reference");
    return;
  }
  StackEntry t = entries_[count_ - 1 - i];
  entries_[count_ - 1 - i] = entries_[count_ - 1 - j];
  entries_[count_ - 1 - j] = t;
}

int LumoVM_Stack::Compare() {
  StackEntry* pb = Take();
  if (pb == nullptr) return 0;
  StackEntry b = *pb;
  StackEntry* pa = Take();
  if (pa == nullptr) {
    Release(b);
    return 0;
  }
  StackEntry a = *pa;
  const TakenEntry taken_a(&a);
  const TakenEntry taken_b(&b);
  return CompareEntries(a, b);
}

void LumoVM_Stack::MoveFrom(LumoVM_Stack& other, int32_t count) {
  if (count > other.count_) {
    other.Underflow();
    count = other.count_;
  }
  const int32_t first = other.count_ - count;
  for (int32_t i = first; i < other.count_; ++i) {
    StackEntry& e = other.entries_[i];
    StackEntry* slot = Slot();
    if (slot == nullptr) {
      for (int32_t k = i; k < other.count_; ++k) Release(other.entries_[k]);
      break;
    }
    *slot = e;
    // The other stack's frame may be about to go with the locals this
    // entry points at.
    if (slot->kind == kStackVariable && !slot->owned) {
      slot->variable->AddReference();
      slot->owned = 1;
    }
  }
  other.count_ = first;
}

}  // namespace lumo
