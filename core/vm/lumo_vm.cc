#include "core/vm/lumo_vm.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <typeinfo>

#include "core/base/conversions.h"
#include "core/context/crypt_des.h"
#include "core/vm/feature.h"
#include "core/vm/lmdo.h"
#include "expr/localized_languages.h"

namespace lumo {

namespace {

// Spare function frames kept per machine; deeper recursion allocates.
constexpr int32_t kMaxSpareFrames = 64;

void AppendHex8(String& out, int32_t value) {
  char buffer[16];
  snprintf(buffer, sizeof buffer, "%08" PRIx32, static_cast<uint32_t>(value));
  out.Append(buffer, 8);
}

}  // namespace

LumoVM::LumoVM(std::string_view program_name, LumoApplication* context, const ProgramParts& parts,
               LumoVM* parent, std::atomic<uint32_t>* tick_counter,
               std::atomic<int32_t>* timeout_flag, std::atomic<int32_t>* exit_flag)
    : program_name_(program_name),
      context_(context),
      dictionary_(parts.dictionary),
      system_(parts.system),
      globals_(parts.globals),
      globals_plain_(typeid(*parts.globals) == typeid(VariableHash)),
      segments_(parts.segments),
      functions_(parts.functions),
      null_(new NULLVariable()),
      parent_(parent) {
  RegisterFeatureInstructions();
  memcpy(settings_, CurrentErrorSettings(), sizeof settings_);
  tick_counter_ = tick_counter ? tick_counter
                  : parent ? parent->tick_counter_
                           : context->TickCounter();
  timeout_flag_ = timeout_flag ? timeout_flag
                  : parent ? parent->timeout_flag_
                           : context->StopFlag();
  exit_flag_ = exit_flag ? exit_flag : parent ? parent->exit_flag_ : context->ExitFlag();
  last_tick_ = tick_counter_->load(std::memory_order_relaxed);
  if (!(dictionary_->ProgramFlags() & Dictionary::kNoDebugEvents)) {
    event_mask_ = context->LogLevel();
  }
  if (parent != nullptr) external_ = parent->external_;
  localized_ = dynamic_cast<LocalizedLanguages*>(parts.localized);

  // What is allocated here goes again should memory run out half way.
  try {
    // The directory relative LmDO names start from.
    for (int32_t i = program_name_.Length() - 1; i >= 0; --i) {
      if (program_name_[i] == '/' || program_name_[i] == '\\') {
        program_directory_ = program_name_.Left(i + 1);
        break;
      }
    }
    outer_frame_ = new LumoVM_Frame();
    outer_frame_->SetLocals(globals_, false);
    outer_frame_->SetStack(new LumoVM_Stack(this), true);
    segments_->EntrySegment();
  } catch (...) {
    delete outer_frame_;
    null_->Free();
    throw;
  }
  frame_ = outer_frame_;
  stack_ = frame_->stack;
  segment_number_ = segments_->EntrySegmentNumber();
  offset_ = 0;
  // A machine made under another keeps it in use (and so in the LmDO
  // cache) for as long as it lives: its parent link must stay valid.
  if (parent != nullptr) ++parent->use_count_;
}

LumoVM::~LumoVM() {
  // Features first: a capture puts back the output it replaced.
  CloseFeaturesAbove(0);
  // The called programs' machines are children of this one.
  delete do_cache_;
  do_cache_ = nullptr;
  if (parent_ != nullptr) --parent_->use_count_;
  DestroyFramesAbove(nullptr);
  while (spare_frames_ != nullptr) {
    LumoVM_Frame* next = spare_frames_->previous;
    delete spare_frames_;
    spare_frames_ = static_cast<LumoVM_FunctionFrame*>(next);
  }
  localized_tokens_.Clear();
  null_->Free();
}

// --- Frames -------------------------------------------------------------------

void LumoVM::PushFrame(LumoVM_Frame* frame) {
  frame->previous = frame_;
  frame_ = frame;
  stack_ = frame->stack;
}

void LumoVM::ReleaseFrame(LumoVM_Frame* frame) {
  if (frame->kind == 1) --call_depth_;
  if (frame->kind == 1 && frame->owns_locals && frame->owns_stack &&
      spare_count_ < kMaxSpareFrames) {
    // Keep the arrays, and the variables nobody else holds, for the next
    // call: only the values go.
    frame->stack->Clear();
    frame->locals->ResetVariables();
    auto* spare = static_cast<LumoVM_FunctionFrame*>(frame);
    spare->function = nullptr;
    spare->previous = spare_frames_;
    spare_frames_ = spare;
    ++spare_count_;
    return;
  }
  delete frame;
}

void LumoVM::DestroyFramesAbove(LumoVM_Frame* keep) {
  while (frame_ != nullptr && frame_ != keep) {
    LumoVM_Frame* previous = frame_->previous;
    ReleaseFrame(frame_);
    frame_ = previous;
  }
  stack_ = frame_ != nullptr ? frame_->stack : nullptr;
}

LumoVM_FunctionFrame* LumoVM::NewFunctionFrame(Function* function) {
  VariableHash& names = function->Locals();
  // Held until it is handed out: should memory run out while it is set up,
  // it goes (a spare one too).
  std::unique_ptr<LumoVM_FunctionFrame> frame;
  LumoVM_FunctionFrame* spare = spare_frames_;
  if (spare != nullptr && spare->locals->GetDictionary() == names.GetDictionary()) {
    spare_frames_ = static_cast<LumoVM_FunctionFrame*>(spare->previous);
    --spare_count_;
    frame.reset(spare);
  } else {
    frame = std::make_unique<LumoVM_FunctionFrame>();
    frame->SetLocals(new VariableHash(names.GetDictionary(), VariableHash::kLocalBits,
                                      VariableHash::kLocalCapacity),
                     true);
    frame->SetStack(new LumoVM_Stack(this), true);
  }
  // A spare frame that last ran this function still has its names, unless
  // the call added locals of its own by name.
  if (frame->names_of != function || frame->locals->EntryCount() != names.EntryCount()) {
    frame->locals->CopyNames(names);
    frame->names_of = function;
  }
  frame->function = function;
  frame->previous = nullptr;
  return frame.release();
}

// --- Running ------------------------------------------------------------------

int LumoVM::Run() {
  try {
    return Execute();
  } catch (const std::bad_alloc&) {
    // Past the handler, so that the exception's own storage is gone.
  }
  StopForMemory();
  return 0;
}

void LumoVM::StopForMemory() {
  // The run is ending: what remains of it (the message, the unwinding of
  // callers, the teardown) must not be refused again.
  if (MemoryBudget* budget = CurrentMemoryBudget()) budget->MarkExhausted();
  stopped_for_memory_ = true;
  error_ = 1;
  try {
    FatalError("Out of memory");
    memory_error_reported_ = true;
  } catch (const std::bad_alloc&) {
    // Not even the message could be had: the run's owner writes it once
    // the run's memory is back (MemoryErrorReported).
  }
}

int LumoVM::RunNested(int32_t segment, LumoVM_Stack* stack, bool owns_stack,
                      VariableHash* locals, int output_level) {
  LumoVM_Frame* saved_frame = frame_;
  const int32_t saved_segment = segment_number_;
  const int32_t saved_offset = offset_;
  LumoVM_Frame* frame = nullptr;
  try {
    frame = new LumoVM_Frame();
  } catch (const std::bad_alloc&) {
    if (owns_stack) delete stack;
    StopForMemory();
    return 0;
  }
  frame->return_segment = saved_segment;
  frame->return_offset = saved_offset;
  frame->SetLocals(locals, false);
  frame->SetStack(stack, owns_stack);
  frame->error_display = saved_frame->error_display;
  frame->output_level = output_level;
  PushFrame(frame);
  segment_number_ = segment;
  offset_ = 0;
  const int32_t saved_features = FeatureCount();
  const int result = Run();
  // Blocks the nested code left open belong to frames that are going; a
  // capture left open would otherwise keep the output after its run.
  CloseFeaturesAbove(saved_features);
  DestroyFramesAbove(saved_frame);
  segment_number_ = saved_segment;
  offset_ = saved_offset;
  context_->SetOutputLevel(frame_->output_level);
  return result;
}

int LumoVM::RunAt(int32_t segment, LumoVM_Stack* stack, VariableHash* locals) {
  return RunNested(segment, stack ? stack : frame_->stack, false,
                   locals ? locals : frame_->locals, frame_->output_level);
}

int LumoVM::RunEntry() {
  LumoVM_Stack* stack = nullptr;
  try {
    segments_->EntrySegment();
    stack = new LumoVM_Stack(this);
  } catch (const std::bad_alloc&) {
    StopForMemory();
    return 0;
  }
  return RunNested(segments_->EntrySegmentNumber(), stack, true, globals_, 0);
}

bool LumoVM::CallScriptFunction(std::string_view name, const Argument* arguments, int32_t count,
                                int32_t* result, Variable* value_out) {
  Function* function =
      functions_->Find(name.data(), static_cast<int32_t>(name.size()));
  if (function == nullptr) return true;
  if (function->ParameterCount() != count || error_) return false;
  LumoVM_Frame* saved_frame = frame_;
  const int32_t saved_segment = segment_number_;
  const int32_t saved_offset = offset_;
  LumoVM_Stack* stack = stack_;
  const int32_t depth = stack->Count();
  const int32_t saved_features = FeatureCount();
  try {
    for (int32_t i = 0; i < count; ++i) {
      const Argument& a = arguments[i];
      if (a.is_text) {
        stack->PushString(a.text.data(), static_cast<int32_t>(a.text.size()), 0, false);
      } else {
        stack->PushInteger(a.integer);
      }
    }
    // Returning lands at the end of the current segment, which ends the loop.
    Segment* current = segments_->Segment(segment_number_);
    offset_ = current != nullptr ? current->Size() : 0;
    if (!error_) {
      if (function->IsExternal()) {
        CallExternal(function);
      } else {
        CallFunction(function);
      }
    }
    if (!error_) Run();
  } catch (const std::bad_alloc&) {
    StopForMemory();
  }
  CloseFeaturesAbove(saved_features);
  DestroyFramesAbove(saved_frame);
  segment_number_ = saved_segment;
  offset_ = saved_offset;
  context_->SetOutputLevel(frame_->output_level);
  if (error_) return false;
  int32_t value = 0;
  if (stack->Count() > depth) {
    if (value_out != nullptr) {
      stack->PopInto(value_out);
    } else {
      value = stack->PopInteger();
    }
  }
  while (stack->Count() > depth) stack->Pop();
  if (result != nullptr) *result = value;
  return true;
}

uint32_t LumoVM::CallErrorDisplay(const Function* function) const {
  uint32_t display = frame_->error_display;
  if (function->Flags() & Function::kDisplayErrors) display |= kDisplayRuntimeErrors;
  if (function->Flags() & Function::kHideErrors) display &= ~kDisplayRuntimeErrors;
  return display;
}

int LumoVM::CallOutputLevel(const Function* function) const {
  if ((function->Flags() & Function::kOutputLevel2) && frame_->output_level != 0) return 2;
  return (function->Flags() & Function::kOutputLevel1) ? 1 : 0;
}

Variable* LumoVM::BindArgument(const FunctionParameter& parameter, VariableHash& locals) {
  const int32_t slot = parameter.local_slot;
  if (parameter.ByReference()) {
    bool owned = false;
    Variable* argument = stack_->PopVariable(&owned);
    if (argument == nullptr) return nullptr;
    const HeldVariable held(argument, owned);
    if (slot < 0 || slot >= locals.Count()) {
      FatalError("Invalid parameter reference");
      return nullptr;
    }
    locals.MakeReference(slot, argument);
    return locals.Index(slot, false);
  }
  Variable* local = locals.PeekVariable(slot);
  if (local == nullptr) local = locals.Index(slot, true);
  if (local == nullptr) {
    stack_->Pop();
    FatalError("Invalid parameter reference");
    return nullptr;
  }
  stack_->PopIntoFast(local);
  return error_ ? nullptr : local;
}

void LumoVM::CallFunction(Function* function) {
  if (call_depth_ >= kMaxCallDepth) {
    FatalError("Stack overflow");
    return;
  }
  LumoVM_FunctionFrame* frame = NewFunctionFrame(function);
  ++call_depth_;  // every function frame released counts down
  // Until it is current the frame is this call's to release, also when
  // memory runs out while the arguments go in.
  struct Pending {
    LumoVM* vm;
    LumoVM_FunctionFrame* frame;
    ~Pending() {
      if (frame != nullptr) vm->ReleaseFrame(frame);
    }
  } pending{this, frame};
  frame->return_segment = segment_number_;
  frame->return_offset = offset_;
  // The call instruction fills these in once the frame is current.
  frame->return_step = nullptr;
  frame->return_code = nullptr;
  frame->error_display = CallErrorDisplay(function);
  frame->output_level = CallOutputLevel(function);
  if (context_->OutputLevel() != frame->output_level) context_->SetOutputLevel(frame->output_level);
  if (Logging(kEventFunctionCall)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(function->Name()),
                               LogField::End()};
    Log(kEventFunctionCall, fields);
  }

