// VariableList: an ordered list of variables, handed to extension libraries
// (function arguments, the elements of an aggregate). The list holds one
// reference on each variable it contains.
#ifndef LUMO_VALUES_VARIABLE_LIST_H_
#define LUMO_VALUES_VARIABLE_LIST_H_

#include <cstdint>

#include "core/base/list.h"
#include "values/variable.h"

namespace lumo {

class VariableList : public List<Variable> {
 public:
  VariableList() : List<Variable>(true) {}
  ~VariableList() override { Clear(); }

  // Adds a reference on the variable; the caller keeps its own.
  void Insert(Variable* variable, int where) override;
  void Insert(Variable* variable) { Insert(variable, kTail); }
  // Releases the list's reference.
  void DeleteElement(Variable* variable) override { variable->Free(); }
  // List::Remove hands the list's reference over to the caller; this one
  // releases it.
  void RemoveAndRelease(int where = kCursor);

  int32_t Entries() const { return Count(); }
  using List<Variable>::Find;
  // The first variable whose name equals `name` without regard to case.
  Variable* Find(const char* name, int32_t length = -1);
  // Finds the named variable, creating and appending it when missing, and
  // stores the text in it.
  Variable* SetVariable(const char* name, int32_t name_length, const char* value,
                        int32_t value_length);
  // Removes and releases every variable.
  void Dump() { Clear(); }
};

}  // namespace lumo

#endif  // LUMO_VALUES_VARIABLE_LIST_H_
