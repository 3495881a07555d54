// Arrays and structures. New arrays are numbered from 1 and hold copies,
// so changing a result never reaches into the argument.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "stdlib/call.h"
#include "stdlib/functions.h"

namespace lumostd {
namespace {

std::string_view ValueOf(lmVariable* v) {
  int32_t length = 0;
  const char* text = lmVariable_Value(v, &length);
  return text != nullptr ? std::string_view(text, static_cast<size_t>(length)) : std::string_view();
}

std::string_view NameOf(lmVariable* v) {
  int32_t length = 0;
  const char* name = lmVariable_Name(v, &length);
  return name != nullptr ? std::string_view(name, static_cast<size_t>(length)) : std::string_view();
}

// The elements of the argument in key order, as references that stay
// valid until the list is freed.
class Elements {
 public:
  explicit Elements(lmVariable* aggregate) : list_(lmVariable_Aggregate_List(aggregate)) {
    for (lmVariable* v = lmVariableList_First(list_); v != nullptr; v = lmVariableList_Next(list_)) {
      items_.push_back(v);
    }
  }
  ~Elements() { lmVariableList_Free(list_); }
  Elements(const Elements&) = delete;
  Elements& operator=(const Elements&) = delete;

  const std::vector<lmVariable*>& items() const { return items_; }

