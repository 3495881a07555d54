// String: the byte string every subsystem keeps its text in.
//
// Text is bytes: any byte may occur, the length (not the terminator) bounds
// every operation, and a present buffer is always followed by a zero byte so
// that Text() can be handed to C functions. A String without a buffer reads
// as the empty text.
//
// Capacity is 0 or a multiple of 24, and growth follows fixed rounding rules
// (see the .cc). Buffers come from malloc so that a buffer released here can
// be adopted by, or freed by, code on the other side of the extension
// interface. A buffer is charged to the run's memory budget
// (memory_budget.h) from its allocation to its release, whichever owner
// it passes through: Release hands the charge on with the buffer, Adopt
// takes a charged buffer, and FreeText releases one.
#ifndef LUMO_CORE_BASE_STRING_H_
#define LUMO_CORE_BASE_STRING_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/base/memory_budget.h"

namespace lumo {

class String {
 public:
  // Longest text a String will hold; reaching it is treated like running out
  // of memory (the process cannot continue with a torn value).
  static constexpr int32_t kMaxLength = 0x7FFFFFFF - 64;

  String() = default;
  // Copies `length` bytes of `text`; -1 means up to the terminator. A null
  // `text` gives an empty String without a buffer.
  String(const char* text, int32_t length = -1);  // NOLINT: implicit by design
  String(std::string_view text);                   // NOLINT
  String(const String& other);
  String(String&& other) noexcept;
  String& operator=(const String& other);
  String& operator=(String&& other) noexcept;
  ~String() {
    if (text_ != nullptr) {
      ReleaseMemory(capacity_);
      free(text_);
    }
  }

  // Takes ownership of a malloc'ed buffer holding `length` bytes in `size`
  // allocated bytes, charged to the run (Release, or ChargeMemory for a
  // buffer from elsewhere). When size > length the buffer is kept as is
  // (and terminated at length); otherwise a rounded buffer is allocated, the
  // bytes copied and `buffer` freed. The buffer is the String's or freed
  // also when the copy fails.
  static String Adopt(char* buffer, int32_t length, int32_t size);

  // Always a valid NUL-terminated pointer ("" when there is no buffer).
  const char* Text() const { return text_ ? text_ : ""; }
  // The buffer itself, or null when there is none.
  // Exchanges the two texts and their buffers; nothing is copied.
  void Swap(String& other) noexcept {
    std::swap(text_, other.text_);
    std::swap(capacity_, other.capacity_);
    std::swap(length_, other.length_);
  }
  char* Data() { return text_; }
  const char* Data() const { return text_; }
  int32_t Length() const { return length_; }
  int32_t Capacity() const { return capacity_; }
  bool HasBuffer() const { return text_ != nullptr; }
  bool IsEmpty() const { return length_ == 0; }
  std::string_view View() const { return {Text(), static_cast<size_t>(length_)}; }
  operator std::string_view() const { return View(); }  // NOLINT
  // The byte at i, or 0 outside the text.
  char operator[](int32_t i) const { return i >= 0 && i < length_ ? text_[i] : '\0'; }

  // Replaces the text. A null text or length 0 yields the empty text with a
  // buffer. Reallocates only when length + 1 exceeds the capacity. The
  // source may lie inside this String's own buffer.
  void Assign(const char* text, int32_t length = -1) {
    // Fits the buffer there is: the common case of a value replaced by
    // one of similar size, with no call.
    if (text != nullptr && length >= 0 && length < capacity_) {
      memmove(text_, text, static_cast<size_t>(length));
      length_ = length;
      text_[length] = '\0';
      return;
    }
    AssignOther(text, length);
  }
  void Assign(const String& other) { Assign(other.Text(), other.length_); }

  void Append(char c);
  void Append(const char* text, int32_t length = -1);
  void Append(const String& other) { Append(other.Text(), other.length_); }
  void Append(std::string_view text) {
    Append(text.data(), static_cast<int32_t>(text.size()));
  }
  void Prepend(const char* text, int32_t length = -1);

  // Removes the last n bytes; ignored when n exceeds the length.
  void Shorten(int32_t n);
  // Sets the length directly; the caller has written that many bytes into a
  // buffer made large enough with Reserve.
  void SetLength(int32_t length);
  // Makes room for at least `length` bytes plus the terminator.
  void Reserve(int32_t length);
  // Length 0, keeping the buffer (if any) for what comes next.
  void Empty() {
    if (text_ != nullptr) {
      length_ = 0;
      text_[0] = '\0';
    }
  }

