#include "values/reference_variable_hash.h"

namespace lumo {

namespace {
constexpr int32_t kUnknown = -1;
}  // namespace

ReferenceVariableHash::ReferenceVariableHash(Dictionary* dictionary, VariableHash* target,
                                             int bits, int32_t capacity)
    : VariableHash(dictionary, bits, capacity), target_(target->RealHash()) {}

int32_t ReferenceVariableHash::AddEntry(int32_t name_number, const char* name, int32_t length,
                                        Variable* variable) {
  // Numbers of our dictionary mean nothing to the target: pass the text.
  if (name == nullptr || name_number != -1) {
    name = dictionary_->Entry(name_number, &length);
    if (name == nullptr) {
      name = "";
      length = 0;
    }
  }
  return target_->AddEntry(-1, name, length, variable);
}

void ReferenceVariableHash::ReplaceVariable(Variable* variable) {
  target_->ReplaceVariable(variable);
}

Variable* ReferenceVariableHash::SetVariable(const char* name, int32_t length, const char* value,
                                             int32_t value_length) {
  return target_->SetVariable(name, length, value, value_length);
}

bool ReferenceVariableHash::ClearVariable(const char* name, int32_t length) {
  return target_->ClearVariable(name, length);
}

int32_t ReferenceVariableHash::Count() { return target_->Count(); }

void ReferenceVariableHash::List(VariableList& list) { target_->List(list); }

void ReferenceVariableHash::Push() { target_->Push(); }

bool ReferenceVariableHash::Pop() { return target_->Pop(); }

VariableHash* ReferenceVariableHash::RealHash() { return target_; }

int32_t ReferenceVariableHash::TargetEntry(int32_t entry, bool create) {
  if (entry < 0 || entry >= count_) return -1;
  VariableHashEntry& e = entries_[entry];
  std::string_view name = EntryName(entry);
  const auto length = static_cast<int32_t>(name.size());
  if (e.tag == kUnknown) {
    e.tag = target_->FindEntry(-1, name.data(), length);
    if (e.tag >= 0) return e.tag;
    e.tag = kUnknown;
  } else if (e.tag >= 0) {
    return e.tag;
  }
  if (!create) return -1;
  auto* v = new Variable(name);
  try {
    e.tag = target_->AddEntry(-1, name.data(), length, v);
  } catch (...) {
    v->Free();
    throw;
  }
  return e.tag;
}

bool ReferenceVariableHash::Find(Variable** variable, const char* name, int32_t length,
                                 bool create) {
  *variable = nullptr;
  const int32_t own = FindEntry(-1, name, length);
  if (own < 0) return target_->Find(variable, name, length, create);
  const int32_t t = TargetEntry(own, create);
  if (t < 0) return false;
  *variable = target_->Index(t, create);
  return true;
}

Variable* ReferenceVariableHash::Index(int32_t entry, bool create) {
  const int32_t t = TargetEntry(entry, create);
  return t < 0 ? nullptr : target_->Index(t, create);
}

void ReferenceVariableHash::MakeReference(int32_t entry, Variable* target) {
  const int32_t t = TargetEntry(entry, true);
  if (t >= 0) target_->MakeReference(t, target);
}

bool ReferenceVariableHash::Read(Stream& stream) {
  if (!VariableHash::Read(stream)) return false;
  for (int32_t i = 0; i < count_; ++i) entries_[i].tag = kUnknown;
  return true;
}

}  // namespace lumo
