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

  // A jump whose distance is not known yet: where its operand stands and
  // the end of the instruction the distance counts from.
  struct Fixup {
    int32_t operand = -1;
    int32_t end = 0;
  };
  // An instruction whose first operand is a distance still to be fixed.
  Fixup EmitForward(uint16_t word, bool second = false, int32_t b = 0) {
    Word(word);
    Fixup f;
    f.operand = Size();
    Dword(0);
    if (second) Dword(b);
    f.end = Size();
    return f;
  }
  void EmitBackward(uint16_t word, int32_t target, bool second = false, int32_t b = 0) {
    const int32_t end = Size() + 6 + (second ? 4 : 0);
    Word(word);
    Dword(target - end);
    if (second) Dword(b);
  }
  // A default Fixup stands for no jump and is left alone.
  void Patch(const Fixup& f, int32_t target) {
    if (f.operand < 0) return;
    const auto u = static_cast<uint32_t>(target - f.end);
    for (int i = 0; i < 4; ++i) {
      bytes_[static_cast<size_t>(f.operand + i)] = static_cast<unsigned char>((u >> (8 * i)) & 0xFF);
    }
  }
  void Append(const std::vector<unsigned char>& more) {
    bytes_.insert(bytes_.end(), more.begin(), more.end());
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
