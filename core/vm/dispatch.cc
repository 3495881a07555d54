// The fetch-decode-dispatch loop and every instruction of the core set. The
// dispatch table is here and only here: subsystems add their instructions
// through LumoVM::RegisterInstruction, which the loop consults for words it
// does not handle itself.
//
// Each handler checks that its operands lie inside the segment before
// reading them: a conforming compiler never ends a segment in a truncated
// instruction, but a damaged file may, and the machine must not read past
// the segment's bytes.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/base/byte_order.h"
#include "core/base/conversions.h"
#include "core/base/decimal_round.h"
#include "core/base/text_search.h"
#include "core/program/opcodes.h"
#include "core/vm/lumo_vm.h"

// The loop jumps through a table of label addresses (a GNU extension).
#pragma GCC diagnostic ignored "-Wpedantic"

namespace lumo {

namespace {

InstructionHandler* g_handlers = nullptr;

// The core instructions, each with its label in Run and its operand bytes.
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

enum CoreIndex : uint8_t {
  kIndexOther = 0,
#define LUMO_INDEX(name, word) kIndex_##name,
  LUMO_CORE_INSTRUCTIONS(LUMO_INDEX)
#undef LUMO_INDEX
};

struct DispatchIndex {
  uint8_t index[65536];
};

constexpr DispatchIndex BuildIndex() {
  DispatchIndex d{};
#define LUMO_SET(name, word) d.index[word] = kIndex_##name;
  LUMO_CORE_INSTRUCTIONS(LUMO_SET)
#undef LUMO_SET
  return d;
}

constexpr DispatchIndex kDispatch = BuildIndex();

int32_t ModInteger(int32_t a, int32_t b) {
  // -1 divides everything; asking the hardware would trap on INT_MIN.
  if (b == 0 || b == -1) return 0;
  return a % b;
}

int CompareVariables(Variable* a, Variable* b) {
  StackEntry x{};
  StackEntry y{};
  x.kind = y.kind = kStackVariable;
  x.variable = a;
  y.variable = b;
  return LumoVM_Stack::CompareEntries(x, y);
}

int CompareVariableInteger(Variable* a, int32_t k) {
  StackEntry x{};
  StackEntry y{};
  x.kind = kStackVariable;
  x.variable = a;
  y.kind = kStackInteger;
  y.integer = k;
  return LumoVM_Stack::CompareEntries(x, y);
}

}  // namespace

void LumoVM::RegisterInstruction(uint16_t word, InstructionHandler handler) {
  if (g_handlers == nullptr) {
    g_handlers = static_cast<InstructionHandler*>(calloc(65536, sizeof(InstructionHandler)));
    if (g_handlers == nullptr) OutOfMemory("LumoVM");
  }
  g_handlers[word] = handler;
}

int LumoVM::Run() {
  static const void* const kLabels[] = {
      &&op_other,
#define LUMO_LABEL(name, word) &&op_##name,
      LUMO_CORE_INSTRUCTIONS(LUMO_LABEL)
#undef LUMO_LABEL
  };

  const unsigned char* code = nullptr;
  int32_t size = 0;
  uint16_t word = 0;

// Operand access for the handler of a word with `bytes` operand bytes.
#define OPERANDS(bytes)                                     \
  do {                                                      \
    if (offset_ > size - 2 - (bytes)) [[unlikely]] {        \
      goto truncated;                                       \
    }                                                       \
  } while (0)
#define INT1() DecodeLeInt32(code + instruction_start_ + 2)
#define INT2() DecodeLeInt32(code + instruction_start_ + 6)
#define ADVANCE(bytes) (offset_ = instruction_start_ + 2 + (bytes))
#define NEXT() goto next

next:
  if ((timeout_flag_->load(std::memory_order_relaxed) | error_ |
       exit_flag_->load(std::memory_order_relaxed)) != 0 ||
      tick_counter_->load(std::memory_order_relaxed) != last_tick_) [[unlikely]] {
    if (timeout_flag_->load(std::memory_order_relaxed) && !error_) {
      TimedOut();
      return 0;
    }
    if (tick_counter_->load(std::memory_order_relaxed) != last_tick_) NoteTick();
    if (error_) return 0;
    if (exit_flag_->load(std::memory_order_relaxed)) return 1;
  }
  if (segment_ == nullptr || segment_->Number() != segment_number_) [[unlikely]] {
    segment_ = segments_->Segment(segment_number_);
    if (segment_ == nullptr) {
      FatalError("Invalid segment reference");
      return 0;
    }
  }
  code = segment_->Bytes();
  size = segment_->Size();
  instruction_start_ = offset_;
  if (offset_ < 0) [[unlikely]] {
    goto truncated;
  }
  if (offset_ > size - 2) [[unlikely]] {
    // The frame's code has ended.
    if (frame_->FrameKind() != 2) return 1;
    const bool result = stack_->PopBoolean();
    if (error_) return 0;
    static_cast<LumoVM_FilterFrame*>(frame_)->callback->FilterResult(*this, result);
    NEXT();
  }
  word = DecodeLe16(code + offset_);
  goto *kLabels[kDispatch.index[word]];

op_other: {
  const int32_t bytes = InstructionSize(word) - 2;
  OPERANDS(bytes);
  const int first = FirstOperandKind(word);
  const int second = SecondOperandKind(word);
  const unsigned char* p = code + instruction_start_ + 2;
  if (first == kOperandInteger) operand1_ = DecodeLeInt32(p);
  if (first == kOperandDouble) double1_ = DecodeLeDouble(p);
  p += OperandSize(first);
  if (second == kOperandInteger) operand2_ = DecodeLeInt32(p);
  if (second == kOperandDouble) double2_ = DecodeLeDouble(p);
  ADVANCE(bytes);
  InstructionHandler handler = g_handlers != nullptr ? g_handlers[word] : nullptr;
  if (handler == nullptr) {
    FatalError("Illegal Instruction");
    return 0;
  }
  handler(*this);
  NEXT();
}

truncated:
  FatalError("Illegal Instruction");
  return 0;

// --- Stack and variables ----------------------------------------------------

op_noop:
  ADVANCE(0);
  NEXT();

op_pushc: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  int32_t length = 0;
  const char* text = dictionary_->Entry(operand1_, &length);
  if (text == nullptr) {
    FatalError("Invalid dictionary reference");
    return 0;
  }
  stack_->PushString(text, length, 0, false);
  NEXT();
}

op_pushi:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  stack_->PushInteger(operand1_);
  NEXT();

op_pushf:
  OPERANDS(8);
  double1_ = DecodeLeDouble(code + instruction_start_ + 2);
  ADVANCE(8);
  stack_->PushDouble(double1_);
  NEXT();

op_pushs:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  stack_->PushVariable(system_->Index(operand1_, true), false);
  NEXT();

op_pushg:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  stack_->PushVariable(globals_->Index(operand1_, true), false);
  NEXT();

op_pushl:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  stack_->PushVariable(frame_->locals->Index(operand1_, true), false);
  NEXT();

op_pushd: {
  // Database fields arrive with the database instructions; until a
  // database is open every field is the null variable.
  ADVANCE(0);
  stack_->Pop();
  stack_->Pop();
  if (!error_) stack_->PushVariable(null_, false);
  NEXT();
}

op_pushdc: {
  OPERANDS(8);
  operand1_ = INT1();
  operand2_ = INT2();
  ADVANCE(8);
  stack_->PushVariable(null_, false);
  NEXT();
}

op_pushn: {
  ADVANCE(0);
  PoppedText name;
  stack_->PopText(name);
  if (!error_) PushResolved(name.Data(), name.Length());
  NEXT();
}

op_pushnc: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  int32_t length = 0;
  const char* name = dictionary_->Entry(operand1_, &length);
  if (name == nullptr) {
    FatalError("Invalid dictionary reference");
    return 0;
  }
  PushResolved(name, length);
  NEXT();
}

