#include "core/program/segment_manager.h"

#include <cstdlib>
#include <cstring>

#include "core/base/byte_order.h"
#include "core/base/dictionary.h"
#include "core/program/tagged_file.h"

namespace lumo {

namespace {
constexpr char kSegs[] = "segs";
}  // namespace

// --- Segment ----------------------------------------------------------------

Segment::Segment(int32_t number)
    : number_(number),
      bytes_(reinterpret_cast<unsigned char*>(AllocateText(kGrowStep))),
      capacity_(kGrowStep),
      size_(0),
      charged_(kGrowStep) {
  memset(bytes_, 0, kGrowStep);
}

Segment::Segment(int32_t number, unsigned char* bytes, int32_t size, int32_t charged)
    : number_(number), bytes_(bytes), capacity_(size), size_(size), charged_(charged) {}

Segment::~Segment() {
  RetireCache();
  while (retired_ != nullptr) {
    SegmentCache* next = retired_->retired_next;
    delete retired_;
    retired_ = next;
  }
  ReleaseMemory(charged_);
  free(bytes_);
}

int32_t Segment::ReadByte(int32_t position, uint8_t* value) const {
  if (position < 0 || position >= size_) return -1;
  *value = bytes_[position];
  return position + 1;
}

int32_t Segment::ReadWord(int32_t position, uint16_t* value) const {
  if (position < 0 || position > size_ - 2) return -1;
  *value = DecodeLe16(bytes_ + position);
  return position + 2;
}

int32_t Segment::ReadDword(int32_t position, int32_t* value) const {
  if (position < 0 || position > size_ - 4) return -1;
  *value = DecodeLeInt32(bytes_ + position);
  return position + 4;
}

int32_t Segment::ReadDouble(int32_t position, double* value) const {
  if (position < 0 || position > size_ - 8) return -1;
  *value = DecodeLeDouble(bytes_ + position);
  return position + 8;
}

unsigned char* Segment::Reserve(int32_t position, int32_t length) {
  if (position < 0 || length < 0) return nullptr;
  RetireCache();
  const int64_t end = static_cast<int64_t>(position) + length;
  if (end > 0x7FFFFFFF - kGrowStep) OutOfMemory("Segment");
  if (end > capacity_) {
    // A capacity that is already a multiple of the step is taken as is.
    int64_t capacity = (end + kGrowStep - 1) / kGrowStep * kGrowStep;
    auto* p = reinterpret_cast<unsigned char*>(ReallocateText(
        reinterpret_cast<char*>(bytes_), charged_, static_cast<int32_t>(capacity)));
    charged_ = static_cast<int32_t>(capacity);
    memset(p + capacity_, 0, static_cast<size_t>(capacity - capacity_));
    bytes_ = p;
    capacity_ = static_cast<int32_t>(capacity);
  }
  if (end > size_) size_ = static_cast<int32_t>(end);
  return bytes_ + position;
}

int32_t Segment::WriteByte(int32_t position, uint8_t value) {
  unsigned char* p = Reserve(position, 1);
  if (p == nullptr) return -1;
  *p = value;
  return position + 1;
}

int32_t Segment::WriteWord(int32_t position, uint16_t value) {
  unsigned char* p = Reserve(position, 2);
  if (p == nullptr) return -1;
  EncodeLe16(p, value);
  return position + 2;
}

int32_t Segment::WriteDword(int32_t position, int32_t value) {
  unsigned char* p = Reserve(position, 4);
  if (p == nullptr) return -1;
  EncodeLeInt32(p, value);
  return position + 4;
}

int32_t Segment::WriteDouble(int32_t position, double value) {
  unsigned char* p = Reserve(position, 8);
  if (p == nullptr) return -1;
  EncodeLeDouble(p, value);
  return position + 8;
}

int32_t Segment::WriteBytes(int32_t position, const void* bytes, int32_t length) {
  unsigned char* p = Reserve(position, length);
  if (p == nullptr) return -1;
  if (length > 0) memcpy(p, bytes, static_cast<size_t>(length));
  return position + length;
}

// --- SegmentManager ---------------------------------------------------------

SegmentManager::SegmentManager() {
  GrowSlots(1);
  count_ = 1;
}

SegmentManager::~SegmentManager() {
  Reset();
  free(slots_);
}

void SegmentManager::Reset() {
  for (int32_t i = 0; i < count_; ++i) delete slots_[i];
  count_ = 0;
}

void SegmentManager::GrowSlots(int32_t needed) {
  if (needed <= capacity_) return;
  int64_t capacity = (static_cast<int64_t>(needed) + kSlotStep - 1) / kSlotStep * kSlotStep;
  if (capacity > 0x7FFFFFFF / static_cast<int64_t>(sizeof(void*))) OutOfMemory("SegmentManager");
  auto** p = static_cast<class Segment**>(
      realloc(slots_, sizeof(void*) * static_cast<size_t>(capacity)));
  if (p == nullptr) OutOfMemory("SegmentManager");
  for (int64_t i = capacity_; i < capacity; ++i) p[i] = nullptr;
  slots_ = p;
  capacity_ = static_cast<int32_t>(capacity);
}

class Segment* SegmentManager::EntrySegment() {
  if (entry_ < 0 || entry_ >= count_) return nullptr;
  if (slots_[entry_] == nullptr) slots_[entry_] = new class Segment(entry_);
  return slots_[entry_];
}

bool SegmentManager::SetEntrySegment(int32_t n) {
  if (n < 0 || n >= count_) return false;
  entry_ = n;
  return true;
}

class Segment* SegmentManager::NewSegment() {
  // The slot a fresh manager counts but never filled is taken first, so a
  // program built in memory numbers its segments from 0.
  if (count_ == 1 && slots_[0] == nullptr) {
    slots_[0] = new class Segment(0);
    return slots_[0];
  }
  if (count_ == 0x7FFFFFFF) OutOfMemory("SegmentManager");
  GrowSlots(count_ + 1);
  auto* segment = new class Segment(count_);
  slots_[count_++] = segment;
  return segment;
}

bool SegmentManager::Read(TaggedFile& file) {
  unsigned char header[8];
  if (file.ReadAt(kSegs, 0, header, 8) != 8) {
    SetErrorText(file.ErrorText());
    return false;
  }
  const int32_t count = DecodeLeInt32(header);
  const int32_t entry = DecodeLeInt32(header + 4);
  // An empty table still names segment 0, which is made empty on use.
  if (count < 0 || entry < 0 || (count > 0 && entry >= count) || (count == 0 && entry != 0)) {
    SetErrorText(kCorruptProgramText);
    return false;
  }
  int32_t section_size = 0;
  if (!file.SelectSection(kSegs, &section_size)) {
    SetErrorText(file.ErrorText());
    return false;
  }
  String table;
  if (!file.Section().Seek(8) ||
      !ReadFullyGrowing(file.Section(), static_cast<int64_t>(count) * 8, table)) {
    SetErrorText(file.ErrorText());
    return false;
  }
  const int64_t code_start = (static_cast<int64_t>(count) + 1) * 8;
  // The segments made so far go again on every way out but success.
  struct Loaded {
    class Segment** segments;
    int32_t made = 0;
    ~Loaded() {
      if (segments == nullptr) return;
      for (int32_t i = 0; i < made; ++i) delete segments[i];
      free(segments);
    }
  } loaded{static_cast<class Segment**>(
      calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(void*)))};
  if (loaded.segments == nullptr) OutOfMemory("SegmentManager");
  const auto* p = reinterpret_cast<const unsigned char*>(table.Text());
  for (int32_t i = 0; i < count; ++i, p += 8) {
    const int32_t offset = DecodeLeInt32(p);
    const int32_t size = DecodeLeInt32(p + 4);
    if (offset < 0 || size < 0) {
      SetErrorText(kCorruptProgramText);
      return false;
    }
    // Read through the bounded section stream in chunks: a size beyond the
    // section fails there instead of allocating what it claims.
    String bytes;
    if (!file.Section().Seek(code_start + offset) ||
        !ReadFullyGrowing(file.Section(), size, bytes)) {
      SetErrorText(file.ErrorText());
      return false;
    }
    int32_t length = 0;
    int32_t charged = 0;
    char* buffer = bytes.Release(&length, &charged);
    if (buffer == nullptr) {
      buffer = AllocateText(1);
      charged = 1;
    }
    try {
      loaded.segments[i] =
          new class Segment(i, reinterpret_cast<unsigned char*>(buffer), length, charged);
    } catch (...) {
      FreeText(buffer, charged);
      throw;
    }
    loaded.made = i + 1;
  }
  GrowSlots(count > 0 ? count : 1);
  Reset();
  for (int32_t i = 0; i < count; ++i) slots_[i] = loaded.segments[i];
  free(loaded.segments);
  loaded.segments = nullptr;
  count_ = count > 0 ? count : 1;
  if (count == 0) slots_[0] = nullptr;
  entry_ = entry;
  return true;
}

