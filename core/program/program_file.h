// Loading and writing a whole compiled program: the constant pool, the
// localized text tables, the system and global name tables, the code and
// the functions, in the order the readers depend on (every other section
// names dictionary entries).
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

// Sections whose classes live above this layer (the localized text tables)
// and are read and written along with the program. The loader calls Read
// right after the dictionary, so the tables can name its entries; the
// file is still open then and is closed once loading ends.
class ProgramSectionTables {
 public:
  virtual ~ProgramSectionTables() = default;
  // Reads the tables' sections from the attached file; on failure `error`
  // says why and the tables must be discarded.
  virtual bool Read(TaggedFile& file, String* error) = 0;
  // Appends the tables' sections; the writer's version decides their
  // layout.
  virtual bool Write(TaggedFileWriter& writer, String* error) = 0;
};

// The objects a program is loaded into. The scopes belong to the run (the
// program context), the rest usually lives with them. Without `localized`
// a program's localized sections are neither read nor written.
struct ProgramParts {
  Dictionary* dictionary;
  VariableHash* system;
  VariableHash* globals;
  SegmentManager* segments;
  FunctionManager* functions;
  ProgramSectionTables* localized = nullptr;
};

// Reads every section from an attached file and closes it. On failure
// `error` holds the reader's text and the parts must be discarded.
bool LoadProgram(TaggedFile& file, const ProgramParts& parts, String* error);

// Writes a complete program file: "dict", the localized sections when the
// parts have tables, "syst", "glbl", "segs", "func".
bool WriteProgram(Stream& out, const ProgramParts& parts, String* error,
                  uint32_t version = TaggedFileWriter::kCurrentVersion);

}  // namespace lumo

#endif  // LUMO_CORE_PROGRAM_PROGRAM_FILE_H_