op_pop:
  ADVANCE(0);
  stack_->Pop();
  NEXT();

op_pops:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  stack_->PopInto(system_->Index(operand1_, true));
  NEXT();

op_popg:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  stack_->PopInto(globals_->Index(operand1_, true));
  NEXT();

op_popl:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  stack_->PopInto(frame_->locals->Index(operand1_, true));
  NEXT();

op_popd:
  ADVANCE(0);
  stack_->Pop();
  stack_->Pop();
  stack_->Pop();
  NEXT();

op_popdc:
  OPERANDS(8);
  operand1_ = INT1();
  operand2_ = INT2();
  ADVANCE(8);
  stack_->Pop();
  NEXT();

op_popn: {
  ADVANCE(0);
  PoppedText name;
  stack_->PopText(name);
  if (!error_) PopIntoName(name.Data(), name.Length());
  NEXT();
}

op_popnc: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  int32_t length = 0;
  const char* name = dictionary_->Entry(operand1_, &length);
  if (name == nullptr) {
    FatalError("Invalid dictionary reference");
    return 0;
  }
  PopIntoName(name, length);
  NEXT();
}

op_poplvnc: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  PoppedText value;
  stack_->PopText(value);
  if (error_) NEXT();
  int32_t length = 0;
  const char* name = dictionary_->Entry(operand1_, &length);
  if (name == nullptr) {
    FatalError("Invalid dictionary reference");
    return 0;
  }
  localized_tokens_.Insert(new Variable(std::string_view(name, static_cast<size_t>(length)),
                                        value.View()));
  NEXT();
}

