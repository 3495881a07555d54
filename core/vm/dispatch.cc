// The fetch-decode-dispatch loop and every instruction of the core set. The
// dispatch table is here and only here: subsystems add their instructions
// through LumoVM::RegisterInstruction, which the loop consults for words it
// does not handle itself.
//
// The loop runs decoded code (decoded_code.h): operands are read and checked
// against the segment's end once, when a chain of instructions is decoded,
// so a damaged segment can never make the loop read past its bytes.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "core/base/byte_order.h"
#include "core/base/conversions.h"
#include "core/base/decimal_round.h"
#include "core/base/text_search.h"
#include "core/program/opcodes.h"
#include "core/vm/decoded_code.h"
#include "core/vm/lumo_vm.h"

// The loop jumps through a table of label addresses (a GNU extension).
#pragma GCC diagnostic ignored "-Wpedantic"

namespace lumo {

namespace {

InstructionHandler* g_handlers = nullptr;

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


bool JumpTaken(uint8_t condition, int32_t v) {
  // Chained tests rather than a switch: in a loop the same test repeats and
  // direct branches predict better than a table jump.
  if (condition == kDecoded_jmp_le) return v <= 0;
  if (condition == kDecoded_jmp_lt) return v < 0;
  if (condition == kDecoded_jmp_ne) return v != 0;
  if (condition == kDecoded_jmp_eq) return v == 0;
  if (condition == kDecoded_jmp_gt) return v > 0;
  return v >= 0;
}

double Arithmetic(uint8_t op, double a, double b) {
  if (op == kDecoded_add) return a + b;
  if (op == kDecoded_sub) return a - b;
  if (op == kDecoded_mul) return a * b;
  return a == 0.0 ? 0.0 : a / b;
}

}  // namespace

void LumoVM::RegisterInstruction(uint16_t word, InstructionHandler handler) {
  if (g_handlers == nullptr) {
    g_handlers = static_cast<InstructionHandler*>(calloc(65536, sizeof(InstructionHandler)));
    if (g_handlers == nullptr) OutOfMemory("LumoVM");
  }
  g_handlers[word] = handler;
}

// Instructions whose work needs objects with destructors run in functions
// of their own: the loop leaves a handler through a computed goto, which
// does not run the destructors of the handler's locals. A reference taken
// off the stack is one of those objects (HeldVariable): memory may run out
// while it is held, and the exception must not leak it.
inline void LumoVM::StepStore() {
  bool owned = false;
  Variable* target = stack_->PopVariable(&owned);
  if (target == nullptr) {
    if (!error_) stack_->Pop();
    return;
  }
  const HeldVariable held(target, owned);
  stack_->PopInto(target);
}

inline void LumoVM::StepRefer() {
  bool owned2 = false;
  bool owned1 = false;
  Variable* alias = stack_->PopVariable(&owned2);
  const HeldVariable held_alias(alias, owned2);
  Variable* target = alias != nullptr ? stack_->PopVariable(&owned1) : nullptr;
  const HeldVariable held_target(target, owned1);
  if (alias != nullptr && target != nullptr) alias->Make_Reference(target);
}

void LumoVM::StepReferEntry(VariableHash* scope, int32_t entry) {
  bool owned = false;
  Variable* target = stack_->PopVariable(&owned);
  if (target == nullptr) return;
  const HeldVariable held(target, owned);
  if (entry < 0 || entry >= scope->Count()) {
    FatalError("Invalid variable reference");
    return;
  }
  Variable* old = scope->Index(entry, false);
  if (old != nullptr && old != target) PinBorrowed(old);
  scope->MakeReference(entry, target);
}

void LumoVM::StepReferConstant(int32_t entry) {
  int32_t length = 0;
  const char* name = dictionary_->Entry(entry, &length);
  bool owned = false;
  Variable* target = stack_->PopVariable(&owned);
  if (target == nullptr) return;
  const HeldVariable held(target, owned);
  if (name == nullptr) {
    FatalError("Invalid dictionary reference");
    return;
  }
  Variable* alias = nullptr;
  if (ResolveName(name, length, &alias) && alias != nullptr) alias->Make_Reference(target);
}

inline void LumoVM::StepElement(int32_t index, bool create) {
  bool owned = false;
  Variable* base = error_ ? nullptr : stack_->PopVariable(&owned);
  if (base == nullptr) return;
  Variable* element = nullptr;
  {
    const HeldVariable held(base, owned);
    // Reading and writing refuse index 0 and below alike: a read that
    // quietly found nothing would hide the script's off-by-one.
    if (index < 1) {
      RuntimeError(kExpressionTag, "Array index must be positive integer");
    } else {
      element = base->Element(AggregateIndex(index), create);
    }
    // The element belongs to its aggregate, which later instructions may
    // change: the stack entry holds a reference of its own.
    if (element != nullptr) element->AddReference();
  }
  if (element != nullptr) {
    stack_->PushVariable(element, true);
  } else {
    stack_->PushVariable(null_, false);
  }
}

void LumoVM::StepPushName() {
  PoppedText name;
  stack_->PopText(name);
  if (!error_) PushResolved(name.Data(), name.Length());
}

void LumoVM::StepPopName() {
  PoppedText name;
  stack_->PopText(name);
  if (!error_) PopIntoName(name.Data(), name.Length());
}

void LumoVM::StepLocalizedToken(int32_t entry) {
  PoppedText value;
  stack_->PopText(value);
  if (error_) return;
  int32_t length = 0;
  const char* name = dictionary_->Entry(entry, &length);
  if (name == nullptr) {
    FatalError("Invalid dictionary reference");
    return;
  }
  auto* token = new Variable(std::string_view(name, static_cast<size_t>(length)), value.View());
  const HeldVariable held(token, true);
  localized_tokens_.Insert(token);  // the list takes a reference of its own
}

void LumoVM::StepReferName() {
  PoppedText name;
  stack_->PopText(name);
  bool owned = false;
  Variable* target = error_ ? nullptr : stack_->PopVariable(&owned);
  if (target == nullptr) return;
  const HeldVariable held(target, owned);
  Variable* alias = nullptr;
  if (ResolveName(name.Data(), name.Length(), &alias) && alias != nullptr) {
    alias->Make_Reference(target);
  }
}

void LumoVM::StepMember(bool create) {
  PoppedText key;
  stack_->PopText(key);
  bool owned = false;
  Variable* base = error_ ? nullptr : stack_->PopVariable(&owned);
  if (base == nullptr) return;
  Variable* element = nullptr;
  {
    const HeldVariable held(base, owned);
    element = base->Member(key.Data(), key.Length(), create);
    // The member belongs to its aggregate, which later instructions may
    // change: the stack entry holds a reference of its own.
    if (element != nullptr) element->AddReference();
  }
  if (element != nullptr) {
    stack_->PushVariable(element, true);
  } else {
    stack_->PushVariable(null_, false);
  }
}

void LumoVM::StepRounds() {
  const int32_t decimals = stack_->PopInteger();
  const double value = stack_->PopDouble();
  String text;
  AppendRoundedText(text, value, decimals);
  stack_->PushString(std::move(text));
}

void LumoVM::StepCat() {
  PoppedText b;
  stack_->PopText(b);
  if (error_) return;
  // A text that an earlier cat built is the stack's own: b joins it where
  // it lies, so a chain of cats allocates once, not once per piece.
  StackEntry* top = stack_->Peek(0);
  if (top != nullptr && top->kind == kStackString && top->owned) {
    const int64_t length = int64_t{top->length} + b.Length();
    if (length > kMaxTextLength) {
      stack_->Pop();
      FatalError("Out of memory");
      return;
    }
    if (length + 1 > int64_t{top->capacity}) {
      // Doubling keeps a long chain of joins linear.
      const int64_t wanted = std::max(length + 1, int64_t{top->capacity} * 2);
      const int32_t capacity = RoundStringCapacity(wanted);
      top->text = ReallocateText(const_cast<char*>(top->text),
                                 static_cast<int32_t>(top->capacity), capacity);
      top->capacity = static_cast<uint32_t>(capacity);
    }
    char* text = const_cast<char*>(top->text);
    if (b.Length() > 0) memcpy(text + top->length, b.Data(), static_cast<size_t>(b.Length()));
    text[length] = '\0';
    top->length = static_cast<uint32_t>(length);
    return;
  }
  PoppedText a;
  stack_->PopText(a);
  if (error_) return;
  const int64_t length = static_cast<int64_t>(a.Length()) + b.Length();
  if (length > kMaxTextLength) {
    FatalError("Out of memory");
    return;
  }
  // Room to spare: the next instruction is often another cat.
  const int32_t capacity = RoundStringCapacity(std::max<int64_t>(length + 1, 64));
  char* joined = AllocateText(capacity);
  if (a.Length() > 0) memcpy(joined, a.Data(), static_cast<size_t>(a.Length()));
  if (b.Length() > 0) memcpy(joined + a.Length(), b.Data(), static_cast<size_t>(b.Length()));
  joined[length] = '\0';
  stack_->PushString(joined, static_cast<int32_t>(length), capacity, true);
}

void LumoVM::StepPosition(bool ignore_case, bool end) {
  PoppedText haystack;
  PoppedText needle;
  stack_->PopText(haystack);
  stack_->PopText(needle);
  stack_->PushInteger(TextPosition(needle.Data(), needle.Length(), haystack.Data(),
                                   haystack.Length(), ignore_case, end));
}

void LumoVM::StepErrorPrefix() {
  PoppedText prefix;
  stack_->PopText(prefix);
  if (!error_) error_prefix_.Assign(prefix.Data(), prefix.Length());
}

void LumoVM::StepOut(bool compressed) {
  PoppedText text;
  stack_->PopText(text);
  if (error_) return;
  if (compressed) {
    context_->WriteCompressed(text.Data(), text.Length());
  } else {
    context_->Write(text.Data(), text.Length());
  }
}

void LumoVM::StepHide() {
  PoppedText names;
  stack_->PopText(names);
  if (!error_) Hide(names.Data(), names.Length());
}

inline bool LumoVM::FusedSource(uint8_t source, int32_t n, Variable** variable,
                                const char** text, int32_t* length) {
  switch (source) {
    case kSourceGlobal: *variable = GlobalAt(n); return *variable != nullptr;
    case kSourceLocal: *variable = LocalAt(n); return *variable != nullptr;
    case kSourceSystem: *variable = system_->Index(n, true); return *variable != nullptr;
    case kSourceConstant:
      *text = dictionary_->Entry(n, length);
      return *text != nullptr;
    default: return true;
  }
}

inline void LumoVM::PushFused(uint8_t source, int32_t n, double d, Variable* variable,
                              const char* text, int32_t length) {
  switch (source) {
    case kSourceInteger: stack_->PushInteger(n); break;
    case kSourceDouble: stack_->PushDouble(d); break;
    case kSourceConstant: stack_->PushString(text, length, 0, false); break;
    default: stack_->PushVariable(variable, false); break;
  }
}

inline bool LumoVM::FusedDouble(uint8_t source, int32_t n, double d, double* out) {
  Variable* v = nullptr;
  switch (source) {
    case kSourceInteger: *out = n; return true;
    case kSourceDouble: *out = d; return true;
    case kSourceGlobal: v = GlobalAt(n); break;
    default: v = LocalAt(n); break;
  }
  if (v == nullptr) return false;
  if (!v->FastDouble(out)) *out = v->Value_Double();
  return true;
}

// The integer a push from the source would leave for mod to pop.
inline bool LumoVM::FusedInteger(uint8_t source, int32_t n, double d, int32_t* out) {
  Variable* v = nullptr;
  switch (source) {
    case kSourceInteger: *out = n; return true;
    case kSourceDouble: *out = TruncateToInteger(d); return true;
    case kSourceGlobal: v = GlobalAt(n); break;
    default: v = LocalAt(n); break;
  }
  if (v == nullptr) return false;
  if (!v->FastInteger(out)) *out = v->Value_Integer();
  return true;
}

// A loop step's test: counter += step, then the counter against the limit
// as 0 (below), 1 (equal) or 2 (above), the bit of the jump's mask. The
// counter is a plain scalar (checked before the loop).
__attribute__((always_inline)) inline int LumoVM::CountStep(Variable* counter, int32_t step, int32_t limit) {
  int32_t value = 0;
  if (!counter->FastInteger(&value)) value = counter->Value_Integer();
  value = static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(step));
  counter->StoreInteger(value);
  return (value >= limit) + (value > limit);
}

