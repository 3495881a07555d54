// HashTable<T>: a string-keyed table of element pointers, chained through
// index arrays.
//
// Chains are kept sorted (shorter keys first, then byte order; without case
// in case-insensitive tables), so a lookup stops at the first entry that
// sorts after the key. Equal keys are not merged: a second element with an
// existing key goes after the first, and Find returns the first. Entry slots
// are handed out in order and never reused until Clear, so entry indexes
// stay stable while a table lives.
//
// An instantiation says how to get an element's key by overriding KeyOf. As
// with List<T>, a subclass that changes DeleteElement must call Clear() in
// its own destructor.
#ifndef LUMO_CORE_BASE_HASH_TABLE_H_
#define LUMO_CORE_BASE_HASH_TABLE_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/base/conversions.h"
#include "core/base/lookup2.h"
#include "core/base/string.h"

namespace lumo {

template <typename T>
class HashTable {
 public:
  static constexpr int kDefaultBits = 12;
  static constexpr int32_t kEntryStep = 512;
  static constexpr int32_t kFirstEntries = 16;
  static constexpr int kMaxBits = 24;

  explicit HashTable(bool owns_elements, bool case_insensitive = true, int bits = kDefaultBits)
      : owns_(owns_elements),
        case_insensitive_(case_insensitive),
        bits_(bits < 0 ? 0 : bits > kMaxBits ? kMaxBits : bits),
        bucket_count_(int32_t{1} << bits_) {
    buckets_ = static_cast<int32_t*>(malloc(sizeof(int32_t) * static_cast<size_t>(bucket_count_)));
    if (buckets_ == nullptr) OutOfMemory("HashTable");
    ResetBuckets();
    GrowEntries();
  }
  HashTable(const HashTable&) = delete;
  HashTable& operator=(const HashTable&) = delete;

  virtual ~HashTable() {
    Clear();
    free(buckets_);
    free(chain_);
    free(entries_);
  }

  // Deletes owned elements and forgets every entry.
  virtual void Clear() {
    if (owns_) {
      for (int32_t i = 0; i < used_; ++i) {
        if (entries_[i]) DeleteElement(entries_[i]);
      }
    }
    for (int32_t i = 0; i < used_; ++i) {
      entries_[i] = nullptr;
      chain_[i] = -1;
    }
    ResetBuckets();
    count_ = 0;
    used_ = 0;
  }

  virtual void DeleteElement(T* element) { delete element; }

  // The key an element is filed under.
  virtual std::string_view KeyOf(const T& element) const = 0;

  uint32_t HashKey(std::string_view key) const {
    auto n = static_cast<uint32_t>(key.size());
    uint32_t h = case_insensitive_ ? Lookup2NoCase(key.data(), n) : Lookup2(key.data(), n);
    return h & static_cast<uint32_t>(bucket_count_ - 1);
  }

  // Chain order of a key against an element's key: negative when the key
  // sorts first, 0 when equal.
  int CompareKey(std::string_view key, const T& element) const {
    std::string_view other = KeyOf(element);
    if (key.size() != other.size()) return key.size() < other.size() ? -1 : 1;
    auto n = static_cast<int32_t>(key.size());
    if (case_insensitive_) return CompareNoCase(key.data(), other.data(), n);
    int c = memcmp(key.data(), other.data(), key.size());
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }

  T* Find(std::string_view key) const {
    int32_t e = FindIndex(key);
    return e < 0 ? nullptr : entries_[e];
  }
  T* Find(const char* key, int32_t length = -1) const {
    return Find(length < 0 ? std::string_view(key) : std::string_view(key, static_cast<size_t>(length)));
  }

  // Entry index of the first element with the key, or -1.
  int32_t FindIndex(std::string_view key) const {
    for (int32_t e = buckets_[HashKey(key)]; e >= 0; e = chain_[e]) {
      int c = CompareKey(key, *entries_[e]);
      if (c == 0) return e;
      if (c < 0) break;
    }
    return -1;
  }

  // Files the element and returns its entry index.
  int32_t Insert(T* element) {
    if (used_ == capacity_) GrowEntries();
    const int32_t e = used_++;
    entries_[e] = element;
    std::string_view key = KeyOf(*element);
    int32_t* link = &buckets_[HashKey(key)];
    while (*link >= 0 && CompareKey(key, *entries_[*link]) >= 0) link = &chain_[*link];
    chain_[e] = *link;
    *link = e;
    ++count_;
    return e;
  }

  // Unlinks the first element with the key and returns it (not deleted).
  // Its slot stays used until Clear.
  T* Remove(std::string_view key) {
    int32_t* link = &buckets_[HashKey(key)];
    while (*link >= 0) {
      int c = CompareKey(key, *entries_[*link]);
      if (c == 0) {
        const int32_t e = *link;
        T* element = entries_[e];
        *link = chain_[e];
        chain_[e] = -1;
        entries_[e] = nullptr;
        --count_;
        return element;
      }
      if (c < 0) break;
      link = &chain_[*link];
    }
    return nullptr;
  }

  int32_t Count() const { return count_; }
  // Iteration: entry indexes 0 .. SlotsUsed()-1; removed slots read null.
  int32_t SlotsUsed() const { return used_; }
  T* At(int32_t entry) const { return entry >= 0 && entry < used_ ? entries_[entry] : nullptr; }
  int32_t Capacity() const { return capacity_; }
  int Bits() const { return bits_; }
  bool CaseInsensitive() const { return case_insensitive_; }
  bool OwnsElements() const { return owns_; }
  // First entry index of a bucket and the next index in a chain (-1 ends),
  // for callers that check chain order.
  int32_t BucketHead(uint32_t bucket) const { return buckets_[bucket]; }
  int32_t ChainNext(int32_t entry) const { return chain_[entry]; }

 private:
  void ResetBuckets() {
    for (int32_t i = 0; i < bucket_count_; ++i) buckets_[i] = -1;
  }

  void GrowEntries() {
    if (capacity_ > 0x7FFFFFFF - kEntryStep) OutOfMemory("HashTable");
    // Small at first, doubling up to the step: most tables (a response's
    // headers, a run's external calls) are made for every request and hold
    // a handful of entries.
    int32_t capacity = capacity_ == 0 ? kFirstEntries
                       : capacity_ < kEntryStep ? std::min(capacity_ * 2, kEntryStep)
                                                : capacity_ + kEntryStep;
    auto* chain = static_cast<int32_t*>(realloc(chain_, sizeof(int32_t) * static_cast<size_t>(capacity)));
    if (chain == nullptr) OutOfMemory("HashTable");
    chain_ = chain;
    auto* entries = static_cast<T**>(realloc(entries_, sizeof(T*) * static_cast<size_t>(capacity)));
    if (entries == nullptr) OutOfMemory("HashTable");
    entries_ = entries;
    for (int32_t i = capacity_; i < capacity; ++i) {
      chain_[i] = -1;
      entries_[i] = nullptr;
    }
    capacity_ = capacity;
  }

  bool owns_;
  bool case_insensitive_;
  int32_t* buckets_ = nullptr;
  int bits_;
  int32_t bucket_count_;
  int32_t count_ = 0;
  int32_t* chain_ = nullptr;
  T** entries_ = nullptr;
  int32_t capacity_ = 0;
  int32_t used_ = 0;
};

// A HashTable whose elements are filed under what their Name() returns.
template <typename T>
class NameHashTable : public HashTable<T> {
 public:
  using HashTable<T>::HashTable;
  std::string_view KeyOf(const T& element) const override { return element.Name(); }
};

}  // namespace lumo

#endif  // LUMO_CORE_BASE_HASH_TABLE_H_
