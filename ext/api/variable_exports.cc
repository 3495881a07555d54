// The value families: lmVariable_*, lmVariableHash_*, lmVariableList_*,
// their older lumo_variable*_ counterparts, and lumo_alloc and its sisters.
// Each forwards to the like-named operation of Variable, VariableHash or
// VariableList once its arguments have passed the checks.
#include <cstdlib>
#include <typeinfo>

#include "core/base/conversions.h"
#include "core/base/memory_budget.h"
#include "ext/api/api_internal.h"
#include "values/aggregate.h"

namespace lumo::api {
namespace {

// Store operations the host will not make: a variable inside its own
// element tree would never be freed and would make every walk of the tree
// loop, so an element may not be the aggregate itself.
bool SameVariable(Variable* a, Variable* b) {
  return a == b || a->RealIdentity() == b->RealIdentity();
}

// Older numbering of the aggregate type.
int OldAggregateType(int type) {
  switch (type) {
    case kAggregateStructure: return 2;
    case kAggregateArray: return 1;
    default: return 0;
  }
}

bool SetElementValue(Variable* variable, const AggregateIndex& index, std::string_view value) {
  Variable* element = variable->Element(index, true);
  return element != nullptr && element->SetValue(value.data(), Length(value));
}

// The byte classes an URL query keeps as they are.
bool UrlSafe(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

void AppendUrlEncoded(String& out, const String& text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int32_t i = 0; i < text.Length(); ++i) {
    const auto c = static_cast<unsigned char>(text.Text()[i]);
    if (UrlSafe(c)) {
      out.Append(static_cast<char>(c));
    } else if (c == ' ') {
      out.Append('+');
    } else {
      out.Append('%');
      out.Append(kHex[c >> 4]);
      out.Append(kHex[c & 15]);
    }
  }
}

}  // namespace
}  // namespace lumo::api

using namespace lumo;       // NOLINT: the exports are one flat C interface
using namespace lumo::api;  // NOLINT

// ---- lmVariable_* --------------------------------------------------------

LUMO_EXPORT lmVariable* lmVariable_Allocate(const char* name, int32_t name_length,
                                            const char* value, int32_t value_length) {
  std::string_view n;
  std::string_view v;
  if (!TextArgument(name, name_length, &n) || !TextArgument(value, value_length, &v)) {
    return nullptr;
  }
  return Guard(nullptr, static_cast<lmVariable*>(nullptr),
               [&] { return Handle(new Variable(n, v)); });
}

LUMO_EXPORT lmVariable* lmVariable_Allocate_Copy(lmVariable* source) {
  if (source == nullptr) return nullptr;
  return Guard(nullptr, static_cast<lmVariable*>(nullptr),
               [&] { return Handle(new Variable(*AsVariable(source))); });
}

LUMO_EXPORT void lmVariable_Free(lmVariable* variable) {
  if (variable == nullptr) return;
  GuardVoid(nullptr, [&] { AsVariable(variable)->Free(); });
}

LUMO_EXPORT const char* lmVariable_Name(lmVariable* variable, int32_t* length) {
  if (variable == nullptr) {
    if (length != nullptr) *length = 0;
    return nullptr;
  }
  return TextResult(AsVariable(variable)->Name(), length);
}

LUMO_EXPORT const char* lmVariable_Value(lmVariable* variable, int32_t* length) {
  if (length != nullptr) *length = 0;
  if (variable == nullptr) return nullptr;
  // Most arguments hold their text already: no call needed.
  if (const String* text = AsVariable(variable)->FastText()) return TextResult(*text, length);
  return Guard(nullptr, static_cast<const char*>(nullptr),
               [&] { return TextResult(AsVariable(variable)->Value(), length); });
}

