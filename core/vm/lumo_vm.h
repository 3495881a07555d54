// LumoVM: the stack machine that runs one loaded program. Instructions take
// their inputs from the value stack of the current frame and leave their
// results there; variables live in the scopes (system, global, the locals
// of a call) and are addressed by entry number; constants are dictionary
// entries. The machine also carries the run's error policy (a copy of the
// per-tag error settings), the position that messages report (program,
// source file, line) and the debug-log hooks.
//
// Everything here runs on the thread of the run that owns the machine. The
// time-out flag, the exit flag and the tick counter are words shared with
// the program context (and with a parent machine); the loop reads them
// between instructions.
#ifndef LUMO_CORE_VM_LUMO_VM_H_
#define LUMO_CORE_VM_LUMO_VM_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/dictionary.h"
#include "core/base/string.h"
#include "core/context/error_settings.h"
#include "core/context/lumo_application.h"
#include "core/program/function_manager.h"
#include "core/program/program_file.h"
#include "core/program/segment_manager.h"
#include "core/vm/frame.h"
#include "core/vm/vm_stack.h"
#include "expr/builtin_functions.h"
#include "values/variable.h"
#include "values/variable_hash.h"
#include "values/variable_list.h"

namespace lumo {

class DoCache;
class DoContext;
class Feature;
class LocalizedLanguages;
class LumoVM;

// A function an extension library provides, bound for the run.
class ExternalFunction {
 public:
  virtual ~ExternalFunction() = default;
  virtual int32_t ParameterCount() const = 0;
  virtual bool ParameterByReference(int32_t i) const = 0;
  // Runs the function. arguments[i] is parameter i in declaration order:
  // for a by-value parameter a variable of the machine holding the value,
  // for a by-reference one the caller's own variable. Returns the result
  // with one reference that the machine takes over, or null for none.
  virtual Variable* Invoke(LumoVM& vm, Variable* const* arguments) = 0;
  // Runs the function and leaves its result in `target`, as storing what
  // Invoke returns would, where that can be done without the machine ever
  // holding the result: true then. False when it was not done so, with
  // *result set as Invoke returns it, for the machine to store or push;
  // also when the run stopped on an error, leaving `target` alone.
  virtual bool InvokeInto(LumoVM& vm, Variable* const* arguments, Variable* target,
                          Variable** result) {
    (void)target;
    *result = Invoke(vm, arguments);
    return false;
  }
  // True when no parameter is by reference: the machine may then skip
  // checking each one on every call. Implementations that cannot say so
  // cheaply leave it false and get the general path.
  bool AllByValue() const { return all_by_value_; }
  // ParameterCount() without the virtual call, or -1 when not given.
  int32_t KnownParameterCount() const { return known_parameter_count_; }

 protected:
  void SetShape(int32_t parameter_count, bool all_by_value) {
    known_parameter_count_ = parameter_count;
    all_by_value_ = all_by_value;
  }

 private:
  int32_t known_parameter_count_ = -1;
  bool all_by_value_ = false;
};

// Finds the implementation of a function a program only declares.
class ExternalFunctionResolver {
 public:
  virtual ~ExternalFunctionResolver() = default;
  virtual ExternalFunction* Resolve(const char* name, int32_t length) = 0;
};

// The handler of an instruction that a subsystem adds. Operands are in the
// machine's decoding registers, the offset already past them.
using InstructionHandler = void (*)(LumoVM& vm);

class LumoVM {
 public:
  static constexpr int kTagCount = kErrorSettingCount;
  // Calls nested deeper than this stop the run with "Stack overflow": each
  // call holds a 512-entry stack, and a script that recurses without end
  // must not take the machine's memory with it.
  static constexpr int32_t kMaxCallDepth = 4096;
  // A text joined by cat longer than this stops the run with "Out of
  // memory": a loop that doubles a text must end the run, not the server.
  static constexpr int64_t kMaxTextLength = int64_t{256} << 20;

  // Unset words (null) are taken from the parent machine, or else from the
  // context.
  LumoVM(std::string_view program_name, LumoApplication* context, const ProgramParts& parts,
         LumoVM* parent = nullptr, std::atomic<uint32_t>* tick_counter = nullptr,
         std::atomic<int32_t>* timeout_flag = nullptr, std::atomic<int32_t>* exit_flag = nullptr);
  LumoVM(const LumoVM&) = delete;
  LumoVM& operator=(const LumoVM&) = delete;
  virtual ~LumoVM();

  virtual void CallExternal(Function* function);
  virtual void CallFunction(Function* function);

