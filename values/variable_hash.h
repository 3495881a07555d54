// VariableHash: a scope of script variables (the globals of a run, the
// locals of one call, the system variables). Each entry has a name (a
// dictionary entry number), a stable entry number and at most one variable.
//
// Compiled programs refer to variables by entry number and carry their
// scopes' name tables as hash images, so the bucket function (lookup2 of
// the lowered name), the chain order (shorter names first, then
// case-insensitive byte order) and the image layout are part of the file
// format.
#ifndef LUMO_VALUES_VARIABLE_HASH_H_
#define LUMO_VALUES_VARIABLE_HASH_H_

#include <cstdint>
#include <string_view>

#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "core/base/string.h"
#include "values/variable.h"

namespace lumo {

class VariableList;

// Bounds on what storing at paths may make, for names that come from
// outside (the form fields of a request): a path may hold at most
// max_selectors selectors, and the walks sharing these limits may make at
// most nodes_left variables and elements between them. A walk past either
// bound makes nothing more, sets `exceeded` and fails.
struct PathLimits {
  int32_t max_selectors = 32;
  int64_t nodes_left = 0;
  bool exceeded = false;
};

struct VariableHashEntry {
  int32_t name;        // dictionary entry number
  int32_t tag;         // meaning depends on the kind of hash
  Variable* variable;  // owned: one reference; may be null
};

class VariableHash {
 public:
  // The globals and system variables of a run.
  static constexpr int kGlobalBits = 12;
  static constexpr int32_t kGlobalCapacity = 512;
  // The locals of a function.
  static constexpr int kLocalBits = 8;
  static constexpr int32_t kLocalCapacity = 64;
  static constexpr int32_t kGrowStep = 512;
  // Bucket numbers and the count of buckets used are stored in 16 bits.
  static constexpr int kMaxBits = 15;
  static constexpr int kMaxImageBits = 16;

  // The dictionary turns names into numbers and back; it must outlive the
  // hash.
  explicit VariableHash(Dictionary* dictionary, int bits = kGlobalBits,
                        int32_t capacity = kGlobalCapacity);
  VariableHash(const VariableHash&) = delete;
  VariableHash& operator=(const VariableHash&) = delete;
  virtual ~VariableHash();

  // Adds an entry whose name is `name_number`, or when that is -1 the name
  // text (added to the dictionary). The caller's reference on `variable`
  // (which may be null) passes to the table. Returns the entry number.
  virtual int32_t AddEntry(int32_t name_number, const char* name, int32_t length,
                           Variable* variable);
  virtual int32_t AddEntry(int32_t name_number);
  virtual int32_t AddEntry(const char* name, int32_t length);
  // Adds an entry named like the variable, holding it.
  virtual int32_t Insert(Variable* variable);
  // Stores the variable in the entry of its name (releasing the one held
  // there), or adds an entry.
  virtual void ReplaceVariable(Variable* variable);
  // Finds or creates the named variable and stores the text in it.
  virtual Variable* SetVariable(const char* name, int32_t length, const char* value,
                                int32_t value_length);
  // The entry receives a new ReferenceVariable to `target`, unless it
  // already holds the target itself.
  virtual void MakeReference(int32_t entry, Variable* target);
  // Stores a text at a path (see FindPath). With `append`, a target that
  // already has a value becomes (or grows) an array: repeated form fields
  // of one name build arrays this way.
  virtual bool SetPathValue(const char* path, int32_t length, const char* value,
                            int32_t value_length, bool append, PathLimits* limits = nullptr);
  // The entry number of the first entry with the name (given as text, or
  // when `name` is null as a dictionary number), or -1.
  virtual int32_t FindEntry(int32_t name_number, const char* name, int32_t length);
  // The tag given to new entries.
  virtual int32_t EntryTag();
  virtual bool ClearVariable(const char* name, int32_t length);
  // True when the name has an entry. *variable is its variable, created
  // empty when the entry holds none and `create` is set. A missing entry is
  // never created here.
  virtual bool Find(Variable** variable, const char* name, int32_t length, bool create);
  // A name followed by member selectors (":name") and index selectors
  // ("[digits]"). A missing step gives a null variable and success; a
  // malformed index selector fails with "Array index must be positive
  // integer". With limits, a path past them fails before anything is made.
  virtual bool FindPath(Variable** variable, const char* path, int32_t length, bool create,
                        PathLimits* limits = nullptr);
  // The variable of entry n (created empty when missing and `create` is
  // set), or null for a number outside the table.
  virtual Variable* Index(int32_t entry, bool create);
  virtual int32_t Count();
  // Appends every present variable, in entry order, at the list's tail.
  virtual void List(VariableList& list);
  // A hash image replaces the whole table (bits and capacity from the
  // image, every tag 0 and every variable null). Failures leave the table
  // as it was and say why in the error text.
  virtual bool Read(Stream& stream);
  virtual bool ReadAt(Stream& stream, int64_t offset);
  virtual bool Write(Stream& stream);
  virtual bool WriteAt(Stream& stream, int64_t offset);
  virtual const String& ErrorText() const { return error_; }
  virtual void SetErrorText(std::string_view text) { error_ = String(text); }
  // Levels exist only in system variable hashes.
  virtual void Push() {}
  virtual bool Pop() { return false; }
  // The hash that actually holds the variables (a reference hash answers
  // with its target).
  virtual VariableHash* RealHash() { return this; }

