#include "values/variable_hash.h"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/base/ascii.h"
#include "core/base/byte_order.h"
#include "core/base/conversions.h"
#include "core/base/lookup2.h"
#include "values/variable_list.h"

namespace lumo {

namespace {

constexpr char kBadIndex[] = "Array index must be positive integer";
constexpr const char* kCorrupt = kCorruptProgramText;
constexpr int32_t kImageHeader = 7;
constexpr int32_t kBucketRecord = 6;
constexpr int32_t kEntryRecord = 8;

// The arrays of a table are charged to the run by these sizes (a table
// made with a capacity of 0 still allocates one slot of each).
int64_t BucketBytes(int32_t buckets) { return int64_t{4} * (buckets > 0 ? buckets : 1); }
int64_t EntryBytes(int32_t capacity) {
  return static_cast<int64_t>(sizeof(int32_t) + sizeof(VariableHashEntry)) *
         (capacity > 0 ? capacity : 1);
}

template <typename T>
T* AllocateArray(int32_t count) {
  auto* p = static_cast<T*>(malloc(sizeof(T) * static_cast<size_t>(count > 0 ? count : 1)));
  if (p == nullptr) OutOfMemory("VariableHash");
  return p;
}

// The chain and entry arrays of one capacity, charged, both or neither.
void AllocateEntries(int32_t capacity, int32_t** next, VariableHashEntry** entries) {
  ChargeMemory(EntryBytes(capacity));
  int32_t* n = nullptr;
  try {
    n = AllocateArray<int32_t>(capacity);
    *entries = AllocateArray<VariableHashEntry>(capacity);
  } catch (...) {
    free(n);
    ReleaseMemory(EntryBytes(capacity));
    throw;
  }
  *next = n;
}

int32_t* AllocateBuckets(int32_t count) {
  ChargeMemory(BucketBytes(count));
  try {
    return AllocateArray<int32_t>(count);
  } catch (...) {
    ReleaseMemory(BucketBytes(count));
    throw;
  }
}

}  // namespace

VariableHash::VariableHash(Dictionary* dictionary, int bits, int32_t capacity)
    : bits_(bits < 0 ? 0 : bits > kMaxBits ? kMaxBits : bits),
      bucket_count_(int32_t{1} << bits_),
      dictionary_(dictionary) {
  buckets_ = AllocateBuckets(bucket_count_);
  memset(buckets_, 0xFF, sizeof(int32_t) * static_cast<size_t>(bucket_count_));  // all -1
  try {
    AllocateEntries(capacity > 0 ? capacity : 0, &next_, &entries_);
  } catch (...) {
    ReleaseMemory(BucketBytes(bucket_count_));
    free(buckets_);
    throw;
  }
  capacity_ = capacity > 0 ? capacity : 0;
  // Slots at and beyond the count are never read: AddEntry fills one
  // before counting it, so neither here nor in GrowEntries are they set.
}

VariableHash::~VariableHash() { ReleaseAll(); }

void VariableHash::ReleaseAll() {
  for (int32_t i = 0; i < count_; ++i) {
    Variable* v = entries_[i].variable;
    entries_[i].variable = nullptr;
    if (v) v->Free();
  }
  if (buckets_ != nullptr) ReleaseMemory(BucketBytes(bucket_count_));
  if (entries_ != nullptr) ReleaseMemory(EntryBytes(capacity_));
  free(buckets_);
  free(next_);
  free(entries_);
  buckets_ = nullptr;
  next_ = nullptr;
  entries_ = nullptr;
  count_ = 0;
  capacity_ = 0;
}

void VariableHash::Dump() {
  for (int32_t i = 0; i < count_; ++i) {
    Variable* v = entries_[i].variable;
    entries_[i].variable = nullptr;
    if (v) v->Free();
  }
}

void VariableHash::CopyNames(const VariableHash& other) {
  if (&other == this) return;
  // Calls make their locals this way, so the arrays are reused when they
  // are large enough and only the entries in use are copied: AddEntry
  // writes every slot beyond the count before it is read.
  Dump();
  // The new arrays are had before the old ones go: should memory run out,
  // the table is as it was.
  if (bucket_count_ != other.bucket_count_) {
    int32_t* buckets = AllocateBuckets(other.bucket_count_);
    if (buckets_ != nullptr) ReleaseMemory(BucketBytes(bucket_count_));
    free(buckets_);
    buckets_ = buckets;
    bucket_count_ = other.bucket_count_;
    // Entries below must not chain through buckets not yet copied.
    count_ = 0;
    memset(buckets_, 0xFF, sizeof(int32_t) * static_cast<size_t>(bucket_count_));
  }
  if (capacity_ < other.count_) {
    int32_t* next = nullptr;
    VariableHashEntry* entries = nullptr;
    AllocateEntries(other.capacity_, &next, &entries);
    if (entries_ != nullptr) ReleaseMemory(EntryBytes(capacity_));
    free(next_);
    free(entries_);
    next_ = next;
    entries_ = entries;
    capacity_ = other.capacity_;
    count_ = 0;
  }
  bits_ = other.bits_;
  bucket_count_ = other.bucket_count_;
  buckets_used_ = other.buckets_used_;
  dictionary_ = other.dictionary_;
  count_ = other.count_;
  memcpy(buckets_, other.buckets_, sizeof(int32_t) * static_cast<size_t>(bucket_count_));
  for (int32_t i = 0; i < count_; ++i) {
    next_[i] = other.next_[i];
    entries_[i] = VariableHashEntry{other.entries_[i].name, other.entries_[i].tag, nullptr};
  }
}

uint32_t VariableHash::BucketOf(const char* name, int32_t length) const {
  return Lookup2NoCase(name, static_cast<uint32_t>(length)) &
         static_cast<uint32_t>(bucket_count_ - 1);
}

std::string_view VariableHash::EntryName(int32_t entry) const {
  if (entry < 0 || entry >= count_) return {};
  return dictionary_->EntryView(entries_[entry].name);
}

int VariableHash::CompareName(const char* name, int32_t length, int32_t entry) const {
  int32_t other_length = 0;
  const char* other = dictionary_->Entry(entries_[entry].name, &other_length);
  if (other == nullptr) other_length = 0;
  if (length != other_length) return length < other_length ? -1 : 1;
  return CompareNoCase(name, other, length);
}

void VariableHash::GrowEntries() {
  if (capacity_ > 0x7FFFFFFF - kGrowStep) OutOfMemory("VariableHash");
  const int32_t capacity = capacity_ + kGrowStep;
  const int64_t added = EntryBytes(capacity) - EntryBytes(capacity_);
  ChargeMemory(added);
  auto* next = static_cast<int32_t*>(realloc(next_, sizeof(int32_t) * static_cast<size_t>(capacity)));
  if (next == nullptr) {
    ReleaseMemory(added);
    OutOfMemory("VariableHash");
  }
  next_ = next;
  auto* entries = static_cast<VariableHashEntry*>(
      realloc(entries_, sizeof(VariableHashEntry) * static_cast<size_t>(capacity)));
  if (entries == nullptr) {
    ReleaseMemory(added);
    OutOfMemory("VariableHash");
  }
  entries_ = entries;
  capacity_ = capacity;
}

int32_t VariableHash::EntryTag() { return 0; }

int32_t VariableHash::AddEntry(int32_t name_number, const char* name, int32_t length,
                               Variable* variable) {
  if (count_ == capacity_) GrowEntries();
  if (name != nullptr && name_number == -1) {
    length = TextLength(name, length);
    name_number = dictionary_->AddEntry(name, length);
  } else {
    name = dictionary_->Entry(name_number, &length);
    if (name == nullptr) {
      name = "";
      length = 0;
    }
  }
  const int32_t e = count_;
  entries_[e] = VariableHashEntry{name_number, EntryTag(), variable};
  const uint32_t bucket = BucketOf(name, length);
  int32_t* link = &buckets_[bucket];
  if (*link < 0) ++buckets_used_;
  while (*link >= 0 && CompareName(name, length, *link) >= 0) link = &next_[*link];
  next_[e] = *link;
  *link = e;
  ++count_;
  return e;
}

int32_t VariableHash::AddEntry(int32_t name_number) {
  return AddEntry(name_number, nullptr, 0, nullptr);
}

int32_t VariableHash::AddEntry(const char* name, int32_t length) {
  return AddEntry(-1, name, length, nullptr);
}

int32_t VariableHash::Insert(Variable* variable) {
  const String& name = variable->Name();
  return AddEntry(-1, name.Text(), name.Length(), variable);
}


void VariableHash::ReplaceVariable(Variable* variable) {
  const String& name = variable->Name();
  const int32_t e = FindEntry(-1, name.Text(), name.Length());
  if (e < 0) {
    AddEntry(-1, name.Text(), name.Length(), variable);
    return;
  }
  Variable* old = entries_[e].variable;
  entries_[e].variable = variable;
  if (old) old->Free();
}

Variable* VariableHash::SetVariable(const char* name, int32_t length, const char* value,
                                    int32_t value_length) {
  length = TextLength(name, length);
  Variable* v = nullptr;
  if (!Find(&v, name, length, true) || v == nullptr) {
    v = new Variable(std::string_view(name, static_cast<size_t>(length)));
    InsertOrFree(v);
  }
  v->SetValue(value, TextLength(value, value_length));
  return v;
}

void VariableHash::MakeReference(int32_t entry, Variable* target) {
  if (entry < 0 || entry >= count_ || target == nullptr) return;
  Variable* old = entries_[entry].variable;
  if (old == target) return;
  entries_[entry].variable = new ReferenceVariable(EntryName(entry), target);
  if (old) old->Free();
}

int32_t VariableHash::FindEntry(int32_t name_number, const char* name, int32_t length) {
  if (name == nullptr) {
    name = dictionary_->Entry(name_number, &length);
    if (name == nullptr) return -1;
  } else {
    length = TextLength(name, length);
  }
  for (int32_t e = buckets_[BucketOf(name, length)]; e >= 0; e = next_[e]) {
    const int c = CompareName(name, length, e);
    if (c == 0) return e;
    if (c < 0) break;
  }
  return -1;
}

bool VariableHash::ClearVariable(const char* name, int32_t length) {
  Variable* v = nullptr;
  if (!Find(&v, name, length, false)) return false;
  if (v) v->Clear();
  return true;
}

bool VariableHash::Find(Variable** variable, const char* name, int32_t length, bool create) {
  *variable = nullptr;
  const int32_t e = FindEntry(-1, name, length);
  if (e < 0) return false;
  *variable = Index(e, create);
  return true;
}

Variable* VariableHash::Index(int32_t entry, bool create) {
  if (entry < 0 || entry >= count_) return nullptr;
  Variable* v = entries_[entry].variable;
  if (v == nullptr && create) {
    v = new Variable(EntryName(entry));
    entries_[entry].variable = v;
  }
  return v;
}

namespace {

// Takes one node from the limits; false (and exceeded) when none is left.
bool TakeNode(PathLimits* limits) {
  if (limits == nullptr) return true;
  if (limits->nodes_left <= 0) {
    limits->exceeded = true;
    return false;
  }
  --limits->nodes_left;
  return true;
}

// The element of v at `index`, made when missing and `create` is set; a
// node made counts against the limits.
bool StepInto(Variable** v, const AggregateIndex& index, bool create, PathLimits* limits) {
  if (limits != nullptr && create) {
    Variable* there = (*v)->Element(index, false);
    if (there != nullptr) {
      *v = there;
      return true;
    }
    if (!TakeNode(limits)) return false;
  }
  *v = (*v)->Element(index, create);
  return true;
}

}  // namespace

bool VariableHash::FindPath(Variable** variable, const char* path, int32_t length, bool create,
                            PathLimits* limits) {
  *variable = nullptr;
  if (path == nullptr) return true;
  length = TextLength(path, length);
  int32_t i = 0;
  while (i < length && path[i] != ':' && path[i] != '[') ++i;
  if (limits != nullptr) {
    // Counted before anything is made: a name of a million selectors is
    // refused whole, not after it built a million levels.
    int32_t selectors = 0;
    for (int32_t k = i; k < length; ++k) {
      if (path[k] == ':' || path[k] == '[') ++selectors;
    }
    if (selectors > limits->max_selectors) {
      limits->exceeded = true;
      return false;
    }
  }
  Variable* v = nullptr;
  Find(&v, path, i, create);
  if (v == nullptr) {
    if (!create) return true;
    if (!TakeNode(limits)) return false;
    v = new Variable(std::string_view(path, static_cast<size_t>(i)));
    InsertOrFree(v);
  }
  while (i < length) {
    if (path[i] == ':') {
      int32_t j = i + 1;
      while (j < length && path[j] != ':' && path[j] != '[') ++j;
      if (!StepInto(&v, AggregateIndex(path + i + 1, j - i - 1), create, limits)) return false;
      i = j;
    } else {
      // An index selector: blanks and digits up to a ']', read as atoi
      // would, and followed by another selector or the end.
      int32_t j = i + 1;
      bool valid = true;
      while (j < length && path[j] != ']') {
        auto c = static_cast<unsigned char>(path[j]);
        if (!IsDigitByte(c) && !IsSpaceByte(c)) valid = false;
        ++j;
      }
      if (j >= length) valid = false;
      if (valid && j + 1 < length && path[j + 1] != ':' && path[j + 1] != '[') valid = false;
      int64_t number = 0;
      if (valid) {
        int32_t k = i + 1;
        while (k < j && IsSpaceByte(static_cast<unsigned char>(path[k]))) ++k;
        while (k < j && IsDigitByte(static_cast<unsigned char>(path[k]))) {
          number = number * 10 + (path[k] - '0');
          if (number > INT32_MAX) valid = false;
          ++k;
          if (!valid) break;
        }
      }
      if (!valid) {
        SetErrorText(kBadIndex);
        return false;
      }
      if (!StepInto(&v, AggregateIndex(static_cast<int32_t>(number)), create, limits)) {
        return false;
      }
      i = j + 1;
    }
    if (v == nullptr) return true;
  }
  *variable = v;
  return true;
}

bool VariableHash::SetPathValue(const char* path, int32_t length, const char* value,
                                int32_t value_length, bool append, PathLimits* limits) {
  Variable* v = nullptr;
  if (!FindPath(&v, path, length, true, limits)) return false;
  if (v == nullptr) return true;
  value_length = TextLength(value, value_length);
  if (append && (!v->IsEmpty() || v->Aggregate_Type() == kAggregateArray)) {
    // A repeat adds an element (two when a value turns into an array).
    if (!TakeNode(limits)) return false;
    Variable* into = nullptr;
    if (v->Aggregate_Type() == kAggregateScalar) {
      auto* old = new Variable(*v);
      try {
        v->Set_Element(AggregateIndex(1), old);
      } catch (...) {
        old->Free();
        throw;
      }
      old->Free();
      into = v->Element(AggregateIndex(2), true);
    } else {
      into = v->Element(AggregateIndex(v->ElementsUsed() + 1), true);
    }
    if (into) into->SetValue(value, value_length);
    return true;
  }
  v->SetValue(value, value_length);
  return true;
}

int32_t VariableHash::Count() { return count_; }

void VariableHash::List(VariableList& list) {
  for (int32_t i = 0; i < count_; ++i) {
    if (entries_[i].variable) list.Insert(entries_[i].variable);
  }
}

// A table image as read, checked before it replaces the table: the new
// arrays are filled in place (a program's tables are loaded on every
// request) and only swapped in once all is well.
struct VariableHash::Image {
  Image(int32_t bucket_total, int32_t entry_total)
      : bucket_count(bucket_total), capacity(entry_total) {}
  // Apart from the constructor, so that the destructor frees what was
  // made when memory runs out half way.
  void Allocate() {
    buckets = AllocateBuckets(bucket_count);
    memset(buckets, 0xFF, sizeof(int32_t) * static_cast<size_t>(bucket_count));
    AllocateEntries(capacity, &next, &entries);
  }
  ~Image() {
    if (buckets != nullptr) ReleaseMemory(BucketBytes(bucket_count));
    if (entries != nullptr) ReleaseMemory(EntryBytes(capacity));
    free(buckets);
    free(next);
    free(entries);
  }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  int32_t bucket_count;
  int32_t capacity;
  int32_t* buckets = nullptr;
  int32_t* next = nullptr;
  VariableHashEntry* entries = nullptr;
  // The buckets the image lists, in its order: chains are walked from
  // these only (a table has thousands of buckets, a program a few dozen
  // names).
  std::vector<int32_t> listed;
};

bool VariableHash::Read(Stream& stream) {
  unsigned char header[kImageHeader];
  if (!ReadFully(stream, header, kImageHeader)) return ReadFailed(stream.ErrorText().View());
  const int32_t used = DecodeLe16(header);
  const int bits = header[2];
  const int32_t count = DecodeLeInt32(header + 3);
  if (bits > kMaxImageBits || count < 0) return ReadFailed(kCorrupt);
  String bucket_bytes;
  String entry_bytes;
  if (!ReadFullyGrowing(stream, static_cast<int64_t>(used) * kBucketRecord, bucket_bytes) ||
      !ReadFullyGrowing(stream, static_cast<int64_t>(count) * kEntryRecord, entry_bytes)) {
    return ReadFailed(stream.ErrorText().View());
  }
  // Everything is checked before the table is touched. Numbers out of
  // range could crash a lookup; a chain that loops or shares a tail would
  // hang one; an entry filed in the wrong bucket, out of order or on no
  // chain at all would make lookups quietly miss. A table we wrote has
  // none of these.
  Image image(int32_t{1} << bits, count);
  image.Allocate();
  int32_t buckets_used = 0;
  if (!DecodeBuckets(bucket_bytes, used, &image) || !DecodeEntries(entry_bytes, &image) ||
      !CheckChains(image, &buckets_used)) {
    return ReadFailed(kCorrupt);
  }
  ReleaseAll();
  bits_ = bits;
  bucket_count_ = image.bucket_count;
  buckets_used_ = buckets_used;
  buckets_ = std::exchange(image.buckets, nullptr);
  capacity_ = count;
  count_ = count;
  next_ = std::exchange(image.next, nullptr);
  entries_ = std::exchange(image.entries, nullptr);
  return true;
}

bool VariableHash::ReadFailed(std::string_view text) {
  SetErrorText(text);
  return false;
}

bool VariableHash::DecodeBuckets(const String& bytes, int32_t used, Image* image) const {
  std::vector<bool> listed(static_cast<size_t>(image->bucket_count), false);
  image->listed.reserve(static_cast<size_t>(used));
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.Text());
  for (int32_t i = 0; i < used; ++i, b += kBucketRecord) {
    const int32_t bucket = DecodeLe16(b);
    const int32_t first = DecodeLeInt32(b + 2);
    if (bucket >= image->bucket_count || listed[static_cast<size_t>(bucket)] || first < -1 ||
        first >= image->capacity) {
      return false;
    }
    listed[static_cast<size_t>(bucket)] = true;
    image->buckets[bucket] = first;
    image->listed.push_back(bucket);
  }
  return true;
}

