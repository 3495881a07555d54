// Text: bytes in, bytes out; positions count bytes from 0.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "stdlib/call.h"
#include "stdlib/functions.h"
#include "stdlib/number_text.h"

namespace lumostd {
namespace {

// Longer results are refused: a script's typo in a count must not take
// the run's whole memory before the budget notices.
constexpr size_t kMaxBuiltText = size_t{256} << 20;

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char LowerByte(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }
char UpperByte(char c) { return static_cast<char>(toupper(static_cast<unsigned char>(c))); }

int Sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

// A non-negative count argument, or a runtime error.
bool Count(Call& call, int i, const char* what, int32_t* out) {
  if (!call.Integer(i, what, out)) return false;
  if (*out < 0) {
    call.FailArgument(what, "must not be negative");
    return false;
  }
  return true;
}

void Pad(Call& call, bool left) {
  std::string_view text, fill;
  int32_t width = 0;
  if (!call.Text(0, "text", &text) || !Count(call, 1, "width", &width) ||
      !call.Text(2, "fill", &fill)) {
    call.SetText(text);
    return;
  }
  if (static_cast<size_t>(width) <= text.size()) {
    call.SetText(text);
    return;
  }
  if (fill.empty()) {
    call.Fail("the fill text is empty");
    call.SetText(text);
    return;
  }
  if (static_cast<size_t>(width) > kMaxBuiltText) {
    call.Fail("the width is too large");
    call.SetText(text);
    return;
  }
  const size_t missing = static_cast<size_t>(width) - text.size();
  std::string padding;
  padding.reserve(missing);
  while (padding.size() < missing) padding.append(fill.substr(0, missing - padding.size()));
  std::string out;
  out.reserve(static_cast<size_t>(width));
  if (left) {
    out.append(padding).append(text);
  } else {
    out.append(text).append(padding);
  }
  call.SetText(out);
}

}  // namespace

LUMOSTD_FUNCTION(Len, "len") {
  std::string_view text;
  call.Text(0, "text", &text);
  call.SetInteger(static_cast<int32_t>(text.size()));
}

// The hot one: no allocation of its own, the result set straight from the
// argument's bytes.
LUMOSTD_FUNCTION(Substr, "substr") {
  std::string_view text;
  int32_t start = 0, length = 0;
  if (!call.Text(0, "text", &text) || !Count(call, 1, "start", &start) ||
      !Count(call, 2, "length", &length)) {
    call.SetEmpty();
    return;
  }
  if (static_cast<size_t>(start) >= text.size()) {
    call.SetEmpty();
    return;
  }
  call.SetText(text.substr(static_cast<size_t>(start), static_cast<size_t>(length)));
}

LUMOSTD_FUNCTION(Left, "left") {
  std::string_view text;
  int32_t count = 0;
  if (!call.Text(0, "text", &text) || !Count(call, 1, "count", &count)) {
    call.SetEmpty();
    return;
  }
  call.SetText(text.substr(0, static_cast<size_t>(count)));
}

LUMOSTD_FUNCTION(Right, "right") {
  std::string_view text;
  int32_t count = 0;
  if (!call.Text(0, "text", &text) || !Count(call, 1, "count", &count)) {
    call.SetEmpty();
    return;
  }
  const size_t n = std::min(text.size(), static_cast<size_t>(count));
  call.SetText(text.substr(text.size() - n));
}

LUMOSTD_FUNCTION(Find, "find") {
  std::string_view text, needle;
  if (!call.Text(0, "text", &text) || !call.Text(1, "search text", &needle)) {
    call.SetInteger(-1);
    return;
  }
  const size_t at = text.find(needle);
  call.SetInteger(at == std::string_view::npos ? -1 : static_cast<int32_t>(at));
}

LUMOSTD_FUNCTION(FindLast, "findlast") {
  std::string_view text, needle;
  if (!call.Text(0, "text", &text) || !call.Text(1, "search text", &needle)) {
    call.SetInteger(-1);
    return;
  }
  const size_t at = text.rfind(needle);
  call.SetInteger(at == std::string_view::npos ? -1 : static_cast<int32_t>(at));
}

LUMOSTD_FUNCTION(Replace, "replace") {
  std::string_view text, search, with;
  if (!call.Text(0, "text", &text) || !call.Text(1, "search text", &search) ||
      !call.Text(2, "replacement", &with)) {
    call.SetText(text);
    return;
  }
  if (search.empty()) {
    call.Fail("the search text is empty");
    call.SetText(text);
    return;
  }
  std::string out;
  size_t from = 0;
  while (true) {
    const size_t at = text.find(search, from);
    if (at == std::string_view::npos) break;
    out.append(text.substr(from, at - from));
    out.append(with);
    if (out.size() > kMaxBuiltText) {
      call.Fail("the result would be too long");
      call.SetText(text);
      return;
    }
    from = at + search.size();
  }
  out.append(text.substr(from));
  call.SetText(out);
}

LUMOSTD_FUNCTION(Upper, "upper") {
  std::string_view text;
  call.Text(0, "text", &text);
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), UpperByte);
  call.SetText(out);
}

LUMOSTD_FUNCTION(Lower, "lower") {
  std::string_view text;
  call.Text(0, "text", &text);
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), LowerByte);
  call.SetText(out);
}

LUMOSTD_FUNCTION(Trim, "trim") {
  std::string_view text;
  call.Text(0, "text", &text);
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  call.SetText(text);
}

LUMOSTD_FUNCTION(LTrim, "ltrim") {
  std::string_view text;
  call.Text(0, "text", &text);
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  call.SetText(text);
}

