// Whole files outside the sandbox: the server's own configuration file,
// read at start-up and replaced atomically when saved. Scripts never reach
// these; they go through a FileManager.
#ifndef LUMO_FILES_WHOLE_FILE_H_
#define LUMO_FILES_WHOLE_FILE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/base/string.h"

namespace lumo {

enum class WholeFileRead { kRead, kMissing, kFailed };

// Reads a regular file of at most max_size bytes into *text. A missing
// file is kMissing; anything else that stops the read is kFailed with
// *problem saying why ("cannot open: ...", "not a regular file", "larger
// than N bytes, not read"). A FIFO or device never blocks the caller.
WholeFileRead ReadWholeFile(const std::string& path, int64_t max_size, std::string* text,
                            std::string* problem);

// Replaces the file at `path` with `contents` so that a crash leaves
// either the old or the new file whole: a temporary file in the same
// directory is written, synced and renamed over it. Missing parent
// directories are made. A symbolic link is followed, not replaced. An
// existing file's permission bits are kept; a new file gets 0644.
// `before_rename`, when set, runs just before the rename; returning false
// abandons the save there (a seam for testing interrupted saves). On
// failure the temporary file is removed, the old file is untouched and
// *error names the file and the cause.
bool WriteFileAtomically(const std::string& path, std::string_view contents, String* error,
                         const std::function<bool()>& before_rename = {});

}  // namespace lumo

#endif  // LUMO_FILES_WHOLE_FILE_H_
