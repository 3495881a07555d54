// lmProgram_*: what a library may ask of the running program. The handle is
// the LumoVM that called the library; through it the calls reach the run's
// context (output, language, time-outs), its scopes and its code.
//
// Lookup_ExternalFunction, Lookup_Persistent, Register_Persistent and
// SystemLibrary belong to the loading side and are defined there.
#include <sys/random.h>

#include <cstdlib>
#include <vector>

#include "core/context/entities.h"
#include "core/vm/vm_stack.h"
#include "ext/api/api_internal.h"

namespace lumo::api {

void NoteOutOfMemory(LumoVM* program) {
  if (program == nullptr) {
    // The library's caller raises it once the library returns.
    NoteForeignOutOfMemory();
    return;
  }
  try {
    program->FatalError("Out of memory");
  } catch (...) {
  }
}

namespace {

// A UTF-8 encoding of a character reference; false for a number that
// names no character.
bool AppendCodePoint(String& out, uint32_t c) {
  if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  if (c < 0x80) {
    out.Append(static_cast<char>(c));
  } else if (c < 0x800) {
    out.Append(static_cast<char>(0xC0 | (c >> 6)));
    out.Append(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.Append(static_cast<char>(0xE0 | (c >> 12)));
    out.Append(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.Append(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.Append(static_cast<char>(0xF0 | (c >> 18)));
    out.Append(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.Append(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.Append(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return true;
}

// Length of the reference at text[0] == '&' and its decoded form appended,
// or 0 when it is not one we know (the '&' then stays as it is).
size_t DecodeReference(std::string_view text, String& out) {
  const size_t semicolon = text.find(';', 1);
  // The longest reference we decode is "&#x10FFFF;".
  if (semicolon == std::string_view::npos || semicolon > 10) return 0;
  const std::string_view name = text.substr(1, semicolon - 1);
  struct Named {
    std::string_view name;
    const char* text;
  };
  static constexpr Named kNamed[] = {{"amp", "&"},  {"lt", "<"},   {"gt", ">"},
                                     {"quot", "\""}, {"apos", "'"}, {"nbsp", "\xC2\xA0"}};
  for (const Named& n : kNamed) {
    if (name == n.name) {
      out.Append(n.text);
      return semicolon + 1;
    }
  }
  if (name.size() < 2 || name[0] != '#') return 0;
  const bool hex = name[1] == 'x' || name[1] == 'X';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty()) return 0;
  uint32_t c = 0;
  for (char d : digits) {
    uint32_t v;
    if (d >= '0' && d <= '9') {
      v = static_cast<uint32_t>(d - '0');
    } else if (hex && d >= 'a' && d <= 'f') {
      v = static_cast<uint32_t>(d - 'a' + 10);
    } else if (hex && d >= 'A' && d <= 'F') {
      v = static_cast<uint32_t>(d - 'A' + 10);
    } else {
      return 0;
    }
    c = c * (hex ? 16 : 10) + v;
    if (c > 0x10FFFF) return 0;
  }
  return AppendCodePoint(out, c) ? semicolon + 1 : 0;
}

String DecodeEntities(std::string_view text) {
  String out;
  out.Reserve(Length(text));
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '&') {
      const size_t used = DecodeReference(text.substr(i), out);
      if (used > 0) {
        i += used;
        continue;
      }
    }
    out.Append(text[i]);
    ++i;
  }
  return out;
}

// An attribute value may come as it stands in markup, in quotes.
std::string_view Unquoted(std::string_view text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

// The run's own text processing results go into a library's variable.
int StoreText(lmVariable* result, const String& text) {
  return AsVariable(result)->SetValue(text.Text(), text.Length()) ? 1 : 0;
}

lmVariableList* ListOf(LumoVM* vm, VariableHash* scope) {
  if (scope == nullptr) return nullptr;
  return Guard(vm, static_cast<lmVariableList*>(nullptr), [&] {
    auto* list = new VariableList();
    try {
      scope->List(*list);
    } catch (...) {
      delete list;
      throw;
    }
    return Handle(list);
  });
}

}  // namespace
}  // namespace lumo::api

using namespace lumo;       // NOLINT: the exports are one flat C interface
using namespace lumo::api;  // NOLINT

LUMO_EXPORT void* lmProgram_Allocate(lmProgram*, size_t size) { return malloc(size); }
LUMO_EXPORT void lmProgram_Free(lmProgram*, void* memory) { free(memory); }

LUMO_EXPORT int lmProgram_Attribute_Decode(lmProgram* program, const char* text, int32_t length,
                                           lmVariable* result) {
  std::string_view t;
  if (result == nullptr || !TextArgument(text, length, &t)) return 0;
  return Guard(AsProgram(program), 0,
               [&] { return StoreText(result, DecodeEntities(Unquoted(t))); });
}

LUMO_EXPORT int lmProgram_Attribute_Encode(lmProgram* program, const char* text, int32_t length,
                                           lmVariable* result) {
  std::string_view t;
  if (result == nullptr || !TextArgument(text, length, &t)) return 0;
  return Guard(AsProgram(program), 0, [&] {
    // An attribute may be quoted either way, so the apostrophe goes too.
    String out;
    size_t start = 0;
    for (size_t i = 0; i <= t.size(); ++i) {
      if (i == t.size() || t[i] == '\'') {
        AppendEntities(out, t.data() + start, static_cast<int32_t>(i - start));
        if (i < t.size()) out.Append("&#39;");
        start = i + 1;
      }
    }
    return StoreText(result, out);
  });
}

LUMO_EXPORT int lmProgram_Entity_Decode(lmProgram* program, const char* text, int32_t length,
                                        lmVariable* result) {
  std::string_view t;
  if (result == nullptr || !TextArgument(text, length, &t)) return 0;
  return Guard(AsProgram(program), 0, [&] { return StoreText(result, DecodeEntities(t)); });
}

LUMO_EXPORT int lmProgram_Entity_Encode(lmProgram* program, const char* text, int32_t length,
                                        lmVariable* result) {
  std::string_view t;
  if (result == nullptr || !TextArgument(text, length, &t)) return 0;
  return Guard(AsProgram(program), 0,
               [&] { return StoreText(result, EncodeEntities(t.data(), Length(t))); });
}

LUMO_EXPORT int lmProgram_Compare(lmProgram* program, lmVariable* left, lmVariable* right) {
  if (left == nullptr || right == nullptr) return 0;
  return Guard(AsProgram(program), 0, [&] {
    StackEntry a{};
    StackEntry b{};
    a.kind = b.kind = kStackVariable;
    a.variable = AsVariable(left);
    b.variable = AsVariable(right);
    const int c = LumoVM_Stack::CompareEntries(a, b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  });
}

LUMO_EXPORT int lmProgram_Compile_Dynamic_Expression(lmProgram* program, const char* text,
                                                     int32_t length, int32_t* segment,
                                                     lmVariable* error) {
  if (segment != nullptr) *segment = -1;
  std::string_view t;
  if (program == nullptr || segment == nullptr || !TextArgument(text, length, &t)) return 0;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, 0, [&] {
    String message;
    if (vm->CompileDynamicExpression(t, segment, &message)) return 1;
    *segment = -1;
    if (error != nullptr) StoreText(error, message);
    return 0;
  });
}

namespace {
// Only code that exists may run: a library's segment number is checked.
bool ValidSegment(LumoVM* vm, int32_t segment) {
  return segment >= 0 && segment < vm->Segments()->Count() &&
         vm->Segments()->Segment(segment) != nullptr;
}
}  // namespace

LUMO_EXPORT lmVariable* lmProgram_Execute_Dynamic_Expression(lmProgram* program,
                                                             int32_t segment) {
  if (program == nullptr) return nullptr;
  LumoVM* vm = AsProgram(program);
  if (!ValidSegment(vm, segment)) return nullptr;
  return Guard(vm, static_cast<lmVariable*>(nullptr),
               [&] { return Handle(vm->ExecuteDynamicExpression(segment)); });
}

LUMO_EXPORT int lmProgram_Execute_Dynamic_Expression_Boolean(lmProgram* program,
                                                             int32_t segment) {
  if (program == nullptr) return 0;
  LumoVM* vm = AsProgram(program);
  if (!ValidSegment(vm, segment)) return 0;
  return Guard(vm, 0, [&] { return vm->ExecuteDynamicExpressionBoolean(segment) ? 1 : 0; });
}

LUMO_EXPORT void lmProgram_FatalError(lmProgram* program, const char* text, int32_t length) {
  std::string_view t;
  if (program == nullptr) return;
  if (!TextArgument(text, length, &t)) t = "Invalid error text from an extension library";
  LumoVM* vm = AsProgram(program);
  GuardVoid(vm, [&] { vm->FatalError(t); });
}

LUMO_EXPORT lmVariableHash* lmProgram_Global_VariableHash(lmProgram* program) {
  return program == nullptr ? nullptr : Handle(AsProgram(program)->GlobalScope());
}

LUMO_EXPORT lmVariableHash* lmProgram_System_VariableHash(lmProgram* program) {
  return program == nullptr ? nullptr : Handle(AsProgram(program)->SystemScope());
}

LUMO_EXPORT lmVariableList* lmProgram_Global_Variables(lmProgram* program) {
  if (program == nullptr) return nullptr;
  return ListOf(AsProgram(program), AsProgram(program)->GlobalScope());
}

LUMO_EXPORT lmVariableList* lmProgram_Local_Variables(lmProgram* program) {
  if (program == nullptr) return nullptr;
  LumoVM* vm = AsProgram(program);
  LumoVM_Frame* frame = vm->CurrentFrame();
  return ListOf(vm, frame != nullptr ? frame->locals : vm->GlobalScope());
}

LUMO_EXPORT lmVariableList* lmProgram_System_Variables(lmProgram* program) {
  if (program == nullptr) return nullptr;
  return ListOf(AsProgram(program), AsProgram(program)->SystemScope());
}

LUMO_EXPORT lmVariable* lmProgram_Lookup_Variable(lmProgram* program, const char* name,
                                                  int32_t length, int create) {
  std::string_view n;
  if (program == nullptr || !TextArgument(name, length, &n) || n.empty()) return nullptr;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, static_cast<lmVariable*>(nullptr), [&]() -> lmVariable* {
    Variable* found = nullptr;
    // Creating is what a script's read of the name does, scope prefixes
    // and all.
    if (create != 0) return vm->ResolveName(n.data(), Length(n), &found) ? Handle(found) : nullptr;
    // A look that must not create: each scope in turn, and a malformed
    // path simply finds nothing.
    LumoVM_Frame* frame = vm->CurrentFrame();
    VariableHash* scopes[] = {frame != nullptr ? frame->locals : nullptr, vm->GlobalScope(),
                              vm->SystemScope()};
    for (VariableHash* scope : scopes) {
      if (scope == nullptr) continue;
      if (scope->FindPath(&found, n.data(), Length(n), false) && found != nullptr) {
        return Handle(found);
      }
    }
    return nullptr;
  });
}

LUMO_EXPORT int lmProgram_MakeSessionID(lmProgram* program, lmVariable* result) {
  if (result == nullptr) return 0;
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) return 0;
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  char text[2 * sizeof bytes];
  for (size_t i = 0; i < sizeof bytes; ++i) {
    text[2 * i] = kHex[bytes[i] >> 4];
    text[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return Guard(AsProgram(program), 0, [&] {
    return AsVariable(result)->SetValue(text, static_cast<int32_t>(sizeof text)) ? 1 : 0;
  });
}

LUMO_EXPORT int lmProgram_Output(lmProgram* program, const char* text, int32_t length) {
  std::string_view t;
  if (program == nullptr || !TextArgument(text, length, &t)) return 0;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, 0, [&] {
    if (!t.empty()) vm->Context()->Write(t.data(), Length(t));
    return 1;
  });
}

LUMO_EXPORT int lmProgram_Output_Flush(lmProgram* program) {
  if (program == nullptr) return 0;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, 0, [&] { return vm->Context()->OutputStream()->Flush() ? 1 : 0; });
}

LUMO_EXPORT int lmProgram_Output_Header(lmProgram* program, const char* name,
                                        int32_t name_length, const char* value,
                                        int32_t value_length) {
  std::string_view n;
  std::string_view v;
  if (program == nullptr || !TextArgument(name, name_length, &n) ||
      !TextArgument(value, value_length, &v) || n.empty()) {
    return 0;
  }
  LumoVM* vm = AsProgram(program);
  return Guard(vm, 0, [&] { return vm->Context()->OutputStream()->AddHeader(n, v) ? 1 : 0; });
}

LUMO_EXPORT void lmProgram_ResetGlobalTimeout(lmProgram* program) {
  if (program == nullptr) return;
  AsProgram(program)->Context()->RestartGlobalDeadline();
}

LUMO_EXPORT int lmProgram_RunFunction(lmProgram* program, const char* name, int32_t length,
                                      lmVariableList* arguments, lmVariable* result) {
  std::string_view n;
  if (program == nullptr || !TextArgument(name, length, &n) || n.empty()) return 0;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, 0, [&] {
    // The texts are copied first: the call may change the variables.
    std::vector<String> texts;
    if (arguments != nullptr) {
      VariableList* list = AsList(arguments);
      for (Variable* v = list->First(); v != nullptr; v = list->Next()) texts.push_back(v->Value());
    }
    std::vector<LumoVM::Argument> values;
    values.reserve(texts.size());
    for (const String& t : texts) values.push_back({true, t.View(), 0});
    return vm->CallScriptFunction(n, values.data(), static_cast<int32_t>(values.size()), nullptr,
                                  result != nullptr ? AsVariable(result) : nullptr)
               ? 1
               : 0;
  });
}

LUMO_EXPORT void* lmProgram_SSL_Function(lmProgram* program, const char* name, int32_t length) {
  std::string_view n;
  if (program == nullptr || !TextArgument(name, length, &n) || n.empty()) return nullptr;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, static_cast<void*>(nullptr), [&]() -> void* {
    const String zero_terminated(n);
    return vm->Context()->SSLFunction(zero_terminated.Text());
  });
}

LUMO_EXPORT int lmProgram_SetDefaultDatabase(lmProgram* program, const char* type,
                                             int32_t length) {
  std::string_view t;
  if (program == nullptr || !TextArgument(type, length, &t)) return 0;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, 0, [&] {
    vm->Context()->SetDefaultDatabaseType(t);
    return 1;
  });
}

LUMO_EXPORT int lmProgram_SetDefaultLanguage(lmProgram* program, const char* language,
                                             int32_t length) {
  std::string_view t;
  if (program == nullptr || !TextArgument(language, length, &t)) return 0;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, 0, [&] {
    vm->Context()->SetDefaultLanguage(t);
    return 1;
  });
}

LUMO_EXPORT int lmProgram_SetLanguage(lmProgram* program, const char* language,
                                      int32_t length) {
  std::string_view t;
  if (program == nullptr || !TextArgument(language, length, &t)) return 0;
  LumoVM* vm = AsProgram(program);
  return Guard(vm, 0, [&] {
    vm->Context()->SetLanguage(t);
    return 1;
  });
}

LUMO_EXPORT int lmProgram_Sleep(lmProgram* program, int32_t milliseconds) {
  if (program == nullptr || milliseconds < 0) return 0;
  LumoApplication* context = AsProgram(program)->Context();
  context->Wait(milliseconds);
  return context->IsStopped() ? 0 : 1;
}