LUMO_EXPORT const char* lmVariable_Value_NS(lmVariable* variable, int32_t* length) {
  if (length != nullptr) *length = 0;
  if (variable == nullptr) return nullptr;
  return Guard(nullptr, static_cast<const char*>(nullptr), [&] {
    Variable* v = AsVariable(variable);
    const String& value = v->Value();
    String& scratch = v->ScratchText();
    scratch = StripNul(value.Text(), value.Length());
    return TextResult(scratch, length);
  });
}

LUMO_EXPORT int32_t lmVariable_Value_Integer(lmVariable* variable) {
  if (variable == nullptr) return 0;
  int32_t value = 0;
  if (AsVariable(variable)->FastInteger(&value)) return value;
  return Guard(nullptr, int32_t{0}, [&] { return AsVariable(variable)->Value_Integer(); });
}

LUMO_EXPORT double lmVariable_Value_Double(lmVariable* variable) {
  if (variable == nullptr) return 0.0;
  return Guard(nullptr, 0.0, [&] { return AsVariable(variable)->Value_Double(); });
}

LUMO_EXPORT int lmVariable_SetValue(lmVariable* variable, const char* value, int32_t length) {
  std::string_view v;
  if (variable == nullptr || !TextArgument(value, length, &v)) return 0;
  return Guard(nullptr, 0, [&] {
    Variable* target = AsVariable(variable);
    if (target->FastSetText(v.data(), Length(v))) return 1;
    return target->SetValue(v.data(), Length(v)) ? 1 : 0;
  });
}

LUMO_EXPORT int lmVariable_SetValue_Nocopy(lmVariable* variable, char* buffer, int32_t length,
                                           int32_t capacity) {
  // The buffer is ours from here on, whatever happens to the call.
  if (variable == nullptr || length < 0 || capacity < 0 || (buffer == nullptr && length > 0)) {
    free(buffer);
    return 0;
  }
  if (buffer == nullptr) return lmVariable_SetValue(variable, "", 0);
  return Guard(nullptr, 0, [&] {
    // The library allocated it outside the run's budget; from now on the
    // run pays for it, as for any text the script made. A buffer no longer
    // than its text has no room for the terminating zero and is copied.
    if (capacity > length) {
      try {
        ChargeMemory(capacity);
      } catch (...) {
        free(buffer);
        throw;
      }
      return AsVariable(variable)->SetValue_Nocopy(buffer, length, capacity) ? 1 : 0;
    }
    String copy;
    try {
      copy.Assign(buffer, length);
    } catch (...) {
      free(buffer);
      throw;
    }
    free(buffer);
    return AsVariable(variable)->SetValue(copy.Text(), copy.Length()) ? 1 : 0;
  });
}

LUMO_EXPORT int lmVariable_SetValue_Integer(lmVariable* variable, int32_t value) {
  if (variable == nullptr) return 0;
  return Guard(nullptr, 0, [&] { return AsVariable(variable)->SetValue_Integer(value) ? 1 : 0; });
}

LUMO_EXPORT int lmVariable_SetValue_Double(lmVariable* variable, double value) {
  if (variable == nullptr) return 0;
  return Guard(nullptr, 0, [&] { return AsVariable(variable)->SetValue_Double(value) ? 1 : 0; });
}

LUMO_EXPORT int lmVariable_SetValue_Variable(lmVariable* variable, lmVariable* source) {
  if (variable == nullptr || source == nullptr) return 0;
  return Guard(nullptr, 0, [&] {
    return AsVariable(variable)->SetValue_Variable(AsVariable(source)) ? 1 : 0;
  });
}

LUMO_EXPORT int lmVariable_Make_Reference(lmVariable* variable, lmVariable* target) {
  if (variable == nullptr || target == nullptr) return 0;
  return Guard(nullptr, 0, [&] {
    AsVariable(variable)->Make_Reference(AsVariable(target));
    return 1;
  });
}

LUMO_EXPORT lmVariable* lmVariable_NextIdentity(lmVariable* variable) {
  return variable == nullptr ? nullptr : Handle(AsVariable(variable)->NextIdentity());
}

