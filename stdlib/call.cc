#include "stdlib/call.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace lumostd {

bool TextIsNumber(std::string_view text) {
  if (text.empty()) return false;
  // Host texts are zero-terminated, but a zero inside ends strtod early.
  if (memchr(text.data(), 0, text.size()) != nullptr) return false;
  static constexpr const char* kNames[] = {"nan", "-nan", "inf", "-inf", "infinity", "-infinity"};
  for (const char* name : kNames) {
    if (text.size() == strlen(name) && strncasecmp(text.data(), name, text.size()) == 0) {
      return true;
    }
  }
  // strtod reads more than the machine does (a '+', hex, "in"); refuse
  // those before asking it.
  size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || (text[start] >= '\t' && text[start] <= '\r'))) {
    ++start;
  }
  if (start == text.size()) return false;
  const char first = text[start];
  if (first != '-' && first != '.' && (first < '0' || first > '9')) return false;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) {
      return false;
    }
  }
  // The text is zero-terminated right after its length.
  char* end = nullptr;
  std::string copy;
  const char* p = text.data();
  if (p[text.size()] != '\0') {
    copy.assign(text);
    p = copy.c_str();
  }
  strtod(p, &end);
  return end == p + text.size();
}

void MakeEmptyArray(lmVariable* v) {
  lmVariable_SetValue(v, "", 0);
  lmVariable_Array_Element(v, 1, 1);
  lmVariable_Delete_Array_Elements(v, 1, 1, 0);
}

void MakeEmptyStructure(lmVariable* v) {
  lmVariable_SetValue(v, "", 0);
  lmVariable_Struct_Member(v, "", 0, 1);
  lmVariable_Delete_Struct_Member(v, "", 0);
}

// The whole list in one walk: the next call after the last argument is
// cheaper than coming back for each one.
void Call::FetchAll() {
  fetched_ = 0;
  for (lmVariable* v = lmVariableList_First(arguments_); v != nullptr && fetched_ < kMaxArguments;
       v = lmVariableList_Next(arguments_)) {
    args_[fetched_++] = v;
  }
}

bool Call::RefuseAggregate(const char* what, const char* wanted, std::string_view* out) {
  std::string problem("is an array or structure, not ");
  problem.append(wanted);
  FailArgument(what, problem);
  *out = {};
  return false;
}

bool Call::Number(int i, const char* what, double* out) {
  *out = 0;
  if (IsAggregate(i)) {
    FailArgument(what, "is an array or structure, not a number");
    return false;
  }
  const double value = lmVariable_Value_Double(Argument(i));
  // 0 is also what a text that is no number reads as; only then is the
  // text worth a look.
  if (value == 0) {
    int32_t length = 0;
    const char* text = lmVariable_Value(Argument(i), &length);
    const std::string_view view(text != nullptr ? text : "", text != nullptr ? static_cast<size_t>(length) : 0);
    if (!TextIsNumber(view)) {
      std::string problem("'");
      problem.append(view.substr(0, 40));
      problem.append("' is not a number");
      FailArgument(what, problem);
      return false;
    }
  }
  *out = value;
  return true;
}

bool Call::CheckedInteger(int i, const char* what, int32_t value, int32_t* out) {
  *out = 0;
  // A plain zero is common (a counter's first round, i mod n): its text
  // settles it without the full reading as a number.
  if (value == 0 && !IsAggregate(i)) {
    int32_t length = 0;
    const char* text = lmVariable_Value(Argument(i), &length);
    if (text != nullptr && length == 1 && text[0] == '0') return true;
  }
  double d = 0;
  if (!Number(i, what, &d)) return false;
  if (!(d > -2147483649.0 && d < 2147483648.0)) {
    FailArgument(what, "lies outside the range of whole numbers");
    return false;
  }
  *out = static_cast<int32_t>(d);
  return true;
}

void Call::Fail(std::string_view sentence) {
  std::string message(name_);
  message.append(": ");
  message.append(sentence);
  lmProgram_FatalError(program_, message.data(), static_cast<int32_t>(message.size()));
}

void Call::FailArgument(const char* what, std::string_view problem) {
  std::string sentence("the ");
  sentence.append(what);
  sentence.push_back(' ');
  sentence.append(problem);
  Fail(sentence);
}

void Call::SetNumber(double value) {
  if (value >= -2147483648.0 && value <= 2147483647.0 && value == std::trunc(value) &&
      !(value == 0 && std::signbit(value))) {
    SetInteger(static_cast<int32_t>(value));
  } else {
    SetDouble(value);
  }
}

}  // namespace lumostd
