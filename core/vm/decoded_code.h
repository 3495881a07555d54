// Decoded code: a segment's instructions turned, once, into an array the
// dispatch loop walks without decoding anything: operands read, jump
// targets resolved to instructions, and common sequences fused into one
// step (an accumulation into a global, an append to a text, a counted loop
// test). Fusing never changes what the program does: a fused step checks
// first that it can finish exactly as the sequence would and otherwise
// hands over to the unfused instructions, and a jump into the middle of a
// fused sequence lands in a separately decoded, unfused copy of its tail.
//
// Decoding is lazy: a chain of instructions is decoded from an offset the
// first time execution reaches it, until it meets decoded code or the
// segment's end.
#ifndef LUMO_CORE_VM_DECODED_CODE_H_
#define LUMO_CORE_VM_DECODED_CODE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "core/program/opcodes.h"
#include "core/program/segment_manager.h"

namespace lumo {

// The core instructions the loop handles itself, each with its label in the
// loop. Every other word is decoded as kDecodedOther and dispatched through
// the registered handlers.
#define LUMO_CORE_INSTRUCTIONS(X) \
  X(noop, kOpNoop)                \
  X(pushc, kOpPushc)              \
  X(pushi, kOpPushi)              \
  X(pushf, kOpPushf)              \
  X(pushs, kOpPushs)              \
  X(pushg, kOpPushg)              \
  X(pushl, kOpPushl)              \
  X(pushd, kOpPushd)              \
  X(pushdc, kOpPushdc)            \
  X(pushn, kOpPushn)              \
  X(pushnc, kOpPushnc)            \
  X(pop, kOpPop)                  \
  X(pops, kOpPops)                \
  X(popg, kOpPopg)                \
  X(popl, kOpPopl)                \
  X(popd, kOpPopd)                \
  X(popdc, kOpPopdc)              \
  X(popn, kOpPopn)                \
  X(popnc, kOpPopnc)              \
  X(poplvnc, kOpPoplvnc)          \
  X(spush, kOpSpush)              \
  X(spop, kOpSpop)                \
  X(dup, kOpDup)                  \
  X(swap, kOpSwap)                \
  X(swapn, kOpSwapn)              \
  X(store, kOpStore)              \
  X(refer, kOpRefer)              \
  X(refern, kOpRefern)            \
  X(refers, kOpRefers)            \
  X(referl, kOpReferl)            \
  X(refernc, kOpRefernc)          \
  X(elem, kOpElem)                \
  X(elemr, kOpElemr)              \
  X(memb, kOpMemb)                \
  X(membr, kOpMembr)              \
  X(add, kOpAdd)                  \
  X(sub, kOpSub)                  \
  X(mul, kOpMul)                  \
  X(div, kOpDiv)                  \
  X(mod, kOpMod)                  \
  X(pow, kOpPow)                  \
  X(roundf, kOpRoundf)            \
  X(rounds, kOpRounds)            \
  X(cat, kOpCat)                  \
  X(bitand, kOpBitand)            \
  X(bitor, kOpBitor)              \
  X(bitxor, kOpBitxor)            \
  X(bitoc, kOpBitoc)              \
  X(bitsl, kOpBitsl)              \
  X(bitsr, kOpBitsr)              \
  X(crypt, kOpCrypt)              \
  X(cmp, kOpCmp)                  \
  X(eq, kOpEq)                    \
  X(ne, kOpNe)                    \
  X(ge, kOpGe)                    \
  X(le, kOpLe)                    \
  X(lt, kOpLt)                    \
  X(gt, kOpGt)                    \
  X(and, kOpAnd)                  \
  X(or, kOpOr)                    \
  X(not, kOpNot)                  \
  X(in, kOpIn)                    \
  X(cin, kOpCin)                  \
  X(ein, kOpEin)                  \
  X(ecin, kOpEcin)                \
  X(isnull, kOpIsnull)            \
  X(jmp, kOpJmp)                  \
  X(jmp_eq, kOpJmpEq)             \
  X(jmp_ne, kOpJmpNe)             \
  X(jmp_lt, kOpJmpLt)             \
  X(jmp_gt, kOpJmpGt)             \
  X(jmp_le, kOpJmpLe)             \
  X(jmp_ge, kOpJmpGe)             \
  X(call, kOpCall)                \
  X(ret, kOpRet)                  \
  X(retn, kOpRetn)                \
  X(exit, kOpExit)                \
  X(lineno, kOpLineno)            \
  X(sourcefile, kOpSourcefile)    \
  X(erroutput, kOpErroutput)      \
  X(stdoutput, kOpStdoutput)      \
  X(tagerror, kOpTagerror)        \
  X(errprefix, kOpErrprefix)      \
  X(out, kOpOut)                  \
  X(out_comp, kOpOutComp)         \
  X(hide, kOpHide)                \
  X(localize, kOpLocalize)        \
  X(localizev, kOpLocalizev)      \
  X(cmpgg, kOpCmpgg)              \
  X(cmpgi, kOpCmpgi)              \
  X(incg, kOpIncg)                \
  X(modgg, kOpModgg)              \
  X(storegi, kOpStoregi)

// The steps that are not instructions of their own, each with its label
// in the loop (op_<label>):
// - goto: continue at target (the end of a chain);
// - end: the frame's code has ended;
// - truncated: an instruction runs past the segment's end, or a jump
//   before its start;
// - push2: two pushes;
// - arith: push A, push B, add/sub/mul/div [, pop into a variable];
// - modulo: push A, push B, mod [, pop into a variable];
// - append: push V, push B, cat, pop into V: B's text appended to V;
// - count_loop: incg g,k; cmpgi g,n; conditional jump;
// - compare_jump: cmpgi g,n; conditional jump;
// - arith_loop, append_loop: an arithmetic step into a variable, or an
//   append, followed by a counted-loop test that jumps back to it: the
//   whole loop runs in one step, iteration after iteration, with the
//   variables looked up once;
// - call2: push A, push B, call f: the two arguments go straight into the
//   new frame's locals when the call can be made the common way;
// - call_store: call f, pop into a variable: a library function's result
//   goes straight into the variable (b: where the pop starts).
// The loop's label table is built from this list and the instruction list
// above, so neither can fall out of step with the enum.
#define LUMO_DECODED_STEPS(X)          \
  X(Goto, goto)                        \
  X(End, end)                          \
  X(Truncated, truncated)              \
  X(Push2, push2)                      \
  X(Arith, arith)                      \
  X(Modulo, modulo)                    \
  X(Append, append)                    \
  X(CountLoop, count_loop)             \
  X(CompareJump, compare_jump)         \
  X(ArithLoop, arith_loop)             \
  X(AppendLoop, append_loop)           \
  X(Call2, call2)                       \
  X(CallStore, call_store)

enum DecodedOp : uint16_t {
  kDecodedOther = 0,
#define LUMO_DECODED_OP(name, word) kDecoded_##name,
  LUMO_CORE_INSTRUCTIONS(LUMO_DECODED_OP)
#undef LUMO_DECODED_OP
#define LUMO_DECODED_STEP(name, label) kDecoded##name,
  LUMO_DECODED_STEPS(LUMO_DECODED_STEP)
#undef LUMO_DECODED_STEP
  kDecodedOpCount
};

// The first fused step: every step from here on stands for a sequence.
inline constexpr uint16_t kFirstFusedStep = kDecodedPush2;

// Where a fused step reads a value or stores its result.
enum DecodedSource : uint8_t {
  kSourceNone = 0,
  kSourceGlobal,
  kSourceLocal,
  kSourceSystem,
  kSourceInteger,
  kSourceDouble,
  kSourceConstant,  // a dictionary entry
  kSourceStack,     // a fused result that is pushed
};

struct DecodedInsn {
  uint16_t op;    // DecodedOp
  uint16_t word;  // the (first) instruction word
  uint8_t sub;    // fused: the arithmetic word's index or the jump's
  uint8_t source_a;
  uint8_t source_b;
  uint8_t dest;
  int32_t a;  // first operand / fused source A
  int32_t b;  // second operand / fused source B
  int32_t c;  // fused: destination variable, or the compared integer
  int32_t start;  // byte offset of the (first) instruction
  int32_t next;   // byte offset after the (last) instruction
  double da;      // double operand / fused double source A
  double db;      // fused double source B
  const DecodedInsn* target;  // jumps and kDecodedGoto
  // Loop steps: the counted-loop test that follows the body.
  int32_t loop_counter;
  int32_t loop_step;
  int32_t loop_limit;
  uint8_t loop_condition;
  // Which comparison results take the jump: bit 0 below, bit 1 equal,
  // bit 2 above.
  uint8_t loop_mask;
};

// The jump-taking results of a conditional jump (see loop_mask).
inline uint8_t JumpMask(uint16_t op) {
  switch (op) {
    case kDecoded_jmp_eq: return 2;
    case kDecoded_jmp_ne: return 5;
    case kDecoded_jmp_lt: return 1;
    case kDecoded_jmp_gt: return 4;
    case kDecoded_jmp_le: return 3;
    default: return 6;
  }
}

class DecodedSegment : public SegmentCache {
 public:
  explicit DecodedSegment(const Segment* segment);
  ~DecodedSegment() override;

