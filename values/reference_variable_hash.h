// ReferenceVariableHash: the scope a program called from another one sees.
// Its name table is the called program's own (so the called program's
// entry numbers keep working), but every variable lives in the caller's
// hash: each own entry caches the caller's entry number for its name in its
// tag (-1 until first looked up).
#ifndef LUMO_VALUES_REFERENCE_VARIABLE_HASH_H_
#define LUMO_VALUES_REFERENCE_VARIABLE_HASH_H_

#include <cstdint>

#include "values/variable_hash.h"

namespace lumo {

class ReferenceVariableHash : public VariableHash {
 public:
  // `dictionary` is the called program's; `target` the caller's hash (its
  // real hash is used). Both must outlive this hash.
  ReferenceVariableHash(Dictionary* dictionary, VariableHash* target, int bits = kGlobalBits,
                        int32_t capacity = kGlobalCapacity);

  // Acting on the target.
  int32_t AddEntry(int32_t name_number, const char* name, int32_t length,
                   Variable* variable) override;
  using VariableHash::AddEntry;
  void ReplaceVariable(Variable* variable) override;
  Variable* SetVariable(const char* name, int32_t length, const char* value,
                        int32_t value_length) override;
  bool ClearVariable(const char* name, int32_t length) override;
  int32_t Count() override;
  void List(VariableList& list) override;
  void Push() override;
  bool Pop() override;
  VariableHash* RealHash() override;
  // Own entries made outside Read have no target entry known yet either.
  int32_t EntryTag() override { return -1; }

  // Mapped through the own name table to the target's entries.
  bool Find(Variable** variable, const char* name, int32_t length, bool create) override;
  Variable* Index(int32_t entry, bool create) override;
  void MakeReference(int32_t entry, Variable* target) override;

  // Loads the called program's name table; every cached number is unknown.
  bool Read(Stream& stream) override;

  // The target's entry number for own entry n, or -1; with `create` a
  // missing name is added to the target.
  int32_t TargetEntry(int32_t entry, bool create);

 private:
  VariableHash* target_;
};

}  // namespace lumo

#endif  // LUMO_VALUES_REFERENCE_VARIABLE_HASH_H_
