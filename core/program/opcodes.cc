#include "core/program/opcodes.h"

#include <cstddef>

#include "core/base/conversions.h"

namespace lumo {

namespace {

// Sorted by word.
constexpr OpcodeInfo kOpcodes[] = {
    {0x0000, "noop", "noop"},
    {0x0007, "pushd", "pushd"},
    {0x0009, "pushn", "pushn"},
    {0x000b, "pop", "pop"},
    {0x000f, "popd", "popd"},
    {0x0011, "popn", "popn"},
    {0x0013, "spush", "spush"},
    {0x0014, "spop", "spop"},
    {0x0015, "out", "out"},
    {0x0016, "add", "add"},
    {0x0017, "sub", "sub"},
    {0x0018, "cat", "cat"},
    {0x0019, "bitand", "bitand"},
    {0x001a, "bitor", "bitor"},
    {0x001b, "bitxor", "bitxor"},
    {0x001c, "bitoc", "bitoc"},
    {0x001d, "bitsl", "bitsl"},
    {0x001e, "bitsr", "bitsr"},
    {0x001f, "div", "div"},
    {0x0020, "mul", "mul"},
    {0x0021, "mod", "mod"},
    {0x0022, "rounds", "rounds"},
    {0x0023, "crypt", "crypt"},
    {0x0024, "pow", "pow"},
    {0x0025, "roundf", "roundf"},
    {0x002c, "cmp", "cmp"},
    {0x002d, "and", "and"},
    {0x002e, "or", "or"},
    {0x002f, "in", "in"},
    {0x0030, "cin", "cin"},
    {0x0031, "ein", "ein"},
    {0x0032, "ecin", "ecin"},
    {0x0033, "eq", "eq"},
    {0x0034, "ne", "ne"},
    {0x0035, "ge", "ge"},
    {0x0036, "le", "le"},
    {0x0037, "lt", "lt"},
    {0x0038, "gt", "gt"},
    {0x0039, "not", "not"},
    {0x003a, "dup", "dup"},
    {0x003b, "ret", "ret"},
    {0x003c, "retn", "retn"},
    {0x003e, "elem", "elem"},
    {0x003f, nullptr, "elemr"},
    {0x0040, "memb", "memb"},
    {0x0041, nullptr, "membr"},
    {0x0042, "store", "store"},
    {0x0043, "exit", "exit"},
    {0x0045, "op_do_file", "op_do_file"},
    {0x0046, "op_do_function", "op_do_function"},
    {0x0047, "hide", "hide"},
    {0x0048, "lockfile", "lockfile"},
    {0x0049, "lockfile_end", "lockfile_end"},
    {0x0051, "out_comp", "out_comp"},
    {0x0052, nullptr, "errprefix"},
    {0x0055, nullptr, "refern"},
    {0x0057, "refer", "refer"},
    {0x0058, nullptr, "capture"},
    {0x0059, nullptr, "capture_end"},
    {0x005a, "isnull", "isnull"},
    {0x005b, nullptr, "swap"},
    {0x005d, "out_enc", "out_enc"},
    {0x005e, "nextelem", "nextelem"},
    {0x0105, "export", "export"},
    {0x0108, "pop3delete", "pop3delete"},
    {0x010b, "op_smtp_end", "op_smtp_end"},
    {0x0200, "dbopen", "dbopen"},
    {0x0201, "dbclose", "dbclose"},
    {0x0202, "dbskip", "dbskip"},
    {0x0203, "dbgo", "dbgo"},
    {0x0204, "dbadd", "dbadd"},
    {0x0205, "dbupdate", "dbupdate"},
    {0x0206, "dbdelete", "dbdelete"},
    {0x0207, "dbundelete", "dbundelete"},
    {0x0208, "dbprimary", "dbprimary"},
    {0x0209, "dbfind", "dbfind"},
    {0x020a, "dbsetindex", "dbsetindex"},
    {0x020b, "dbmakeindex", "dbmakeindex"},
    {0x020c, "dbpack", "dbpack"},
    {0x020d, "dbreindex", "dbreindex"},
    {0x020e, "dbcreate", "dbcreate"},
    {0x0210, "dbopenview", "dbopenview"},
    {0x0211, "dbcloseview", "dbcloseview"},
    {0x0212, "dbquery", "dbquery"},
    {0x0213, "dbfilter", "dbfilter"},
    {0x0214, "dbrevealstructuredb", "dbrevealstructuredb"},
    {0x0215, "dbrevealstructureagg", "dbrevealstructureagg"},
    {0x0216, nullptr, "dbopent"},
    {0x0217, nullptr, "dbcommit"},
    {0x0218, nullptr, "dbrollback"},
    {0x0219, nullptr, "dbtransact"},
    {0x021a, nullptr, "dbcommand"},
    {0x4001, "pushc", "pushc"},
    {0x4002, "pushi", "pushi"},
    {0x4004, "pushs", "pushs"},
    {0x4005, "pushg", "pushg"},
    {0x4006, "pushl", "pushl"},
    {0x400a, "pushnc", "pushnc"},
    {0x400c, "pops", "pops"},
    {0x400d, "popg", "popg"},
    {0x400e, "popl", "popl"},
    {0x4012, "popnc", "popnc"},
    {0x4025, "jmp", "jmp"},
    {0x4026, "jmp_eq", "jmp_eq"},
    {0x4027, "jmp_lt", "jmp_lt"},
    {0x4028, "jmp_gt", "jmp_gt"},
    {0x4029, "jmp_le", "jmp_le"},
    {0x402a, "jmp_ge", "jmp_ge"},
    {0x402b, "jmp_ne", "jmp_ne"},
    {0x403d, "call", "call"},
    {0x4044, "lineno", "lineno"},
    {0x404a, "sourcefile", "sourcefile"},
    {0x404c, "erroutput", "erroutput"},
    {0x404d, "poplvnc", "poplvnc"},
    {0x404e, "localize", "localize"},
    {0x404f, "localizev", "localizev"},
    {0x4050, "stdoutput", "stdoutput"},
    {0x4053, nullptr, "refers"},
    {0x4054, nullptr, "referl"},
    {0x4056, nullptr, "refernc"},
    {0x4101, "import", "import"},
    {0x4102, "importf", "importf"},
    {0x4103, "import_loop", "import_loop"},
    {0x4104, "import_stop", "import_stop"},
    {0x4106, "pop3", "pop3"},
    {0x4107, "pop3loop", "pop3loop"},
    {0x4109, "pop3stop", "pop3stop"},
    {0x410a, "op_smtp", "op_smtp"},
    {0x410c, "op_http", "op_http"},
    {0x410d, "op_http_loop", "op_http_loop"},
    {0x410e, "op_http_stop", "op_http_stop"},
    {0x410f, "op_commerce", "op_commerce"},
    {0x4110, "op_commerce_loop", "op_commerce_loop"},
    {0x4111, "op_commerce_stop", "op_commerce_stop"},
    {0x4112, nullptr, "op_http_8"},
    {0x5008, "pushdc", "pushdc"},
    {0x5010, "popdc", "popdc"},
    {0x504b, "tagerror", "tagerror"},
    {0x505c, nullptr, "swapn"},
    {0x5113, nullptr, "op_http_n"},
    {0x5114, nullptr, "op_smtp_n"},
    {0x5301, "cmpgg", "cmpgg"},
    {0x5302, "cmpgi", "cmpgi"},
    {0x5303, "incg", "incg"},
    {0x5304, "modgg", "modgg"},
    {0x5305, "storegi", "storegi"},
    {0x8003, "pushf", "pushf"},};

constexpr int kOpcodeCount = static_cast<int>(sizeof(kOpcodes) / sizeof(kOpcodes[0]));

}  // namespace

const OpcodeInfo* OpcodeTable(int* count) {
  *count = kOpcodeCount;
  return kOpcodes;
}

const OpcodeInfo* FindOpcode(uint16_t word) {
  int low = 0;
  int high = kOpcodeCount - 1;
  while (low <= high) {
    const int middle = (low + high) / 2;
    if (kOpcodes[middle].word == word) return &kOpcodes[middle];
    if (kOpcodes[middle].word < word) {
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return nullptr;
}

const OpcodeInfo* FindOpcodeByName(std::string_view name) {
  for (const OpcodeInfo& info : kOpcodes) {
    std::string_view candidate(info.name);
    if (candidate.size() == name.size() &&
        CompareNoCase(candidate.data(), name.data(), static_cast<int32_t>(name.size())) == 0) {
      return &info;
    }
  }
  return nullptr;
}

namespace {

struct OperandRoles {
  uint16_t word;
  OperandRole first;
  OperandRole second;
};

constexpr OperandRoles kRoles[] = {
    {kOpPushc, OperandRole::kConstant, OperandRole::kLabel},
    {kOpPushnc, OperandRole::kConstant, OperandRole::kLabel},
    {kOpPopnc, OperandRole::kConstant, OperandRole::kLabel},
    {kOpRefernc, OperandRole::kConstant, OperandRole::kLabel},
    {kOpSourcefile, OperandRole::kConstant, OperandRole::kLabel},
    {kOpPoplvnc, OperandRole::kConstant, OperandRole::kLabel},
    {kOpLocalize, OperandRole::kConstant, OperandRole::kLabel},
    {kOpLocalizev, OperandRole::kConstant, OperandRole::kLabel},
    {kOpPushdc, OperandRole::kConstant, OperandRole::kConstant},
    {kOpPopdc, OperandRole::kConstant, OperandRole::kConstant},
    {kOpPushg, OperandRole::kGlobal, OperandRole::kLabel},
    {kOpPopg, OperandRole::kGlobal, OperandRole::kLabel},
    {kOpCmpgg, OperandRole::kGlobal, OperandRole::kGlobal},
    {kOpModgg, OperandRole::kGlobal, OperandRole::kGlobal},
    {kOpCmpgi, OperandRole::kGlobal, OperandRole::kLabel},
    {kOpIncg, OperandRole::kGlobal, OperandRole::kLabel},
    {kOpStoregi, OperandRole::kGlobal, OperandRole::kLabel},
    {kOpPushs, OperandRole::kSystem, OperandRole::kLabel},
    {kOpPops, OperandRole::kSystem, OperandRole::kLabel},
    {kOpRefers, OperandRole::kSystem, OperandRole::kLabel},
    {kOpPushl, OperandRole::kLocal, OperandRole::kLabel},
    {kOpPopl, OperandRole::kLocal, OperandRole::kLabel},
    {kOpReferl, OperandRole::kLocal, OperandRole::kLabel},
    {kOpCall, OperandRole::kFunction, OperandRole::kLabel},
};

}  // namespace

OperandRole RoleOfOperand(uint16_t word, int index) {
  for (const OperandRoles& r : kRoles) {
    if (r.word == word) return index == 0 ? r.first : r.second;
  }
  return OperandRole::kLabel;
}

}  // namespace lumo
