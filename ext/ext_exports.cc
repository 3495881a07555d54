// The exported calls that reach this layer: configuration libraries
// changing the configuration they are given, system libraries, and the
// run's bound functions and persistent data.
//
// Every call takes handles and texts from a library: a null handle, a null
// text or a bad length fails the call, and nothing thrown here (memory
// running out) ever unwinds into the library's C frames.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "config/config.h"
#include "config/dex_config.h"
#include "core/context/lumo_application.h"
#include "core/vm/lumo_vm.h"
#include "ext/external_call.h"
#include "ext/system_library.h"
#include "include/lumo/lumo.h"

namespace {

using lumo::Config;
using lumo::DexBaseConfig;

// A text of the interface as a view; false for a null pointer with a
// length, or a length below -1.
bool TextOf(const char* text, int32_t length, std::string_view* out) {
  if (length < -1 || (text == nullptr && length != 0 && length != -1)) return false;
  if (text == nullptr) {
    if (length == -1) return false;
    *out = std::string_view();
    return true;
  }
  *out = std::string_view(text, length == -1 ? strlen(text) : static_cast<size_t>(length));
  return true;
}

Config* ConfigOf(lmConfig* config) { return reinterpret_cast<Config*>(config); }

DexBaseConfig* DexConfigOf(lmConfig* config) {
  return config != nullptr ? dynamic_cast<DexBaseConfig*>(ConfigOf(config)) : nullptr;
}

lumo::LumoVM* MachineOf(lmProgram* program) { return reinterpret_cast<lumo::LumoVM*>(program); }

lumo::ExternalCallManager* CallsOf(lmProgram* program) {
  if (program == nullptr) return nullptr;
  return dynamic_cast<lumo::ExternalCallManager*>(MachineOf(program)->ExternalCalls());
}

// 0 on success, 1 on failure, as the configuration calls report.
template <typename Body>
int ConfigCall(Body body) {
  try {
    return body() ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

int RegisterNamed(lmConfig* config, lumo::LibraryType type, const char* name, const char* path) {
  return ConfigCall([&] {
    DexBaseConfig* dex = DexConfigOf(config);
    if (dex == nullptr || name == nullptr || name[0] == '\0' || path == nullptr ||
        path[0] == '\0') {
      return false;
    }
    dex->RegisterLibrary(type, name, path);
    return true;
  });
}

}  // namespace

extern "C" {

int lmConfig_SetValue(lmConfig* config, int32_t identifier, const char* text, int32_t length,
                      int owns) {
  const int result = ConfigCall([&] {
    std::string_view value;
    if (config == nullptr || !TextOf(text, length, &value)) return false;
    return ConfigOf(config)->SetText(static_cast<lumo::ConfigId>(identifier), value);
  });
  // The configuration keeps a copy; an adopted text goes in every case.
  if (owns && text != nullptr) free(const_cast<char*>(text));
  return result;
}

int lmConfig_SetValue_Integer(lmConfig* config, int32_t identifier, int32_t value) {
  return ConfigCall([&] {
    return config != nullptr &&
           ConfigOf(config)->SetInteger(static_cast<lumo::ConfigId>(identifier), value);
  });
}

namespace {

// The globals and system variables a configuration library presets take
// the same checks; only where the pair goes differs.
int PresetConfigVariable(lmConfig* config, const char* name, int32_t name_length,
                         const char* value, int32_t value_length,
                         void (DexBaseConfig::*preset)(std::string_view, std::string_view)) {
  return ConfigCall([&] {
    DexBaseConfig* dex = DexConfigOf(config);
    std::string_view n;
    std::string_view v;
    if (dex == nullptr || !TextOf(name, name_length, &n) || n.empty() ||
        !TextOf(value, value_length, &v)) {
      return false;
    }
    (dex->*preset)(n, v);
    return true;
  });
}

}  // namespace

int lmConfig_SetVariable_Global(lmConfig* config, const char* name, int32_t name_length,
                                const char* value, int32_t value_length) {
  return PresetConfigVariable(config, name, name_length, value, value_length,
                              &DexBaseConfig::PresetGlobal);
}

int lmConfig_SetVariable_System(lmConfig* config, const char* name, int32_t name_length,
                                const char* value, int32_t value_length) {
  return PresetConfigVariable(config, name, name_length, value, value_length,
                              &DexBaseConfig::PresetSystem);
}

int lmConfig_Set_DefaultErrorSetting(lmConfig* config, const char* tag, const char* value) {
  return ConfigCall([&] {
    DexBaseConfig* dex = DexConfigOf(config);
    if (dex == nullptr || tag == nullptr) return false;
    return dex->SetErrorSetting(tag, value != nullptr ? value : "");
  });
}

int lmConfig_Register_Library_Builtin(lmConfig* config, const char* path) {
  return ConfigCall([&] {
    DexBaseConfig* dex = DexConfigOf(config);
    if (dex == nullptr || path == nullptr || path[0] == '\0') return false;
    dex->RegisterBuiltinLibrary(path);
    return true;
  });
}

int lmConfig_Register_Library_Commerce(lmConfig* config, const char* name, const char* path) {
  return RegisterNamed(config, lumo::LibraryType::kCommerce, name, path);
}

int lmConfig_Register_Library_Database(lmConfig* config, const char* name, const char* path) {
  return RegisterNamed(config, lumo::LibraryType::kDatabase, name, path);
}

int lmConfig_Register_Library_System(lmConfig* config, const char* name, const char* path) {
  return RegisterNamed(config, lumo::LibraryType::kSystem, name, path);
}

void* lmSystemLibrary_GetFunction(lmSystemLibrary* library, const char* name, int32_t length) {
  std::string_view symbol;
  if (library == nullptr || !TextOf(name, length, &symbol) || symbol.empty()) return nullptr;
  try {
    return reinterpret_cast<lumo::SystemLibrary*>(library)->GetFunction(symbol);
  } catch (...) {
    return nullptr;
  }
}

const char* lmSystemLibrary_Error(lmSystemLibrary* library, int32_t* length) {
  if (library == nullptr) {
    if (length != nullptr) *length = 0;
    return nullptr;
  }
  const lumo::String& error = reinterpret_cast<lumo::SystemLibrary*>(library)->ErrorText();
  if (length != nullptr) *length = error.Length();
  return error.Text();
}

const lmFunction* lmProgram_Lookup_ExternalFunction(lmProgram* program, const char* name,
                                                    int32_t length) {
  lumo::ExternalCallManager* calls = CallsOf(program);
  std::string_view text;
  if (calls == nullptr || !TextOf(name, length, &text) || text.empty()) return nullptr;
  try {
    lumo::ExternalCall* call = calls->FindFunction(text.data(), static_cast<int32_t>(text.size()));
    return call != nullptr ? call->Descriptor() : nullptr;
  } catch (...) {
    return nullptr;
  }
}

void* lmProgram_Lookup_Persistent(lmProgram* program, const char* name, int32_t length) {
  lumo::ExternalCallManager* calls = CallsOf(program);
  std::string_view text;
  if (calls == nullptr || !TextOf(name, length, &text)) return nullptr;
  return calls->LookupPersistentData(text.data(), static_cast<int32_t>(text.size()));
}

int lmProgram_Register_Persistent(lmProgram* program, void* owner, const char* name, int32_t length,
                                  void* data, lmPersistentFree free_function) {
  lumo::ExternalCallManager* calls = CallsOf(program);
  std::string_view text;
  if (calls == nullptr || !TextOf(name, length, &text)) return 0;
  try {
    calls->RegisterPersistentData(owner, text.data(), static_cast<int32_t>(text.size()), data,
                                  free_function);
    return 1;
  } catch (...) {
    return 0;
  }
}

lmSystemLibrary* lmProgram_SystemLibrary(lmProgram* program, const char* name, int32_t length) {
  std::string_view text;
  if (program == nullptr || !TextOf(name, length, &text)) return nullptr;
  lumo::SystemLibraryManager* manager = MachineOf(program)->Context()->SystemLibraries();
  if (manager == nullptr) return nullptr;
  try {
    return reinterpret_cast<lmSystemLibrary*>(manager->Get(text));
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"