  // Runs from the current position until the code ends (1), the program
  // exits (1), or a fatal error or time-out stops it (0). Memory running
  // out (OutOfMemoryError, any std::bad_alloc) ends here: it becomes the
  // fatal error "Out of memory" and never leaves the run.
  int Run();
  // Runs the entry segment in a fresh frame nested in the current one.
  int RunEntry();
  // Runs a segment to its end in a fresh frame that borrows the given stack
  // and locals (the current frame's when null).
  int RunAt(int32_t segment, LumoVM_Stack* stack = nullptr, VariableHash* locals = nullptr);
  // Calls a function of the program from native code with text and integer
  // arguments. A function that does not exist succeeds without effect; a
  // wrong argument count or a fatal error fails. *result receives the
  // returned value as an integer when asked for; *value_out, when given,
  // receives it whole instead (extension libraries calling back).
  struct Argument {
    bool is_text;
    std::string_view text;
    int32_t integer;
  };
  bool CallScriptFunction(std::string_view name, const Argument* arguments, int32_t count,
                          int32_t* result = nullptr, Variable* value_out = nullptr);

  void FatalError(std::string_view message);
  void RuntimeError(int32_t tag, std::string_view message);

  // Subsystems register the handlers of their instructions here before any
  // machine runs.
  static void RegisterInstruction(uint16_t word, InstructionHandler handler);

  // How LmDO gets a program from a page (.lum) it names: the layers that
  // can compile (the server, lumorun) set one before any machine runs;
  // without one a page is read like any other program file and fails to
  // load. `path` is inside the script directory; false with the reason.
  // `builtins` are the library functions the calling run knows.
  using SourceCompiler = bool (*)(LumoApplication* context, FileManager& files,
                                  std::string_view path, const BuiltinFunctions* builtins,
                                  std::string* image, std::string* error);
  static void SetSourceCompiler(SourceCompiler compiler);

  // --- State other parts of the system use -------------------------------
  LumoApplication* Context() const { return context_; }
  Dictionary* GetDictionary() const { return dictionary_; }
  SegmentManager* Segments() const { return segments_; }
  FunctionManager* Functions() const { return functions_; }
  VariableHash* SystemScope() const { return system_; }
  VariableHash* GlobalScope() const { return globals_; }
  LumoVM_Frame* CurrentFrame() const { return frame_; }
  LumoVM_Stack* CurrentStack() const { return stack_; }
  LumoVM* Parent() const { return parent_; }
  NULLVariable* Null() { return null_; }
  VariableList& LocalizedTokens() { return localized_tokens_; }
  // Machines made under this one (LmDO) share it.
  void SetExternalCalls(ExternalFunctionResolver* resolver) { external_ = resolver; }
  ExternalFunctionResolver* ExternalCalls() const { return external_; }

  const String& ProgramName() const { return program_name_; }
  const String& ProgramDirectory() const { return program_directory_; }
  const String& LastError() const { return last_error_; }
  bool HasError() const { return error_ != 0; }
  // The run (or a program it called) stopped for want of memory; whether
  // the message "Out of memory" could be written then. When it could not,
  // whoever ends the run writes it once the run's memory is freed.
  bool StoppedForMemory() const { return stopped_for_memory_; }
  bool MemoryErrorReported() const { return memory_error_reported_; }
  int32_t Line() const { return line_; }
  const String& SourceFile() const { return source_file_name_; }
  ErrorSetting* ErrorSettings() { return settings_; }
  uint32_t EventMask() const { return event_mask_; }
  void SetEventMask(uint32_t mask) { event_mask_ = mask; }

  int32_t SegmentNumber() const { return segment_number_; }
  int32_t Offset() const { return offset_; }
  void SetPosition(int32_t segment, int32_t offset) {
    segment_number_ = segment;
    offset_ = offset;
  }
  // Decoding registers of the instruction being executed.
  int32_t Operand1() const { return operand1_; }
  int32_t Operand2() const { return operand2_; }
  double DoubleOperand1() const { return double1_; }
  double DoubleOperand2() const { return double2_; }
  int32_t InstructionStart() const { return instruction_start_; }

  // Resolves a variable name as the name-reading instructions do (scope
  // prefixes, member and index paths). Null when nothing is found; false
  // after a fatal error.
  bool ResolveName(const char* name, int32_t length, Variable** variable);

  // --- Block features (feature.h) -------------------------------------
  // More open at once stops the run: a loop that opens a block and never
  // closes it must not take the machine's memory with it.
  static constexpr int32_t kMaxFeatures = 1024;
  // Puts an opened feature on top (the machine owns it from now on).
  // False, with the feature destroyed and the run stopped, past
  // kMaxFeatures.
  bool PushFeature(Feature* feature);
  // The topmost open feature of a type id, or null.
  Feature* FindFeature(int type) const;
  // The most recently opened feature, or null.
  Feature* TopFeature() const { return features_.empty() ? nullptr : features_.back(); }
  // Closes the feature and every feature opened after it.
  void CloseFeature(Feature* feature);
  // Closes what the activation of `frame` opened (its function returns).
  void CloseFrameFeatures(LumoVM_Frame* frame);
  // Closes the features above the first `count` (a nested run ended).
  void CloseFeaturesAbove(int32_t count);
  int32_t FeatureCount() const { return static_cast<int32_t>(features_.size()); }