// Appends the text of a fused step's second source to v: a variable's
// value, a constant's bytes, or a number formatted as cat would.
inline void LumoVM::AppendFused(const DecodedInsn* ip, Variable* v, Variable* b, const char* text,
                                int32_t length) {
  if (b != nullptr) {
    const String& value = b->Value();
    text = value.Text();
    length = value.Length();
  } else if (text == nullptr) {
    scratch_text_.SetLength(0);
    if (ip->source_b == kSourceInteger) {
      AppendInteger(scratch_text_, ip->b);
    } else {
      AppendDouble(scratch_text_, ip->db, -1);
    }
    text = scratch_text_.Text();
    length = scratch_text_.Length();
  }
  if (static_cast<int64_t>(v->TextLength()) + length > kMaxTextLength) {
    FatalError("Out of memory");
    return;
  }
  v->FastAppend(text, length);
}

// Whether a call can skip CallFunction's general path: a machine that is
// exactly a LumoVM (nobody overrides CallFunction), no call events to log,
// a spare frame that last ran this function, and every argument by value
// into a local that frame kept.
inline bool LumoVM::CanQuickCall(Function* function) {
  const LumoVM_FunctionFrame* frame = spare_frames_;
  if (!plain_machine_ || frame == nullptr || frame->names_of != function ||
      (event_mask_ & (kEventFunctionCall | kEventFunctionParameter)) != 0 ||
      call_depth_ >= kMaxCallDepth || function->IsExternal() ||
      frame->locals->EntryCount() != function->Locals().EntryCount()) {
    return false;
  }
  for (int32_t i = 0; i < function->ParameterCount(); ++i) {
    const FunctionParameter& p = function->Parameter(i);
    if (p.ByReference() || frame->locals->PeekVariable(p.local_slot) == nullptr) return false;
  }
  return true;
}