  // The step that executes the instruction at `offset` (decoding as needed):
  // the end step past the code, the truncated step before it.
  const DecodedInsn* At(int32_t offset) {
    if (offset >= 0 && offset < size_) {
      const DecodedInsn* insn = at_[static_cast<size_t>(offset)];
      if (insn != nullptr) return insn;
    }
    return Resolve(offset, true);
  }
  // The same, never fused at its start: a fused step that cannot finish as
  // the sequence would continues here.
  const DecodedInsn* Unfused(int32_t offset);

  static DecodedSegment* For(Segment* segment) {
    auto* decoded = static_cast<DecodedSegment*>(segment->Cache());
    return decoded != nullptr ? decoded : Attach(segment);
  }

 private:
  struct Fixup {
    DecodedInsn* insn;
    int32_t offset;
  };
  static DecodedSegment* Attach(Segment* segment);
  DecodedInsn* DecodeChain(int32_t offset, bool fuse);
  bool DecodeOne(int32_t offset, DecodedInsn* out);
  int TryFuse(int32_t offset, DecodedInsn* out);
  const DecodedInsn* Resolve(int32_t offset, bool fuse);

  // A copy: the segment's buffer moves when it grows.
  std::vector<unsigned char> code_;
  int32_t size_;
  std::vector<const DecodedInsn*> at_;       // offset -> step starting there
  std::vector<const DecodedInsn*> unfused_;  // offset -> unfused step there
  std::vector<std::unique_ptr<DecodedInsn[]>> chains_;
  std::vector<Fixup> pending_;
  DecodedInsn end_{};
  DecodedInsn truncated_{};
};

}  // namespace lumo

#endif  // LUMO_CORE_VM_DECODED_CODE_H_
