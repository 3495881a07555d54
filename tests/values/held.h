// Small helpers shared by the values tests.
#ifndef LUMO_TESTS_VALUES_HELD_H_
#define LUMO_TESTS_VALUES_HELD_H_

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "core/base/string.h"
#include "values/variable.h"

namespace lumo {

// A variable reference released when the test lets go of it, so that the
// leak checker sees every reference a test forgets.
struct Release {
  void operator()(Variable* v) const {
    if (v != nullptr) v->Free();
  }
};
using Held = std::unique_ptr<Variable, Release>;

inline std::string S(const String& s) { return std::string(s.View()); }

// The text of a variable, or "<null>" for none.
inline std::string V(Variable* v) { return v != nullptr ? S(v->Value()) : "<null>"; }

// Reference counts, space separated, to check several at once.
inline std::string Counts(std::initializer_list<Variable*> variables) {
  std::string out;
  for (Variable* v : variables) {
    if (!out.empty()) out += ' ';
    out += std::to_string(v->ReferenceCount());
  }
  return out;
}

// "index=text" for every element, in key order.
inline std::string Dump(Variable* v) {
  std::string out;
  if (v->Elements() == nullptr) return out;
  v->Elements()->InOrder([&out](AggregateElement* e) {
    if (!out.empty()) out += ' ';
    out += S(e->Index().Text()) + "=" + S(e->Variable()->Value());
  });
  return out;
}

// Fills v from "text", "[a,b]" (elements 1 and 2), "[5=a,b]" (5 and 6) or
// "{k=a,m=[b,{n=c}]}", consuming what it reads.
inline void Fill(Variable* v, std::string_view& in) {
  if (in.empty() || (in[0] != '[' && in[0] != '{')) {
    const size_t end = std::min(in.find_first_of(",]}"), in.size());
    v->SetValue(in.data(), static_cast<int32_t>(end));
    return in.remove_prefix(end);
  }
  const bool array = in[0] == '[';
  v->Make_Aggregate(array ? kAggregateArray : kAggregateStructure);
  in.remove_prefix(1);
  if (in[0] == ']' || in[0] == '}') return in.remove_prefix(1);
  for (int32_t next = 1;;) {
    AggregateIndex key(next);
    if (const size_t eq = in.find('='); eq < in.find_first_of(",]}[{")) {
      const std::string name(in.substr(0, eq));
      key = array ? AggregateIndex(std::stoi(name)) : AggregateIndex(std::string_view(name));
      in.remove_prefix(eq + 1);
    }
    next = key.Number() + (key.Number() < INT32_MAX);
    Fill(v->Element(key, true), in);
    const char after = in.empty() ? ']' : in[0];
    in.remove_prefix(in.empty() ? 0 : 1);
    if (after != ',') return;
  }
}

inline Held Make(std::string_view shape, const char* name = "v") {
  Held v(new Variable(name));
  Fill(v.get(), shape);
  return v;
}

}  // namespace lumo

#endif  // LUMO_TESTS_VALUES_HELD_H_
