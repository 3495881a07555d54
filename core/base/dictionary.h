// Dictionary: the constant pool of a compiled program. Every literal text,
// variable name and function name that code refers to is an entry number
// here. Entries are (block, offset, length) views into data blocks; texts
// are not terminated, their lengths bound them.
#ifndef LUMO_CORE_BASE_DICTIONARY_H_
#define LUMO_CORE_BASE_DICTIONARY_H_

#include <cstdint>
#include <string_view>

#include "core/base/list.h"
#include "core/base/stream.h"
#include "core/base/string.h"

namespace lumo {

// What a reader of a compiled program's sections reports for numbers that
// cannot be right (as opposed to data that ends early, which the stream
// explains).
inline constexpr char kCorruptProgramText[] =
    "File is either corrupt or not a valid compiled Lumo Script file";

struct DictionaryDataBlock {
  explicit DictionaryDataBlock(int32_t capacity);
  ~DictionaryDataBlock();
  DictionaryDataBlock(const DictionaryDataBlock&) = delete;
  DictionaryDataBlock& operator=(const DictionaryDataBlock&) = delete;

  char* bytes;
  int32_t capacity;
  int32_t used = 0;
};

class Dictionary {
 public:
  // Program flag bit 0: the machine running this program logs no events.
  static constexpr uint32_t kNoDebugEvents = 1;
  static constexpr int32_t kBlockSize = 8192;
  static constexpr int32_t kEntryStep = 128;

  Dictionary() = default;
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  virtual ~Dictionary();

  virtual const String& ErrorText() const { return error_; }
  virtual void SetErrorText(std::string_view text) { error_ = String(text); }

  // Replaces the contents with a "dict" section read from the stream's
  // current position. On failure the error text says why (the stream's own
  // text for a short read) and the dictionary is left empty.
  bool Read(Stream& section);
  // Writes a "dict" section: every block one after another, each entry's
  // offset rebased on its block's position.
  bool Write(Stream& out);

  // The bytes of entry n and their length, or null for an invalid number.
  const char* Entry(int32_t n, int32_t* length) const {
    if (n < 0 || n >= count_) return nullptr;
    const DictionaryEntry& e = entries_[n];
    *length = e.length;
    return e.block->bytes + e.offset;
  }
  std::string_view EntryView(int32_t n) const {
    int32_t length = 0;
    const char* p = Entry(n, &length);
    return p ? std::string_view(p, static_cast<size_t>(length)) : std::string_view();
  }

  // Adds an entry and returns its new number. A text already present in the
  // current block is shared rather than stored again, but every call makes a
  // new entry number. length -1 means up to the terminator.
  int32_t AddEntry(const char* bytes, int32_t length = -1);
  // Marks the end of loading. Later entries go into blocks of their own,
  // and a text is shared only with an equal text added since, found
  // through a hash index: a run adds dozens of names per request, and
  // searching the bytes of a block for each one cost more than the names
  // themselves. (Before sealing, the block search stays: it decides the
  // layout of the sections a compiler writes.)
  void Seal() {
    current_ = nullptr;
    sealed_ = true;
  }

  int32_t Count() const { return count_; }
  uint32_t ProgramFlags() const { return flags_; }
  void SetProgramFlags(uint32_t flags) { flags_ = flags; }

 private:
  struct DictionaryEntry {
    DictionaryDataBlock* block;
    int32_t offset;
    int32_t length;
  };

  static int64_t EntryBytes(int32_t capacity);
  void Reset();
  void GrowEntries();
  // Sealed dictionaries: the earlier entry with exactly these bytes, or -1;
  // Remember files entry n under its text.
  int32_t FindAdded(const char* bytes, int32_t length, uint32_t hash) const;
  void Remember(int32_t n, uint32_t hash);

  String error_;
  DictionaryEntry* entries_ = nullptr;
  int32_t count_ = 0;
  int32_t capacity_ = 0;
  List<DictionaryDataBlock> blocks_{true};
  DictionaryDataBlock* current_ = nullptr;
  uint32_t flags_ = 0;
  bool sealed_ = false;
  // Open addressing over entry numbers (-1 free), at most half full.
  int32_t* added_ = nullptr;
  int32_t added_size_ = 0;
  int32_t added_count_ = 0;
};

// The position of the first occurrence of the pattern in
// the text, or -1. An empty pattern is found at 0.
int32_t SearchBytes(const char* text, int32_t text_length, const char* pattern,
                       int32_t pattern_length);

}  // namespace lumo

#endif  // LUMO_CORE_BASE_DICTIONARY_H_
