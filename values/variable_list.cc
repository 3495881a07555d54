#include "values/variable_list.h"

#include <cstring>

#include "core/base/conversions.h"

namespace lumo {

void VariableList::Insert(Variable* variable, int where) {
  variable->AddReference();
  try {
    List<Variable>::Insert(variable, where);
  } catch (...) {
    variable->Free();
    throw;
  }
}

void VariableList::RemoveAndRelease(int where) {
  Variable* v = Remove(where);
  if (v) v->Free();
}

Variable* VariableList::Find(const char* name, int32_t length) {
  if (name == nullptr) return nullptr;
  length = TextLength(name, length);
  for (Node* n = head_; n; n = n->next) {
    const String& other = n->element->Name();
    if (other.Length() == length && CompareNoCase(other.Text(), name, length) == 0) {
      cursor_ = n;
      return n->element;
    }
  }
  return nullptr;
}

Variable* VariableList::SetVariable(const char* name, int32_t name_length, const char* value,
                                    int32_t value_length) {
  Variable* v = Find(name, name_length);
  if (v == nullptr) {
    name_length = TextLength(name, name_length);
    v = new Variable(std::string_view(name, static_cast<size_t>(name_length)));
    try {
      Insert(v);
    } catch (...) {
      v->Free();
      throw;
    }
    v->Free();  // the list's reference is the only one
  }
  value_length = TextLength(value, value_length);
  v->SetValue(value, value_length);
  return v;
}

}  // namespace lumo
