#include "values/system_variable_hash.h"

#include <cstring>
#include <memory>

namespace lumo {

SystemVariableHash::~SystemVariableHash() {
  // Saved records release their variables without being restored.
  saved_.Clear();
  current_ = nullptr;
}

void SystemVariableHash::Save(int32_t entry) {
  // Filed first, the variable moved in after: should memory run out, the
  // entry keeps it.
  auto saved = std::make_unique<SavedEntry>(entry, entries_[entry].tag, nullptr);
  current_->Insert(saved.get(), SavedList::kTail);
  saved.release()->variable = entries_[entry].variable;
  entries_[entry].variable = nullptr;
}

int32_t SystemVariableHash::AddEntry(int32_t name_number, const char* name, int32_t length,
                                     Variable* variable) {
  if (level_ == 0) return VariableHash::AddEntry(name_number, name, length, variable);
  const int32_t existing = name != nullptr && name_number == -1
                               ? FindEntry(-1, name, length)
                               : FindEntry(name_number, nullptr, 0);
  if (existing >= 0) {
    Save(existing);
    entries_[existing].variable = variable;
    entries_[existing].tag = level_;
    return existing;
  }
  // A name new to the table is undone by emptying its entry again. The
  // record is filed before the entry is made, so that a table that cannot
  // make it has taken nothing.
  auto saved = std::make_unique<SavedEntry>(-1, 0, nullptr);
  current_->Insert(saved.get(), SavedList::kTail);
  SavedEntry* record = saved.release();
  int32_t e = -1;
  try {
    e = VariableHash::AddEntry(name_number, name, length, variable);
  } catch (...) {
    delete current_->Remove(SavedList::kTail);
    throw;
  }
  record->entry = e;
  return e;
}

void SystemVariableHash::ReplaceVariable(Variable* variable) {
  if (level_ == 0) {
    VariableHash::ReplaceVariable(variable);
    return;
  }
  const String& name = variable->Name();
  const int32_t e = FindEntry(-1, name.Text(), name.Length());
  if (e < 0) {
    AddEntry(-1, name.Text(), name.Length(), variable);
    return;
  }
  Save(e);
  entries_[e].variable = variable;
}

Variable* SystemVariableHash::SetVariable(const char* name, int32_t length, const char* value,
                                          int32_t value_length) {
  if (level_ == 0) return VariableHash::SetVariable(name, length, value, value_length);
  length = TextLength(name, length);
  value_length = TextLength(value, value_length);
  auto* v = new Variable(std::string_view(name, static_cast<size_t>(length)));
  try {
    v->SetValue(value, value_length);
    ReplaceVariable(v);
  } catch (...) {
    v->Free();
    throw;
  }
  return v;
}

void SystemVariableHash::MakeReference(int32_t entry, Variable* target) {
  if (level_ == 0 || entry < 0 || entry >= count_ || target == nullptr ||
      entries_[entry].variable == target) {
    VariableHash::MakeReference(entry, target);
    return;
  }
  Save(entry);
  entries_[entry].variable = new ReferenceVariable(EntryName(entry), target);
}

Variable* SystemVariableHash::Index(int32_t entry, bool create) {
  if (level_ > 0 && create && entry >= 0 && entry < count_ &&
      entries_[entry].variable == nullptr) {
    Save(entry);
  }
  return VariableHash::Index(entry, create);
}

void SystemVariableHash::Push() {
  auto list = std::make_unique<SavedList>(true);
  saved_.Push(list.get());
  current_ = list.release();
  ++level_;
}

bool SystemVariableHash::Pop() {
  if (level_ == 0) return false;
  // Undo from the most recent change back to the oldest.
  for (SavedEntry* s = current_->Last(); s; s = current_->Previous()) {
    VariableHashEntry& e = entries_[s->entry];
    Variable* present = e.variable;
    e.variable = s->variable;
    e.tag = s->tag;
    s->variable = nullptr;
    if (present) present->Free();
  }
  saved_.Top();
  delete saved_.PopToCursor();
  --level_;
  current_ = saved_.Top();
  return true;
}

}  // namespace lumo