  // --- LmDO (lmdo.h) ----------------------------------------------------
  // LmDO runs nest at most this deep: a file that calls itself without end
  // stops with "Stack overflow" like a function that does.
  static constexpr int32_t kMaxDoDepth = 64;
  // The run's cache of called programs, kept by the root machine.
  DoCache& DoContexts();
  // The context of a called program (loaded on first use), or null after
  // a runtime error of tag 22 with the reason.
  DoContext* GetDoContext(std::string_view name);
  // Runs of this program going on, plus machines made under this one; a
  // cached program in use is never evicted.
  int32_t UseCount() const { return use_count_; }

  // --- Dynamic expressions (dynamic_expression.cc) ------------------------
  // The builtin library functions that dynamic expressions may call.
  void SetBuiltinFunctions(const BuiltinFunctions* builtins) { builtins_ = builtins; }
  // This machine's library functions, or its nearest parent's.
  const BuiltinFunctions* Builtins() const {
    for (const LumoVM* vm = this; vm != nullptr; vm = vm->parent_) {
      if (vm->builtins_ != nullptr) return vm->builtins_;
    }
    return nullptr;
  }
  // Compiles a text into a new segment of this program, reporting the
  // current source file and line. On failure *error holds the compiler's
  // message, which also becomes the last error; the run goes on, since the
  // caller decides what a bad expression means (a filter, an index key).
  bool CompileDynamicExpression(std::string_view text, int32_t* segment, String* error,
                                std::string_view default_view = {});
  // Runs a compiled expression over the current locals. The result is a
  // variable the caller releases with Free: the variable the expression
  // named (with a reference of its own) or a new one holding the value; an
  // expression that leaves nothing gives an empty text. Null when the run
  // stops on a fatal error or has already stopped.
  Variable* ExecuteDynamicExpression(int32_t segment);
  // The truth of a compiled expression; false when the run stops.
  bool ExecuteDynamicExpressionBoolean(int32_t segment);

 private:
  enum class StopReason { kNone, kEnded, kError };

  // The loop of Run (dispatch.cc).
  int Execute();
  // Memory ran out: the run stops with "Out of memory".
  void StopForMemory();
  void PushFrame(LumoVM_Frame* frame);
  // A fresh frame nested in the current one runs the segment to its end;
  // the position and frames are put back afterwards.
  int RunNested(int32_t segment, LumoVM_Stack* stack, bool owns_stack, VariableHash* locals,
                int output_level);
  void DestroyFramesAbove(LumoVM_Frame* keep);
  void ReleaseFrame(LumoVM_Frame* frame);
  LumoVM_FunctionFrame* NewFunctionFrame(Function* function);
  void Return(bool with_value);
  // Error-display flags and output level of a call's frame.
  uint32_t CallErrorDisplay(const Function* function) const;
  int CallOutputLevel(const Function* function) const;
  bool CanQuickCall(Function* function);
  static constexpr int32_t kMaxQuickArguments = 8;
  bool PopQuickArguments(Function* function, ExternalFunction* binding, int32_t count,
                         Variable** arguments);
  Variable* QuickExternalInvoke(Function* function, ExternalFunction* binding, int32_t count);
  // The straight path of a call whose result is stored at once: 0 when
  // the call is not of that kind (nothing popped), 1 when the result is in
  // `target`, -1 when the run stopped on an error in the call (the result
  // then waits on the stack for the store).
  int QuickExternalStore(Function* function, ExternalFunction* binding, Variable* target);
  bool QuickExternalCall(Function* function, ExternalFunction* binding, int32_t count);
  LumoVM_FunctionFrame* EnterQuickCall(Function* function, int32_t return_offset);
  void AssignFused(Variable* target, uint8_t source, int32_t n, double d, Variable* variable,
                   const char* text, int32_t length);
  // Takes one argument off the stack into the parameter's local; null
  // after a fatal error.
  Variable* BindArgument(const FunctionParameter& parameter, VariableHash& locals);
  bool TimedOut();
  void NoteTick();
  void BuildMessage(String& out, const char* kind);
  bool Logging(uint32_t event);
  void Log(uint32_t event, const LogField* fields);
  void Trace(int32_t line);
  void LogParameter(uint32_t event, Function* function, const FunctionParameter& parameter,
                    Variable* local);
  void SetSourceFile(int32_t entry);
  // Makes every borrowed stack entry that points at `variable` (or at any
  // variable when null) hold a reference of its own, before an instruction
  // releases variables that may still sit on a stack.
  void PinBorrowed(Variable* variable);
  bool PushResolved(const char* name, int32_t length);
  void Hide(const char* text, int32_t length);
  void PopIntoName(const char* name, int32_t length);
  void Crypt();
  // The instructions that need locals with destructors (see dispatch.cc).
  void StepStore();
  void StepRefer();
  void StepReferEntry(VariableHash* scope, int32_t entry);
  void StepReferConstant(int32_t entry);
  void StepElement(int32_t index, bool create);
  void StepPushName();
  void StepPopName();
  void StepLocalizedToken(int32_t entry);
  void StepLocalize(int32_t token, bool push);
  void StepReferName();
  void StepMember(bool create);
  void StepRounds();
  void StepCat();
  void StepPosition(bool ignore_case, bool end);
  void StepErrorPrefix();
  void StepOut(bool compressed);
  void StepHide();
  // Block features and LmDO (capture.cc, lmdo.cc).
  static void RegisterFeatureInstructions();
  // out_enc and nextelem (page_instructions.cc).
  static void RegisterPageInstructions();
  void StepCapture();
  void StepCaptureEnd();
  void StepDoFile();
  void StepDoFunction();
  // A called program's run failed: its message becomes this run's and the
  // run stops.
  void TakeError(const LumoVM& called);
  // Operands of fused steps (decoded_code.h).
  bool FusedSource(uint8_t source, int32_t n, Variable** variable, const char** text,
                   int32_t* length);
  void PushFused(uint8_t source, int32_t n, double d, Variable* variable, const char* text,
                 int32_t length);
  bool FusedDouble(uint8_t source, int32_t n, double d, double* out);
  bool FusedInteger(uint8_t source, int32_t n, double d, int32_t* out);
  int CountStep(Variable* counter, int32_t step, int32_t limit);
  void AppendFused(const struct DecodedInsn* ip, Variable* v, Variable* b, const char* text,
                   int32_t length);
  // Entry n of the globals or the current locals, created if missing; null
  // for a number outside the table.
  Variable* GlobalAt(int32_t n) {
    Variable* v = globals_plain_ ? globals_->PeekVariable(n) : nullptr;
    return v != nullptr ? v : globals_->Index(n, true);
  }
  Variable* LocalAt(int32_t n) {
    Variable* v = frame_->plain_locals ? frame_->locals->PeekVariable(n) : nullptr;
    return v != nullptr ? v : frame_->locals->Index(n, true);
  }

