// What every function of the library does first: take its arguments from
// the host's list, check their kinds, report a wrong one as a runtime error
// of the script, and set the result. Nothing here allocates on the way to a
// scalar result, so a bound call costs the host's own work and no more.
#ifndef LUMO_STDLIB_CALL_H_
#define LUMO_STDLIB_CALL_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "include/lumo/lumo.h"

namespace lumostd {

// The most parameters any function of the library takes.
constexpr int kMaxArguments = 4;

class Call {
 public:
  Call(lmProgram* program, lmVariableList* arguments, lmVariable* result, const char* name)
      : program_(program), arguments_(arguments), result_(result), name_(name) {}

  lmProgram* program() const { return program_; }
  lmVariable* result() const { return result_; }
  // The i-th argument as given (a reference for a by-reference parameter).
  lmVariable* Argument(int i) {
    if (fetched_ < 0) [[unlikely]] FetchAll();
    return i >= 0 && i < kMaxArguments ? args_[i] : nullptr;
  }
  // The i-th argument with references followed to their end.
  lmVariable* Value(int i) { return lmVariable_RealIdentity(Argument(i)); }

  bool IsAggregate(int i) {
    return lmVariable_Aggregate_Type(Argument(i)) != LM_AGGREGATE_SCALAR;
  }

  // The text of a scalar argument. An array or structure is refused with a
  // runtime error naming `what`.
  bool Text(int i, const char* what, std::string_view* out) {
    lmVariable* v = Argument(i);
    if (lmVariable_Aggregate_Type(v) != LM_AGGREGATE_SCALAR) [[unlikely]] {
      return RefuseAggregate(what, "text", out);
    }
    int32_t length = 0;
    const char* text = lmVariable_Value(v, &length);
    *out = text != nullptr ? std::string_view(text, static_cast<size_t>(length)) : std::string_view();
    return true;
  }
  // The value of a numeric argument: integers, doubles and texts that read
  // as numbers. Anything else is refused with a runtime error.
  bool Number(int i, const char* what, double* out);
  // A whole number within int32 (a fraction is cut off toward zero).
  bool Integer(int i, const char* what, int32_t* out) {
    // An array or structure and a text that is no number read as 0, and
    // INT32_MIN also stands for "out of range": only those need a closer
    // look.
    const int32_t value = lmVariable_Value_Integer(Argument(i));
    if (value != 0 && value != INT32_MIN) [[likely]] {
      *out = value;
      return true;
    }
    return CheckedInteger(i, what, value, out);
  }

  // Raises a runtime error in the script: "<name>: <sentence>".
  void Fail(std::string_view sentence);
  void FailArgument(const char* what, std::string_view problem);

  void SetText(std::string_view text) {
    lmVariable_SetValue(result_, text.data(), static_cast<int32_t>(text.size()));
  }
  void SetInteger(int32_t value) { lmVariable_SetValue_Integer(result_, value); }
  void SetDouble(double value) { lmVariable_SetValue_Double(result_, value); }
  // An integer when it fits 32 bits, else a double.
  void SetNumber(double value);
  void SetBoolean(bool value) { SetInteger(value ? 1 : 0); }
  void SetEmpty() { lmVariable_SetValue(result_, "", 0); }

 private:
  void FetchAll();
  bool RefuseAggregate(const char* what, const char* wanted, std::string_view* out);
  bool CheckedInteger(int i, const char* what, int32_t value, int32_t* out);

  lmProgram* program_;
  lmVariableList* arguments_;
  lmVariable* result_;
  const char* name_;
  lmVariable* args_[kMaxArguments] = {};
  int fetched_ = -1;
};

// Makes `v` an array, or a structure, without elements (dropping what it
// held): an aggregate comes to be with its first element, so one is made
// and taken away again.
void MakeEmptyArray(lmVariable* v);
void MakeEmptyStructure(lmVariable* v);

// True when the whole text reads as a number the way the machine reads
// one (leading blanks allowed, NaN and Infinity by name).
bool TextIsNumber(std::string_view text);

}  // namespace lumostd

// Defines entry point `Entry` of the function the script calls as `label`;
// the body that follows receives `Call& call`. The host's final release
// call (null program) finds nothing to release: no function keeps data in
// its data word.
#define LUMOSTD_FUNCTION(Entry, label)                                                  \
  static void Entry##Body(::lumostd::Call& call);                                       \
  void Entry(lmProgram* program, lmVariableList* arguments, lmVariable* result, void**) { \
    if (program == nullptr || arguments == nullptr || result == nullptr) return;         \
    ::lumostd::Call call(program, arguments, result, label);                             \
    Entry##Body(call);                                                                  \
  }                                                                                     \
  static void Entry##Body(::lumostd::Call& call)

#endif  // LUMO_STDLIB_CALL_H_
