#include "expr/localized_name_hash.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/base/byte_order.h"
#include "core/base/conversions.h"
#include "core/base/lookup2.h"

namespace lumo {

namespace {

int32_t* AllocateWords(int32_t count) {
  auto* p = static_cast<int32_t*>(malloc(sizeof(int32_t) * static_cast<size_t>(count > 0 ? count : 1)));
  if (p == nullptr) OutOfMemory("LocalizedNameHash");
  return p;
}

int32_t* ResizeWords(int32_t* words, int32_t count) {
  auto* p = static_cast<int32_t*>(realloc(words, sizeof(int32_t) * static_cast<size_t>(count)));
  if (p == nullptr) OutOfMemory("LocalizedNameHash");
  return p;
}

}  // namespace

LocalizedNameHash::LocalizedNameHash(const Dictionary* dictionary, int bits, int32_t capacity,
                                     int32_t step)
    : dictionary_(dictionary),
      bits_(bits < 0 ? 0 : bits > kMaxBits ? kMaxBits : bits),
      capacity_(capacity > 0 ? capacity : 0),
      step_(step > 0 ? step : 1) {
  // The buckets come with the first name: most programs carry no
  // localized text, and every request builds these tables afresh.
  next_ = AllocateWords(capacity_);
  names_ = AllocateWords(capacity_);
}

LocalizedNameHash::~LocalizedNameHash() {
  free(buckets_);
  free(next_);
  free(names_);
}

uint32_t LocalizedNameHash::BucketOf(const char* name, int32_t length) const {
  return Lookup2NoCase(name, static_cast<uint32_t>(length)) &
         ((uint32_t{1} << bits_) - 1);
}

int LocalizedNameHash::CompareName(const char* name, int32_t length, int32_t entry) const {
  const std::string_view other = dictionary_->EntryView(names_[entry]);
  const auto other_length = static_cast<int32_t>(other.size());
  if (length != other_length) return length < other_length ? -1 : 1;
  return CompareNoCase(name, other.data(), length);
}

int32_t LocalizedNameHash::Add(int32_t name) {
  int32_t length = 0;
  const char* text = dictionary_->Entry(name, &length);
  if (text == nullptr) return -1;
  if (count_ == capacity_) {
    if (capacity_ > 0x7FFFFFFF - step_) OutOfMemory("LocalizedNameHash");
    capacity_ += step_;
    next_ = ResizeWords(next_, capacity_);
    names_ = ResizeWords(names_, capacity_);
  }
  if (buckets_ == nullptr) {
    const int32_t bucket_count = int32_t{1} << bits_;
    buckets_ = AllocateWords(bucket_count);
    memset(buckets_, 0xFF, sizeof(int32_t) * static_cast<size_t>(bucket_count));  // all -1
  }
  const int32_t e = count_;
  names_[e] = name;
  int32_t* link = &buckets_[BucketOf(text, length)];
  while (*link >= 0 && CompareName(text, length, *link) >= 0) link = &next_[*link];
  next_[e] = *link;
  *link = e;
  ++count_;
  return e;
}

int32_t LocalizedNameHash::Find(const char* name, int32_t length) const {
  if (buckets_ == nullptr) return -1;
  for (int32_t e = buckets_[BucketOf(name, length)]; e >= 0; e = next_[e]) {
    const int c = CompareName(name, length, e);
    if (c == 0) return e;
    if (c < 0) break;
  }
  return -1;
}

int32_t LocalizedNameHash::Find(int32_t name) const {
  int32_t length = 0;
  const char* text = dictionary_->Entry(name, &length);
  return text != nullptr ? Find(text, length) : -1;
}

int32_t LocalizedNameHash::BucketsUsed() const {
  if (buckets_ == nullptr) return 0;
  int32_t used = 0;
  const int32_t bucket_count = int32_t{1} << bits_;
  for (int32_t i = 0; i < bucket_count; ++i) used += buckets_[i] >= 0;
  return used;
}

void LocalizedNameHash::WriteBuckets(unsigned char* out) const {
  if (buckets_ == nullptr) return;
  const int32_t bucket_count = int32_t{1} << bits_;
  for (int32_t i = 0; i < bucket_count; ++i) {
    if (buckets_[i] < 0) continue;
    EncodeLe16(out, static_cast<uint16_t>(i));
    EncodeLeInt32(out + 2, buckets_[i]);
    out += kBucketRecord;
  }
}

bool LocalizedNameHash::CheckImage(const Dictionary* dictionary, int bits, int32_t used,
                                   const unsigned char* buckets, int32_t count,
                                   const unsigned char* entries, int32_t entry_size) {
  if (bits < 0 || bits > kMaxBits || used < 0 || count < 0) return false;
  const int32_t bucket_count = int32_t{1} << bits;
  if (used > bucket_count) return false;
  std::vector<std::pair<int32_t, int32_t>> listed;  // bucket, first entry
  listed.reserve(static_cast<size_t>(used));
  for (int32_t i = 0; i < used; ++i, buckets += kBucketRecord) {
    const int32_t bucket = DecodeLe16(buckets);
    const int32_t first = DecodeLeInt32(buckets + 2);
    if (bucket >= bucket_count || first < 0 || first >= count) return false;
    listed.emplace_back(bucket, first);
  }
  // A bucket listed twice would put its chain on the walk twice.
  std::sort(listed.begin(), listed.end());
  for (size_t i = 1; i < listed.size(); ++i) {
    if (listed[i].first == listed[i - 1].first) return false;
  }
  std::vector<int32_t> names(static_cast<size_t>(count));
  std::vector<int32_t> next(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i, entries += entry_size) {
    const int32_t name = DecodeLeInt32(entries);
    const int32_t link = DecodeLeInt32(entries + 4);
    if (name < 0 || name >= dictionary->Count() || link < -1 || link >= count) return false;
    names[static_cast<size_t>(i)] = name;
    next[static_cast<size_t>(i)] = link;
  }
  // Every entry once, on the chain of its own bucket, in chain order: a
  // loop would hang a lookup, a misfiled or unordered entry would be missed.
  const uint32_t mask = static_cast<uint32_t>(bucket_count - 1);
  std::vector<bool> seen(static_cast<size_t>(count), false);
  int32_t chained = 0;
  for (const auto& [bucket, first] : listed) {
    std::string_view previous;
    for (int32_t e = first; e >= 0; e = next[static_cast<size_t>(e)]) {
      const std::string_view name = dictionary->EntryView(names[static_cast<size_t>(e)]);
      const auto length = static_cast<int32_t>(name.size());
      const bool in_order =
          e == first || previous.size() < name.size() ||
          (previous.size() == name.size() &&
           CompareNoCase(previous.data(), name.data(), length) <= 0);
      if (seen[static_cast<size_t>(e)] || !in_order ||
          (Lookup2NoCase(name.data(), static_cast<uint32_t>(length)) & mask) !=
              static_cast<uint32_t>(bucket)) {
        return false;
      }
      seen[static_cast<size_t>(e)] = true;
      previous = name;
      ++chained;
    }
  }
  return chained == count;
}

bool LocalizedNameHash::Load(int bits, int32_t used, const unsigned char* buckets, int32_t count,
                             const unsigned char* entries, int32_t entry_size) {
  if (!CheckImage(dictionary_, bits, used, buckets, count, entries, entry_size)) return false;
  const int32_t bucket_count = int32_t{1} << bits;
  int32_t* fresh_buckets = AllocateWords(bucket_count);
  memset(fresh_buckets, 0xFF, sizeof(int32_t) * static_cast<size_t>(bucket_count));
  for (int32_t i = 0; i < used; ++i, buckets += kBucketRecord) {
    fresh_buckets[DecodeLe16(buckets)] = DecodeLeInt32(buckets + 2);
  }
  int32_t* fresh_next = AllocateWords(count);
  int32_t* fresh_names = AllocateWords(count);
  for (int32_t i = 0; i < count; ++i, entries += entry_size) {
    fresh_names[i] = DecodeLeInt32(entries);
    fresh_next[i] = DecodeLeInt32(entries + 4);
  }
  free(buckets_);
  free(next_);
  free(names_);
  bits_ = bits;
  buckets_ = fresh_buckets;
  next_ = fresh_next;
  names_ = fresh_names;
  count_ = capacity_ = count;
  return true;
}

}  // namespace lumo
