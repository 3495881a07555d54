// What a script error does, per tag: whether it is shown in the page and
// whether it stops the program. Scripts change the settings by tag name;
// each machine takes a copy of the process-wide table when it is created,
// so a change applies to the programs started after it.
//
// Also the names the debug log gives its events.
#ifndef LUMO_CORE_CONTEXT_ERROR_SETTINGS_H_
#define LUMO_CORE_CONTEXT_ERROR_SETTINGS_H_

#include <cstdint>

namespace lumo {

inline constexpr int kErrorSettingCount = 76;
// Errors raised while evaluating an expression rather than by a tag.
inline constexpr int kExpressionTag = 62;

inline constexpr uint32_t kErrorDisplay = 1;
inline constexpr uint32_t kErrorFatal = 2;

struct ErrorSetting {
  int32_t tag;
  // Static texts. Tags without an error setting of their own have "" for
  // both; error_variable is the script variable that receives the message.
  const char* display_name;
  const char* error_variable;
  uint32_t flags;  // kErrorDisplay | kErrorFatal
};

// The built-in table, indexed by tag.
const ErrorSetting* DefaultErrorSettings();
// The process-wide table, indexed by tag; starts as the defaults.
ErrorSetting* CurrentErrorSettings();
void ResetErrorSettings();

// The tag a name (any case) stands for, or -1.
int32_t TagLookup(const char* name, int32_t length);

// Sets the named tag's flags in the current table from a value that
// mentions "display" and/or "fatal" (any case, anywhere). False, with
// nothing changed, when the tag name is unknown.
bool SetErrorSetting(const char* tag_name, int32_t name_length, const char* value,
                     int32_t value_length);

inline constexpr uint32_t kEventFunctionCall = 0x10;
inline constexpr uint32_t kEventFunctionParameter = 0x20;
inline constexpr uint32_t kEventFunctionReturnValue = 0x40;
inline constexpr uint32_t kEventFunctionReturn = 0x80;
inline constexpr uint32_t kEventExternalCall = 0x100;
inline constexpr uint32_t kEventExternalParameter = 0x200;
inline constexpr uint32_t kEventExternalReturnValue = 0x400;
inline constexpr uint32_t kEventExternalReturn = 0x800;
inline constexpr uint32_t kEventDoEnter = 0x1000;
inline constexpr uint32_t kEventDoExit = 0x2000;
inline constexpr uint32_t kEventHTTPClient = 0x100000;
inline constexpr uint32_t kEventSMTP = 0x200000;
inline constexpr uint32_t kEventTimedOut = 0x8000000;
inline constexpr uint32_t kEventRuntimeError = 0x10000000;
inline constexpr uint32_t kEventFatalError = 0x20000000;
inline constexpr uint32_t kEventTrace = 0x40000000;

// The log's name for one event bit; "Unknown" for anything else.
const char* EventName(uint32_t mask);

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_ERROR_SETTINGS_H_
