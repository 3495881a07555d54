#include "core/context/error_settings.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "core/base/ascii.h"
#include "core/base/text_search.h"

namespace lumo {
namespace {

constexpr uint32_t D = kErrorDisplay;
constexpr uint32_t F = kErrorFatal;

// A tag's error variable is its display name with "_Error" added.
#define LUMO_TAG(tag, name, flags) ErrorSetting{tag, name, name "_Error", flags}
#define LUMO_UNNAMED(tag) ErrorSetting{tag, "", "", 0}

constexpr std::array<ErrorSetting, kErrorSettingCount> kDefaults = {{
    LUMO_TAG(0, "LmIF", D | F),
    LUMO_TAG(1, "LmELSE", D | F),
    LUMO_TAG(2, "LmIMPORT", D),
    LUMO_TAG(3, "LmIMPORTSTOP", D | F),
    LUMO_TAG(4, "LmEXPORT", D),
    LUMO_TAG(5, "LmASSIGN", D | F),
    LUMO_TAG(6, "LmEVAL", D | F),
    LUMO_TAG(7, "LmHIDE", D | F),
    LUMO_TAG(8, "LmPOP", D),
    LUMO_TAG(9, "LmPOPSTOP", D | F),
    LUMO_TAG(10, "LmPOPDELETE", D),
    LUMO_TAG(11, "LmSMTP", D),
    LUMO_TAG(12, "LmWHILE", D | F),
    LUMO_TAG(13, "LmWHILESTOP", D | F),
    LUMO_TAG(14, "LmCALL", D | F),
    LUMO_TAG(15, "LmCALLSTOP", D | F),
    LUMO_TAG(16, "LmFUNCTION", D | F),
    LUMO_TAG(17, "LmFUNCTIONRETURN", D | F),
    LUMO_TAG(18, "LmELSEIF", D | F),
    LUMO_TAG(19, "LmCOMMERCE", D | F),
    LUMO_TAG(20, "LmCOMMERCESTOP", D | F),
    LUMO_TAG(21, "LmCOMMENT", D | F),
    LUMO_TAG(22, "LmDO", D | F),
    LUMO_TAG(23, "LmLOCKFILE", D | F),
    LUMO_TAG(24, "LmLOCALIZED", D | F),
    LUMO_TAG(25, "LmLOCALIZED-TOKEN", D | F),
    LUMO_TAG(26, "LmLOCALIZED-TEXT", D | F),
    LUMO_TAG(27, "LmEXIT", D | F),
    LUMO_TAG(28, "LmOPEN", D),
    LUMO_TAG(29, "LmCLOSE", D),
    LUMO_TAG(30, "LmSKIP", D),
    LUMO_TAG(31, "LmGO", D),
    LUMO_TAG(32, "LmPRIMARY", D | F),
    LUMO_TAG(33, "LmFIND", D),
    LUMO_TAG(34, "LmSETINDEX", D),
    LUMO_TAG(35, "LmUPDATE", D),
    LUMO_TAG(36, "LmDELETE", D),
    LUMO_TAG(37, "LmUNDELETE", D),
    LUMO_TAG(38, "LmADD", D),
    LUMO_TAG(39, "LmMAKEINDEX", D | F),
    LUMO_TAG(40, "LmPACK", D),
    LUMO_TAG(41, "LmREINDEX", D),
    LUMO_TAG(42, "LmCREATE", D),
    LUMO_TAG(43, "LmREVEALSTRUCTURE", D),
    LUMO_TAG(44, "LmOPENVIEW", D),
    LUMO_TAG(45, "LmCLOSEVIEW", D),
    LUMO_TAG(46, "LmQUERY", D),
    LUMO_TAG(47, "LmFILTER", D),
    LUMO_TAG(48, "LUMO", D | F),
    LUMO_TAG(49, "LmASSIGNARRAY", D | F),
    LUMO_TAG(50, "LmDIMENSION", D | F),
    LUMO_TAG(51, "LmMEMBER", D | F),
    LUMO_TAG(52, "LmCOMMIT", D),
    LUMO_TAG(53, "LmROLLBACK", D),
    LUMO_TAG(54, "LmINCLUDE", 0),
    LUMO_TAG(55, "LmTRANSACT", D),
    LUMO_TAG(56, "LmREFERENCE", D),
    LUMO_TAG(57, "LmREFERENCEARRAY", D),
    LUMO_TAG(58, "LmDBCOMMAND", D),
    LUMO_TAG(59, "LmCAPTURE", D),
    LUMO_TAG(60, "LmIFDEF", 0),
    LUMO_TAG(61, "LmIFNDEF", 0),
    // Expression errors have no tag name of their own to build on.
    ErrorSetting{kExpressionTag, "(in expression)", "LmEXPRESSION_Error", D | F},
    LUMO_UNNAMED(63), LUMO_UNNAMED(64), LUMO_UNNAMED(65), LUMO_UNNAMED(66),
    LUMO_UNNAMED(67), LUMO_UNNAMED(68), LUMO_UNNAMED(69), LUMO_UNNAMED(70),
    LUMO_UNNAMED(71), LUMO_UNNAMED(72), LUMO_UNNAMED(73), LUMO_UNNAMED(74),
    LUMO_UNNAMED(75),
}};

#undef LUMO_TAG
#undef LUMO_UNNAMED

constexpr bool TagsMatchIndexes() {
  for (int i = 0; i < kErrorSettingCount; ++i) {
    if (kDefaults[static_cast<size_t>(i)].tag != i) return false;
  }
  return true;
}
static_assert(TagsMatchIndexes(), "the settings table is indexed by tag");

// Constant-initialised, so it is valid before any static constructor runs.
std::array<ErrorSetting, kErrorSettingCount> g_current = kDefaults;

struct TagName {
  std::string_view name;  // lower case
  int32_t tag;
};

constexpr TagName kTagNames[] = {
    {"lmif", 0},
    {"lmelse", 1},
    {"lmimport", 2},
    {"lmimportstop", 3},
    {"lmexport", 4},
    {"lmassign", 5},
    {"lmeval", 6},
    {"lmhide", 7},
    {"lmpop", 8},
    {"lmpopstop", 9},
    {"lmpopdelete", 10},
    {"lmsmtp", 11},
    {"lmwhile", 12},
    {"lmwhilestop", 13},
    {"lmcall", 14},
    {"lmcallstop", 15},
    {"lmfunction", 16},
    {"lmfuncreturn", 17},
    {"lmfunctionreturn", 17},
    {"lmelseif", 18},
    {"lmcommerce", 19},
    {"lmcommercestop", 20},
    {"lmcomment", 21},
    {"lmdo", 22},
    {"lmlockfile", 23},
    {"lmlocalized", 24},
    {"lmlocalized-token", 25},
    {"lmlocalized-text", 26},
    {"lmexit", 27},
    {"lmopen", 28},
    {"lmclose", 29},
    {"lmskip", 30},
    {"lmgo", 31},
    {"lmprimary", 32},
    {"lmfind", 33},
    {"lmsetindex", 34},
    {"lmupdate", 35},
    {"lmdelete", 36},
    {"lmundelete", 37},
    {"lmadd", 38},
    {"lmmakeindex", 39},
    {"lmpack", 40},
    {"lmreindex", 41},
    {"lmcreate", 42},
    {"lmrevealstructure", 43},
    {"lmopenview", 44},
    {"lmcloseview", 45},
    {"lmquery", 46},
    {"lmfilter", 47},
    {"lumo", 48},
    {"lmassignarray", 49},
    {"lmdimension", 50},
    {"lmmember", 51},
    {"lmcommit", 52},
    {"lmrollback", 53},
    {"lminclude", 54},
    {"lmtransact", 55},
    {"lmreference", 56},
    {"lmreferencearray", 57},
    {"lmdbcommand", 58},
    {"lmcapture", 59},
    {"lmifdef", 60},
    {"lmifndef", 61},
    {"expression", 62},
    {"lmimportcontinue", 63},
    {"lmpopcontinue", 64},
    {"lmwhilecontinue", 65},
    {"lmcallcontinue", 66},
    {"lmcommercecontinue", 67},
    {"lmforeach", 68},
    {"lmforeachstop", 69},
    {"lmforeachcontinue", 70},
    {"lmfor", 71},
    {"lmforstop", 72},
    {"lmforcontinue", 73},
    {"lmassembly", 74},
};

// Longer names are never looked at, which also bounds the lowering buffer.
constexpr int32_t kMaxTagNameLength = 18;

// An open-addressed table built at compile time: one hash and, as a rule,
// one comparison per lookup.
constexpr uint32_t kSlotCount = 256;

constexpr uint32_t NameHash(std::string_view name) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 16777619u;
  }
  return h & (kSlotCount - 1);
}