bool SegmentManager::Write(Stream& out) {
  int64_t total = 0;
  for (int32_t i = 0; i < count_; ++i) total += slots_[i] ? slots_[i]->Size() : 0;
  if (total + (static_cast<int64_t>(count_) + 1) * 8 > String::kMaxLength) {
    SetErrorText("Compiled program too large");
    return false;
  }
  String head;
  head.SetLength((count_ + 1) * 8);
  auto* p = reinterpret_cast<unsigned char*>(head.Data());
  EncodeLeInt32(p, count_);
  EncodeLeInt32(p + 4, entry_);
  int32_t offset = 0;
  for (int32_t i = 0; i < count_; ++i) {
    const int32_t size = slots_[i] ? slots_[i]->Size() : 0;
    EncodeLeInt32(p + 8 + i * 8, offset);
    EncodeLeInt32(p + 12 + i * 8, size);
    offset += size;
  }
  if (!WriteFully(out, head.Text(), head.Length())) {
    SetErrorText(out.ErrorText());
    return false;
  }
  for (int32_t i = 0; i < count_; ++i) {
    if (slots_[i] == nullptr || slots_[i]->Size() == 0) continue;
    if (!WriteFully(out, slots_[i]->Bytes(), slots_[i]->Size())) {
      SetErrorText(out.ErrorText());
      return false;
    }
  }
  return true;
}

}  // namespace lumo