  // Identity and position.
  String program_name_;
  String program_directory_;
  String error_prefix_;
  String last_error_;
  String scratch_text_;
  int32_t line_ = 0;
  int32_t traced_line_ = -1;
  int32_t source_file_ = -1;
  String source_file_name_;

  ErrorSetting settings_[kTagCount];

  // Decoding registers.
  int32_t operand1_ = 0;
  int32_t operand2_ = 0;
  double double1_ = 0.0;
  double double2_ = 0.0;
  int32_t instruction_start_ = 0;

  // Execution.
  int32_t segment_number_ = 0;
  Segment* segment_ = nullptr;
  int32_t offset_ = 0;
  LumoVM_Frame* frame_ = nullptr;
  LumoVM_Stack* stack_ = nullptr;
  LumoVM_Frame* outer_frame_ = nullptr;
  // Function frames kept for reuse: a call then costs no allocation.
  LumoVM_FunctionFrame* spare_frames_ = nullptr;
  int32_t spare_count_ = 0;
  int32_t call_depth_ = 0;

  // Run control.
  int32_t error_ = 0;
  bool stopped_for_memory_ = false;
  bool memory_error_reported_ = false;
  uint32_t event_mask_ = 0;
  std::atomic<uint32_t>* tick_counter_;
  uint32_t last_tick_ = 0;
  std::atomic<int32_t>* timeout_flag_;
  std::atomic<int32_t>* exit_flag_;

  // Links.
  LumoApplication* context_;
  Dictionary* dictionary_;
  VariableHash* system_;
  VariableHash* globals_;
  bool globals_plain_;
  // Exactly a LumoVM: no subclass changes how calls are made.
  bool plain_machine_ = false;
  SegmentManager* segments_;
  FunctionManager* functions_;
  ExternalFunctionResolver* external_ = nullptr;
  VariableList localized_tokens_;
  // The program's localized text tables (ProgramParts), or null.
  LocalizedLanguages* localized_ = nullptr;
  NULLVariable* null_;
  LumoVM* parent_;
  // Open block features, the most recent last.
  std::vector<Feature*> features_;
  // Root machine only, made on first use.
  DoCache* do_cache_ = nullptr;
  int32_t use_count_ = 0;

  const BuiltinFunctions* builtins_ = nullptr;
};

}  // namespace lumo

#endif  // LUMO_CORE_VM_LUMO_VM_H_
