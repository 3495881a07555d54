// Small helpers shared by the values tests.
#ifndef LUMO_TESTS_VALUES_HELD_H_
#define LUMO_TESTS_VALUES_HELD_H_

#include <memory>
#include <string>

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

}  // namespace lumo

#endif  // LUMO_TESTS_VALUES_HELD_H_
