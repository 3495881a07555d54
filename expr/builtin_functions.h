// What the expression compiler asks of the builtin function libraries: the
// libraries themselves live in a higher layer, so they come in through this
// lookup, and a compiler without one simply finds no builtin functions.
#ifndef LUMO_EXPR_BUILTIN_FUNCTIONS_H_
#define LUMO_EXPR_BUILTIN_FUNCTIONS_H_

#include <cstdint>
#include <string_view>

namespace lumo {

struct BuiltinParameter {
  std::string_view name;
  bool by_reference;
};

struct BuiltinFunction {
  int32_t parameter_count;
  const BuiltinParameter* parameters;  // parameter_count entries
};

class BuiltinFunctions {
 public:
  virtual ~BuiltinFunctions() = default;
  // The library function of that name (compared without regard to case),
  // or null when no library provides one.
  virtual const BuiltinFunction* Find(std::string_view name) const = 0;
};

}  // namespace lumo

#endif  // LUMO_EXPR_BUILTIN_FUNCTIONS_H_