LUMO_EXPORT lmVariable* lmVariable_RealIdentity(lmVariable* variable) {
  return variable == nullptr ? nullptr : Handle(AsVariable(variable)->RealIdentity());
}

LUMO_EXPORT int lmVariable_Aggregate_Type(lmVariable* variable) {
  if (variable == nullptr) return -1;
  int type = 0;
  if (AsVariable(variable)->FastAggregateType(&type)) return type;
  return AsVariable(variable)->Aggregate_Type();
}

LUMO_EXPORT lmVariableList* lmVariable_Aggregate_List(lmVariable* variable) {
  if (variable == nullptr) return nullptr;
  return Guard(nullptr, static_cast<lmVariableList*>(nullptr), [&] {
    auto* list = new VariableList();
    try {
      AsVariable(variable)->Aggregate_List(*list);
    } catch (...) {
      delete list;
      throw;
    }
    return Handle(list);
  });
}

LUMO_EXPORT int32_t lmVariable_ElementsUsed(lmVariable* variable) {
  return variable == nullptr ? 0 : AsVariable(variable)->ElementsUsed();
}

LUMO_EXPORT lmVariable* lmVariable_Array_Element(lmVariable* variable, int32_t index,
                                                 int create) {
  if (variable == nullptr || index < 0) return nullptr;
  return Guard(nullptr, static_cast<lmVariable*>(nullptr), [&] {
    return Handle(AsVariable(variable)->Element(AggregateIndex(index), create != 0));
  });
}

LUMO_EXPORT int lmVariable_Set_Array_Element(lmVariable* variable, int32_t index,
                                             lmVariable* element) {
  if (variable == nullptr || element == nullptr || index < 0) return 0;
  if (SameVariable(AsVariable(variable), AsVariable(element))) return 0;
  return Guard(nullptr, 0, [&] {
    AsVariable(variable)->Set_Element(AggregateIndex(index), AsVariable(element));
    return 1;
  });
}

LUMO_EXPORT int lmVariable_Insert_Array_Element(lmVariable* variable, int32_t index,
                                                lmVariable* element) {
  if (variable == nullptr || element == nullptr || index < 0) return 0;
  if (SameVariable(AsVariable(variable), AsVariable(element))) return 0;
  return Guard(nullptr, 0, [&] {
    AsVariable(variable)->Insert_Array_Element(index, AsVariable(element));
    return 1;
  });
}

LUMO_EXPORT int lmVariable_Delete_Array_Elements(lmVariable* variable, int32_t start,
                                                 int32_t count, int shift) {
  if (variable == nullptr || start < 0 || count < 0) return 0;
  return Guard(nullptr, 0, [&] {
    AsVariable(variable)->Delete_Array_Elements(start, count, shift != 0);
    return 1;
  });
}

LUMO_EXPORT int lmVariable_Array_Copy(lmVariable* variable, lmVariable* source, int32_t start,
                                      int32_t count, int32_t destination, int copy) {
  if (variable == nullptr || source == nullptr || start < 0 || count < 0 || destination < 0) {
    return 0;
  }
  if (copy == 0 && (SameVariable(AsVariable(variable), AsVariable(source)) ||
                    AsVariable(variable)->SharingWouldLoop(AsVariable(source)))) {
    return 0;
  }
  return Guard(nullptr, 0, [&] {
    AsVariable(variable)->Array_Copy(AsVariable(source), start, count, destination, copy != 0);
    return 1;
  });
}

LUMO_EXPORT int lmVariable_Array_Merge(lmVariable* variable, lmVariable* source, int32_t start,
                                       int32_t count, int32_t destination, int copy) {
  if (variable == nullptr || source == nullptr || start < 0 || count < 0 || destination < 0) {
    return 0;
  }
  if (copy == 0 && (SameVariable(AsVariable(variable), AsVariable(source)) ||
                    AsVariable(variable)->SharingWouldLoop(AsVariable(source)))) {
    return 0;
  }
  return Guard(nullptr, 0, [&] {
    AsVariable(variable)->Array_Merge(AsVariable(source), start, count, destination, copy != 0);
    return 1;
  });
}