op_spush:
  ADVANCE(0);
  system_->Push();
  NEXT();

op_spop:
  ADVANCE(0);
  // Pop releases the variables of the level; stacks may still point at them.
  PinBorrowed(nullptr);
  if (!system_->Pop()) FatalError("System variable stack underflow");
  NEXT();

op_dup:
  ADVANCE(0);
  stack_->Dup();
  NEXT();

op_swap:
  ADVANCE(0);
  stack_->Swap(0, 1);
  NEXT();

op_swapn:
  OPERANDS(8);
  operand1_ = INT1();
  operand2_ = INT2();
  ADVANCE(8);
  stack_->Swap(operand1_, operand2_);
  NEXT();

op_store: {
  ADVANCE(0);
  bool owned = false;
  Variable* target = stack_->PopVariable(&owned);
  if (target == nullptr) {
    if (!error_) stack_->Pop();
    NEXT();
  }
  stack_->PopInto(target);
  if (owned) target->Free();
  NEXT();
}

op_refer: {
  ADVANCE(0);
  bool owned2 = false;
  bool owned1 = false;
  Variable* alias = stack_->PopVariable(&owned2);
  Variable* target = alias != nullptr ? stack_->PopVariable(&owned1) : nullptr;
  if (alias != nullptr && target != nullptr) alias->Make_Reference(target);
  if (owned1) target->Free();
  if (owned2) alias->Free();
  NEXT();
}

op_refern: {
  ADVANCE(0);
  PoppedText name;
  stack_->PopText(name);
  bool owned = false;
  Variable* target = error_ ? nullptr : stack_->PopVariable(&owned);
  if (target != nullptr) {
    Variable* alias = nullptr;
    if (!error_ && ResolveName(name.Data(), name.Length(), &alias) && alias != nullptr) {
      alias->Make_Reference(target);
    }
  }
  if (owned) target->Free();
  NEXT();
}

op_refers:
op_referl: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  VariableHash* scope = word == kOpRefers ? system_ : frame_->locals;
  bool owned = false;
  Variable* target = stack_->PopVariable(&owned);
  if (target == nullptr) NEXT();
  if (operand1_ < 0 || operand1_ >= scope->Count()) {
    if (owned) target->Free();
    FatalError("Invalid variable reference");
    return 0;
  }
  Variable* old = scope->Index(operand1_, false);
  if (old != nullptr && old != target) PinBorrowed(old);
  scope->MakeReference(operand1_, target);
  if (owned) target->Free();
  NEXT();
}

