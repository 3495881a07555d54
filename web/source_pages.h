// Pages served from source: a request for a .lum file compiles it on first
// use and keeps the program image in memory, keyed by the page's path and
// checked against the modification time and size of the page and of every
// part it included. The sources are read through the worker's file manager
// (the script directory's sandbox), never sent as they are.
#ifndef LUMO_WEB_SOURCE_PAGES_H_
#define LUMO_WEB_SOURCE_PAGES_H_

#include <memory>
#include <string>
#include <string_view>

#include "core/base/string.h"
#include "expr/builtin_functions.h"
#include "files/file_manager.h"

namespace lumo {

// A page (".lum") rather than a compiled program.
bool IsSourcePage(std::string_view path);

class SourcePages {
 public:
  // More pages than this and the cache starts again empty.
  static constexpr size_t kMaxPages = 1024;

  // The process's cache, shared by the workers.
  static SourcePages& Shared();

  // The program of the page at `path` (inside the script directory), made
  // now or taken from the cache. On false `messages` holds the compiler's
  // messages (or why the page cannot be read), as plain text. `builtins`
  // are the library functions the page may call.
  bool Program(FileManager& files, std::string_view path, const BuiltinFunctions* builtins,
               std::string* image, std::string* messages);
  void Clear();
  // Lets LmDO name pages too (compiled through this cache).
  static void RegisterForDo();

 private:
  struct Entry;
  struct State;
  SourcePages();
  std::shared_ptr<const Entry> Compile(FileManager& files, const std::string& path,
                                       const BuiltinFunctions* builtins);

  std::unique_ptr<State> state_;
};

}  // namespace lumo

#endif  // LUMO_WEB_SOURCE_PAGES_H_