// Takes the spare frame CanQuickCall approved and sets it up as
// CallFunction would, arguments aside.
inline LumoVM_FunctionFrame* LumoVM::EnterQuickCall(Function* function, int32_t return_offset) {
  LumoVM_FunctionFrame* frame = spare_frames_;
  spare_frames_ = static_cast<LumoVM_FunctionFrame*>(frame->previous);
  --spare_count_;
  ++call_depth_;
  frame->function = function;
  frame->return_segment = segment_number_;
  frame->return_offset = return_offset;
  frame->error_display = CallErrorDisplay(function);
  frame->output_level = CallOutputLevel(function);
  if (context_->OutputLevel() != frame->output_level) context_->SetOutputLevel(frame->output_level);
  return frame;
}

// Stores a fused source into a variable as PopInto stores the entry the
// source would have pushed.
inline void LumoVM::AssignFused(Variable* target, uint8_t source, int32_t n, double d,
                                Variable* variable, const char* text, int32_t length) {
  switch (source) {
    case kSourceInteger:
      if (!target->FastSetInteger(n)) target->SetValue_Integer(n);
      break;
    case kSourceDouble:
      if (!target->FastSetDouble(d)) target->SetValue_Double(d);
      break;
    case kSourceConstant: target->SetValue(text, length); break;
    default:
      if (variable != target && !target->FastCopyFrom(variable)) target->SetValue_Variable(variable);
      break;
  }
}