LUMO_EXPORT int32_t lmVariable_Array_Min(lmVariable* variable) {
  return variable == nullptr ? 0 : AsVariable(variable)->Array_Min();
}

LUMO_EXPORT int32_t lmVariable_Array_Max(lmVariable* variable) {
  return variable == nullptr ? 0 : AsVariable(variable)->Array_Max();
}

LUMO_EXPORT int32_t lmVariable_Array_Next(lmVariable* variable, int32_t index) {
  return variable == nullptr ? -1 : AsVariable(variable)->Array_Next(index);
}

LUMO_EXPORT int32_t lmVariable_Array_Previous(lmVariable* variable, int32_t index) {
  return variable == nullptr ? -1 : AsVariable(variable)->Array_Previous(index);
}

LUMO_EXPORT lmVariable* lmVariable_Struct_Member(lmVariable* variable, const char* name,
                                                 int32_t length, int create) {
  std::string_view n;
  if (variable == nullptr || !TextArgument(name, length, &n)) return nullptr;
  return Guard(nullptr, static_cast<lmVariable*>(nullptr), [&] {
    return Handle(AsVariable(variable)->Element(AggregateIndex(n), create != 0));
  });
}

LUMO_EXPORT int lmVariable_Set_Struct_Member(lmVariable* variable, const char* name,
                                             int32_t length, lmVariable* member) {
  std::string_view n;
  if (variable == nullptr || member == nullptr || !TextArgument(name, length, &n)) return 0;
  if (SameVariable(AsVariable(variable), AsVariable(member))) return 0;
  return Guard(nullptr, 0, [&] {
    AsVariable(variable)->Set_Element(AggregateIndex(n), AsVariable(member));
    return 1;
  });
}

LUMO_EXPORT int lmVariable_Delete_Struct_Member(lmVariable* variable, const char* name,
                                                int32_t length) {
  std::string_view n;
  if (variable == nullptr || !TextArgument(name, length, &n)) return 0;
  return Guard(nullptr, 0, [&] {
    AsVariable(variable)->Delete_Element(AggregateIndex(n), false);
    return 1;
  });
}

// ---- lmVariableHash_* ----------------------------------------------------

LUMO_EXPORT lmVariableHash* lmVariableHash_Allocate(void) {
  return Guard(nullptr, static_cast<lmVariableHash*>(nullptr),
               [] { return Handle(static_cast<VariableHash*>(new UserVariableHash())); });
}

LUMO_EXPORT void lmVariableHash_Free(lmVariableHash* hash) {
  // Only a hash a library allocated is a library's to free: the run's own
  // scopes, reached through lmProgram_*_VariableHash, are refused.
  if (hash == nullptr) return;
  VariableHash* table = AsHash(hash);
  if (typeid(*table) != typeid(UserVariableHash)) return;
  GuardVoid(nullptr, [&] { delete table; });
}

LUMO_EXPORT int lmVariableHash_Find(lmVariableHash* hash, lmVariable** variable,
                                    const char* name, int32_t length, int create) {
  if (variable != nullptr) *variable = nullptr;
  std::string_view n;
  if (hash == nullptr || !TextArgument(name, length, &n)) return 0;
  return Guard(nullptr, 0, [&] {
    Variable* found = nullptr;
    const bool present = AsHash(hash)->Find(&found, n.data(), Length(n), create != 0);
    if (variable != nullptr) *variable = Handle(found);
    return present ? 1 : 0;
  });
}

LUMO_EXPORT lmVariable* lmVariableHash_Index(lmVariableHash* hash, int32_t entry, int create) {
  if (hash == nullptr || entry < 0) return nullptr;
  return Guard(nullptr, static_cast<lmVariable*>(nullptr),
               [&] { return Handle(AsHash(hash)->Index(entry, create != 0)); });
}