op_refernc: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  int32_t length = 0;
  const char* name = dictionary_->Entry(operand1_, &length);
  bool owned = false;
  Variable* target = stack_->PopVariable(&owned);
  if (target == nullptr) NEXT();
  if (name == nullptr) {
    if (owned) target->Free();
    FatalError("Invalid dictionary reference");
    return 0;
  }
  Variable* alias = nullptr;
  if (ResolveName(name, length, &alias) && alias != nullptr) alias->Make_Reference(target);
  if (owned) target->Free();
  NEXT();
}

op_elem:
op_elemr: {
  ADVANCE(0);
  const int32_t index = stack_->PopInteger();
  bool owned = false;
  Variable* base = error_ ? nullptr : stack_->PopVariable(&owned);
  if (base == nullptr) NEXT();
  Variable* element = nullptr;
  if (index < 1 && word == kOpElem) {
    RuntimeError(kExpressionTag, "Array index must be positive integer");
  } else if (index >= 1) {
    element = base->Element(AggregateIndex(index), word == kOpElem);
  }
  // The element belongs to its aggregate, which later instructions may
  // change: the stack entry holds a reference of its own.
  if (element != nullptr) element->AddReference();
  if (owned) base->Free();
  if (element != nullptr) {
    stack_->PushVariable(element, true);
  } else {
    stack_->PushVariable(null_, false);
  }
  NEXT();
}

op_memb:
op_membr: {
  ADVANCE(0);
  PoppedText key;
  stack_->PopText(key);
  bool owned = false;
  Variable* base = error_ ? nullptr : stack_->PopVariable(&owned);
  if (base == nullptr) NEXT();
  Variable* element = base->Element(AggregateIndex(key.Data(), key.Length()), word == kOpMemb);
  if (element != nullptr) element->AddReference();
  if (owned) base->Free();
  if (element != nullptr) {
    stack_->PushVariable(element, true);
  } else {
    stack_->PushVariable(null_, false);
  }
  NEXT();
}

// --- Arithmetic, logic and comparison -------------------------------------

#define BINARY_DOUBLE(expression)             \
  {                                           \
    ADVANCE(0);                               \
    const double b = stack_->PopDouble();     \
    const double a = stack_->PopDouble();     \
    stack_->PushDouble(expression);           \
    NEXT();                                   \
  }
#define BINARY_INTEGER(expression)            \
  {                                           \
    ADVANCE(0);                               \
    const int32_t b = stack_->PopInteger();   \
    const int32_t a = stack_->PopInteger();   \
    stack_->PushInteger(expression);          \
    NEXT();                                   \
  }
#define COMPARISON(expression)                \
  {                                           \
    ADVANCE(0);                               \
    const int c = stack_->Compare();          \
    stack_->PushInteger((expression) ? 1 : 0); \
    NEXT();                                   \
  }

op_add: BINARY_DOUBLE(a + b)
op_sub: BINARY_DOUBLE(a - b)
op_mul: BINARY_DOUBLE(a * b)
op_div: BINARY_DOUBLE(a == 0.0 ? 0.0 : a / b)
op_pow: BINARY_DOUBLE(std::pow(a, b))
op_mod: BINARY_INTEGER(ModInteger(a, b))
op_bitand: BINARY_INTEGER(a & b)
op_bitor: BINARY_INTEGER(a | b)
op_bitxor: BINARY_INTEGER(a ^ b)
op_bitsl: BINARY_INTEGER(static_cast<int32_t>(static_cast<uint32_t>(a) << (b & 31)))
op_bitsr: BINARY_INTEGER(a >> (b & 31))

op_roundf: {
  ADVANCE(0);
  const int32_t decimals = stack_->PopInteger();
  const double value = stack_->PopDouble();
  stack_->PushDouble(RoundDecimal(value, decimals));
  NEXT();
}

