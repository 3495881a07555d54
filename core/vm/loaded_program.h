// LoadedProgram: the parts of one loaded program, owned together: its
// constant pool, code, functions and localized text, and the two name
// tables the owner chooses (a run's own tables, or references laid over a
// calling program's). The request context, LmDO's called programs and
// lumorun each hold one; the machine that runs it must go first.
#ifndef LUMO_CORE_VM_LOADED_PROGRAM_H_
#define LUMO_CORE_VM_LOADED_PROGRAM_H_

#include <memory>

#include "core/base/dictionary.h"
#include "core/base/string.h"
#include "core/program/function_manager.h"
#include "core/program/program_file.h"
#include "core/program/segment_manager.h"
#include "expr/localized_dictionary.h"
#include "expr/localized_languages.h"
#include "values/variable_hash.h"

namespace lumo {

class TaggedFile;

class LoadedProgram {
 public:
  LoadedProgram()
      : dictionary_(std::make_unique<Dictionary>()),
        segments_(std::make_unique<SegmentManager>()),
        functions_(std::make_unique<FunctionManager>(dictionary_.get())),
        pieces_(std::make_unique<LocalizedDictionary>()),
        languages_(std::make_unique<LocalizedLanguages>(dictionary_.get(), pieces_.get())) {}
  LoadedProgram(const LoadedProgram&) = delete;
  LoadedProgram& operator=(const LoadedProgram&) = delete;

  Dictionary* GetDictionary() const { return dictionary_.get(); }
  // The name tables, made by the owner over GetDictionary().
  void SetScopes(std::unique_ptr<VariableHash> system, std::unique_ptr<VariableHash> globals) {
    system_ = std::move(system);
    globals_ = std::move(globals);
  }
  VariableHash* System() const { return system_.get(); }
  VariableHash* Globals() const { return globals_.get(); }

  ProgramParts Parts() const {
    return {dictionary_.get(), system_.get(),    globals_.get(),
            segments_.get(),   functions_.get(), languages_.get()};
  }
  // Reads the attached file into the parts; false with the reason.
  bool Load(TaggedFile& file, String* error) { return LoadProgram(file, Parts(), error); }

 private:
  // Declared in dependency order: everything below refers to the
  // dictionary, so it goes last.
  std::unique_ptr<Dictionary> dictionary_;
  std::unique_ptr<SegmentManager> segments_;
  std::unique_ptr<FunctionManager> functions_;
  std::unique_ptr<LocalizedDictionary> pieces_;
  std::unique_ptr<LocalizedLanguages> languages_;
  std::unique_ptr<VariableHash> system_;
  std::unique_ptr<VariableHash> globals_;
};

}  // namespace lumo

#endif  // LUMO_CORE_VM_LOADED_PROGRAM_H_
