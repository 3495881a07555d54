#include "core/base/dictionary.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "core/base/byte_order.h"

namespace lumo {

namespace {

constexpr int32_t kHeaderSize = 12;
constexpr int32_t kEntrySize = 8;

int32_t BlockCapacityFor(int32_t length) {
  int64_t capacity = (static_cast<int64_t>(length) / Dictionary::kBlockSize + 1) *
                     Dictionary::kBlockSize;
  if (capacity > 0x7FFFFFFF) OutOfMemory("Dictionary");
  return static_cast<int32_t>(capacity);
}

}  // namespace

// Names and texts added while a program runs count against its run's
// memory, like any other text.
DictionaryDataBlock::DictionaryDataBlock(int32_t capacity_in)
    : bytes(AllocateText(capacity_in)), capacity(capacity_in) {}

DictionaryDataBlock::~DictionaryDataBlock() { FreeText(bytes, capacity); }

namespace {

// FNV-1a: names are short, and exact bytes matter here, not letter case.
uint32_t TextHash(const char* bytes, int32_t length) {
  uint32_t h = 2166136261u;
  for (int32_t i = 0; i < length; ++i) {
    h = (h ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
  }
  return h;
}

}  // namespace

// The entry table and the index of added texts are charged to the run by
// their allocated sizes, which these give back.
int64_t Dictionary::EntryBytes(int32_t capacity) {
  return static_cast<int64_t>(capacity) * static_cast<int64_t>(sizeof(DictionaryEntry));
}

Dictionary::~Dictionary() {
  ReleaseMemory(EntryBytes(capacity_) + static_cast<int64_t>(added_size_) * 4);
  free(entries_);
  free(added_);
}

void Dictionary::Reset() {
  ReleaseMemory(EntryBytes(capacity_) + static_cast<int64_t>(added_size_) * 4);
  free(entries_);
  entries_ = nullptr;
  count_ = 0;
  capacity_ = 0;
  blocks_.Clear();
  current_ = nullptr;
  flags_ = 0;
  sealed_ = false;
  free(added_);
  added_ = nullptr;
  added_size_ = 0;
  added_count_ = 0;
}

void Dictionary::GrowEntries() {
  if (capacity_ > 0x7FFFFFFF - kEntryStep) OutOfMemory("Dictionary");
  int32_t capacity = capacity_ + kEntryStep;
  ChargeMemory(EntryBytes(kEntryStep));
  auto* p = static_cast<DictionaryEntry*>(
      realloc(entries_, static_cast<size_t>(capacity) * sizeof(DictionaryEntry)));
  if (p == nullptr) {
    ReleaseMemory(EntryBytes(kEntryStep));
    OutOfMemory("Dictionary");
  }
  entries_ = p;
  capacity_ = capacity;
}

bool Dictionary::Read(Stream& section) {
  Reset();
  unsigned char header[kHeaderSize];
  if (!ReadFully(section, header, kHeaderSize)) {
    SetErrorText(section.ErrorText());
    return false;
  }
  const int32_t count = DecodeLeInt32(header);
  const int32_t data_size = DecodeLeInt32(header + 4);
  if (count < 0 || data_size < 0) {
    SetErrorText(kCorruptProgramText);
    return false;
  }
  String table;
  String data;
  if (!ReadFullyGrowing(section, static_cast<int64_t>(count) * kEntrySize, table) ||
      !ReadFullyGrowing(section, data_size, data)) {
    SetErrorText(section.ErrorText());
    return false;
  }
  auto owned = std::make_unique<DictionaryDataBlock>(BlockCapacityFor(data_size));
  DictionaryDataBlock* block = owned.get();
  if (data_size > 0) memcpy(block->bytes, data.Data(), static_cast<size_t>(data_size));
  block->used = data_size;
  blocks_.Insert(block, List<DictionaryDataBlock>::kTail);
  owned.release();
  current_ = block;

  if (count > 0) {
    ChargeMemory(EntryBytes(count));
    entries_ = static_cast<DictionaryEntry*>(
        malloc(static_cast<size_t>(count) * sizeof(DictionaryEntry)));
    if (entries_ == nullptr) {
      ReleaseMemory(EntryBytes(count));
      OutOfMemory("Dictionary");
    }
    capacity_ = count;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(table.Text());
  for (int32_t i = 0; i < count; ++i, p += kEntrySize) {
    int32_t offset = DecodeLeInt32(p);
    int32_t length = DecodeLeInt32(p + 4);
    // Clamp every entry into the data so that no entry can reach outside
    // it, whatever the file says. With no data every entry is empty.
    if (offset < 0) offset = 0;
    if (offset >= data_size) offset = data_size > 0 ? data_size - 1 : 0;
    if (length < 0) length = 0;
    if (length > data_size - offset) length = data_size - offset;
    entries_[i] = DictionaryEntry{block, offset, length};
  }
  count_ = count;
  flags_ = DecodeLe32(header + 8);
  return true;
}

bool Dictionary::Write(Stream& out) {
  int64_t data_size = 0;
  for (DictionaryDataBlock* b = blocks_.First(); b; b = blocks_.Next()) data_size += b->used;
  if (data_size > String::kMaxLength ||
      static_cast<int64_t>(count_) * kEntrySize > String::kMaxLength) {
    SetErrorText("Dictionary too large");
    return false;
  }
  unsigned char header[kHeaderSize];
  EncodeLeInt32(header, count_);
  EncodeLeInt32(header + 4, static_cast<int32_t>(data_size));
  EncodeLe32(header + 8, flags_);

  // Where each block starts in the written data.
  std::vector<std::pair<const DictionaryDataBlock*, int32_t>> bases;
  int32_t base = 0;
  for (DictionaryDataBlock* b = blocks_.First(); b; b = blocks_.Next()) {
    bases.emplace_back(b, base);
    base += b->used;
  }
  String table;
  table.SetLength(count_ * kEntrySize);
  auto* p = reinterpret_cast<unsigned char*>(table.Data());
  const DictionaryDataBlock* last_block = nullptr;
  int32_t last_base = 0;
  for (int32_t i = 0; i < count_; ++i, p += kEntrySize) {
    if (entries_[i].block != last_block) {
      last_block = entries_[i].block;
      for (const auto& [block, start] : bases) {
        if (block == last_block) last_base = start;
      }
    }
    EncodeLeInt32(p, last_base + entries_[i].offset);
    EncodeLeInt32(p + 4, entries_[i].length);
  }
  bool ok = WriteFully(out, header, kHeaderSize) &&
            WriteFully(out, table.Text(), table.Length());
  for (DictionaryDataBlock* b = blocks_.First(); ok && b; b = blocks_.Next()) {
    ok = WriteFully(out, b->bytes, b->used);
  }
  if (!ok) SetErrorText(out.ErrorText());
  return ok;
}

int32_t Dictionary::AddEntry(const char* bytes, int32_t length) {
  length = TextLength(bytes, length);
  if (count_ == capacity_) GrowEntries();

  DictionaryDataBlock* block = current_;
  int32_t offset = -1;
  uint32_t hash = 0;
  if (sealed_) {
    hash = TextHash(bytes, length);
    const int32_t earlier = FindAdded(bytes, length, hash);
    if (earlier >= 0) {
      entries_[count_] = entries_[earlier];
      return count_++;
    }
  } else if (block != nullptr) {
    offset = SearchBytes(block->bytes, block->used, bytes, length);
  }
  if (offset < 0) {
    if (block == nullptr || block->capacity - block->used < length) {
      auto owned = std::make_unique<DictionaryDataBlock>(BlockCapacityFor(length));
      blocks_.Insert(owned.get(), List<DictionaryDataBlock>::kTail);
      block = owned.release();
      current_ = block;
    }
    offset = block->used;
    if (length > 0) memcpy(block->bytes + offset, bytes, static_cast<size_t>(length));
    block->used += length;
  }
  entries_[count_] = DictionaryEntry{block, offset, length};
  if (sealed_) Remember(count_, hash);
  return count_++;
}

int32_t Dictionary::FindAdded(const char* bytes, int32_t length, uint32_t hash) const {
  if (added_size_ == 0) return -1;
  const auto mask = static_cast<uint32_t>(added_size_ - 1);
  for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
    const int32_t n = added_[i];
    if (n < 0) return -1;
    const DictionaryEntry& e = entries_[n];
    if (e.length == length &&
        (length == 0 || memcmp(e.block->bytes + e.offset, bytes, static_cast<size_t>(length)) == 0)) {
      return n;
    }
  }
}

void Dictionary::Remember(int32_t n, uint32_t hash) {
  if ((added_count_ + 1) * 2 > added_size_) {
    if (added_size_ > (1 << 29)) return;  // sharing is only a saving
    const int32_t size = added_size_ == 0 ? 256 : added_size_ * 2;
    ChargeMemory(static_cast<int64_t>(size) * 4);
    auto* table = static_cast<int32_t*>(malloc(sizeof(int32_t) * static_cast<size_t>(size)));
    if (table == nullptr) {
      ReleaseMemory(static_cast<int64_t>(size) * 4);
      OutOfMemory("Dictionary");
    }
    memset(table, 0xFF, sizeof(int32_t) * static_cast<size_t>(size));
    const auto mask = static_cast<uint32_t>(size - 1);
    for (int32_t i = 0; i < added_size_; ++i) {
      const int32_t m = added_[i];
      if (m < 0) continue;
      const DictionaryEntry& e = entries_[m];
      uint32_t j = TextHash(e.block->bytes + e.offset, e.length) & mask;
      while (table[j] >= 0) j = (j + 1) & mask;
      table[j] = m;
    }
    ReleaseMemory(static_cast<int64_t>(added_size_) * 4);
    free(added_);
    added_ = table;
    added_size_ = size;
  }
  const auto mask = static_cast<uint32_t>(added_size_ - 1);
  uint32_t i = hash & mask;
  while (added_[i] >= 0) i = (i + 1) & mask;
  added_[i] = n;
  ++added_count_;
}

int32_t SearchBytes(const char* text, int32_t text_length, const char* pattern,
                    int32_t pattern_length) {
  if (pattern_length == 0) return 0;
  if (pattern_length > text_length) return -1;
  // The C library's search is vectorised; the first occurrence is the
  // same whatever the method.
  const void* found = memmem(text, static_cast<size_t>(text_length), pattern,
                             static_cast<size_t>(pattern_length));
  return found == nullptr ? -1 : static_cast<int32_t>(static_cast<const char*>(found) - text);
}

}  // namespace lumo
