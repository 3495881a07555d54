#include "core/base/system_error.h"

#include <cstring>

namespace lumo {

String SystemErrorText(int error_number) {
  char buffer[256];
  // strerror() may share one buffer between threads; the GNU strerror_r
  // returns the text, which may or may not be `buffer`.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return String(text);
}

}  // namespace lumo
