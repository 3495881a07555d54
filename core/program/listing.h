// The code listing: one line per instruction of a segment, with the
// mnemonics of the instruction set. Used by `lumoasm --list` and when the
// expression compiler is asked to show what it compiled.
#ifndef LUMO_CORE_PROGRAM_LISTING_H_
#define LUMO_CORE_PROGRAM_LISTING_H_

#include <string_view>

#include "core/base/string.h"
#include "core/program/segment_manager.h"

namespace lumo {

// Appends "\n\nExpression: <source>\n", then for each instruction its
// offset, a tab, the mnemonic and a tab, then "dword:%d" or "double:%f" for
// the first operand and ", dword:%d" / ", double:%f" for the second, and a
// newline. A word without a listing name gives "Illegal Instruction".
void ListSegment(const Segment& segment, std::string_view source, String& out);

}  // namespace lumo

#endif  // LUMO_CORE_PROGRAM_LISTING_H_