LUMO_EXPORT int lmVariableHash_Insert(lmVariableHash* hash, lmVariable* variable) {
  if (hash == nullptr || variable == nullptr) return 0;
  return Guard(nullptr, 0, [&] {
    Variable* v = AsVariable(variable);
    v->AddReference();
    try {
      AsHash(hash)->Insert(v);
    } catch (...) {
      v->Free();
      throw;
    }
    return 1;
  });
}

LUMO_EXPORT int lmVariableHash_ReplaceVariable(lmVariableHash* hash, lmVariable* variable) {
  if (hash == nullptr || variable == nullptr) return 0;
  return Guard(nullptr, 0, [&] {
    Variable* v = AsVariable(variable);
    v->AddReference();
    try {
      AsHash(hash)->ReplaceVariable(v);
    } catch (...) {
      v->Free();
      throw;
    }
    return 1;
  });
}

LUMO_EXPORT lmVariable* lmVariableHash_SetVariable(lmVariableHash* hash, const char* name,
                                                   int32_t name_length, const char* value,
                                                   int32_t value_length) {
  std::string_view n;
  std::string_view v;
  if (hash == nullptr || !TextArgument(name, name_length, &n) ||
      !TextArgument(value, value_length, &v)) {
    return nullptr;
  }
  return Guard(nullptr, static_cast<lmVariable*>(nullptr), [&] {
    return Handle(AsHash(hash)->SetVariable(n.data(), Length(n), v.data(), Length(v)));
  });
}

LUMO_EXPORT void lmVariableHash_Dump(lmVariableHash* hash) {
  if (hash == nullptr) return;
  GuardVoid(nullptr, [&] { AsHash(hash)->Dump(); });
}

// ---- lmVariableList_* ----------------------------------------------------

LUMO_EXPORT lmVariableList* lmVariableList_Allocate(void) {
  return Guard(nullptr, static_cast<lmVariableList*>(nullptr),
               [] { return Handle(new VariableList()); });
}

LUMO_EXPORT void lmVariableList_Free(lmVariableList* list) {
  // The parameter list of a call is the host's (a class of its own) and
  // outlives the call; a library that frees it by mistake is refused.
  if (list == nullptr) return;
  VariableList* held = AsList(list);
  if (typeid(*held) != typeid(VariableList)) return;
  GuardVoid(nullptr, [&] { delete held; });
}

LUMO_EXPORT int32_t lmVariableList_Entries(lmVariableList* list) {
  return list == nullptr ? 0 : AsList(list)->Entries();
}

LUMO_EXPORT lmVariable* lmVariableList_Find(lmVariableList* list, const char* name,
                                            int32_t length) {
  std::string_view n;
  if (list == nullptr || !TextArgument(name, length, &n)) return nullptr;
  return Handle(AsList(list)->Find(n.data(), Length(n)));
}

LUMO_EXPORT lmVariable* lmVariableList_First(lmVariableList* list) {
  // No list kind walks differently: the direct call saves a library's
  // argument loop an indirect one per step.
  return list == nullptr ? nullptr : Handle(AsList(list)->List<Variable>::First());
}

LUMO_EXPORT lmVariable* lmVariableList_Next(lmVariableList* list) {
  return list == nullptr ? nullptr : Handle(AsList(list)->List<Variable>::Next());
}

LUMO_EXPORT lmVariable* lmVariableList_Current(lmVariableList* list) {
  return list == nullptr ? nullptr : Handle(AsList(list)->Current());
}

LUMO_EXPORT int lmVariableList_Insert(lmVariableList* list, lmVariable* variable) {
  if (list == nullptr || variable == nullptr) return 0;
  return Guard(nullptr, 0, [&] {
    AsList(list)->Insert(AsVariable(variable));
    return 1;
  });
}