  // The top of the caller's stack is the last argument.
  for (int32_t i = function->ParameterCount() - 1; i >= 0; --i) {
    const FunctionParameter& parameter = function->Parameter(i);
    // By value into a local kept from the last call is the common case.
    Variable* local = parameter.ByReference() ? nullptr
                                              : frame->locals->PeekVariable(parameter.local_slot);
    if (local != nullptr && stack_->Count() > 0) {
      stack_->PopIntoFast(local);
    } else {
      local = BindArgument(parameter, *frame->locals);
      if (local == nullptr) break;
    }
    if (Logging(kEventFunctionParameter)) {
      LogParameter(kEventFunctionParameter, function, parameter, local);
    }
  }
  if (error_) {
    context_->SetOutputLevel(frame_->output_level);
    return;
  }
  pending.frame = nullptr;
  PushFrame(frame);
  segment_number_ = function->EntrySegment();
  offset_ = function->EntryOffset();
}

void LumoVM::Return(bool with_value) {
  if (frame_->previous == nullptr) {
    FatalError("Frame underflow");
    return;
  }
  if (frame_->kind != kFunctionFrame) {
    FatalError("Return outside of function");
    return;
  }
  auto* frame = static_cast<LumoVM_FunctionFrame*>(frame_);
  LumoVM_Frame* caller = frame->previous;
  Function* function = frame->function;
  segment_number_ = frame->return_segment;
  offset_ = frame->return_offset;
  if (!features_.empty()) CloseFrameFeatures(frame);
  if (with_value) {
    caller->stack->MoveTopFrom(*frame->stack);
    if (error_) return;
    if (Logging(kEventFunctionReturnValue)) {
      const LogField fields[] = {LogField::Text(source_file_name_), LogField::Integer(line_),
                                 LogField::Text(function->Name()),
                                 LogField::Of(caller->stack->Peek(0)->kind == kStackVariable
                                                  ? caller->stack->Peek(0)->variable
                                                  : nullptr),
                                 LogField::End()};
      Log(kEventFunctionReturnValue, fields);
    }
  }
  if (Logging(kEventFunctionReturn)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(function->Name()),
                               LogField::End()};
    Log(kEventFunctionReturn, fields);
  }
  frame_ = caller;
  stack_ = caller->stack;
  ReleaseFrame(frame);
  if (context_->OutputLevel() != caller->output_level) context_->SetOutputLevel(caller->output_level);
}

