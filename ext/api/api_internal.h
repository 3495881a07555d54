// What the exported C functions share: turning handles back into our own
// objects, checking the texts a library hands in, and keeping C++
// exceptions from unwinding into library code.
//
// A library is outside input. It may pass a null handle, a null text, a
// negative length or a length past what int32_t holds, and none of these
// may take the process down: every export checks its arguments before it
// forwards, and answers a bad one the way the family reports failure.
//
// Library code is usually C built without unwind tables, so an exception
// that reached it would end the process. The only exception our code
// raises on purpose is OutOfMemoryError (the run's memory budget is
// spent); Guard catches it, and everything else, at the export's edge.
// When the program is known the run is stopped with "Out of memory", as it
// would be had the script itself run out.
#ifndef LUMO_EXT_API_API_INTERNAL_H_
#define LUMO_EXT_API_API_INTERNAL_H_

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/vm/lumo_vm.h"
#include "files/file_manager.h"
#include "lumo/lumo.h"
#include "values/variable.h"
#include "values/variable_hash.h"
#include "values/variable_list.h"

// The exported names must keep C linkage and default visibility whatever
// the compile flags; the version script decides what leaves the binary.
#define LUMO_EXPORT extern "C" __attribute__((visibility("default")))

namespace lumo::api {

inline Variable* AsVariable(lmVariable* v) { return reinterpret_cast<Variable*>(v); }
inline lmVariable* Handle(Variable* v) { return reinterpret_cast<lmVariable*>(v); }
inline VariableHash* AsHash(lmVariableHash* h) { return reinterpret_cast<VariableHash*>(h); }
inline lmVariableHash* Handle(VariableHash* h) { return reinterpret_cast<lmVariableHash*>(h); }
inline VariableList* AsList(lmVariableList* l) { return reinterpret_cast<VariableList*>(l); }
inline lmVariableList* Handle(VariableList* l) { return reinterpret_cast<lmVariableList*>(l); }
inline LumoVM* AsProgram(lmProgram* p) { return reinterpret_cast<LumoVM*>(p); }
inline lmProgram* Handle(LumoVM* p) { return reinterpret_cast<lmProgram*>(p); }
inline File* AsFile(lmFile* f) { return reinterpret_cast<File*>(f); }
inline lmFile* Handle(File* f) { return reinterpret_cast<lmFile*>(f); }

// A text argument as a view: -1 reads to the terminating zero; any other
// negative length, or a null pointer with a length, is refused. A null
// pointer with length 0 (or -1) is the empty text.
inline bool TextArgument(const char* text, int32_t length, std::string_view* out) {
  if (length == -1) {
    if (text == nullptr) {
      *out = {};
      return true;
    }
    const size_t n = strlen(text);
    if (n > static_cast<size_t>(INT32_MAX)) return false;
    *out = {text, n};
    return true;
  }
  if (length < 0 || (text == nullptr && length > 0)) return false;
  *out = text == nullptr ? std::string_view() : std::string_view(text, static_cast<size_t>(length));
  return true;
}

inline int32_t Length(std::string_view text) { return static_cast<int32_t>(text.size()); }

// Hands out a text result: the pointer, and its length when asked for.
inline const char* TextResult(const String& text, int32_t* length) {
  if (length != nullptr) *length = text.Length();
  return text.Text();
}

// Stops the program's run as running out of memory inside the script would.
void NoteOutOfMemory(LumoVM* program);

// Runs `body`, turning any exception into `failure`. With a program, a
// failed allocation also stops its run.
template <typename Result, typename Body>
Result Guard(LumoVM* program, Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    NoteOutOfMemory(program);
  } catch (...) {
  }
  return failure;
}

template <typename Body>
void GuardVoid(LumoVM* program, Body&& body) noexcept {
  try {
    body();
  } catch (const std::bad_alloc&) {
    NoteOutOfMemory(program);
  } catch (...) {
  }
}

}  // namespace lumo::api

#endif  // LUMO_EXT_API_API_INTERNAL_H_