bool VariableHash::DecodeEntries(const String& bytes, Image* image) const {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.Text());
  for (int32_t i = 0; i < image->capacity; ++i, p += kEntryRecord) {
    const int32_t name = DecodeLeInt32(p);
    const int32_t next = DecodeLeInt32(p + 4);
    if (name < 0 || name >= dictionary_->Count() || next < -1 || next >= image->capacity) {
      return false;
    }
    image->next[i] = next;
    image->entries[i] = VariableHashEntry{name, 0, nullptr};
  }
  return true;
}

bool VariableHash::CheckChains(const Image& image, int32_t* buckets_used) const {
  const uint32_t mask = static_cast<uint32_t>(image.bucket_count - 1);
  std::vector<bool> seen(static_cast<size_t>(image.capacity), false);
  int32_t chained = 0;
  for (const int32_t bucket : image.listed) {
    int32_t e = image.buckets[bucket];
    if (e >= 0) ++*buckets_used;
    std::string_view previous;
    for (bool first = true; e >= 0; e = image.next[e], first = false) {
      std::string_view name = dictionary_->EntryView(image.entries[e].name);
      const auto length = static_cast<int32_t>(name.size());
      const bool in_order =
          first || previous.size() < name.size() ||
          (previous.size() == name.size() && CompareNoCase(previous.data(), name.data(), length) <= 0);
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
  return chained == image.capacity;
}

bool VariableHash::ReadAt(Stream& stream, int64_t offset) {
  if (!stream.Seek(offset)) {
    SetErrorText(stream.ErrorText());
    return false;
  }
  return Read(stream);
}

bool VariableHash::Write(Stream& stream) {
  int32_t used = 0;
  for (int32_t i = 0; i < bucket_count_; ++i) {
    if (buckets_[i] >= 0) ++used;
  }
  const int64_t size = kImageHeader + static_cast<int64_t>(used) * kBucketRecord +
                       static_cast<int64_t>(count_) * kEntryRecord;
  if (size > String::kMaxLength) {
    SetErrorText("Variable table too large to store");
    return false;
  }
  String image;
  image.SetLength(static_cast<int32_t>(size));
  auto* p = reinterpret_cast<unsigned char*>(image.Data());
  EncodeLe16(p, static_cast<uint16_t>(used));
  p[2] = static_cast<unsigned char>(bits_);
  EncodeLeInt32(p + 3, count_);
  p += kImageHeader;
  for (int32_t i = 0; i < bucket_count_; ++i) {
    if (buckets_[i] < 0) continue;
    EncodeLe16(p, static_cast<uint16_t>(i));
    EncodeLeInt32(p + 2, buckets_[i]);
    p += kBucketRecord;
  }
  for (int32_t i = 0; i < count_; ++i) {
    EncodeLeInt32(p, entries_[i].name);
    EncodeLeInt32(p + 4, next_[i]);
    p += kEntryRecord;
  }
  if (!WriteFully(stream, image.Text(), image.Length())) {
    SetErrorText(stream.ErrorText());
    return false;
  }
  return true;
}

bool VariableHash::WriteAt(Stream& stream, int64_t offset) {
  if (!stream.Seek(offset)) {
    SetErrorText(stream.ErrorText());
    return false;
  }
  return Write(stream);
}

UserVariableHash::UserVariableHash()
    : VariableHash(new Dictionary(), kGlobalBits, kGlobalCapacity),
      own_dictionary_(dictionary_) {}

UserVariableHash::~UserVariableHash() {
  // The variables go first; the base destructor needs no names.
  ReleaseAll();
  delete own_dictionary_;
}

}  // namespace lumo
