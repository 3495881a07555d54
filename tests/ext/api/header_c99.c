/* The public header on its own, in strict C99. */
#include "lumo/lumo.h"

/* The descriptor records keep their field order. */
typedef char parameter_flags_follow_length[offsetof(lmParameter, flags) >
                                           offsetof(lmParameter, name_length) ? 1 : -1];
typedef char function_entry_last[offsetof(lmFunction, entry) >
                                 offsetof(lmFunction, parameters) ? 1 : -1];

int main(void) {
  static const lmParameter parameters[] = {{"x", 1, LM_PARAMETER_BY_REFERENCE}};
  static const lmFunction functions[] = {{"f", 1, 1, parameters, 0}, {0, 0, 0, 0, 0}};
  static const lmFunctionTable table = {LM_FUNCTION_TABLE_VERSION, functions};
  parameter_flags_follow_length* unused1 = 0;
  function_entry_last* unused2 = 0;
  (void)unused1;
  (void)unused2;
  return table.functions[1].name == 0 ? 0 : 1;
}
