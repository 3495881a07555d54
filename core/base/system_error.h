// The text of an errno value, safe to call from any thread.
#ifndef LUMO_CORE_BASE_SYSTEM_ERROR_H_
#define LUMO_CORE_BASE_SYSTEM_ERROR_H_

#include "core/base/string.h"

namespace lumo {

// "No such file or directory" for ENOENT; never null, never shared.
String SystemErrorText(int error_number);

}  // namespace lumo

#endif  // LUMO_CORE_BASE_SYSTEM_ERROR_H_