int LumoVM::Execute() {
  static const void* const kLabels[] = {
      &&op_other,
#define LUMO_LABEL(name, word) &&op_##name,
      LUMO_CORE_INSTRUCTIONS(LUMO_LABEL)
#undef LUMO_LABEL
#define LUMO_STEP_LABEL(name, label) &&op_##label,
      LUMO_DECODED_STEPS(LUMO_STEP_LABEL)
#undef LUMO_STEP_LABEL
  };
  // Both lists feed the enum and this table in the same order; a step
  // added to one place only fails here rather than jumping to a wrong label.
  static_assert(sizeof(kLabels) / sizeof(kLabels[0]) == kDecodedOpCount,
                "one label per decoded op");

  DecodedSegment* decoded = nullptr;
  const DecodedInsn* ip = nullptr;
  // Known only once construction is over (a constructor sees its own class).
  plain_machine_ = typeid(*this) == typeid(LumoVM);

#define DISPATCH()                          \
  do {                                      \
    if (error_) [[unlikely]] return 0;      \
    instruction_start_ = ip->start;         \
    goto *kLabels[ip->op];                  \
  } while (0)
#define NEXT()   \
  do {           \
    ++ip;        \
    DISPATCH();  \
  } while (0)
// Where control moves (jumps, calls, returns) the shared words are looked
// at: a loop always passes a jump, so a time-out or stop request is seen.
#define FLAGS_SET()                                                           \
  ((timeout_flag_->load(std::memory_order_relaxed) | error_ |                 \
    exit_flag_->load(std::memory_order_relaxed)) != 0 ||                      \
   tick_counter_->load(std::memory_order_relaxed) != last_tick_)
#define JUMP(to)                  \
  do {                            \
    ip = (to);                    \
    if (FLAGS_SET()) [[unlikely]] { \
      offset_ = ip->start;        \
      goto enter;                 \
    }                             \
    DISPATCH();                   \
  } while (0)
// Hands a fused step that cannot finish as its sequence would over to the
// sequence's own instructions.
#define UNFUSE()                           \
  do {                                     \
    ip = decoded->Unfused(ip->start);      \
    DISPATCH();                            \
  } while (0)

enter:
  if (FLAGS_SET()) [[unlikely]] {
    if (timeout_flag_->load(std::memory_order_relaxed) && !error_) {
      TimedOut();
      return 0;
    }
    if (tick_counter_->load(std::memory_order_relaxed) != last_tick_) NoteTick();
    if (error_) return 0;
    if (exit_flag_->load(std::memory_order_relaxed)) return 1;
  }
  if (segment_ == nullptr || segment_->Number() != segment_number_ ||
      segments_->Segment(segment_number_) != segment_) [[unlikely]] {
    segment_ = segments_->Segment(segment_number_);
    if (segment_ == nullptr) {
      FatalError("Invalid segment reference");
      return 0;
    }
  }
  decoded = DecodedSegment::For(segment_);
  ip = decoded->At(offset_);
  DISPATCH();

// A call has made the function's frame current: the return comes back to
// the step after the call. Straight to the function's first step; the
// shared words are left to the return (a run of calls that never returns
// ends at the depth limit).
enter_function:
  frame_->return_step = ip + 1;
  frame_->return_code = decoded;
  segment_ = segments_->Segment(segment_number_);
  if (segment_ == nullptr) goto enter;
  decoded = DecodedSegment::For(segment_);
  ip = decoded->At(offset_);
  DISPATCH();

op_goto:
  ip = ip->target;
  DISPATCH();

op_end:
  // The frame's code has ended.
  offset_ = ip->start;
  if (frame_->kind != kFilterFrame) return 1;
  {
    const bool result = stack_->PopBoolean();
    if (error_) return 0;
    FilterCallback* callback = static_cast<LumoVM_FilterFrame*>(frame_)->callback;
    if (callback == nullptr) return 1;
    callback->FilterResult(*this, result);
  }
  goto enter;

op_truncated:
  FatalError("Illegal Instruction");
  return 0;

op_other: {
  operand1_ = ip->a;
  operand2_ = ip->b;
  double1_ = ip->da;
  double2_ = ip->db;
  offset_ = ip->next;
  const uint16_t word = ip->word;
  InstructionHandler handler = g_handlers != nullptr ? g_handlers[word] : nullptr;
  if (handler == nullptr) {
    FatalError("Illegal Instruction");
    return 0;
  }
  handler(*this);
  // The handler may have moved the position (the loops of block features).
  goto enter;
}

// --- Fused steps ------------------------------------------------------------

op_push2: {
  if (stack_->Count() > LumoVM_Stack::kCapacity - 2) UNFUSE();
  Variable* first = nullptr;
  Variable* second = nullptr;
  const char* first_text = nullptr;
  const char* second_text = nullptr;
  int32_t first_length = 0;
  int32_t second_length = 0;
  if (!FusedSource(ip->source_a, ip->a, &first, &first_text, &first_length) ||
      !FusedSource(ip->source_b, ip->b, &second, &second_text, &second_length)) {
    UNFUSE();
  }
  PushFused(ip->source_a, ip->a, ip->da, first, first_text, first_length);
  PushFused(ip->source_b, ip->b, ip->db, second, second_text, second_length);
  NEXT();
}

op_arith: {
  if (stack_->Count() > LumoVM_Stack::kCapacity - 2) UNFUSE();
  double x = 0.0;
  double y = 0.0;
  if (!FusedDouble(ip->source_a, ip->a, ip->da, &x) ||
      !FusedDouble(ip->source_b, ip->b, ip->db, &y)) {
    UNFUSE();
  }
  const double r = Arithmetic(ip->sub, x, y);
  if (ip->dest == kSourceStack) {
    stack_->PushDouble(r);
  } else {
    Variable* v = ip->dest == kSourceGlobal ? GlobalAt(ip->c) : LocalAt(ip->c);
    if (v == nullptr) UNFUSE();
    if (!v->FastSetDouble(r)) v->SetValue_Double(r);
  }
  NEXT();
}

op_modulo: {
  if (stack_->Count() > LumoVM_Stack::kCapacity - 2) UNFUSE();
  Variable* v = nullptr;
  if (ip->dest != kSourceStack) {
    v = ip->dest == kSourceGlobal ? GlobalAt(ip->c) : LocalAt(ip->c);
    if (v == nullptr) UNFUSE();
  }
  int32_t x = 0;
  int32_t y = 0;
  if (!FusedInteger(ip->source_a, ip->a, ip->da, &x) ||
      !FusedInteger(ip->source_b, ip->b, ip->db, &y)) {
    UNFUSE();
  }
  const int32_t r = ModInteger(x, y);
  if (v == nullptr) {
    stack_->PushInteger(r);
  } else if (!v->FastSetInteger(r)) {
    v->SetValue_Integer(r);
  }
  NEXT();
}

op_append: {
  if (stack_->Count() > LumoVM_Stack::kCapacity - 2) UNFUSE();
  Variable* v = ip->source_a == kSourceGlobal ? GlobalAt(ip->a) : LocalAt(ip->a);
  Variable* b = nullptr;
  const char* text = nullptr;
  int32_t length = 0;
  if (v == nullptr || !v->IsPlainScalar() || !FusedSource(ip->source_b, ip->b, &b, &text, &length)) {
    UNFUSE();
  }
  AppendFused(ip, v, b, text, length);
  NEXT();
}

op_count_loop:
op_compare_jump: {
  if (stack_->Count() >= LumoVM_Stack::kCapacity) UNFUSE();
  Variable* g = GlobalAt(ip->a);
  if (g == nullptr) UNFUSE();
  if (ip->op == kDecodedCountLoop) {
    int32_t value = 0;
    if (!g->FastInteger(&value)) value = g->Value_Integer();
    value = static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(ip->b));
    if (!g->FastSetInteger(value)) g->SetValue_Integer(value);
  }
  double x = 0.0;
  int c = 0;
  if (g->FastNumber(&x)) {
    const double k = ip->c;
    c = x == k ? 0 : x > k ? 1 : -1;
  } else {
    c = CompareVariableInteger(g, ip->c);
  }
  if (JumpTaken(ip->sub, c)) JUMP(ip->target);
  NEXT();
}