  // Releases every entry's variable; the names stay.
  void Dump();
  // Leaves every entry empty, as Dump does, but keeps the variables only
  // this table holds, emptied, for the next use of the same names.
  void ResetVariables() {
    for (int32_t i = 0; i < count_; ++i) {
      Variable* v = entries_[i].variable;
      if (v != nullptr && !v->ResetIfPrivate()) {
        entries_[i].variable = nullptr;
        v->Free();
      }
    }
  }
  // The number of entries, without the virtual call (a plain table).
  int32_t EntryCount() const { return count_; }
  // Makes this table a copy of another's names (same bits, entries, chains
  // and tags) with no variables: the locals of one call are made this way
  // from the function's table.
  void CopyNames(const VariableHash& other);

  // The variable of entry n without creating one: the machine's hot path
  // for a hash that is exactly a VariableHash (subclasses change Index).
  Variable* PeekVariable(int32_t entry) const {
    return entry >= 0 && entry < count_ ? entries_[entry].variable : nullptr;
  }

  std::string_view EntryName(int32_t entry) const;
  int32_t EntryNameNumber(int32_t entry) const {
    return entry >= 0 && entry < count_ ? entries_[entry].name : -1;
  }
  int32_t EntryTagOf(int32_t entry) const {
    return entry >= 0 && entry < count_ ? entries_[entry].tag : 0;
  }
  Dictionary* GetDictionary() const { return dictionary_; }
  int Bits() const { return bits_; }
  int32_t BucketsUsed() const { return buckets_used_; }
  int32_t Capacity() const { return capacity_; }
  // First entry of a bucket's chain and the next in a chain, -1 at the end.
  int32_t BucketHead(int32_t bucket) const { return buckets_[bucket]; }
  int32_t ChainNext(int32_t entry) const { return next_[entry]; }
  uint32_t BucketOf(const char* name, int32_t length) const;

 protected:
  struct Image;
  bool ReadFailed(std::string_view text);
  bool DecodeBuckets(const String& bytes, int32_t used, Image* image) const;
  bool DecodeEntries(const String& bytes, Image* image) const;
  bool CheckChains(const Image& image, int32_t* buckets_used) const;
  // Chain order of a name against an entry's name.
  int CompareName(const char* name, int32_t length, int32_t entry) const;
  void GrowEntries();
  // Frees the arrays and releases every variable.
  void ReleaseAll();
  // Insert, the caller's reference released should the table not take it
  // (memory ran out).
  void InsertOrFree(Variable* variable) {
    try {
      Insert(variable);
    } catch (...) {
      variable->Free();
      throw;
    }
  }

  int32_t* buckets_ = nullptr;
  int bits_;
  int32_t bucket_count_;
  int32_t buckets_used_ = 0;
  int32_t* next_ = nullptr;
  int32_t capacity_ = 0;
  VariableHashEntry* entries_ = nullptr;
  int32_t count_ = 0;
  Dictionary* dictionary_;
  String error_;
};

// A stand-alone hash with a name dictionary of its own, for extension
// libraries.
class UserVariableHash : public VariableHash {
 public:
  UserVariableHash();
  ~UserVariableHash() override;

 private:
  Dictionary* own_dictionary_;
};

}  // namespace lumo

#endif  // LUMO_VALUES_VARIABLE_HASH_H_
