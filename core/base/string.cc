#include "core/base/string.h"

#include "core/base/ascii.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumo {

namespace {

constexpr int32_t kStep = 24;

// Checked sum of two lengths.
int32_t AddLengths(int32_t a, int32_t b) {
  int64_t sum = static_cast<int64_t>(a) + b;
  if (sum > String::kMaxLength) OutOfMemory("String (text too long)");
  return static_cast<int32_t>(sum);
}

// Whether p points into the `size` bytes at `buffer`. Compared as integers:
// relational comparison of unrelated pointers is not defined.
bool Inside(const char* p, const char* buffer, int32_t size) {
  if (p == nullptr || buffer == nullptr) return false;
  auto a = reinterpret_cast<uintptr_t>(p);
  auto b = reinterpret_cast<uintptr_t>(buffer);
  return a >= b && a < b + static_cast<uintptr_t>(size);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

int32_t TextLength(const char* text, int32_t length) {
  if (text == nullptr) return 0;
  if (length >= 0) return length;
  size_t n = strlen(text);
  if (n > static_cast<size_t>(String::kMaxLength)) OutOfMemory("String");
  return static_cast<int32_t>(n);
}

void TextAllocationFailed(int32_t charged) {
  ReleaseMemory(charged);
  OutOfMemory("String");
}


int32_t RoundStringCapacity(int64_t required) {
  int64_t rounded = (required + kStep - 1) / kStep * kStep;
  if (rounded > 0x7FFFFFFF) OutOfMemory("String (text too long)");
  return static_cast<int32_t>(rounded);
}

String::String(const char* text, int32_t length) {
  if (text == nullptr) return;
  Assign(text, length);
}

String::String(std::string_view text) {
  if (text.size() > static_cast<size_t>(kMaxLength)) OutOfMemory("String");
  Assign(text.data(), static_cast<int32_t>(text.size()));
}

String::String(const String& other) {
  if (other.text_ == nullptr) return;
  Assign(other.text_, other.length_);
}

String::String(String&& other) noexcept
    : text_(other.text_), capacity_(other.capacity_), length_(other.length_) {
  other.text_ = nullptr;
  other.capacity_ = 0;
  other.length_ = 0;
}

String& String::operator=(const String& other) {
  if (this != &other) {
    if (other.text_ == nullptr) {
      Clear();
    } else {
      Assign(other.text_, other.length_);
    }
  }
  return *this;
}

String& String::operator=(String&& other) noexcept {
  if (this != &other) {
    FreeText(text_, capacity_);
    text_ = other.text_;
    capacity_ = other.capacity_;
    length_ = other.length_;
    other.text_ = nullptr;
    other.capacity_ = 0;
    other.length_ = 0;
  }
  return *this;
}



String String::Adopt(char* buffer, int32_t length, int32_t size) {
  String s;
  if (buffer == nullptr) return s;
  if (length < 0) length = 0;
  if (size > length) {
    s.text_ = buffer;
    s.capacity_ = size;
    s.length_ = length;
    s.text_[length] = '\0';
  } else {
    try {
      s.Assign(buffer, length);
    } catch (...) {
      FreeText(buffer, size);
      throw;
    }
    FreeText(buffer, size);
  }
  return s;
}

// Out of line: inlined, it weighs on the common case of every append,
// which needs no room.
__attribute__((noinline)) void String::Grow(int32_t required_capacity) {
  // realloc keeps the bytes; callers that need a fresh buffer (Assign from
  // an aliasing source) do their own allocation.
  text_ = ReallocateText(text_, capacity_, required_capacity);
  capacity_ = required_capacity;
}

void String::AssignOther(const char* text, int32_t length) {
  int32_t n = TextLength(text, length);
  if (n + 1 > capacity_) {
    int32_t capacity = RoundStringCapacity(static_cast<int64_t>(n) + 1);
    char* p = AllocateText(capacity);
    if (n > 0) memcpy(p, text, static_cast<size_t>(n));
    FreeText(text_, capacity_);
    text_ = p;
    capacity_ = capacity;
  } else if (n > 0 && text != text_) {
    memmove(text_, text, static_cast<size_t>(n));
  }
  length_ = n;
  text_[n] = '\0';
}

void String::Append(char c) {
  if (!(length_ + 2 < capacity_)) {
    int32_t at_least = AddLengths(length_, 2);
    int32_t capacity = RoundStringCapacity(static_cast<int64_t>(capacity_) + 1);
    if (capacity < at_least) capacity = RoundStringCapacity(at_least);
    Grow(capacity);
  }
  text_[length_++] = c;
  text_[length_] = '\0';
}

void String::Append(const char* text, int32_t length) {
  int32_t n = TextLength(text, length);
  int32_t new_length = AddLengths(length_, n);
  if (text_ != nullptr && new_length + 1 <= capacity_) {
    if (n > 0) memmove(text_ + length_, text, static_cast<size_t>(n));
  } else if (!Inside(text, text_, capacity_)) {
    // realloc lets glibc remap large buffers instead of copying them, which
    // keeps building a long text piece by piece linear in practice.
    Grow(RoundStringCapacity(static_cast<int64_t>(new_length) + 1));
    if (n > 0) memcpy(text_ + length_, text, static_cast<size_t>(n));
  } else {
    // The source may sit inside our own buffer, which realloc can move.
    int32_t capacity = RoundStringCapacity(static_cast<int64_t>(new_length) + 1);
    char* p = AllocateText(capacity);
    if (length_ > 0) memcpy(p, text_, static_cast<size_t>(length_));
    if (n > 0) memcpy(p + length_, text, static_cast<size_t>(n));
    FreeText(text_, capacity_);
    text_ = p;
    capacity_ = capacity;
  }
  length_ = new_length;
  text_[length_] = '\0';
}

void String::Prepend(const char* text, int32_t length) {
  int32_t n = TextLength(text, length);
  int32_t new_length = AddLengths(length_, n);
  int32_t capacity = RoundStringCapacity(static_cast<int64_t>(new_length) + 1);
  char* p = AllocateText(capacity);
  if (n > 0) memcpy(p, text, static_cast<size_t>(n));
  if (length_ > 0) memcpy(p + n, text_, static_cast<size_t>(length_));
  p[new_length] = '\0';
  FreeText(text_, capacity_);
  text_ = p;
  capacity_ = capacity;
  length_ = new_length;
}

void String::Shorten(int32_t n) {
  if (n < 0 || n > length_) return;
  length_ -= n;
  if (text_ != nullptr) text_[length_] = '\0';
}

void String::SetLength(int32_t length) {
  if (length < 0) length = 0;
  Reserve(length);
  length_ = length;
  text_[length_] = '\0';
}

void String::Reserve(int32_t length) {
  if (length < 0) length = 0;
  if (length + 1 > capacity_ || text_ == nullptr) {
    Grow(RoundStringCapacity(static_cast<int64_t>(length) + 1));
    if (length_ == 0) text_[0] = '\0';
  }
}

char* String::Release(int32_t* length, int32_t* capacity) {
  char* p = text_;
  if (length) *length = length_;
  if (capacity) *capacity = capacity_;
  text_ = nullptr;
  capacity_ = 0;
  length_ = 0;
  return p;
}

void String::Clear() {
  FreeText(text_, capacity_);
  text_ = nullptr;
  capacity_ = 0;
  length_ = 0;
}

int32_t String::Find(const char* pattern, int32_t pattern_length, int32_t start) const {
  int32_t m = TextLength(pattern, pattern_length);
  if (m == 0 || length_ == 0 || m > length_ || start < 0 || start >= length_) return -1;
  const char first = pattern[0];
  for (int32_t i = start; i + m <= length_; ++i) {
    if (text_[i] == first && memcmp(text_ + i, pattern, static_cast<size_t>(m)) == 0) return i;
  }
  return -1;
}

int32_t String::Count(std::string_view pattern) const {
  int32_t count = 0;
  int32_t at = Find(pattern, 0);
  while (at != -1) {
    ++count;
    at = Find(pattern, at + 1);
  }
  return count;
}

bool String::ContainsByte(char c, int32_t start) const {
  if (start < 0) start = 0;
  for (int32_t i = start; i < length_; ++i) {
    if (text_[i] == c) return true;
  }
  return false;
}

bool String::ByteIs(int32_t position, char c) const {
  return position >= 0 && position < length_ && text_[position] == c;
}

void String::Replace(std::string_view pattern, std::string_view replacement) {
  int32_t at = Find(pattern, 0);
  if (at == -1) return;
  const int32_t m = static_cast<int32_t>(pattern.size());
  String out;
  int32_t done = 0;
  while (at != -1) {
    out.Append(text_ + done, at - done);
    out.Append(replacement);
    done = at + m;
    at = done < length_ ? Find(pattern, done) : -1;
  }
  out.Append(text_ + done, length_ - done);
  *this = std::move(out);
}

String String::Substring(int32_t start, int32_t end) const {
  if (start < 0) start = 0;
  if (end > length_) end = length_;
  if (start >= length_ || end <= start) return String("", 0);
  return String(text_ + start, end - start);
}

String String::Left(int32_t n) const {
  if (n < 0) return String();
  if (n >= length_) return *this;
  return String(Text(), n);
}

String String::From(int32_t position) const {
  if (position < 0) position = 0;
  if (position + 1 > length_) return String("", 0);
  return String(text_ + position, length_ - position);
}

String String::Before(std::string_view pattern) const {
  int32_t at = Find(pattern, 0);
  if (at == -1) return *this;
  return String(Text(), at);
}

String String::FromMatch(std::string_view pattern) const {
  int32_t at = Find(pattern, 0);
  if (at == -1) return String("", 0);
  return String(text_ + at, length_ - at);
}

String String::After(std::string_view pattern) const {
  int32_t at = Find(pattern, 0);
  if (at == -1) return String("", 0);
  int32_t from = at + static_cast<int32_t>(pattern.size());
  return String(text_ + from, length_ - from);
}

void String::Trim() {
  if (length_ == 0) return;
  int32_t end = length_;
  while (end > 0 && IsBlank(text_[end - 1])) --end;
  int32_t begin = 0;
  while (begin < end && IsBlank(text_[begin])) ++begin;
  if (begin > 0) memmove(text_, text_ + begin, static_cast<size_t>(end - begin));
  length_ = end - begin;
  text_[length_] = '\0';
}

void String::TrimLeft() {
  if (length_ == 0) return;
  int32_t begin = 0;
  while (begin < length_ && IsBlank(text_[begin])) ++begin;
  if (begin == 0) return;
  memmove(text_, text_ + begin, static_cast<size_t>(length_ - begin));
  length_ -= begin;
  text_[length_] = '\0';
}

void String::CollapseWhiteSpace() {
  int32_t out = 0;
  bool previous_blank = false;
  for (int32_t i = 0; i < length_; ++i) {
    char c = text_[i];
    bool blank = IsBlank(c);
    if (!(blank && previous_blank)) text_[out++] = c;
    previous_blank = blank;
  }
  if (text_ != nullptr) {
    length_ = out;
    text_[length_] = '\0';
  }
}

void String::ToLower() {
  for (int32_t i = 0; i < length_; ++i) {
    text_[i] = static_cast<char>(LowerByte(static_cast<unsigned char>(text_[i])));
  }
}

String String::Lowered() const {
  String copy(*this);
  copy.ToLower();
  return copy;
}

void String::PadLeft(char c, int32_t width) {
  if (length_ >= width) return;
  int32_t pad = width - length_;
  String out;
  out.Reserve(width);
  memset(out.text_, static_cast<unsigned char>(c), static_cast<size_t>(pad));
  if (length_ > 0) memcpy(out.text_ + pad, text_, static_cast<size_t>(length_));
  out.SetLength(width);
  *this = std::move(out);
}

void String::PadRight(char c, int32_t width) {
  if (length_ >= width) return;
  int32_t old = length_;
  Reserve(width);
  memset(text_ + old, static_cast<unsigned char>(c), static_cast<size_t>(width - old));
  SetLength(width);
}

bool String::TailEqualsNoCase(int32_t position, std::string_view pattern) const {
  if (position < 0 || position > length_) return false;
  size_t remaining = static_cast<size_t>(length_ - position);
  if (pattern.size() != remaining) return false;
  for (size_t i = 0; i < remaining; ++i) {
    if (UpperByte(static_cast<unsigned char>(text_[position + i])) !=
        UpperByte(static_cast<unsigned char>(pattern[i]))) {
      return false;
    }
  }
  return true;
}

bool String::EqualsNoCase(std::string_view other) const {
  if (other.size() != static_cast<size_t>(length_)) return false;
  for (int32_t i = 0; i < length_; ++i) {
    if (LowerByte(static_cast<unsigned char>(text_[i])) !=
        LowerByte(static_cast<unsigned char>(other[static_cast<size_t>(i)]))) {
      return false;
    }
  }
  return true;
}

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 64;
  return -1;
}

}  // namespace