// A one-step loop. Nothing else runs between its iterations, so the
// variables are looked up once; each iteration checks that they are still
// plain values (else the unfused instructions take over at the iteration's
// start) and the loop stops for the shared words as a jump would.
op_arith_loop: {
  if (stack_->Count() > LumoVM_Stack::kCapacity - 2) UNFUSE();
  Variable* counter = GlobalAt(ip->loop_counter);
  Variable* dest = ip->dest == kSourceGlobal ? GlobalAt(ip->c) : LocalAt(ip->c);
  Variable* va = nullptr;
  Variable* vb = nullptr;
  if (ip->source_a == kSourceGlobal) va = GlobalAt(ip->a);
  if (ip->source_a == kSourceLocal) va = LocalAt(ip->a);
  if (ip->source_b == kSourceGlobal) vb = GlobalAt(ip->b);
  if (ip->source_b == kSourceLocal) vb = LocalAt(ip->b);
  if (counter == nullptr || dest == nullptr ||
      (va == nullptr && (ip->source_a == kSourceGlobal || ip->source_a == kSourceLocal)) ||
      (vb == nullptr && (ip->source_b == kSourceGlobal || ip->source_b == kSourceLocal))) {
    UNFUSE();
  }
  // Only this step runs until the loop ends, so what is checked here stays
  // true: the variables remain plain scalars.
  if (!dest->IsPlainScalar() || !counter->IsPlainScalar() ||
      (va != nullptr && !va->IsPlainScalar()) || (vb != nullptr && !vb->IsPlainScalar())) {
    UNFUSE();
  }
  const double constant_a = ip->source_a == kSourceInteger ? ip->a : ip->da;
  const double constant_b = ip->source_b == kSourceInteger ? ip->b : ip->db;
  const uint8_t op = ip->sub;
  const int32_t step = ip->loop_step;
  const int32_t limit = ip->loop_limit;
  const uint8_t mask = ip->loop_mask;
  for (uint32_t round = 1;; ++round) {
    double x = constant_a;
    double y = constant_b;
    if ((va != nullptr && !va->StoredDouble(&x)) || (vb != nullptr && !vb->StoredDouble(&y))) {
      // A text value: the instructions themselves read it.
      UNFUSE();
    }
    dest->StoreDouble(Arithmetic(op, x, y));
    if (!((mask >> CountStep(counter, step, limit)) & 1)) {
      ip += 2;
      DISPATCH();
    }
    // The shared words every 64 rounds: a stop is still seen within
    // microseconds.
    if ((round & 63) == 0 && FLAGS_SET()) [[unlikely]] {
      offset_ = ip->start;
      goto enter;
    }
  }
}

