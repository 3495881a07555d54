#include "core/program/listing.h"

#include <cstdio>

#include "core/program/opcodes.h"

namespace lumo {

namespace {

constexpr char kIllegal[] = "Illegal Instruction\n";

// Appends one operand read at `position`, which the caller has checked lies
// inside the segment.
void AppendOperand(const Segment& segment, int kind, int32_t position, String& out) {
  // Wide enough for %f of the largest double (309 digits and the fraction).
  char text[400];
  int length = 0;
  if (kind == kOperandInteger) {
    int32_t value = 0;
    segment.ReadDword(position, &value);
    length = snprintf(text, sizeof text, "dword:%d", value);
  } else {
    double value = 0;
    segment.ReadDouble(position, &value);
    length = snprintf(text, sizeof text, "double:%f", value);
  }
  out.Append(text, length);
}

}  // namespace

void ListSegment(const Segment& segment, std::string_view source, String& out) {
  out.Append("\n\nExpression: ");
  out.Append(source);
  out.Append('\n');
  int32_t position = 0;
  while (position < segment.Size()) {
    char offset[16];
    out.Append(offset, snprintf(offset, sizeof offset, "%d\t", position));
    uint16_t word = 0;
    const int32_t after = segment.ReadWord(position, &word);
    // The operands' sizes come from the word's bits whether or not the
    // word is known, so the listing can step over an unknown one; what
    // runs past the end cannot be stepped over and ends the listing.
    const int kinds[2] = {FirstOperandKind(word), SecondOperandKind(word)};
    const int32_t next = position + InstructionSize(word);
    if (after < 0 || next > segment.Size()) {
      out.Append(kIllegal);
      return;
    }
    const OpcodeInfo* info = FindOpcode(word);
    if (info == nullptr || info->listing_name == nullptr) {
      out.Append(kIllegal);
      position = next;
      continue;
    }
    out.Append(info->listing_name);
    out.Append('\t');
    int32_t at = after;
    bool first = true;
    for (int kind : kinds) {
      if (kind != kOperandInteger && kind != kOperandDouble) continue;
      if (!first) out.Append(", ");
      first = false;
      AppendOperand(segment, kind, at, out);
      at += OperandSize(kind);
    }
    out.Append('\n');
    position = next;
  }
}

}  // namespace lumo
