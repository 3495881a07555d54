// The code of a program: numbered segments of instruction bytes. Loaded
// segments hold exactly their bytes; segments made at run time (the
// expression compiler puts each piece of code it compiles into a new one)
// start with 8192 zeroed bytes and grow in steps of 8192.
#ifndef LUMO_CORE_PROGRAM_SEGMENT_MANAGER_H_
#define LUMO_CORE_PROGRAM_SEGMENT_MANAGER_H_

#include <cstdint>
#include <string_view>

#include "core/base/stream.h"
#include "core/base/string.h"

namespace lumo {

class TaggedFile;

// What a machine derives from a segment's bytes (decoded instructions). The
// segment owns it; a write to the segment retires it, because it no longer
// describes the bytes. Retired caches live until the segment goes, since a
// machine may be running the code one describes when the write happens.
class SegmentCache {
 public:
  virtual ~SegmentCache() = default;
  SegmentCache* retired_next = nullptr;
};

class Segment {
 public:
  static constexpr int32_t kGrowStep = 8192;

  // An empty segment with 8192 zeroed bytes.
  explicit Segment(int32_t number);
  // A loaded segment: takes a malloc'ed buffer of exactly `size` bytes, of
  // which `charged` are charged to the run (a String's released buffer).
  Segment(int32_t number, unsigned char* bytes, int32_t size, int32_t charged = 0);
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;
  ~Segment();

  int32_t Number() const { return number_; }
  const unsigned char* Bytes() const { return bytes_; }
  int32_t Size() const { return size_; }
  int32_t Capacity() const { return capacity_; }

  // Each returns the position after the item, or -1 when the item does not
  // lie wholly inside the used size.
  int32_t ReadByte(int32_t position, uint8_t* value) const;
  int32_t ReadWord(int32_t position, uint16_t* value) const;
  int32_t ReadDword(int32_t position, int32_t* value) const;
  int32_t ReadDouble(int32_t position, double* value) const;

  // Each grows the segment as needed, raises the used size to the item's
  // end and returns the position after the item (-1 for a negative
  // position).
  int32_t WriteByte(int32_t position, uint8_t value);
  int32_t WriteWord(int32_t position, uint16_t value);
  int32_t WriteDword(int32_t position, int32_t value);
  int32_t WriteDouble(int32_t position, double value);
  int32_t WriteBytes(int32_t position, const void* bytes, int32_t length);

  SegmentCache* Cache() const { return cache_; }
  void SetCache(SegmentCache* cache) {
    RetireCache();
    cache_ = cache;
  }

 private:
  unsigned char* Reserve(int32_t position, int32_t length);
  void RetireCache() {
    if (cache_ == nullptr) return;
    cache_->retired_next = retired_;
    retired_ = cache_;
    cache_ = nullptr;
  }

  SegmentCache* cache_ = nullptr;
  SegmentCache* retired_ = nullptr;

  int32_t number_;
  unsigned char* bytes_;
  int32_t capacity_;
  int32_t size_;
  // Bytes of the buffer charged to the run's memory budget: code compiled
  // while a program runs counts against it.
  int32_t charged_;
};

class SegmentManager {
 public:
  static constexpr int32_t kSlotStep = 64;

  SegmentManager();
  SegmentManager(const SegmentManager&) = delete;
  SegmentManager& operator=(const SegmentManager&) = delete;
  virtual ~SegmentManager();

  virtual const String& ErrorText() const { return error_; }
  virtual void SetErrorText(std::string_view text) { error_ = String(text); }

  // Replaces every segment with the "segs" section of the file. On failure
  // the manager is as it was before.
  bool Read(TaggedFile& file);
  // Writes the content of a "segs" section.
  bool Write(Stream& out);

  // Segment n, or null when there is none (numbers out of range included).
  class Segment* Segment(int32_t n) const {
    return n >= 0 && n < count_ ? slots_[n] : nullptr;
  }
  // The entry segment, made empty on first use when its slot is empty.
  class Segment* EntrySegment();
  int32_t EntrySegmentNumber() const { return entry_; }
  bool SetEntrySegment(int32_t n);
  // Appends an empty segment numbered by its position.
  class Segment* NewSegment();
  int32_t Count() const { return count_; }

 private:
  void Reset();
  void GrowSlots(int32_t needed);

  String error_;
  class Segment** slots_ = nullptr;
  int32_t capacity_ = 0;
  int32_t count_ = 0;
  int32_t entry_ = 0;
};

}  // namespace lumo

#endif  // LUMO_CORE_PROGRAM_SEGMENT_MANAGER_H_