op_append_loop: {
  if (stack_->Count() > LumoVM_Stack::kCapacity - 2) UNFUSE();
  Variable* counter = GlobalAt(ip->loop_counter);
  Variable* v = ip->source_a == kSourceGlobal ? GlobalAt(ip->a) : LocalAt(ip->a);
  Variable* b = nullptr;
  const char* constant = nullptr;
  int32_t constant_length = 0;
  if (counter == nullptr || v == nullptr ||
      !FusedSource(ip->source_b, ip->b, &b, &constant, &constant_length)) {
    UNFUSE();
  }
  for (;;) {
    if (!v->IsPlainScalar() || !counter->IsPlainScalar()) UNFUSE();
    AppendFused(ip, v, b, constant, constant_length);
    if (error_) return 0;
    if (!((ip->loop_mask >> CountStep(counter, ip->loop_step, ip->loop_limit)) & 1)) {
      ip += 2;
      DISPATCH();
    }
    if (FLAGS_SET()) [[unlikely]] {
      offset_ = ip->start;
      goto enter;
    }
  }
}

op_call2: {
  // The common call only (see CanQuickCall); anything else runs the three
  // instructions themselves.
  Function* function = functions_->Function(ip->c);
  Variable* first = nullptr;
  Variable* second = nullptr;
  const char* first_text = nullptr;
  const char* second_text = nullptr;
  int32_t first_length = 0;
  int32_t second_length = 0;
  if (function == nullptr || function->ParameterCount() != 2 ||
      stack_->Count() > LumoVM_Stack::kCapacity - 2 || !CanQuickCall(function) ||
      !FusedSource(ip->source_a, ip->a, &first, &first_text, &first_length) ||
      !FusedSource(ip->source_b, ip->b, &second, &second_text, &second_length)) {
    UNFUSE();
  }
  LumoVM_FunctionFrame* frame = EnterQuickCall(function, ip->next);
  // Current before the arguments go in (the sources are resolved already):
  // should memory run out on the way, the frame is released with the rest.
  PushFrame(frame);
  // The last argument first, as the call pops them.
  AssignFused(frame->locals->PeekVariable(function->Parameter(1).local_slot), ip->source_b, ip->b,
              ip->db, second, second_text, second_length);
  AssignFused(frame->locals->PeekVariable(function->Parameter(0).local_slot), ip->source_a, ip->a,
              ip->da, first, first_text, first_length);
  segment_number_ = function->EntrySegment();
  offset_ = function->EntryOffset();
  goto enter_function;
}

// --- Stack and variables ----------------------------------------------------

op_noop:
  NEXT();

op_pushc: {
  int32_t length = 0;
  const char* text = dictionary_->Entry(ip->a, &length);
  if (text == nullptr) {
    FatalError("Invalid dictionary reference");
    return 0;
  }
  stack_->PushString(text, length, 0, false);
  NEXT();
}

op_pushi:
  stack_->PushInteger(ip->a);
  NEXT();

op_pushf:
  stack_->PushDouble(ip->da);
  NEXT();

op_pushs:
  stack_->PushVariable(system_->Index(ip->a, true), false);
  NEXT();

op_pushg:
  stack_->PushVariable(GlobalAt(ip->a), false);
  NEXT();

