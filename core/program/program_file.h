// Loading and writing a whole compiled program: the constant pool, the
// system and global name tables, the code and the functions, in the order
// the readers depend on (every other section names dictionary entries).
#ifndef LUMO_CORE_PROGRAM_PROGRAM_FILE_H_
#define LUMO_CORE_PROGRAM_PROGRAM_FILE_H_

#include <cstdint>

#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "core/base/string.h"
#include "core/program/function_manager.h"
#include "core/program/segment_manager.h"
#include "core/program/tagged_file.h"
#include "values/variable_hash.h"

namespace lumo {

// The objects a program is loaded into. The scopes belong to the run (the
// program context), the rest usually lives with them.
struct ProgramParts {
  Dictionary* dictionary;
  VariableHash* system;
  VariableHash* globals;
  SegmentManager* segments;
  FunctionManager* functions;
};

// Reads every section from an attached file and closes it. On failure
// `error` holds the reader's text and the parts must be discarded.
bool LoadProgram(TaggedFile& file, const ProgramParts& parts, String* error);

// Writes a complete program file: "dict", "syst", "glbl", "segs", "func".
bool WriteProgram(Stream& out, const ProgramParts& parts, String* error,
                  uint32_t version = TaggedFileWriter::kCurrentVersion);

}  // namespace lumo

#endif  // LUMO_CORE_PROGRAM_PROGRAM_FILE_H_