// The call almost every script makes: a few parameters, all by value,
// into locals kept from the last call, and nothing to log. The straight
// path does what the general path below does for such a call, without the
// bookkeeping that by-reference arguments and logging need.
//
// Pops the arguments into the function's locals; false, with nothing
// popped, when the call is not of that kind.
bool LumoVM::PopQuickArguments(Function* function, ExternalFunction* binding, int32_t count,
                               Variable** arguments) {
  constexpr uint32_t kExternalEvents =
      kEventExternalCall | kEventExternalParameter | kEventExternalReturnValue | kEventExternalReturn;
  if (count > kMaxQuickArguments || binding->KnownParameterCount() != count ||
      !binding->AllByValue() || (event_mask_ & kExternalEvents) != 0) {
    return false;
  }
  VariableHash& locals = function->Locals();
  for (int32_t i = 0; i < count; ++i) {
    const FunctionParameter& parameter = function->Parameter(i);
    Variable* local = locals.PeekVariable(parameter.local_slot);
    // A local a library made a reference has to start afresh, which the
    // general path sees to.
    if (parameter.ByReference() || local == nullptr || local->IsReference()) return false;
    arguments[i] = local;
  }
  for (int32_t i = count - 1; i >= 0 && !error_; --i) stack_->PopIntoFast(arguments[i]);
  return true;
}