op_rounds: {
  ADVANCE(0);
  const int32_t decimals = stack_->PopInteger();
  const double value = stack_->PopDouble();
  String text;
  AppendRoundedText(text, value, decimals);
  stack_->PushString(std::move(text));
  NEXT();
}

op_cat: {
  ADVANCE(0);
  PoppedText b;
  PoppedText a;
  stack_->PopText(b);
  stack_->PopText(a);
  if (error_) NEXT();
  String joined;
  joined.Reserve(a.Length() + b.Length());
  joined.Append(a.Data(), a.Length());
  joined.Append(b.Data(), b.Length());
  stack_->PushString(std::move(joined));
  NEXT();
}

op_bitoc:
  ADVANCE(0);
  stack_->PushInteger(~stack_->PopInteger());
  NEXT();

op_crypt:
  ADVANCE(0);
  Crypt();
  NEXT();

op_cmp:
  ADVANCE(0);
  stack_->PushInteger(stack_->Compare());
  NEXT();

op_eq: COMPARISON(c == 0)
op_ne: COMPARISON(c != 0)
op_ge: COMPARISON(c >= 0)
op_le: COMPARISON(c <= 0)
op_lt: COMPARISON(c < 0)
op_gt: COMPARISON(c > 0)

op_and: {
  ADVANCE(0);
  const bool b = stack_->PopBoolean();
  const bool a = stack_->PopBoolean();
  stack_->PushInteger(a && b ? 1 : 0);
  NEXT();
}

op_or: {
  ADVANCE(0);
  const bool b = stack_->PopBoolean();
  const bool a = stack_->PopBoolean();
  stack_->PushInteger(a || b ? 1 : 0);
  NEXT();
}

op_not:
  ADVANCE(0);
  stack_->PushInteger(stack_->PopBoolean() ? 0 : 1);
  NEXT();

op_in:
op_cin:
op_ein:
op_ecin: {
  ADVANCE(0);
  PoppedText haystack;
  PoppedText needle;
  stack_->PopText(haystack);
  stack_->PopText(needle);
  const bool ignore_case = word == kOpCin || word == kOpEcin;
  const bool end = word == kOpEin || word == kOpEcin;
  stack_->PushInteger(TextPosition(needle.Data(), needle.Length(), haystack.Data(),
                                   haystack.Length(), ignore_case, end));
  NEXT();
}

op_isnull:
  ADVANCE(0);
  stack_->PushInteger(stack_->PopIsEmpty() ? 1 : 0);
  NEXT();

// --- Control ------------------------------------------------------------------

#define JUMP_IF(condition)                                                \
  {                                                                       \
    OPERANDS(4);                                                          \
    operand1_ = INT1();                                                   \
    ADVANCE(4);                                                           \
    const int32_t v = stack_->PopInteger();                               \
    if (!error_ && (condition)) {                                         \
      const int64_t target = static_cast<int64_t>(offset_) + operand1_;   \
      offset_ = target < 0 || target > size ? -1 : static_cast<int32_t>(target); \
    }                                                                     \
    NEXT();                                                               \
  }

op_jmp: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  const int64_t target = static_cast<int64_t>(offset_) + operand1_;
  // A jump before the segment's start is damage; one past its end simply
  // ends the frame's code.
  offset_ = target < 0 ? -1 : target > size ? size : static_cast<int32_t>(target);
  NEXT();
}
op_jmp_eq: JUMP_IF(v == 0)
op_jmp_ne: JUMP_IF(v != 0)
op_jmp_lt: JUMP_IF(v < 0)
op_jmp_gt: JUMP_IF(v > 0)
op_jmp_le: JUMP_IF(v <= 0)
op_jmp_ge: JUMP_IF(v >= 0)

op_call: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  Function* function = functions_->Function(operand1_);
  if (function == nullptr) {
    FatalError("Invalid function call");
    return 0;
  }
  if (function->IsExternal()) {
    CallExternal(function);
  } else {
    CallFunction(function);
  }
  NEXT();
}

