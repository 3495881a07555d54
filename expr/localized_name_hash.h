// LocalizedNameHash: the chained hash under the language table and each
// language's token index. It has the layout of a VariableHash (2^bits
// buckets of lookup2 over the lowered name, chains ordered by length and
// then case-insensitive text) because the compiled file stores it that way;
// the two tables differ only in what their entries carry beside the name
// and in their image headers, so those stay with them.
#ifndef LUMO_EXPR_LOCALIZED_NAME_HASH_H_
#define LUMO_EXPR_LOCALIZED_NAME_HASH_H_

#include <cstdint>
#include <string_view>

#include "core/base/dictionary.h"
#include "core/base/string.h"

namespace lumo {

class LocalizedNameHash {
 public:
  // Bucket numbers and the count of buckets used are stored in 16 bits.
  static constexpr int kMaxBits = 16;
  static constexpr int32_t kBucketRecord = 6;

  LocalizedNameHash(const Dictionary* dictionary, int bits, int32_t capacity, int32_t step);
  LocalizedNameHash(const LocalizedNameHash&) = delete;
  LocalizedNameHash& operator=(const LocalizedNameHash&) = delete;
  ~LocalizedNameHash();

  // Links a new entry named by the dictionary entry before the first one
  // whose name is longer, or as long and greater. -1 for a number without
  // text. Entries are numbered in order of addition.
  int32_t Add(int32_t name);
  // The entry with the name, or -1.
  int32_t Find(const char* name, int32_t length) const;
  int32_t Find(int32_t name) const;

  int32_t Count() const { return count_; }
  int32_t Capacity() const { return capacity_; }
  int Bits() const { return bits_; }
  int32_t NameOf(int32_t entry) const { return names_[entry]; }
  int32_t BucketsUsed() const;

  // The image's bucket records (bucket number, first entry) in bucket
  // order, at `out`, which has room for BucketsUsed() of them.
  void WriteBuckets(unsigned char* out) const;
  // The next link of an entry, as the image stores it.
  int32_t NextOf(int32_t entry) const { return next_[entry]; }

  // Replaces the table with an image's: `used` bucket records at
  // `buckets`, then `count` entry records of `entry_size` bytes at
  // `entries`, each starting with the name and the next link. Everything is
  // checked first (numbers in range, every entry on exactly one chain, in
  // its bucket and in order), so a damaged image can neither crash nor hang
  // a lookup; on failure the table is unchanged.
  bool Load(int bits, int32_t used, const unsigned char* buckets, int32_t count,
            const unsigned char* entries, int32_t entry_size);
  // The checks of Load without building anything: its cost follows the
  // image's size, not its bucket count, so a program can carry many
  // images that are checked when it loads and built only when used.
  static bool CheckImage(const Dictionary* dictionary, int bits, int32_t used,
                         const unsigned char* buckets, int32_t count,
                         const unsigned char* entries, int32_t entry_size);

 private:
  uint32_t BucketOf(const char* name, int32_t length) const;
  int CompareName(const char* name, int32_t length, int32_t entry) const;

  const Dictionary* dictionary_;
  int bits_;
  int32_t* buckets_ = nullptr;
  int32_t* next_ = nullptr;
  int32_t* names_ = nullptr;
  int32_t count_ = 0;
  int32_t capacity_;
  int32_t step_;
};

}  // namespace lumo

#endif  // LUMO_EXPR_LOCALIZED_NAME_HASH_H_