int LumoVM::QuickExternalStore(Function* function, ExternalFunction* binding, Variable* target) {
  Variable* arguments[kMaxQuickArguments];
  if (!PopQuickArguments(function, binding, function->ParameterCount(), arguments)) return 0;
  Variable* result = nullptr;
  if (!error_) [[likely]] {
    if (binding->InvokeInto(*this, arguments, target, &result)) return 1;
  }
  if (result == nullptr) {
    result = null_;
    result->AddReference();
  }
  if (error_) [[unlikely]] {
    stack_->PushVariable(result, true);
    return -1;
  }
  const ReleasedAtEnd release(result);
  if (result != target && !target->FastCopyFrom(result)) target->SetValue_Variable(result);
  return 1;
}

// Null, with nothing popped, when the call is not of the straight kind;
// else the result, with the machine's reference, also when the function
// raised an error.
Variable* LumoVM::QuickExternalInvoke(Function* function, ExternalFunction* binding,
                                      int32_t count) {
  Variable* arguments[kMaxQuickArguments];
  if (!PopQuickArguments(function, binding, count, arguments)) return nullptr;
  if (error_) [[unlikely]] {
    null_->AddReference();
    return null_;
  }
  Variable* result = binding->Invoke(*this, arguments);
  if (result == nullptr) {
    result = null_;
    result->AddReference();
  }
  return result;
}