op_pushl:
  stack_->PushVariable(LocalAt(ip->a), false);
  NEXT();

op_pushd:
  // Database fields arrive with the database instructions; until a
  // database is open every field is the null variable.
  stack_->Pop();
  stack_->Pop();
  if (!error_) stack_->PushVariable(null_, false);
  NEXT();

op_pushdc:
  stack_->PushVariable(null_, false);
  NEXT();

op_pushn:
  StepPushName();
  NEXT();

op_pushnc:
op_popnc: {
  int32_t length = 0;
  const char* name = dictionary_->Entry(ip->a, &length);
  if (name == nullptr) {
    FatalError("Invalid dictionary reference");
    return 0;
  }
  if (ip->op == kDecoded_pushnc) {
    PushResolved(name, length);
  } else {
    PopIntoName(name, length);
  }
  NEXT();
}

op_pop:
  stack_->Pop();
  NEXT();

op_pops:
  stack_->PopInto(system_->Index(ip->a, true));
  NEXT();

op_popg:
  stack_->PopIntoFast(GlobalAt(ip->a));
  NEXT();

op_popl:
  stack_->PopIntoFast(LocalAt(ip->a));
  NEXT();

op_popd:
  stack_->Pop();
  stack_->Pop();
  stack_->Pop();
  NEXT();

op_popdc:
  stack_->Pop();
  NEXT();

op_popn:
  StepPopName();
  NEXT();


op_poplvnc:
  StepLocalizedToken(ip->a);
  NEXT();

op_spush:
  system_->Push();
  NEXT();

op_spop:
  // Pop releases the variables of the level; stacks may still point at them.
  PinBorrowed(nullptr);
  if (!system_->Pop()) FatalError("System variable stack underflow");
  NEXT();

op_dup:
  stack_->Dup();
  NEXT();

op_swap:
  stack_->Swap(0, 1);
  NEXT();

op_swapn:
  stack_->Swap(ip->a, ip->b);
  NEXT();

op_store:
  StepStore();
  NEXT();

op_refer:
  StepRefer();
  NEXT();

op_refern:
  StepReferName();
  NEXT();

op_refers:
op_referl:
  StepReferEntry(ip->op == kDecoded_refers ? system_ : frame_->locals, ip->a);
  NEXT();

op_refernc:
  StepReferConstant(ip->a);
  NEXT();

op_elem:
op_elemr: {
  const int32_t index = stack_->PopInteger();
  StepElement(index, ip->op == kDecoded_elem);
  NEXT();
}

op_memb:
op_membr:
  StepMember(ip->op == kDecoded_memb);
  NEXT();

// --- Arithmetic, logic and comparison -------------------------------------

#define BINARY_DOUBLE(expression)             \
  {                                           \
    const double b = stack_->PopDouble();     \
    const double a = stack_->PopDouble();     \
    stack_->PushDouble(expression);           \
    NEXT();                                   \
  }
#define BINARY_INTEGER(expression)            \
  {                                           \
    const int32_t b = stack_->PopInteger();   \
    const int32_t a = stack_->PopInteger();   \
    stack_->PushInteger(expression);          \
    NEXT();                                   \
  }
#define COMPARISON(expression)                 \
  {                                            \
    const int c = stack_->Compare();           \
    stack_->PushInteger((expression) ? 1 : 0); \
    NEXT();                                    \
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
  const int32_t decimals = stack_->PopInteger();
  const double value = stack_->PopDouble();
  stack_->PushDouble(RoundDecimal(value, decimals));
  NEXT();
}

op_rounds:
  StepRounds();
  NEXT();

op_cat:
  StepCat();
  NEXT();

op_bitoc:
  stack_->PushInteger(~stack_->PopInteger());
  NEXT();

op_crypt:
  Crypt();
  NEXT();

op_cmp:
  stack_->PushInteger(stack_->Compare());
  NEXT();

op_eq: COMPARISON(c == 0)
op_ne: COMPARISON(c != 0)
op_ge: COMPARISON(c >= 0)
op_le: COMPARISON(c <= 0)
op_lt: COMPARISON(c < 0)
op_gt: COMPARISON(c > 0)

op_and: {
  const bool b = stack_->PopBoolean();
  const bool a = stack_->PopBoolean();
  stack_->PushInteger(a && b ? 1 : 0);
  NEXT();
}

op_or: {
  const bool b = stack_->PopBoolean();
  const bool a = stack_->PopBoolean();
  stack_->PushInteger(a || b ? 1 : 0);
  NEXT();
}

op_not:
  stack_->PushInteger(stack_->PopBoolean() ? 0 : 1);
  NEXT();

op_in:
op_cin:
op_ein:
op_ecin:
  StepPosition(ip->op == kDecoded_cin || ip->op == kDecoded_ecin,
               ip->op == kDecoded_ein || ip->op == kDecoded_ecin);
  NEXT();

op_isnull:
  stack_->PushInteger(stack_->PopIsEmpty() ? 1 : 0);
  NEXT();

// --- Control ------------------------------------------------------------------