struct TagSlots {
  uint8_t entry[kSlotCount];  // index into kTagNames + 1; 0 is empty
};

constexpr TagSlots BuildSlots() {
  TagSlots slots{};
  for (size_t i = 0; i < std::size(kTagNames); ++i) {
    uint32_t h = NameHash(kTagNames[i].name);
    while (slots.entry[h] != 0) h = (h + 1) & (kSlotCount - 1);
    slots.entry[h] = static_cast<uint8_t>(i + 1);
  }
  return slots;
}

constexpr TagSlots kSlots = BuildSlots();

constexpr bool NamesFitAndAreLowered() {
  for (const TagName& t : kTagNames) {
    if (t.name.size() > kMaxTagNameLength) return false;
    for (char c : t.name) {
      if (LowerByte(static_cast<unsigned char>(c)) != static_cast<unsigned char>(c)) return false;
    }
  }
  return true;
}
static_assert(NamesFitAndAreLowered());

}  // namespace

const ErrorSetting* DefaultErrorSettings() { return kDefaults.data(); }

ErrorSetting* CurrentErrorSettings() { return g_current.data(); }

void ResetErrorSettings() { g_current = kDefaults; }

int32_t TagLookup(const char* name, int32_t length) {
  if (length <= 0 || length > kMaxTagNameLength) return -1;
  char lowered[kMaxTagNameLength];
  for (int32_t i = 0; i < length; ++i) {
    lowered[i] = static_cast<char>(LowerByte(static_cast<unsigned char>(name[i])));
  }
  const std::string_view key(lowered, static_cast<size_t>(length));
  for (uint32_t h = NameHash(key); kSlots.entry[h] != 0; h = (h + 1) & (kSlotCount - 1)) {
    const TagName& candidate = kTagNames[kSlots.entry[h] - 1];
    if (candidate.name == key) return candidate.tag;
  }
  return -1;
}

