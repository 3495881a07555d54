// Activation records of the machine. The outermost frame runs the
// program's top-level code over the global scope; a function frame runs one
// call with locals of its own; a filter frame runs a piece of code whose
// final boolean is handed to the feature that started it.
#ifndef LUMO_CORE_VM_FRAME_H_
#define LUMO_CORE_VM_FRAME_H_

#include <cstdint>
#include <typeinfo>

#include "core/vm/vm_stack.h"
#include "values/variable_hash.h"

namespace lumo {

class Function;
class LumoVM;

// What a frame is, as LumoVM_Frame::kind and FrameKind() give it.
inline constexpr int kPlainFrame = 0;     // the outermost frame, RunAt and RunEntry
inline constexpr int kFunctionFrame = 1;  // a call, with locals of its own
inline constexpr int kFilterFrame = 2;    // code whose final boolean goes to a feature

// The error-display flags of a frame (erroutput): only this bit is read.
inline constexpr uint32_t kDisplayRuntimeErrors = 4;
// What a frame starts with: every flag set.
inline constexpr uint32_t kDefaultErrorDisplay = 7;

class LumoVM_Frame : public ChargedObject {
 public:
  LumoVM_Frame() = default;
  explicit LumoVM_Frame(int frame_kind) : kind(frame_kind) {}
  LumoVM_Frame(const LumoVM_Frame&) = delete;
  LumoVM_Frame& operator=(const LumoVM_Frame&) = delete;
  virtual ~LumoVM_Frame() {
    if (owns_locals) delete locals;
    if (owns_stack) delete stack;
  }

  virtual int FrameKind() const { return kPlainFrame; }
  virtual void SetLocals(VariableHash* hash, bool owned) {
    if (owns_locals && hash != locals) delete locals;
    locals = hash;
    owns_locals = owned;
    plain_locals = hash != nullptr && typeid(*hash) == typeid(VariableHash);
  }
  virtual void SetStack(LumoVM_Stack* new_stack, bool owned) {
    if (owns_stack && new_stack != stack) delete stack;
    stack = new_stack;
    owns_stack = owned;
  }

  // FrameKind() as a field, for the loop's hot paths.
  int kind = kPlainFrame;
  int32_t return_segment = -1;
  int32_t return_offset = -1;
  // The decoded step at the return point, valid while the segment still
  // has that decoded code (the loop resumes there without a lookup).
  const void* return_step = nullptr;
  const void* return_code = nullptr;
  VariableHash* locals = nullptr;
  bool owns_locals = false;
  // The locals are exactly a VariableHash, whose entries the loop may read
  // directly.
  bool plain_locals = false;
  LumoVM_Stack* stack = nullptr;
  bool owns_stack = false;
  uint32_t error_display = kDefaultErrorDisplay;
  int output_level = 0;
  LumoVM_Frame* previous = nullptr;
};

class LumoVM_FunctionFrame : public LumoVM_Frame {
 public:
  LumoVM_FunctionFrame() : LumoVM_Frame(kFunctionFrame) {}
  int FrameKind() const override { return kFunctionFrame; }
  Function* function = nullptr;
  // The function whose names the locals hold (a spare frame keeps them for
  // the next call of the same function).
  Function* names_of = nullptr;
};

// Receives the boolean a filter frame's code ends with and decides where
// execution goes on (it may move the machine's segment and offset).
class FilterCallback {
 public:
  virtual ~FilterCallback() = default;
  virtual void FilterResult(LumoVM& vm, bool result) = 0;
};

class LumoVM_FilterFrame : public LumoVM_Frame {
 public:
  LumoVM_FilterFrame() : LumoVM_Frame(kFilterFrame) {}
  int FrameKind() const override { return kFilterFrame; }
  FilterCallback* callback = nullptr;
};

}  // namespace lumo

#endif  // LUMO_CORE_VM_FRAME_H_