LUMO_EXPORT lmVariable* lmVariableList_SetVariable(lmVariableList* list, const char* name,
                                                   int32_t name_length, const char* value,
                                                   int32_t value_length) {
  std::string_view n;
  std::string_view v;
  if (list == nullptr || !TextArgument(name, name_length, &n) ||
      !TextArgument(value, value_length, &v)) {
    return nullptr;
  }
  return Guard(nullptr, static_cast<lmVariable*>(nullptr), [&] {
    return Handle(AsList(list)->SetVariable(n.data(), Length(n), v.data(), Length(v)));
  });
}

LUMO_EXPORT void lmVariableList_Dump(lmVariableList* list) {
  if (list == nullptr) return;
  GuardVoid(nullptr, [&] { AsList(list)->Dump(); });
}

// ---- lumo_variable_* -----------------------------------------------------

LUMO_EXPORT lmVariable* lumo_variable_new(const char* name, int32_t name_length,
                                          const char* value, int32_t value_length) {
  return lmVariable_Allocate(name, name_length, value, value_length);
}

LUMO_EXPORT void lumo_variable_delete(lmVariable* variable) { lmVariable_Free(variable); }

LUMO_EXPORT const char* lumo_variable_name(lmVariable* variable) {
  return variable == nullptr ? "" : lmVariable_Name(variable, nullptr);
}

LUMO_EXPORT const char* lumo_variable_value(lmVariable* variable) {
  const char* value = lmVariable_Value(variable, nullptr);
  return value == nullptr ? "" : value;
}

LUMO_EXPORT int lumo_variable_setvalue(lmVariable* variable, const char* value, int32_t length) {
  return lmVariable_SetValue(variable, value, length) ? 0 : -1;
}

LUMO_EXPORT int lumo_variable_aggregate_type(lmVariable* variable) {
  return variable == nullptr ? -1 : OldAggregateType(AsVariable(variable)->Aggregate_Type());
}

LUMO_EXPORT lmVariableList* lumo_variable_aggregate_list(lmVariable* variable) {
  return lmVariable_Aggregate_List(variable);
}

LUMO_EXPORT lmVariable* lumo_variable_array_element(lmVariable* variable, int32_t index,
                                                    int create) {
  return lmVariable_Array_Element(variable, index, create);
}

LUMO_EXPORT int32_t lumo_variable_array_elements(lmVariable* variable) {
  return lmVariable_ElementsUsed(variable);
}

LUMO_EXPORT int32_t lumo_variable_array_min(lmVariable* variable) {
  return lmVariable_Array_Min(variable);
}

LUMO_EXPORT int32_t lumo_variable_array_max(lmVariable* variable) {
  return lmVariable_Array_Max(variable);
}

LUMO_EXPORT int lumo_variable_set_array_element_value(lmVariable* variable, int32_t index,
                                                      const char* value, int32_t length) {
  std::string_view v;
  if (variable == nullptr || index < 0 || !TextArgument(value, length, &v)) return -1;
  return Guard(nullptr, -1, [&] {
    return SetElementValue(AsVariable(variable), AggregateIndex(index), v) ? 0 : -1;
  });
}

LUMO_EXPORT lmVariable* lumo_variable_structure_member(lmVariable* variable, const char* name,
                                                       int32_t length, int create) {
  return lmVariable_Struct_Member(variable, name, length, create);
}

LUMO_EXPORT int lumo_variable_set_structure_member_value(lmVariable* variable, const char* name,
                                                         int32_t name_length, const char* value,
                                                         int32_t value_length) {
  std::string_view n;
  std::string_view v;
  if (variable == nullptr || !TextArgument(name, name_length, &n) ||
      !TextArgument(value, value_length, &v)) {
    return -1;
  }
  return Guard(nullptr, -1, [&] {
    return SetElementValue(AsVariable(variable), AggregateIndex(n), v) ? 0 : -1;
  });
}

// ---- lumo_variablelist_* -------------------------------------------------

