#include "expr/localized_dictionary.h"

#include <cstdlib>

#include "core/base/byte_order.h"
#include "core/base/dictionary.h"

namespace lumo {

LocalizedDictionary::~LocalizedDictionary() { free(pieces_); }

int32_t LocalizedDictionary::AddPiece(uint32_t kind, int32_t text, int32_t after) {
  if (count_ == capacity_) {
    if (capacity_ > 0x7FFFFFFF - kGrowStep) OutOfMemory("LocalizedDictionary");
    const int32_t capacity = capacity_ + kGrowStep;
    auto* p = static_cast<LocalizedPiece*>(
        realloc(pieces_, sizeof(LocalizedPiece) * static_cast<size_t>(capacity)));
    if (p == nullptr) OutOfMemory("LocalizedDictionary");
    pieces_ = p;
    capacity_ = capacity;
  }
  const int32_t n = count_++;
  pieces_[n] = LocalizedPiece{kind, text, -1};
  if (after >= 0 && after < n) pieces_[after].next = n;
  return n;
}

bool LocalizedDictionary::Link(int32_t piece, int32_t next) {
  if (piece < 0 || piece >= count_ || next < -1 || next >= count_) return false;
  pieces_[piece].next = next;
  return true;
}

bool LocalizedDictionary::Read(Stream& section) {
  unsigned char header[4];
  if (!ReadFully(section, header, 4)) {
    SetErrorText(section.ErrorText());
    return false;
  }
  const uint32_t count = DecodeLe32(header);
  if (count > 0x7FFFFFFF / kPieceRecord) {
    SetErrorText(kCorruptProgramText);
    return false;
  }
  // Grown as the bytes arrive: a count far beyond the section fails at its
  // end rather than allocating what it claims.
  String records;
  if (!ReadFullyGrowing(section, int64_t{count} * kPieceRecord, records)) {
    SetErrorText(section.ErrorText());
    return false;
  }
  const auto n = static_cast<int32_t>(count);
  auto* pieces = static_cast<LocalizedPiece*>(
      malloc(sizeof(LocalizedPiece) * static_cast<size_t>(n > 0 ? n : 1)));
  if (pieces == nullptr) OutOfMemory("LocalizedDictionary");
  const auto* p = reinterpret_cast<const unsigned char*>(records.Text());
  for (int32_t i = 0; i < n; ++i, p += kPieceRecord) {
    const int32_t next = DecodeLeInt32(p + 8);
    if (next < -1 || next >= n) {
      free(pieces);
      SetErrorText(kCorruptProgramText);
      return false;
    }
    pieces[i] = LocalizedPiece{DecodeLe32(p), DecodeLeInt32(p + 4), next};
  }
  free(pieces_);
  pieces_ = pieces;
  count_ = capacity_ = n;
  return true;
}

bool LocalizedDictionary::Write(Stream& out) {
  if (count_ > (String::kMaxLength - 4) / kPieceRecord) {
    SetErrorText("Localized text too large to store");
    return false;
  }
  String image;
  image.SetLength(4 + count_ * kPieceRecord);
  auto* p = reinterpret_cast<unsigned char*>(image.Data());
  EncodeLeInt32(p, count_);
  p += 4;
  for (int32_t i = 0; i < count_; ++i, p += kPieceRecord) {
    EncodeLe32(p, pieces_[i].kind);
    EncodeLeInt32(p + 4, pieces_[i].text);
    EncodeLeInt32(p + 8, pieces_[i].next);
  }
  if (!WriteFully(out, image.Text(), image.Length())) {
    SetErrorText(out.ErrorText());
    return false;
  }
  return true;
}

}  // namespace lumo
