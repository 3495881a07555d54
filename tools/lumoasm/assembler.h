// The assembler: the text form of compiled code (docs/assembly.md) turned
// into a program file. The machine's tests and benchmarks build their
// programs with it, so it also writes what no compiler would: raw words,
// truncated instructions, operand numbers that name nothing.
#ifndef LUMO_TOOLS_LUMOASM_ASSEMBLER_H_
#define LUMO_TOOLS_LUMOASM_ASSEMBLER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Assembles instructions (no blocks, no program directives) as code to be
// placed inside a compiled page: labels are the fragment's own, names are
// the program's globals and system variables, the locals of `function` (or
// none at the top level) and its functions. `first_line` numbers the
// fragment's first line; on failure `error_line` and `error` say where and
// why.
bool AssembleFragment(std::string_view source, std::string_view source_name, int first_line,
                      const ProgramParts& parts, Function* function,
                      std::vector<unsigned char>* code, int* error_line, std::string* error);

}  // namespace lumo

#endif  // LUMO_TOOLS_LUMOASM_ASSEMBLER_H_