LUMOSTD_FUNCTION(RTrim, "rtrim") {
  std::string_view text;
  call.Text(0, "text", &text);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  call.SetText(text);
}

LUMOSTD_FUNCTION(LPad, "lpad") { Pad(call, true); }

LUMOSTD_FUNCTION(RPad, "rpad") { Pad(call, false); }

LUMOSTD_FUNCTION(Repeat, "repeat") {
  std::string_view text;
  int32_t count = 0;
  if (!call.Text(0, "text", &text) || !Count(call, 1, "count", &count)) {
    call.SetEmpty();
    return;
  }
  if (!text.empty() && static_cast<size_t>(count) > kMaxBuiltText / text.size()) {
    call.Fail("the result would be too long");
    call.SetEmpty();
    return;
  }
  std::string out;
  out.reserve(text.size() * static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) out.append(text);
  call.SetText(out);
}

LUMOSTD_FUNCTION(Split, "split") {
  std::string_view text, separator;
  lmVariable* result = call.result();
  // An empty array even when the arguments are refused, so a loop over the
  // result runs zero times.
  MakeEmptyArray(result);
  if (!call.Text(0, "text", &text) || !call.Text(1, "separator", &separator)) return;
  int32_t index = 1;
  if (separator.empty()) {
    for (size_t i = 0; i < text.size(); ++i) {
      lmVariable* element = lmVariable_Array_Element(result, index++, 1);
      lmVariable_SetValue(element, text.data() + i, 1);
    }
    return;
  }
  size_t from = 0;
  while (true) {
    const size_t at = text.find(separator, from);
    const std::string_view piece =
        text.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from);
    lmVariable* element = lmVariable_Array_Element(result, index++, 1);
    lmVariable_SetValue(element, piece.data(), static_cast<int32_t>(piece.size()));
    if (at == std::string_view::npos) break;
    from = at + separator.size();
  }
}

LUMOSTD_FUNCTION(Join, "join") {
  std::string_view separator;
  if (!call.Text(1, "separator", &separator)) {
    call.SetEmpty();
    return;
  }
  if (!call.IsAggregate(0)) {
    call.FailArgument("array", "is not an array or structure");
    call.SetEmpty();
    return;
  }
  lmVariableList* elements = lmVariable_Aggregate_List(call.Value(0));
  std::string out;
  bool first = true;
  for (lmVariable* v = lmVariableList_First(elements); v != nullptr;
       v = lmVariableList_Next(elements)) {
    if (!first) out.append(separator);
    first = false;
    int32_t length = 0;
    const char* text = lmVariable_Value(v, &length);
    out.append(text, static_cast<size_t>(length));
    if (out.size() > kMaxBuiltText) break;
  }
  lmVariableList_Free(elements);
  call.SetText(out);
}

LUMOSTD_FUNCTION(Compare, "compare") {
  std::string_view a, b;
  if (!call.Text(0, "first text", &a) || !call.Text(1, "second text", &b)) {
    call.SetInteger(0);
    return;
  }
  call.SetInteger(Sign(a.compare(b)));
}

LUMOSTD_FUNCTION(ICompare, "icompare") {
  std::string_view a, b;
  if (!call.Text(0, "first text", &a) || !call.Text(1, "second text", &b)) {
    call.SetInteger(0);
    return;
  }
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(LowerByte(a[i]));
    const auto y = static_cast<unsigned char>(LowerByte(b[i]));
    if (x != y) {
      call.SetInteger(x < y ? -1 : 1);
      return;
    }
  }
  call.SetInteger(a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0);
}

LUMOSTD_FUNCTION(StartsWith, "startswith") {
  std::string_view text, prefix;
  if (!call.Text(0, "text", &text) || !call.Text(1, "prefix", &prefix)) {
    call.SetBoolean(false);
    return;
  }
  call.SetBoolean(text.substr(0, prefix.size()) == prefix);
}

LUMOSTD_FUNCTION(EndsWith, "endswith") {
  std::string_view text, suffix;
  if (!call.Text(0, "text", &text) || !call.Text(1, "suffix", &suffix)) {
    call.SetBoolean(false);
    return;
  }
  call.SetBoolean(text.size() >= suffix.size() &&
                  text.substr(text.size() - suffix.size()) == suffix);
}

LUMOSTD_FUNCTION(Ord, "ord") {
  std::string_view text;
  if (!call.Text(0, "text", &text) || text.empty()) {
    call.SetInteger(-1);
    return;
  }
  call.SetInteger(static_cast<unsigned char>(text[0]));
}

LUMOSTD_FUNCTION(Chr, "chr") {
  int32_t code = 0;
  if (!call.Integer(0, "code", &code)) {
    call.SetEmpty();
    return;
  }
  if (code < 0 || code > 255) {
    call.FailArgument("code", "must lie between 0 and 255");
    call.SetEmpty();
    return;
  }
  const char byte = static_cast<char>(code);
  call.SetText(std::string_view(&byte, 1));
}

LUMOSTD_FUNCTION(NumFormat, "numformat") {
  double value = 0;
  int32_t decimals = 0;
  std::string_view separator;
  if (!call.Number(0, "number", &value) || !call.Integer(1, "number of decimals", &decimals) ||
      !call.Text(2, "separator", &separator)) {
    call.SetEmpty();
    return;
  }
  if (decimals < 0 || decimals > kMaxDecimals) {
    call.FailArgument("number of decimals", "must lie between 0 and 20");
    call.SetEmpty();
    return;
  }
  if (!std::isfinite(value)) {
    call.FailArgument("number", "is not finite");
    call.SetEmpty();
    return;
  }
  std::string out;
  AppendRounded(value, decimals, separator, out);
  call.SetText(out);
}

}  // namespace lumostd