  // Hands the buffer to the caller (who frees it with FreeText, its charge
  // going with it) and leaves the String empty without a buffer. Returns
  // null when there was no buffer.
  char* Release(int32_t* length = nullptr, int32_t* capacity = nullptr);
  // Frees the buffer and zeroes every field.
  void Clear();

  // Searching. A pattern length of -1 means up to its terminator. (No
  // defaults here: Find("c", 2) must mean start 2, as with the overload
  // below.)
  int32_t Find(const char* pattern, int32_t pattern_length, int32_t start) const;
  int32_t Find(std::string_view pattern, int32_t start = 0) const {
    return Find(pattern.data(), static_cast<int32_t>(pattern.size()), start);
  }
  bool Contains(std::string_view pattern, int32_t start = 0) const {
    return Find(pattern, start) != -1;
  }
  // Overlapping matches count: "aa" occurs 3 times in "aaaa".
  int32_t Count(std::string_view pattern) const;
  bool ContainsByte(char c, int32_t start = 0) const;
  bool ByteIs(int32_t position, char c) const;

  // Replaces every non-overlapping occurrence, scanning on after each
  // replaced match.
  void Replace(std::string_view pattern, std::string_view replacement);

  // [start, end) with end clipped to the length.
  String Substring(int32_t start, int32_t end) const;
  // n >= length copies all; n < 0 gives a String without a buffer.
  String Left(int32_t n) const;
  // From `position` to the end; empty when position + 1 exceeds the length.
  String From(int32_t position) const;
  String Before(std::string_view pattern) const;     // whole text when absent
  String FromMatch(std::string_view pattern) const;  // match included
  String After(std::string_view pattern) const;      // empty when absent

  // White space here is space, tab, carriage return and line feed.
  void Trim();
  void TrimLeft();
  // Collapses every run of white space to its first byte.
  void CollapseWhiteSpace();

  void ToLower();
  String Lowered() const;
  void PadLeft(char c, int32_t width);
  void PadRight(char c, int32_t width);

  // True when the text from `position` on equals `pattern`, both upper-cased
  // byte by byte; false when the pattern is longer than the remaining text.
  bool TailEqualsNoCase(int32_t position, std::string_view pattern) const;

  bool Equals(std::string_view other) const { return View() == other; }
  bool EqualsNoCase(std::string_view other) const;

  String Base64Encode() const;
  // Characters outside the alphabet (line breaks in mail bodies) are
  // skipped; an incomplete final quartet decodes to nothing.
  String Base64Decode() const;

 private:
  void AssignOther(const char* text, int32_t length);
  void Grow(int32_t required_capacity);

  char* text_ = nullptr;
  int32_t capacity_ = 0;
  int32_t length_ = 0;
};

inline bool operator==(const String& a, const String& b) { return a.View() == b.View(); }
inline bool operator==(const String& a, std::string_view b) { return a.View() == b; }
inline bool operator==(const String& a, const char* b) { return a.View() == std::string_view(b); }

// The length of a text given as (bytes, length): -1 means up to the first
// NUL byte, a null text has length 0. Texts past String::kMaxLength are
// treated as running out of memory.
int32_t TextLength(const char* text, int32_t length);

// Rounds a required size up to the next multiple of 24 (the String step).
int32_t RoundStringCapacity(int64_t required);

// Frees a text buffer of `capacity` allocated bytes that is charged to the
// run (String::Release, a stack's owned text); null is ignored.
inline void FreeText(char* buffer, int32_t capacity) {
  if (buffer == nullptr) return;
  ReleaseMemory(capacity);
  free(buffer);
}
// The failure of the two below: the charge goes back and OutOfMemoryError
// is raised.
[[noreturn]] void TextAllocationFailed(int32_t charged);
// Allocates a text buffer charged to the run; OutOfMemoryError when the
// budget or the allocator refuses.
inline char* AllocateText(int32_t capacity) {
  ChargeMemory(capacity);
  char* p = static_cast<char*>(malloc(static_cast<size_t>(capacity)));
  if (p == nullptr) [[unlikely]] TextAllocationFailed(capacity);
  return p;
}
// Grows (or shrinks) a charged text buffer as realloc does, the charge
// following; on failure the old buffer is untouched and OutOfMemoryError
// raised.
inline char* ReallocateText(char* buffer, int32_t old_capacity, int32_t capacity) {
  const int32_t added = capacity - (buffer != nullptr ? old_capacity : 0);
  ChargeMemory(added);
  char* p = static_cast<char*>(realloc(buffer, static_cast<size_t>(capacity)));
  if (p == nullptr) [[unlikely]] TextAllocationFailed(added);
  return p;
}

}  // namespace lumo

#endif  // LUMO_CORE_BASE_STRING_H_
