// The code listing: one line per instruction of a segment, with the
// mnemonics of the instruction set. Used by `lumoasm --list` and when the
// expression compiler is asked to show what it compiled.
#ifndef LUMO_CORE_PROGRAM_LISTING_H_
#define LUMO_CORE_PROGRAM_LISTING_H_

#include <string_view>

#include "core/base/dictionary.h"
#include "core/base/string.h"
#include "core/program/function_manager.h"
#include "core/program/segment_manager.h"
#include "values/variable_hash.h"

namespace lumo {

// Appends "\n\nExpression: <source>\n", then for each instruction its
// offset, a tab, the mnemonic and a tab, then "dword:%d" or "double:%f" for
// the first operand and ", dword:%d" / ", double:%f" for the second, and a
// newline. A word without a listing name gives "Illegal Instruction".
void ListSegment(const Segment& segment, std::string_view source, String& out);

// What a program's numbers stand for; any of them may be null.
struct ListingNames {
  const Dictionary* dictionary = nullptr;
  VariableHash* system = nullptr;
  VariableHash* globals = nullptr;
  FunctionManager* functions = nullptr;
  Function* function = nullptr;  // whose locals pushl and popl address
};

// The listing for people: "; title", then per instruction the offset in
// eight hexadecimal digits (as run-time errors give it), the assembler's
// mnemonic, and the operands by what they address: constants as quoted
// texts, variables and functions by name, jumps with their target. A
// number with no name behind it is shown as "#N".
void ListSegmentNamed(const Segment& segment, std::string_view title, const ListingNames& names,
                      String& out);

}  // namespace lumo

#endif  // LUMO_CORE_PROGRAM_LISTING_H_