LUMO_EXPORT lmVariableList* lumo_variablelist_new(void) { return lmVariableList_Allocate(); }
LUMO_EXPORT void lumo_variablelist_delete(lmVariableList* list) { lmVariableList_Free(list); }
LUMO_EXPORT lmVariable* lumo_variablelist_first(lmVariableList* list) {
  return lmVariableList_First(list);
}
LUMO_EXPORT lmVariable* lumo_variablelist_next(lmVariableList* list) {
  return lmVariableList_Next(list);
}
LUMO_EXPORT lmVariable* lumo_variablelist_current(lmVariableList* list) {
  return lmVariableList_Current(list);
}
LUMO_EXPORT lmVariable* lumo_variablelist_find(lmVariableList* list, const char* name,
                                               int32_t length) {
  return lmVariableList_Find(list, name, length);
}
LUMO_EXPORT lmVariable* lumo_variablelist_setvariable(lmVariableList* list, const char* name,
                                                      int32_t name_length, const char* value,
                                                      int32_t value_length) {
  return lmVariableList_SetVariable(list, name, name_length, value, value_length);
}
LUMO_EXPORT void lumo_variablelist_dump(lmVariableList* list) { lmVariableList_Dump(list); }

LUMO_EXPORT char* lumo_variablelist_to_url(lmVariableList* list, int32_t* length) {
  if (length != nullptr) *length = 0;
  if (list == nullptr) return nullptr;
  return Guard(nullptr, static_cast<char*>(nullptr), [&]() -> char* {
    // A library may be iterating over the list itself: the cursor is put
    // back where it was.
    VariableList* l = AsList(list);
    Variable* saved = l->Current();
    String out;
    for (Variable* v = l->First(); v != nullptr; v = l->Next()) {
      if (out.Length() > 0) out.Append('&');
      AppendUrlEncoded(out, v->Name());
      out.Append('=');
      AppendUrlEncoded(out, v->Value());
    }
    if (saved != nullptr) {
      for (Variable* v = l->First(); v != nullptr && v != saved; v = l->Next()) {
      }
    }
    auto* result = static_cast<char*>(malloc(static_cast<size_t>(out.Length()) + 1));
    if (result == nullptr) return nullptr;
    memcpy(result, out.Text(), static_cast<size_t>(out.Length()) + 1);
    if (length != nullptr) *length = out.Length();
    return result;
  });
}

// ---- lumo_variabletree_* -------------------------------------------------

LUMO_EXPORT lmVariableHash* lumo_variabletree_new(void) { return lmVariableHash_Allocate(); }
LUMO_EXPORT void lumo_variabletree_delete(lmVariableHash* tree) { lmVariableHash_Free(tree); }

LUMO_EXPORT lmVariable* lumo_variabletree_find(lmVariableHash* tree, const char* name,
                                               int32_t length) {
  lmVariable* found = nullptr;
  lmVariableHash_Find(tree, &found, name, length, 0);
  return found;
}

LUMO_EXPORT int lumo_variabletree_insert(lmVariableHash* tree, lmVariable* variable) {
  return lmVariableHash_Insert(tree, variable) ? 0 : -1;
}

LUMO_EXPORT lmVariable* lumo_variabletree_setvariable(lmVariableHash* tree, const char* name,
                                                      int32_t name_length, const char* value,
                                                      int32_t value_length) {
  return lmVariableHash_SetVariable(tree, name, name_length, value, value_length);
}

LUMO_EXPORT void lumo_variabletree_dump(lmVariableHash* tree) { lmVariableHash_Dump(tree); }

// ---- Memory --------------------------------------------------------------

LUMO_EXPORT void* lumo_alloc(size_t size) { return malloc(size); }
LUMO_EXPORT void* lumo_realloc(void* memory, size_t size) { return realloc(memory, size); }
LUMO_EXPORT void lumo_free(void* memory) { free(memory); }
