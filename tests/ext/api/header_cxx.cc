// The public header in C++: C linkage for every declaration, and the
// record types usable as aggregates.
#include "lumo/lumo.h"

#include <type_traits>

static_assert(std::is_standard_layout_v<lmFunction>);
static_assert(std::is_same_v<decltype(&lmVariable_Value),
                             const char* (*)(lmVariable*, int32_t*)>);

extern "C" void LumoHeaderCheckEntry(lmProgram*, lmVariableList*, lmVariable*, void**) {}

int main() {
  const lmFunction f{"f", 1, 0, nullptr, LumoHeaderCheckEntry};
  return f.entry == nullptr ? 1 : 0;
}