bool LumoVM::QuickExternalCall(Function* function, ExternalFunction* binding, int32_t count) {
  Variable* result = QuickExternalInvoke(function, binding, count);
  if (result == nullptr) return false;
  stack_->PushVariable(result, true);
  return true;
}

void LumoVM::CallExternal(Function* function) {
  auto* binding = static_cast<ExternalFunction*>(function->Binding());
  if (binding == nullptr) {
    if (external_ != nullptr) {
      binding = external_->Resolve(function->Name().Text(), function->Name().Length());
    }
    if (binding == nullptr) {
      String message("Unresolved call to external function '");
      message.Append(function->Name());
      message.Append('\'');
      FatalError(message);
      return;
    }
    function->SetBinding(binding);
  }
  const int32_t count = function->ParameterCount();
  if (binding->ParameterCount() != count) {
    FatalError("Number of parameters mismatch in call to external function");
    return;
  }
  if (QuickExternalCall(function, binding, count)) return;
  if (Logging(kEventExternalCall)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(function->Name()),
                               LogField::End()};
    Log(kEventExternalCall, fields);
  }
  // The arguments in declaration order. By-value ones go into the
  // function's own locals, which keep their variables (and text buffers)
  // from one call to the next, so a call allocates nothing for them; the
  // by-reference ones are the caller's variables, held until the call ends.
  struct HeldArgument {
    Variable* variable = nullptr;
    bool owned = false;
  };
  struct Arguments {
    HeldArgument small[16];
    std::unique_ptr<HeldArgument[]> large;
    HeldArgument* list;
    Variable* variables_small[16];
    std::unique_ptr<Variable*[]> variables_large;
    Variable** variables;
    int32_t count;
    explicit Arguments(int32_t n) : count(n) {
      if (n <= 16) {
        list = small;
        variables = variables_small;
      } else {
        large = std::make_unique<HeldArgument[]>(static_cast<size_t>(n));
        variables_large = std::make_unique<Variable*[]>(static_cast<size_t>(n));
        list = large.get();
        variables = variables_large.get();
      }
    }
    ~Arguments() {
      for (int32_t i = 0; i < count; ++i) {
        if (list[i].owned) list[i].variable->Free();
      }
    }
  } arguments(count);
  VariableHash& locals = function->Locals();
  // A library may have made a parameter a reference; the next value must
  // not be written through it, so such locals start again.
  for (int32_t i = 0; i < count; ++i) {
    const Variable* kept = locals.PeekVariable(function->Parameter(i).local_slot);
    if (kept != nullptr && kept->IsReference()) {
      locals.Dump();
      break;
    }
  }
  bool failed = false;
  for (int32_t i = count - 1; i >= 0; --i) {
    const FunctionParameter& parameter = function->Parameter(i);
    if (parameter.ByReference() != binding->ParameterByReference(i)) {
      FatalError("Parameter type mismatch in call to external function");
      failed = true;
      break;
    }
    Variable* argument = nullptr;
    if (parameter.ByReference()) {
      bool owned = false;
      argument = stack_->PopVariable(&owned);
      if (argument == nullptr) {
        failed = true;
        break;
      }
      arguments.list[i] = {argument, owned};
    } else {
      const int32_t slot = parameter.local_slot;
      argument = locals.PeekVariable(slot);
      if (argument == nullptr) argument = locals.Index(slot, true);
      if (argument == nullptr) {
        stack_->Pop();
        FatalError("Invalid parameter reference");
        failed = true;
        break;
      }
      stack_->PopIntoFast(argument);
      if (error_) {
        failed = true;
        break;
      }
    }
    arguments.variables[i] = argument;
    if (Logging(kEventExternalParameter)) {
      LogParameter(kEventExternalParameter, function, parameter, argument);
    }
  }
  if (failed || error_) return;
  Variable* result = binding->Invoke(*this, arguments.variables);
  if (result == nullptr) {
    result = null_;
    result->AddReference();
  }
  if (Logging(kEventExternalReturnValue)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(function->Name()),
                               LogField::Of(result), LogField::End()};
    Log(kEventExternalReturnValue, fields);
  }
  stack_->PushVariable(result, true);
  if (Logging(kEventExternalReturn)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(function->Name()),
                               LogField::End()};
    Log(kEventExternalReturn, fields);
  }
}