String String::Base64Encode() const {
  String out;
  int64_t encoded = (static_cast<int64_t>(length_) + 2) / 3 * 4;
  if (encoded > kMaxLength) OutOfMemory("String (text too long)");
  out.Reserve(static_cast<int32_t>(encoded));
  const auto* in = reinterpret_cast<const unsigned char*>(Text());
  int32_t n = 0;
  char* o = out.text_;
  int32_t i = 0;
  for (; i + 2 < length_; i += 3) {
    uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    o[n++] = kBase64Alphabet[(v >> 18) & 63];
    o[n++] = kBase64Alphabet[(v >> 12) & 63];
    o[n++] = kBase64Alphabet[(v >> 6) & 63];
    o[n++] = kBase64Alphabet[v & 63];
  }
  if (i < length_) {
    uint32_t v = in[i] << 16;
    if (i + 1 < length_) v |= in[i + 1] << 8;
    o[n++] = kBase64Alphabet[(v >> 18) & 63];
    o[n++] = kBase64Alphabet[(v >> 12) & 63];
    o[n++] = i + 1 < length_ ? kBase64Alphabet[(v >> 6) & 63] : '=';
    o[n++] = '=';
  }
  out.SetLength(n);
  return out;
}

String String::Base64Decode() const {
  String out;
  out.Reserve(length_ + 1);
  char* o = out.text_;
  int32_t n = 0;
  int quartet[4];
  int have = 0;
  for (int32_t i = 0; i < length_; ++i) {
    int v = Base64Value(static_cast<unsigned char>(text_[i]));
    if (v < 0) continue;
    quartet[have++] = v;
    if (have < 4) continue;
    have = 0;
    // A '=' in the first two places leaves no complete byte.
    if (quartet[0] == 64 || quartet[1] == 64) continue;
    uint32_t bits = (static_cast<uint32_t>(quartet[0]) << 18) |
                    (static_cast<uint32_t>(quartet[1]) << 12);
    o[n++] = static_cast<char>((bits >> 16) & 0xFF);
    if (quartet[2] == 64) continue;
    bits |= static_cast<uint32_t>(quartet[2]) << 6;
    o[n++] = static_cast<char>((bits >> 8) & 0xFF);
    if (quartet[3] == 64) continue;
    bits |= static_cast<uint32_t>(quartet[3]);
    o[n++] = static_cast<char>(bits & 0xFF);
  }
  out.SetLength(n);
  return out;
}

}  // namespace lumo
