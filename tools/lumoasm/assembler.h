// The assembler: the text form of compiled code (docs/assembly.md) turned
// into a program file. The machine's tests and benchmarks build their
// programs with it, so it also writes what no compiler would: raw words,
// truncated instructions, operand numbers that name nothing.
#ifndef LUMO_TOOLS_LUMOASM_ASSEMBLER_H_
#define LUMO_TOOLS_LUMOASM_ASSEMBLER_H_

#include <cstdint>
#include <string_view>

#include "core/base/string.h"
#include "core/program/program_file.h"

namespace lumo {

// The bytes of a complete .lmc file. On failure `error` is
// "<source_name>:<line>: <message>" for the first fault and `image` is left
// as it was.
bool Assemble(std::string_view source, std::string_view source_name, String* image,
              String* error);

// Assembles straight into the objects a program is loaded into, for callers
// that would only load the image again. The parts must be fresh (an empty
// dictionary and name tables, segment and function managers over that
// dictionary); on failure they must be discarded. `version` receives the
// header version the source asks for.
bool AssembleInto(std::string_view source, std::string_view source_name,
                  const ProgramParts& parts, uint32_t* version, String* error);

}  // namespace lumo

#endif  // LUMO_TOOLS_LUMOASM_ASSEMBLER_H_
