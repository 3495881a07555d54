// SystemVariableHash: the system variables of a run, with levels. After a
// Push every change to an entry is recorded, and Pop puts the recorded
// variables back, most recent first, so that a called program or function
// can set system variables for its own duration only.
#ifndef LUMO_VALUES_SYSTEM_VARIABLE_HASH_H_
#define LUMO_VALUES_SYSTEM_VARIABLE_HASH_H_

#include <cstdint>

#include "core/base/list.h"
#include "core/base/stack.h"
#include "values/variable_hash.h"

namespace lumo {

class SystemVariableHash : public VariableHash {
 public:
  explicit SystemVariableHash(Dictionary* dictionary, int bits = kGlobalBits,
                              int32_t capacity = kGlobalCapacity)
      : VariableHash(dictionary, bits, capacity) {}
  ~SystemVariableHash() override;

  // Above level 0 a name that already has an entry gets its variable
  // replaced (and the entry stamped with the level) instead of a second
  // entry.
  int32_t AddEntry(int32_t name_number, const char* name, int32_t length,
                   Variable* variable) override;
  using VariableHash::AddEntry;
  void ReplaceVariable(Variable* variable) override;
  // Above level 0 the value goes into a new variable that replaces the old
  // one, so that Pop can bring the old value back.
  Variable* SetVariable(const char* name, int32_t length, const char* value,
                        int32_t value_length) override;
  void MakeReference(int32_t entry, Variable* target) override;
  Variable* Index(int32_t entry, bool create) override;
  int32_t EntryTag() override { return level_; }
  void Push() override;
  // False (and nothing changes) at level 0.
  bool Pop() override;

  int32_t Level() const { return level_; }

 private:
  struct SavedEntry {
    SavedEntry(int32_t e, int32_t t, Variable* v) : entry(e), tag(t), variable(v) {}
    ~SavedEntry() {
      if (variable) variable->Free();
    }
    SavedEntry(const SavedEntry&) = delete;
    SavedEntry& operator=(const SavedEntry&) = delete;
    int32_t entry;
    int32_t tag;
    Variable* variable;  // owned: one reference; may be null
  };
  using SavedList = lumo::List<SavedEntry>;

  // Records the entry's present tag and variable; the variable's reference
  // moves into the record.
  void Save(int32_t entry);

  int32_t level_ = 0;
  Stack<SavedList> saved_{true};
  SavedList* current_ = nullptr;
};

}  // namespace lumo

#endif  // LUMO_VALUES_SYSTEM_VARIABLE_HASH_H_