op_ret:
  ADVANCE(0);
  Return(true);
  NEXT();

op_retn:
  ADVANCE(0);
  Return(false);
  NEXT();

op_exit:
  offset_ = size;
  exit_flag_->store(1, std::memory_order_relaxed);
  NEXT();

op_lineno:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  line_ = operand1_;
  if (event_mask_ & kEventTrace) Trace(line_);
  NEXT();

op_sourcefile:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  SetSourceFile(operand1_);
  NEXT();

op_erroutput:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  frame_->error_display = static_cast<uint32_t>(operand1_);
  NEXT();

op_stdoutput:
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  frame_->output_level = operand1_;
  context_->SetOutputLevel(operand1_);
  NEXT();

op_tagerror:
  OPERANDS(8);
  operand1_ = INT1();
  operand2_ = INT2();
  ADVANCE(8);
  if (operand1_ >= 0 && operand1_ < kTagCount) {
    settings_[operand1_].flags = static_cast<uint32_t>(operand2_);
  }
  NEXT();

op_errprefix: {
  ADVANCE(0);
  PoppedText prefix;
  stack_->PopText(prefix);
  if (!error_) error_prefix_.Assign(prefix.Data(), prefix.Length());
  NEXT();
}

// --- Output -------------------------------------------------------------------

op_out:
op_out_comp: {
  ADVANCE(0);
  PoppedText text;
  stack_->PopText(text);
  if (error_) NEXT();
  if (word == kOpOut) {
    context_->Write(text.Data(), text.Length());
  } else {
    context_->WriteCompressed(text.Data(), text.Length());
  }
  NEXT();
}

op_hide: {
  ADVANCE(0);
  PoppedText names;
  stack_->PopText(names);
  if (!error_) Hide(names.Data(), names.Length());
  NEXT();
}

op_localize:
op_localizev: {
  OPERANDS(4);
  operand1_ = INT1();
  ADVANCE(4);
  int32_t length = 0;
  if (dictionary_->Entry(operand1_, &length) == nullptr) {
    FatalError("Invalid dictionary reference");
    return 0;
  }
  // A program without localized sections has no text for any token.
  localized_tokens_.Clear();
  if (word == kOpLocalizev) stack_->PushString("", 0, 0, false);
  NEXT();
}

// --- Fused global-variable instructions ---------------------------------------

op_cmpgg:
op_modgg: {
  OPERANDS(8);
  operand1_ = INT1();
  operand2_ = INT2();
  ADVANCE(8);
  Variable* g = globals_->Index(operand1_, true);
  Variable* h = globals_->Index(operand2_, true);
  if (g == nullptr || h == nullptr) {
    FatalError("Invalid variable reference");
    return 0;
  }
  if (word == kOpCmpgg) {
    stack_->PushInteger(CompareVariables(g, h));
  } else {
    stack_->PushInteger(ModInteger(g->Value_Integer(), h->Value_Integer()));
  }
  NEXT();
}

op_cmpgi:
op_incg:
op_storegi: {
  OPERANDS(8);
  operand1_ = INT1();
  operand2_ = INT2();
  ADVANCE(8);
  Variable* g = globals_->Index(operand1_, true);
  if (g == nullptr) {
    FatalError("Invalid variable reference");
    return 0;
  }
  if (word == kOpCmpgi) {
    stack_->PushInteger(CompareVariableInteger(g, operand2_));
  } else if (word == kOpIncg) {
    g->SetValue_Integer(static_cast<int32_t>(static_cast<uint32_t>(g->Value_Integer()) +
                                             static_cast<uint32_t>(operand2_)));
  } else {
    g->SetValue_Integer(operand2_);
  }
  NEXT();
}

#undef OPERANDS
#undef INT1
#undef INT2
#undef ADVANCE
#undef NEXT
#undef BINARY_DOUBLE
#undef BINARY_INTEGER
#undef COMPARISON
#undef JUMP_IF
}

}  // namespace lumo