 private:
  lmVariableList* list_;
  std::vector<lmVariable*> items_;
};

// Fills `result` with copies of `items` as elements 1..n.
void BuildArray(lmVariable* result, const std::vector<lmVariable*>& items) {
  MakeEmptyArray(result);
  int32_t index = 1;
  for (lmVariable* item : items) {
    lmVariable* element = lmVariable_Array_Element(result, index++, 1);
    lmVariable_SetValue_Variable(element, lmVariable_RealIdentity(item));
  }
}

// The argument must be an array or structure; anything else is refused
// (the empty value counts as an empty array).
bool Aggregate(Call& call, int i, bool* empty) {
  *empty = false;
  if (call.IsAggregate(i)) return true;
  if (ValueOf(call.Argument(i)).empty()) {
    *empty = true;
    return true;
  }
  call.FailArgument("array", "is not an array or structure");
  return false;
}

// For functions that give an array: true when argument 0 has elements to
// work on; otherwise `result` is already the empty array.
bool ElementsToWorkOn(Call& call, lmVariable* result) {
  bool empty = false;
  if (!Aggregate(call, 0, &empty) || empty) {
    MakeEmptyArray(result);
    return false;
  }
  return true;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int x = tolower(static_cast<unsigned char>(a[i]));
    const int y = tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

LUMOSTD_FUNCTION(Count, "count") {
  bool empty = false;
  if (!Aggregate(call, 0, &empty) || empty) {
    call.SetInteger(0);
    return;
  }
  call.SetInteger(lmVariable_ElementsUsed(call.Value(0)));
}

LUMOSTD_FUNCTION(Members, "members") {
  lmVariable* result = call.result();
  if (!ElementsToWorkOn(call, result)) return;
  Elements elements(call.Value(0));
  const bool array = lmVariable_Aggregate_Type(call.Value(0)) == LM_AGGREGATE_ARRAY;
  MakeEmptyArray(result);
  int32_t index = 1;
  for (lmVariable* v : elements.items()) {
    lmVariable* element = lmVariable_Array_Element(result, index++, 1);
    const std::string_view name = NameOf(v);
    if (array) {
      lmVariable_SetValue_Integer(element, static_cast<int32_t>(strtol(std::string(name).c_str(), nullptr, 10)));
    } else {
      lmVariable_SetValue(element, name.data(), static_cast<int32_t>(name.size()));
    }
  }
}

LUMOSTD_FUNCTION(Sort, "sort") {
  lmVariable* result = call.result();
  std::string_view mode;
  bool empty = false;
  if (!call.Text(1, "mode", &mode) || !Aggregate(call, 0, &empty) || empty) {
    MakeEmptyArray(result);
    return;
  }
  bool numeric = false, descending = false, fold = false;
  for (const char c : mode) {
    switch (c) {
      case 'n': numeric = true; break;
      case 'd': descending = true; break;
      case 'i': fold = true; break;
      default: {
        std::string problem("has an unknown letter '");
        problem.push_back(c);
        problem.append("' (n, d and i are known)");
        call.FailArgument("mode", problem);
        MakeEmptyArray(result);
        return;
      }
    }
  }
  Elements elements(call.Value(0));
  const std::vector<lmVariable*>& items = elements.items();
  std::vector<size_t> order(items.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (numeric) {
    std::vector<double> keys(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      const double d = lmVariable_Value_Double(items[i]);
      // NaN sorts last (first when descending) instead of breaking the order.
      keys[i] = std::isnan(d) ? INFINITY : d;
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return descending ? keys[a] > keys[b] : keys[a] < keys[b];
    });
  } else {
    std::vector<std::string_view> keys(items.size());
    for (size_t i = 0; i < items.size(); ++i) keys[i] = ValueOf(items[i]);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      const int c = fold ? CompareNoCase(keys[a], keys[b]) : keys[a].compare(keys[b]);
      return descending ? c > 0 : c < 0;
    });
  }
  std::vector<lmVariable*> sorted;
  sorted.reserve(items.size());
  for (const size_t i : order) sorted.push_back(items[i]);
  BuildArray(result, sorted);
}

LUMOSTD_FUNCTION(Reverse, "reverse") {
  lmVariable* result = call.result();
  if (!ElementsToWorkOn(call, result)) return;
  Elements elements(call.Value(0));
  std::vector<lmVariable*> items(elements.items().rbegin(), elements.items().rend());
  BuildArray(result, items);
}

LUMOSTD_FUNCTION(Search, "search") {
  std::string_view wanted;
  bool empty = false;
  if (!call.Text(1, "value", &wanted) || !Aggregate(call, 0, &empty)) {
    call.SetInteger(-1);
    return;
  }
  if (empty) {
    call.SetInteger(-1);
    return;
  }
  const bool array = lmVariable_Aggregate_Type(call.Value(0)) == LM_AGGREGATE_ARRAY;
  Elements elements(call.Value(0));
  for (lmVariable* v : elements.items()) {
    if (lmVariable_Aggregate_Type(v) == LM_AGGREGATE_SCALAR && ValueOf(v) == wanted) {
      const std::string_view name = NameOf(v);
      if (array) {
        call.SetInteger(static_cast<int32_t>(strtol(std::string(name).c_str(), nullptr, 10)));
      } else {
        call.SetText(name);
      }
      return;
    }
  }
  if (array) {
    call.SetInteger(-1);
  } else {
    call.SetEmpty();
  }
}

LUMOSTD_FUNCTION(Slice, "slice") {
  lmVariable* result = call.result();
  int32_t start = 0, count = 0;
  bool empty = false;
  if (!call.Integer(1, "start", &start) || !call.Integer(2, "count", &count) ||
      !Aggregate(call, 0, &empty)) {
    MakeEmptyArray(result);
    return;
  }
  if (start < 1) {
    call.FailArgument("start", "must be 1 or more");
    MakeEmptyArray(result);
    return;
  }
  if (count < 0) {
    call.FailArgument("count", "must not be negative");
    MakeEmptyArray(result);
    return;
  }
  if (empty) {
    MakeEmptyArray(result);
    return;
  }
  Elements elements(call.Value(0));
  const std::vector<lmVariable*>& items = elements.items();
  std::vector<lmVariable*> picked;
  for (size_t i = static_cast<size_t>(start) - 1; i < items.size() && picked.size() < static_cast<size_t>(count); ++i) {
    picked.push_back(items[i]);
  }
  BuildArray(result, picked);
}

LUMOSTD_FUNCTION(Push, "push") {
  lmVariable* target = call.Value(0);
  const int type = lmVariable_Aggregate_Type(target);
  if (type == LM_AGGREGATE_STRUCTURE ||
      (type == LM_AGGREGATE_SCALAR && !ValueOf(target).empty())) {
    call.FailArgument("array", "is not an array");
    call.SetInteger(type == LM_AGGREGATE_STRUCTURE ? lmVariable_ElementsUsed(target) : 0);
    return;
  }
  lmVariable* copy = lmVariable_Allocate_Copy(call.Value(1));
  if (copy == nullptr) {
    call.Fail("the value could not be copied");
    call.SetInteger(lmVariable_ElementsUsed(target));
    return;
  }
  if (type == LM_AGGREGATE_SCALAR) {
    // Insert at 0 on a non-array starts the array at 1.
    lmVariable_Insert_Array_Element(target, 1, copy);
  } else {
    lmVariable_Insert_Array_Element(target, 0, copy);
  }
  lmVariable_Free(copy);
  call.SetInteger(lmVariable_ElementsUsed(target));
}

LUMOSTD_FUNCTION(Pop, "pop") {
  lmVariable* target = call.Value(0);
  const int type = lmVariable_Aggregate_Type(target);
  if (type != LM_AGGREGATE_ARRAY) {
    if (type == LM_AGGREGATE_STRUCTURE || !ValueOf(target).empty()) {
      call.FailArgument("array", "is not an array");
    }
    call.SetEmpty();
    return;
  }
  if (lmVariable_ElementsUsed(target) == 0) {
    call.SetEmpty();
    return;
  }
  const int32_t last = lmVariable_Array_Max(target);
  lmVariable* element = lmVariable_Array_Element(target, last, 0);
  if (element == nullptr) {
    call.SetEmpty();
  } else {
    lmVariable_SetValue_Variable(call.result(), element);
  }
  lmVariable_Delete_Array_Elements(target, last, 1, 0);
}

}  // namespace lumostd
