// The instruction words of compiled code. A word's top four bits say which
// operands follow it (bits 15-14 the first, 13-12 the second: 01 a 32-bit
// integer, 10 a double), and the machine dispatches on the whole word, so
// the operand bits are part of an instruction's identity.
#ifndef LUMO_CORE_PROGRAM_OPCODES_H_
#define LUMO_CORE_PROGRAM_OPCODES_H_

#include <cstdint>
#include <string_view>

namespace lumo {

enum Opcode : uint16_t {
  // Stack and variables.
  kOpNoop = 0x0000,
  kOpPushc = 0x4001,
  kOpPushi = 0x4002,
  kOpPushf = 0x8003,
  kOpPushs = 0x4004,
  kOpPushg = 0x4005,
  kOpPushl = 0x4006,
  kOpPushd = 0x0007,
  kOpPushdc = 0x5008,
  kOpPushn = 0x0009,
  kOpPushnc = 0x400a,
  kOpPop = 0x000b,
  kOpPops = 0x400c,
  kOpPopg = 0x400d,
  kOpPopl = 0x400e,
  kOpPopd = 0x000f,
  kOpPopdc = 0x5010,
  kOpPopn = 0x0011,
  kOpPopnc = 0x4012,
  kOpPoplvnc = 0x404d,
  kOpSpush = 0x0013,
  kOpSpop = 0x0014,
  kOpDup = 0x003a,
  kOpSwap = 0x005b,
  kOpSwapn = 0x505c,
  kOpStore = 0x0042,
  kOpRefer = 0x0057,
  kOpRefern = 0x0055,
  kOpRefers = 0x4053,
  kOpReferl = 0x4054,
  kOpRefernc = 0x4056,
  kOpElem = 0x003e,
  kOpElemr = 0x003f,
  kOpMemb = 0x0040,
  kOpMembr = 0x0041,
  // Arithmetic, logic and comparison.
  kOpAdd = 0x0016,
  kOpSub = 0x0017,
  kOpMul = 0x0020,
  kOpDiv = 0x001f,
  kOpMod = 0x0021,
  kOpPow = 0x0024,
  kOpRoundf = 0x0025,
  kOpRounds = 0x0022,
  kOpCat = 0x0018,
  kOpBitand = 0x0019,
  kOpBitor = 0x001a,
  kOpBitxor = 0x001b,
  kOpBitoc = 0x001c,
  kOpBitsl = 0x001d,
  kOpBitsr = 0x001e,
  kOpCrypt = 0x0023,
  kOpCmp = 0x002c,
  kOpEq = 0x0033,
  kOpNe = 0x0034,
  kOpGe = 0x0035,
  kOpLe = 0x0036,
  kOpLt = 0x0037,
  kOpGt = 0x0038,
  kOpAnd = 0x002d,
  kOpOr = 0x002e,
  kOpNot = 0x0039,
  kOpIn = 0x002f,
  kOpCin = 0x0030,
  kOpEin = 0x0031,
  kOpEcin = 0x0032,
  kOpIsnull = 0x005a,
  // Control.
  kOpJmp = 0x4025,
  kOpJmpEq = 0x4026,
  kOpJmpNe = 0x402b,
  kOpJmpLt = 0x4027,
  kOpJmpGt = 0x4028,
  kOpJmpLe = 0x4029,
  kOpJmpGe = 0x402a,
  kOpCall = 0x403d,
  kOpRet = 0x003b,
  kOpRetn = 0x003c,
  kOpExit = 0x0043,
  kOpLineno = 0x4044,
  kOpSourcefile = 0x404a,
  kOpErroutput = 0x404c,
  kOpStdoutput = 0x4050,
  kOpTagerror = 0x504b,
  kOpErrprefix = 0x0052,
  // Output.
  kOpOut = 0x0015,
  kOpOutComp = 0x0051,
  kOpHide = 0x0047,
  kOpLocalize = 0x404e,
  kOpLocalizev = 0x404f,
  // Block features and subsystems.
  kOpDbopen = 0x0200,
  kOpDbopent = 0x0216,
  kOpDbclose = 0x0201,
  kOpDbskip = 0x0202,
  kOpDbgo = 0x0203,
  kOpDbadd = 0x0204,
  kOpDbupdate = 0x0205,
  kOpDbdelete = 0x0206,
  kOpDbundelete = 0x0207,
  kOpDbprimary = 0x0208,
  kOpDbfind = 0x0209,
  kOpDbsetindex = 0x020a,
  kOpDbmakeindex = 0x020b,
  kOpDbpack = 0x020c,
  kOpDbreindex = 0x020d,
  kOpDbcreate = 0x020e,
  kOpDbopenview = 0x0210,
  kOpDbcloseview = 0x0211,
  kOpDbquery = 0x0212,
  kOpDbfilter = 0x0213,
  kOpDbrevealstructuredb = 0x0214,
  kOpDbrevealstructureagg = 0x0215,
  kOpDbcommit = 0x0217,
  kOpDbrollback = 0x0218,
  kOpDbtransact = 0x0219,
  kOpDbcommand = 0x021a,
  kOpImport = 0x4101,
  kOpImportf = 0x4102,
  kOpImportLoop = 0x4103,
  kOpImportStop = 0x4104,
  kOpExport = 0x0105,
  kOpLockfile = 0x0048,
  kOpLockfileEnd = 0x0049,
  kOpPop3 = 0x4106,
  kOpPop3loop = 0x4107,
  kOpPop3stop = 0x4109,
  kOpPop3delete = 0x0108,
  kOpSmtp = 0x410a,
  kOpSmtpN = 0x5114,
  kOpSmtpEnd = 0x010b,
  kOpHttp = 0x410c,
  kOpHttp8 = 0x4112,
  kOpHttpN = 0x5113,
  kOpHttpLoop = 0x410d,
  kOpHttpStop = 0x410e,
  kOpCommerce = 0x410f,
  kOpCommerceLoop = 0x4110,
  kOpCommerceStop = 0x4111,
  kOpDoFile = 0x0045,
  kOpDoFunction = 0x0046,
  kOpCapture = 0x0058,
  kOpCaptureEnd = 0x0059,
  // What compiled pages print and loop over.
  kOpOutEnc = 0x005d,
  kOpNextelem = 0x005e,
  // Fused global-variable instructions.
  kOpCmpgg = 0x5301,
  kOpCmpgi = 0x5302,
  kOpIncg = 0x5303,
  kOpModgg = 0x5304,
  kOpStoregi = 0x5305,
};

// Operand kinds encoded in a word's top bits.
enum OperandKind : int { kOperandNone = 0, kOperandInteger = 1, kOperandDouble = 2 };

inline int FirstOperandKind(uint16_t word) { return word >> 14; }
inline int SecondOperandKind(uint16_t word) { return (word >> 12) & 3; }
inline int OperandSize(int kind) { return kind == 1 ? 4 : kind == 2 ? 8 : 0; }
// The whole instruction's length in bytes: word and operands.
inline int InstructionSize(uint16_t word) {
  return 2 + OperandSize(FirstOperandKind(word)) + OperandSize(SecondOperandKind(word));
}

// What an integer operand addresses. Every operand not named otherwise
// is a label: the jumps, and equally the loop instructions of the block
// features, whose operands are distances too (or a plain number, as the
// second operand of cmpgi, incg and storegi).
enum class OperandRole { kLabel, kConstant, kGlobal, kSystem, kLocal, kFunction };
OperandRole RoleOfOperand(uint16_t word, int index);

struct OpcodeInfo {
  uint16_t word;
  // The name the code listing prints; null for words the listing has no
  // name for (it prints "Illegal Instruction" for them).
  const char* listing_name;
  // The assembler's name: the listing name where there is one.
  const char* name;
};

// Every instruction word the machine knows, in word order.
const OpcodeInfo* OpcodeTable(int* count);
// The entry of a word, or null for a word that is no instruction.
const OpcodeInfo* FindOpcode(uint16_t word);
// The entry of an assembler name (case-insensitive), or null.
const OpcodeInfo* FindOpcodeByName(std::string_view name);

}  // namespace lumo

#endif  // LUMO_CORE_PROGRAM_OPCODES_H_