op_jmp:
  JUMP(ip->target);

op_jmp_eq:
op_jmp_ne:
op_jmp_lt:
op_jmp_gt:
op_jmp_le:
op_jmp_ge: {
  const int32_t v = stack_->PopInteger();
  if (error_) return 0;
  if (JumpTaken(static_cast<uint8_t>(ip->op), v)) JUMP(ip->target);
  NEXT();
}

op_call: {
  Function* function = functions_->Function(ip->a);
  if (function == nullptr) {
    FatalError("Invalid function call");
    return 0;
  }
  offset_ = ip->next;
  if (function->IsExternal()) {
    // A bound function the straight path takes needs no trip through the
    // overridable CallExternal, which a plain machine does not override.
    auto* binding = static_cast<ExternalFunction*>(function->Binding());
    if (!plain_machine_ || binding == nullptr ||
        !QuickExternalCall(function, binding, function->ParameterCount())) {
      CallExternal(function);
    }
    if (error_) return 0;
    NEXT();
  }
  CallFunction(function);
  if (error_) return 0;
  goto enter_function;
}

op_call_store: {
  // A library function the straight path takes, its result stored without
  // a trip through the stack; any other call runs the two instructions.
  Function* function = functions_->Function(ip->a);
  if (function == nullptr || !function->IsExternal() || !plain_machine_) UNFUSE();
  auto* binding = static_cast<ExternalFunction*>(function->Binding());
  Variable* target = ip->dest == kSourceGlobal ? GlobalAt(ip->c) : LocalAt(ip->c);
  if (binding == nullptr || target == nullptr) UNFUSE();
  offset_ = ip->b;
  const int stored = QuickExternalStore(function, binding, target);
  if (stored == 0) UNFUSE();
  // On an error, where the call alone would have left things: the result
  // on the stack and the pop still to come.
  if (stored < 0) [[unlikely]] return 0;
  offset_ = ip->next;
  NEXT();
}

op_ret:
op_retn: {
  offset_ = ip->next;
  const void* step = frame_->return_step;
  const void* code = frame_->return_code;
  Return(ip->op == kDecoded_ret);
  if (error_) return 0;
  Segment* back = segments_->Segment(segment_number_);
  if (step == nullptr || back == nullptr || back->Cache() != code) goto enter;
  segment_ = back;
  decoded = static_cast<DecodedSegment*>(back->Cache());
  JUMP(static_cast<const DecodedInsn*>(step));
}

op_exit:
  offset_ = segment_->Size();
  exit_flag_->store(1, std::memory_order_relaxed);
  goto enter;

op_lineno:
  line_ = ip->a;
  if (event_mask_ & kEventTrace) Trace(line_);
  NEXT();

op_sourcefile:
  SetSourceFile(ip->a);
  NEXT();

op_erroutput:
  frame_->error_display = static_cast<uint32_t>(ip->a);
  NEXT();

op_stdoutput:
  frame_->output_level = ip->a;
  context_->SetOutputLevel(ip->a);
  NEXT();

op_tagerror:
  if (ip->a >= 0 && ip->a < kTagCount) settings_[ip->a].flags = static_cast<uint32_t>(ip->b);
  NEXT();

op_errprefix:
  StepErrorPrefix();
  NEXT();

// --- Output -------------------------------------------------------------------

op_out:
op_out_comp:
  StepOut(ip->op == kDecoded_out_comp);
  NEXT();

op_hide:
  StepHide();
  NEXT();

op_localize:
op_localizev:
  StepLocalize(ip->a, ip->op == kDecoded_localizev);
  NEXT();

// --- Fused global-variable instructions ---------------------------------------

op_cmpgg:
op_modgg: {
  Variable* g = globals_->Index(ip->a, true);
  Variable* h = globals_->Index(ip->b, true);
  if (g == nullptr || h == nullptr) {
    FatalError("Invalid variable reference");
    return 0;
  }
  if (ip->op == kDecoded_cmpgg) {
    stack_->PushInteger(CompareVariables(g, h));
  } else {
    stack_->PushInteger(ModInteger(g->Value_Integer(), h->Value_Integer()));
  }
  NEXT();
}

op_cmpgi:
op_incg:
op_storegi: {
  Variable* g = globals_->Index(ip->a, true);
  if (g == nullptr) {
    FatalError("Invalid variable reference");
    return 0;
  }
  if (ip->op == kDecoded_cmpgi) {
    stack_->PushInteger(CompareVariableInteger(g, ip->b));
  } else if (ip->op == kDecoded_incg) {
    g->SetValue_Integer(static_cast<int32_t>(static_cast<uint32_t>(g->Value_Integer()) +
                                             static_cast<uint32_t>(ip->b)));
  } else {
    g->SetValue_Integer(ip->b);
  }
  NEXT();
}

#undef DISPATCH
#undef NEXT
#undef FLAGS_SET
#undef JUMP
#undef UNFUSE
#undef BINARY_DOUBLE
#undef BINARY_INTEGER
#undef COMPARISON
}

}  // namespace lumo
