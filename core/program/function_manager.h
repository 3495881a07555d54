// The functions of a program: a chained hash table by name (the file
// stores its bucket heads and chains, so the bucket function and chain
// order are part of the format), with each function's parameters and the
// name table its calls copy to make their locals.
#ifndef LUMO_CORE_PROGRAM_FUNCTION_MANAGER_H_
#define LUMO_CORE_PROGRAM_FUNCTION_MANAGER_H_

#include <cstdint>
#include <string_view>

#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "core/base/string.h"
#include "values/variable_hash.h"

namespace lumo {

class TaggedFile;

struct FunctionParameter {
  static constexpr uint32_t kByReference = 1;

  int32_t name;  // dictionary entry number
  String name_text;
  uint32_t flags;
  int32_t local_slot;  // entry of the function's local table

  bool ByReference() const { return (flags & kByReference) != 0; }
};

class Function {
 public:
  // Flag bits.
  static constexpr uint32_t kExternal = 1;
  static constexpr uint32_t kOutputLevel1 = 2;
  static constexpr uint32_t kDisplayErrors = 4;
  static constexpr uint32_t kHideErrors = 8;
  static constexpr uint32_t kOutputLevel2 = 16;

  Function(int32_t number, Dictionary* dictionary, int32_t name, uint32_t flags,
           int32_t segment, int32_t offset);
  Function(const Function&) = delete;
  Function& operator=(const Function&) = delete;
  ~Function();

  int32_t Number() const { return number_; }
  uint32_t Flags() const { return flags_; }
  bool IsExternal() const { return (flags_ & kExternal) != 0; }
  int32_t NameNumber() const { return name_; }
  const String& Name() const { return name_text_; }
  int32_t EntrySegment() const { return segment_; }
  int32_t EntryOffset() const { return offset_; }
  void SetEntry(int32_t segment, int32_t offset) {
    segment_ = segment;
    offset_ = offset;
  }

  int32_t ParameterCount() const { return parameter_count_; }
  const FunctionParameter& Parameter(int32_t i) const { return parameters_[i]; }
  void AddParameter(int32_t name, uint32_t flags, int32_t local_slot);

  // The names of the function's locals; a call copies them.
  VariableHash& Locals() { return locals_; }

  // Whatever the external call path keeps for a bound external function.
  void* Binding() const { return binding_; }
  void SetBinding(void* binding) { binding_ = binding; }

 private:
  int32_t number_;
  uint32_t flags_;
  int32_t name_;
  String name_text_;
  FunctionParameter* parameters_ = nullptr;
  int32_t parameter_count_ = 0;
  int32_t parameter_capacity_ = 0;
  int32_t segment_;
  int32_t offset_;
  Dictionary* dictionary_;
  VariableHash locals_;
  void* binding_ = nullptr;
};

class FunctionManager {
 public:
  static constexpr int kInitialBits = 8;
  static constexpr int kMaxBits = 16;  // bucket numbers are stored in 16 bits
  static constexpr int32_t kGrowStep = 64;
  // Memory a loaded function table may take: this many bytes per byte of
  // its section, at least kMinLoadBudget; a function counts kFunctionCost
  // plus four bytes per bucket of its local-name table.
  static constexpr int64_t kLoadBudgetPerByte = 256;
  static constexpr int64_t kMinLoadBudget = int64_t{4} << 20;
  static constexpr int64_t kFunctionCost = 2048;

  explicit FunctionManager(Dictionary* dictionary, int bits = kInitialBits);
  FunctionManager(const FunctionManager&) = delete;
  FunctionManager& operator=(const FunctionManager&) = delete;
  virtual ~FunctionManager();

  virtual const String& ErrorText() const { return error_; }
  // Case-insensitive; length -1 means up to the terminator.
  virtual class Function* Find(const char* name, int32_t length = -1);
  virtual int32_t Count() const { return count_; }
  virtual void SetErrorText(std::string_view text) { error_ = String(text); }

  // Replaces the table with the "func" section of the file. On failure the
  // table is as it was before.
  bool Read(TaggedFile& file);
  bool Write(Stream& out);

  class Function* Function(int32_t n) const {
    return n >= 0 && n < count_ ? functions_[n] : nullptr;
  }
  // Adds a function with an entry point (the assembler and compilers).
  class Function* Add(const char* name, int32_t length, uint32_t flags, int32_t segment,
                      int32_t offset);
  // Adds an external function: declared only, no entry point.
  class Function* Declare(const char* name, uint32_t flags);
  // Adds a function with the same flags, name and parameters and no entry
  // point.
  class Function* Copy(const class Function& function);

  Dictionary* GetDictionary() const { return dictionary_; }

 private:
  struct Image;
  bool Fail(std::string_view text);
  bool ReadHashImage(TaggedFile& file, Stream& in, Image* image);
  bool ReadFunctions(TaggedFile& file, Stream& in, int32_t section_size, Image* image);
  bool ChainsAreSound(const Image& image);
  void Reset(int bits, int32_t capacity);
  void Grow();
  class Function* Insert(class Function* function);
  uint32_t BucketOf(const char* name, int32_t length) const;
  int CompareName(const char* name, int32_t length, const class Function* f) const;

  String error_;
  int32_t* buckets_ = nullptr;
  int bits_ = kInitialBits;
  int32_t* next_ = nullptr;
  class Function** functions_ = nullptr;
  int32_t capacity_ = 0;
  int32_t count_ = 0;
  Dictionary* dictionary_;
};

}  // namespace lumo

#endif  // LUMO_CORE_PROGRAM_FUNCTION_MANAGER_H_
