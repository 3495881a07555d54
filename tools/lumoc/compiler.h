// lumoc's compiler: a Lumo Script page (text with Lm tags and {{ }}
// prints, docs/language.md) turned into a program file. The command, the
// tests and (later) the server share it, so it never writes to a terminal
// and never stops at the first fault: every fault becomes a message with
// its file, line and column.
#ifndef LUMO_TOOLS_LUMOC_COMPILER_H_
#define LUMO_TOOLS_LUMOC_COMPILER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/string.h"
#include "core/program/program_file.h"
#include "expr/builtin_functions.h"

namespace lumo {

struct CompileMessage {
  std::string file;
  int32_t line = 0;    // 1-based
  int32_t column = 0;  // 1-based byte column
  std::string text;
  std::string source_line;  // the line the message points into, without its end
};

// Where included sources come from: the disk for the command, a table for
// tests.
class SourceReader {
 public:
  virtual ~SourceReader() = default;
  // The whole file, or false with a sentence saying why.
  virtual bool Read(const std::string& path, std::string* text, std::string* error) = 0;
  // A name that is equal for every spelling of the same file (for include
  // cycles), or "" when there is no such file.
  virtual std::string Identity(const std::string& path) = 0;
};

class PosixSourceReader : public SourceReader {
 public:
  bool Read(const std::string& path, std::string* text, std::string* error) override;
  std::string Identity(const std::string& path) override;
};

struct CompileOptions {
  std::vector<std::string> include_dirs;
  // Messages after this many are dropped (the last one says so).
  int max_messages = 50;
  // The library functions a page may call; without them any call of a
  // function the page does not define is a fault.
  const BuiltinFunctions* builtins = nullptr;
};

class LumoCompiler {
 public:
  static constexpr int kMaxIncludeDepth = 64;
  static constexpr int kMaxBlockDepth = 10000;

  // Without a reader the disk is read.
  explicit LumoCompiler(CompileOptions options = {}, SourceReader* reader = nullptr);
  LumoCompiler(const LumoCompiler&) = delete;
  LumoCompiler& operator=(const LumoCompiler&) = delete;
  ~LumoCompiler();

  // `path` is read through the reader; `display_name` (default: the path's
  // last component) is what messages and the program's source markers call
  // it. The image is a complete .lmc file.
  bool CompileFile(const std::string& path, String* image, std::string_view display_name = {});
  // The same for a source held in memory; includes are looked up beside
  // `path` (which need not exist).
  bool CompileSource(std::string_view source, const std::string& path, String* image,
                     std::string_view display_name = {});
  // Straight into fresh program parts (an empty dictionary, name tables and
  // managers over it), which must be discarded on failure.
  bool CompileInto(std::string_view source, const std::string& path, const ProgramParts& parts,
                   std::string_view display_name = {});

  const std::vector<CompileMessage>& Messages() const { return messages_; }
  // Every message as "file:line:column: text", the source line and a caret.
  std::string FormattedMessages() const;
  // Whether a file could not be read (lumoc exits with 2 then).
  bool ReadFailed() const { return read_failed_; }

  struct Impl;

 private:
  CompileOptions options_;
  PosixSourceReader posix_reader_;
  SourceReader* reader_;
  std::vector<CompileMessage> messages_;
  bool read_failed_ = false;
};

}  // namespace lumo

#endif  // LUMO_TOOLS_LUMOC_COMPILER_H_
