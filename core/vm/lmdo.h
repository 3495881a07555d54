// LmDO: running another program file, or one function of it, from a
// script. Each file called gets a DoContext: its own dictionary, code,
// functions and machine (a child of the machine that first called it),
// with scopes laid over the caller's globals and system variables, so that
// what one program assigns the other sees under the same name.
//
// Contexts are cached per run, in the root machine, by the file's
// canonical path; "maxdocache" bounds the cache, evicting the least
// recently used contexts that no run is using.
//
// Every name goes through the file manager's script location: a called
// program is always found inside the script directory, however the name
// was built.
#ifndef LUMO_CORE_VM_LMDO_H_
#define LUMO_CORE_VM_LMDO_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/base/hash_table.h"
#include "core/base/string.h"
#include "core/program/program_file.h"
#include "core/vm/loaded_program.h"

namespace lumo {

class BuiltinFunctions;
class LumoVM;

// A call expression compiled into the called program's code.
class DoExpression {
 public:
  DoExpression(std::string_view text, int32_t segment)
      : text_(text.data(), static_cast<int32_t>(text.size())), segment_(segment) {}
  std::string_view Name() const { return text_.View(); }
  int32_t Segment() const { return segment_; }

 private:
  String text_;
  int32_t segment_;
};

class DoContext {
 public:
  // `path` is the canonical full path (the cache key), `name` the path
  // inside the script directory (the machine's program name).
  DoContext(std::string_view path, std::string_view name);
  DoContext(const DoContext&) = delete;
  DoContext& operator=(const DoContext&) = delete;
  ~DoContext();

  // Loads the attached file over the caller's scopes and makes the
  // machine, a child of `caller`. False with ErrorText on failure.
  bool Load(TaggedFile& file, LumoVM* caller);

  const String& Path() const { return path_; }
  const String& Name() const { return name_; }
  const String& ErrorText() const { return error_; }
  LumoVM* Machine() const { return vm_.get(); }
  ProgramParts Parts() const { return program_.Parts(); }
  // A run of this program is going on (or a machine made under it lives).
  bool InUse() const;

  DoExpression* FindExpression(std::string_view text) const { return expressions_.Find(text); }
  DoExpression* AddExpression(std::string_view text, int32_t segment);
  int32_t ExpressionCount() const { return expressions_.Count(); }

  // Most-recently-used order of the cache.
  DoContext* newer = nullptr;
  DoContext* older = nullptr;

 private:
  String path_;
  String name_;
  String error_;
  LoadedProgram program_;  // over the caller's scopes
  NameHashTable<DoExpression> expressions_{true, false, 12};
  std::unique_ptr<LumoVM> vm_;  // last: it runs over everything above
};

// The contexts of one run, kept by the root machine.
class DoCache {
 public:
  DoCache() = default;
  DoCache(const DoCache&) = delete;
  DoCache& operator=(const DoCache&) = delete;
  // Destroys every context, those whose machines have children last.
  ~DoCache();

  // The context of a canonical path, made the most recently used; null
  // when not cached.
  DoContext* Find(std::string_view path);
  // Files a new context as the most recently used (the cache owns it).
  void Add(DoContext* context);
  // Before a new context is added under a limit of `max` (0: none):
  // destroys the least recently used contexts not in use until fewer than
  // `max` remain or none is left to try.
  void MakeRoom(int32_t max);
  int32_t Count() const { return static_cast<int32_t>(by_path_.size()); }
  // Programs loaded since the run began (a reload counts again).
  int32_t Loads() const { return loads_; }

  // LmDO runs nested in one another right now, over the whole run.
  int32_t depth = 0;

 private:
  void Unlink(DoContext* context);

  std::unordered_map<std::string, DoContext*> by_path_;
  DoContext* head_ = nullptr;  // most recent
  DoContext* tail_ = nullptr;
  int32_t loads_ = 0;
};

// Compiles a call expression into a new segment of the called program's
// code (`parts`); false with the compiler's message. The caller's external
// function declarations and the builtin functions are visible to it;
// `source_file` and `line` are the caller's, for messages.
bool CompileDoExpression(const ProgramParts& parts, FunctionManager* caller_functions,
                         const BuiltinFunctions* builtins, std::string_view text,
                         std::string_view source_file, int32_t line, int32_t* segment,
                         String* error);

}  // namespace lumo

#endif  // LUMO_CORE_VM_LMDO_H_
