// Escaping text for an HTML page: the bytes that could open markup, an
// attribute value or (for the parentheses) a script call become entities.
#ifndef LUMO_CORE_CONTEXT_ENTITIES_H_
#define LUMO_CORE_CONTEXT_ENTITIES_H_

#include <cstdint>

#include "core/base/string.h"

namespace lumo {

// '"' -> "&quot;", '&' -> "&amp;", '(' -> "&#40;", ')' -> "&#41;",
// '<' -> "&lt;", '>' -> "&gt;"; every other byte, NUL included, as it is.
String EncodeEntities(const char* bytes, int32_t length);
// `bytes` must not lie inside `out`.
void AppendEntities(String& out, const char* bytes, int32_t length);

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_ENTITIES_H_
