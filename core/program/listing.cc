#include "core/program/listing.h"

#include <cstdio>
#include <cstring>

#include "core/program/opcodes.h"

namespace lumo {

namespace {

constexpr char kIllegal[] = "Illegal Instruction\n";

struct Instruction {
  int32_t position = 0;
  uint16_t word = 0;
  int kinds[2] = {kOperandNone, kOperandNone};
  int32_t operands = 0;  // where the first operand starts
  int32_t next = 0;
  const OpcodeInfo* info = nullptr;  // null for a word no opcode has
  bool cut = false;                  // runs past the end; nothing else holds
};

// Both listings step over an unknown word by the operand sizes its bits
// give, so one bad word does not hide the rest; what runs past the end
// cannot be stepped over and ends the walk after `visit` has seen it.
template <typename Visit>
void WalkInstructions(const Segment& segment, Visit visit) {
  int32_t position = 0;
  while (position < segment.Size()) {
    Instruction in;
    in.position = position;
    in.operands = segment.ReadWord(position, &in.word);
    in.kinds[0] = FirstOperandKind(in.word);
    in.kinds[1] = SecondOperandKind(in.word);
    in.next = position + InstructionSize(in.word);
    in.cut = in.operands < 0 || in.next > segment.Size();
    if (!in.cut) in.info = FindOpcode(in.word);
    visit(in);
    if (in.cut) return;
    position = in.next;
  }
}

// `visit(index, kind, at)` for each operand the word has.
template <typename Visit>
void ForEachOperand(const Instruction& in, Visit visit) {
  int32_t at = in.operands;
  for (int index = 0; index < 2; ++index) {
    const int kind = in.kinds[index];
    if (kind != kOperandInteger && kind != kOperandDouble) continue;
    visit(index, kind, at);
    at += OperandSize(kind);
  }
}

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
  WalkInstructions(segment, [&](const Instruction& in) {
    char offset[16];
    out.Append(offset, snprintf(offset, sizeof offset, "%d\t", in.position));
    if (in.cut || in.info == nullptr || in.info->listing_name == nullptr) {
      out.Append(kIllegal);
      return;
    }
    out.Append(in.info->listing_name);
    out.Append('\t');
    bool first = true;
    ForEachOperand(in, [&](int, int kind, int32_t at) {
      if (!first) out.Append(", ");
      first = false;
      AppendOperand(segment, kind, at, out);
    });
    out.Append('\n');
  });
}

namespace {

// A constant as the assembler would take it back, cut after 60 bytes.
void AppendQuoted(std::string_view text, String& out) {
  constexpr size_t kShown = 60;
  out.Append('"');
  for (size_t i = 0; i < text.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out.Append("\\\""); break;
      case '\\': out.Append("\\\\"); break;
      case '\n': out.Append("\\n"); break;
      case '\t': out.Append("\\t"); break;
      case '\r': out.Append("\\r"); break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char hex[8];
          out.Append(hex, snprintf(hex, sizeof hex, "\\x%02x", c));
        } else {
          out.Append(static_cast<char>(c));
        }
    }
  }
  out.Append('"');
  if (text.size() > kShown) out.Append("...");
}

void AppendNumber(int32_t value, String& out) {
  char text[16];
  out.Append(text, snprintf(text, sizeof text, "#%d", value));
}

void AppendName(std::string_view name, int32_t value, String& out) {
  if (name.empty()) {
    AppendNumber(value, out);
  } else {
    out.Append(name);
  }
}

std::string_view EntryName(VariableHash* hash, int32_t entry) {
  if (hash == nullptr || entry < 0 || entry >= hash->EntryCount()) return {};
  return hash->EntryName(entry);
}

void AppendNamedOperand(const ListingNames& names, uint16_t word, int index, int32_t value,
                        int32_t next, String& out) {
  switch (RoleOfOperand(word, index)) {
    case OperandRole::kConstant:
      if (names.dictionary != nullptr && value >= 0 && value < names.dictionary->Count()) {
        AppendQuoted(names.dictionary->EntryView(value), out);
      } else {
        AppendNumber(value, out);
      }
      return;
    case OperandRole::kGlobal:
      AppendName(EntryName(names.globals, value), value, out);
      return;
    case OperandRole::kSystem:
      AppendName(EntryName(names.system, value), value, out);
      return;
    case OperandRole::kLocal:
      AppendName(names.function ? EntryName(&names.function->Locals(), value) : std::string_view(),
                 value, out);
      return;
    case OperandRole::kFunction: {
      Function* f = names.functions != nullptr && value >= 0 && value < names.functions->Count()
                        ? names.functions->Function(value)
                        : nullptr;
      AppendName(f != nullptr ? f->Name().View() : std::string_view(), value, out);
      return;
    }
    case OperandRole::kLabel:
      break;
  }
  char text[48];
  if (std::strncmp(FindOpcode(word)->name, "jmp", 3) == 0) {
    out.Append(text, snprintf(text, sizeof text, "%+d (%08x)", value,
                              static_cast<uint32_t>(next + value)));
  } else {
    out.Append(text, snprintf(text, sizeof text, "%d", value));
  }
}

}  // namespace

void ListSegmentNamed(const Segment& segment, std::string_view title, const ListingNames& names,
                      String& out) {
  out.Append("; ");
  out.Append(title);
  out.Append('\n');
  WalkInstructions(segment, [&](const Instruction& in) {
    char offset[16];
    out.Append(offset,
               snprintf(offset, sizeof offset, "%08x\t", static_cast<uint32_t>(in.position)));
    if (in.cut) {
      out.Append("(cut short)\n");
      return;
    }
    if (in.info == nullptr) {
      char unknown[32];
      out.Append(unknown, snprintf(unknown, sizeof unknown, "(unknown word 0x%04x)\n", in.word));
      return;
    }
    out.Append(in.info->name);
    ForEachOperand(in, [&](int index, int kind, int32_t at) {
      out.Append(index == 0 ? "\t" : ", ");
      if (kind == kOperandDouble) {
        double value = 0;
        segment.ReadDouble(at, &value);
        char text[64];
        out.Append(text, snprintf(text, sizeof text, "%.17g", value));
      } else {
        int32_t value = 0;
        segment.ReadDword(at, &value);
        AppendNamedOperand(names, in.word, index, value, in.next, out);
      }
    });
    out.Append('\n');
  });
}

}  // namespace lumo