bool SetErrorSetting(const char* tag_name, int32_t name_length, const char* value,
                     int32_t value_length) {
  const int32_t tag = TagLookup(tag_name, name_length);
  if (tag < 0) return false;
  uint32_t flags = 0;
  if (TextPosition("fatal", 5, value, value_length, true, false) > 0) flags |= kErrorFatal;
  if (TextPosition("display", 7, value, value_length, true, false) > 0) flags |= kErrorDisplay;
  g_current[static_cast<size_t>(tag)].flags = flags;
  return true;
}

const char* EventName(uint32_t mask) {
  switch (mask) {
    case kEventFunctionCall: return "Function Call";
    case kEventFunctionParameter: return "Function Parameter";
    case kEventFunctionReturnValue: return "Function Return Value";
    case kEventFunctionReturn: return "Function Return";
    case kEventExternalCall: return "External Function Call";
    case kEventExternalParameter: return "External Function Parameter";
    case kEventExternalReturnValue: return "External Function Return Value";
    case kEventExternalReturn: return "External Function Return";
    case kEventDoEnter: return "LmDO Enter";
    case kEventDoExit: return "LmDO Exit";
    case kEventHTTPClient: return "LmCALL";
    case kEventSMTP: return "LmSMTP";
    case kEventTimedOut: return "Application Timed Out";
    case kEventRuntimeError: return "Runtime Error";
    case kEventFatalError: return "Fatal Error";
    case kEventTrace: return "Trace";
    default: return "Unknown";
  }
}

}  // namespace lumo