// --- Errors -----------------------------------------------------------------

void LumoVM::BuildMessage(String& out, const char* kind) {
  out.Assign(error_prefix_);
  out.Append(kind);
  out.Append(program_name_);
  out.Append(" @ [");
  AppendHex8(out, segment_number_);
  out.Append(':');
  AppendHex8(out, instruction_start_);
  out.Append("]: ");
  if (source_file_ >= 0) {
    out.Append(source_file_name_);
    out.Append(": ");
  }
  if (line_ != 0) {
    out.Append("Line ");
    AppendInteger(out, line_);
    out.Append(": ");
  }
}

void LumoVM::FatalError(std::string_view message) {
  String text;
  BuildMessage(text, "Fatal error in ");
  text.Append(message);
  text.Append('\n');
  last_error_ = text;
  error_ = 1;
  context_->WriteError(text);
  if (Logging(kEventFatalError)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(text), LogField::End()};
    Log(kEventFatalError, fields);
  }
}

void LumoVM::RuntimeError(int32_t tag, std::string_view message) {
  String text;
  BuildMessage(text, "Runtime error in ");
  bool display = true;
  bool fatal = true;
  const char* error_variable = nullptr;
  const char* display_name = "";
  if (tag >= 0 && tag < kTagCount) {
    display_name = settings_[tag].display_name;
    text.Append(display_name);
    text.Append(": ");
    display = (settings_[tag].flags & kErrorDisplay) != 0;
    fatal = (settings_[tag].flags & kErrorFatal) != 0;
    if (settings_[tag].error_variable[0] != '\0') error_variable = settings_[tag].error_variable;
  }
  text.Append(message);
  text.Append('\n');
  last_error_ = text;
  if (!(frame_->error_display & kDisplayRuntimeErrors)) display = false;
  if (fatal) error_ = 1;
  if (display) context_->WriteError(text);
  if (error_variable != nullptr) {
    globals_->SetVariable(error_variable, -1, message.data(), static_cast<int32_t>(message.size()));
  }
  if (Logging(kEventRuntimeError)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::Text(display_name),
                               LogField::Text(message), LogField::End()};
    Log(kEventRuntimeError, fields);
  }
}

