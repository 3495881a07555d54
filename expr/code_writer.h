// Collects the instructions of one compilation before they go into a
// segment: a failed compilation then leaves no segment behind, and the
// program does not grow by a segment for every mistyped filter.
#ifndef LUMO_EXPR_CODE_WRITER_H_
#define LUMO_EXPR_CODE_WRITER_H_

#include <cstdint>
#include <vector>

#include "core/program/segment_manager.h"

namespace lumo {

class CodeWriter {
 public:
  // The operand bits of the word decide how many operands are written; a
  // word that wants a double operand is not something the compiler emits.
  void Emit(uint16_t word) { Word(word); }
  void Emit(uint16_t word, int32_t operand) {
    Word(word);
    Dword(operand);
  }
  void Emit(uint16_t word, int32_t first, int32_t second) {
    Word(word);
    Dword(first);
    Dword(second);
  }

  int32_t Size() const { return static_cast<int32_t>(bytes_.size()); }
  const std::vector<unsigned char>& Bytes() const { return bytes_; }
  // Writes everything collected at the start of the segment.
  void CopyTo(Segment& segment) const {
    if (!bytes_.empty()) segment.WriteBytes(0, bytes_.data(), Size());
  }

 private:
  void Word(uint16_t w) {
    bytes_.push_back(static_cast<unsigned char>(w & 0xFF));
    bytes_.push_back(static_cast<unsigned char>(w >> 8));
  }
  void Dword(int32_t d) {
    const auto u = static_cast<uint32_t>(d);
    for (int shift = 0; shift < 32; shift += 8) {
      bytes_.push_back(static_cast<unsigned char>((u >> shift) & 0xFF));
    }
  }

  std::vector<unsigned char> bytes_;
};

}  // namespace lumo

#endif  // LUMO_EXPR_CODE_WRITER_H_
