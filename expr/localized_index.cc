#include "expr/localized_index.h"

#include <cstdlib>
#include <cstring>

#include "core/base/byte_order.h"

namespace lumo {

namespace {

LocalizedIndexEntry* ResizeEntries(LocalizedIndexEntry* entries, int32_t capacity) {
  auto* p = static_cast<LocalizedIndexEntry*>(
      realloc(entries, sizeof(LocalizedIndexEntry) * static_cast<size_t>(capacity > 0 ? capacity : 1)));
  if (p == nullptr) OutOfMemory("LocalizedIndex");
  return p;
}

}  // namespace

LocalizedIndex::LocalizedIndex(int32_t language, const Dictionary* dictionary,
                               const LocalizedDictionary* pieces)
    : language_(language),
      dictionary_(dictionary),
      pieces_(pieces),
      hash_(dictionary, kBits, kCapacity, kGrowStep) {
  entries_ = ResizeEntries(nullptr, hash_.Capacity());
  capacity_ = hash_.Capacity();
}

LocalizedIndex::~LocalizedIndex() { free(entries_); }

int32_t LocalizedIndex::AddToken(int32_t token, int32_t first_piece) {
  const int32_t e = hash_.Add(token);
  if (e < 0) return -1;
  if (hash_.Capacity() != capacity_) {
    entries_ = ResizeEntries(entries_, hash_.Capacity());
    capacity_ = hash_.Capacity();
  }
  entries_[e] = LocalizedIndexEntry{token, first_piece};
  return e;
}

const LocalizedIndexEntry* LocalizedIndex::Find(int32_t token) const {
  return Entry(hash_.Find(token));
}

const LocalizedIndexEntry* LocalizedIndex::Find(std::string_view token) const {
  return Entry(hash_.Find(token.data(), static_cast<int32_t>(token.size())));
}

bool LocalizedIndex::ReadImage(Stream& section, const Dictionary* dictionary,
                               const LocalizedDictionary* pieces, String* image, String* error) {
  unsigned char header[kHeaderSize];
  if (!ReadFully(section, header, kHeaderSize)) {
    *error = section.ErrorText();
    return false;
  }
  const int32_t used = DecodeLe16(header);
  const int bits = header[2];
  const int32_t count = DecodeLeInt32(header + 3);
  // header + 7: reserved.
  if (bits > LocalizedNameHash::kMaxBits || count < 0 || count > 0x7FFFFFFF / kEntryRecord) {
    *error = kCorruptProgramText;
    return false;
  }
  String buckets;
  String records;
  if (!ReadFullyGrowing(section, int64_t{used} * LocalizedNameHash::kBucketRecord, buckets) ||
      !ReadFullyGrowing(section, int64_t{count} * kEntryRecord, records)) {
    *error = section.ErrorText();
    return false;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(records.Text());
  for (int32_t i = 0; i < count; ++i) {
    const int32_t first = DecodeLeInt32(p + i * kEntryRecord + 8);
    if (first < -1 || first >= pieces->Count()) {
      *error = kCorruptProgramText;
      return false;
    }
  }
  if (!LocalizedNameHash::CheckImage(dictionary, bits, used,
                                     reinterpret_cast<const unsigned char*>(buckets.Text()),
                                     count, p, kEntryRecord)) {
    *error = kCorruptProgramText;
    return false;
  }
  image->Assign(reinterpret_cast<const char*>(header), kHeaderSize);
  image->Append(buckets);
  image->Append(records);
  return true;
}

bool LocalizedIndex::Load(std::string_view image) {
  const auto* p = reinterpret_cast<const unsigned char*>(image.data());
  const int64_t size = static_cast<int64_t>(image.size());
  if (size < kHeaderSize) {
    SetErrorText(kCorruptProgramText);
    return false;
  }
  const int32_t used = DecodeLe16(p);
  const int bits = p[2];
  const int32_t count = DecodeLeInt32(p + 3);
  const unsigned char* buckets = p + kHeaderSize;
  const unsigned char* records = buckets + int64_t{used} * LocalizedNameHash::kBucketRecord;
  if (count < 0 || kHeaderSize + int64_t{used} * LocalizedNameHash::kBucketRecord +
                           int64_t{count} * kEntryRecord > size) {
    SetErrorText(kCorruptProgramText);
    return false;
  }
  for (int32_t i = 0; i < count; ++i) {
    const int32_t first = DecodeLeInt32(records + i * kEntryRecord + 8);
    if (first < -1 || first >= pieces_->Count()) {
      SetErrorText(kCorruptProgramText);
      return false;
    }
  }
  if (!hash_.Load(bits, used, buckets, count, records, kEntryRecord)) {
    SetErrorText(kCorruptProgramText);
    return false;
  }
  free(entries_);
  entries_ = ResizeEntries(nullptr, count);
  capacity_ = count;
  for (int32_t i = 0; i < count; ++i, records += kEntryRecord) {
    entries_[i] = LocalizedIndexEntry{DecodeLeInt32(records), DecodeLeInt32(records + 8)};
  }
  return true;
}

bool LocalizedIndex::Read(Stream& section) {
  String image;
  String error;
  if (!ReadImage(section, dictionary_, pieces_, &image, &error)) {
    SetErrorText(error);
    return false;
  }
  return Load(image);
}

bool LocalizedIndex::Write(Stream& out) {
  const int32_t used = hash_.BucketsUsed();
  const int32_t count = hash_.Count();
  const int64_t size = kHeaderSize + int64_t{used} * LocalizedNameHash::kBucketRecord +
                       int64_t{count} * kEntryRecord;
  if (size > String::kMaxLength || used > 0xFFFF) {
    SetErrorText("Localized text too large to store");
    return false;
  }
  String image;
  image.SetLength(static_cast<int32_t>(size));
  auto* p = reinterpret_cast<unsigned char*>(image.Data());
  EncodeLe16(p, static_cast<uint16_t>(used));
  p[2] = static_cast<unsigned char>(hash_.Bits());
  EncodeLeInt32(p + 3, count);
  EncodeLeInt32(p + 7, 0);  // reserved
  p += kHeaderSize;
  hash_.WriteBuckets(p);
  p += used * LocalizedNameHash::kBucketRecord;
  for (int32_t i = 0; i < count; ++i, p += kEntryRecord) {
    EncodeLeInt32(p, entries_[i].token);
    EncodeLeInt32(p + 4, hash_.NextOf(i));
    EncodeLeInt32(p + 8, entries_[i].first_piece);
  }
  if (!WriteFully(out, image.Text(), image.Length())) {
    SetErrorText(out.ErrorText());
    return false;
  }
  return true;
}

}  // namespace lumo