bool LumoVM::TimedOut() {
  error_ = 1;
  context_->Write("Application timed out");
  if (Logging(kEventTimedOut)) {
    const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                               LogField::Integer(line_), LogField::End()};
    Log(kEventTimedOut, fields);
  }
  return true;
}

void LumoVM::NoteTick() {
  const uint32_t tick = tick_counter_->load(std::memory_order_relaxed);
  // The callers' features tick too: their loops do not see this tick, and
  // a lock file held around an LmDO must not expire during it.
  for (LumoVM* vm = this; vm != nullptr; vm = vm->parent_) {
    vm->last_tick_ = tick;
    for (size_t i = 0; i < vm->features_.size(); ++i) vm->features_[i]->Tick();
  }
}

// --- Debug log ----------------------------------------------------------------

bool LumoVM::Logging(uint32_t event) {
  return (event_mask_ & event) != 0 &&
         context_->AcceptsLog(source_file_name_.Text(), source_file_name_.Length(), line_);
}

void LumoVM::Log(uint32_t event, const LogField* fields) { context_->LogEvent(event, fields); }

void LumoVM::LogParameter(uint32_t event, Function* function, const FunctionParameter& parameter,
                          Variable* local) {
  const LogField fields[] = {LogField::Text(program_name_),      LogField::Text(source_file_name_),
                             LogField::Integer(line_),           LogField::Text(function->Name()),
                             LogField::Text(parameter.name_text), LogField::Of(local),
                             LogField::End()};
  Log(event, fields);
}

void LumoVM::Trace(int32_t line) {
  if (line == traced_line_) return;
  traced_line_ = line;
  if (!Logging(kEventTrace)) return;
  const LogField fields[] = {LogField::Text(program_name_), LogField::Text(source_file_name_),
                             LogField::Integer(line), LogField::End()};
  Log(kEventTrace, fields);
}

void LumoVM::SetSourceFile(int32_t entry) {
  int32_t length = 0;
  const char* name = dictionary_->Entry(entry, &length);
  if (name == nullptr) {
    FatalError("Invalid dictionary reference");
    return;
  }
  if (entry != source_file_) traced_line_ = -1;
  source_file_ = entry;
  source_file_name_.Assign(name, length);
}

// --- Pinning ------------------------------------------------------------------

void LumoVM::PinBorrowed(Variable* variable) {
  for (LumoVM* vm = this; vm != nullptr; vm = vm->parent_) {
    for (LumoVM_Frame* f = vm->frame_; f != nullptr; f = f->previous) {
      LumoVM_Stack* stack = f->stack;
      for (int32_t i = 0; i < stack->Count(); ++i) {
        StackEntry* e = stack->Peek(i);
        if (e->kind == kStackVariable && !e->owned &&
            (variable == nullptr || e->variable == variable) && e->variable != null_) {
          e->variable->AddReference();
          e->owned = 1;
        }
      }
    }
  }
}

// --- crypt ------------------------------------------------------------------

void LumoVM::Crypt() {
  PoppedText salt_text;
  PoppedText text;
  stack_->PopText(salt_text);
  stack_->PopText(text);
  if (error_) return;
  char salt[2];
  ChooseCryptSalt(salt_text.Data(), salt_text.Length(), salt);
  String result;
  if (!context_->Crypt(text.Data(), text.Length(), salt, &result)) result.Assign("", 0);
  stack_->PushString(std::move(result));
}

}  // namespace lumo
