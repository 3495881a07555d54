// The traditional DES password hash of crypt(3), as scripts use it to
// check passwords stored by older systems.
#ifndef LUMO_CORE_CONTEXT_CRYPT_DES_H_
#define LUMO_CORE_CONTEXT_CRYPT_DES_H_

#include <cstdint>

#include "core/base/string.h"

namespace lumo {

// Sets *out to the 13-character hash of `text` (only its first 8 bytes, up
// to any NUL, count) with the two salt bytes, which come back as its first
// two characters. Any byte is accepted as salt. False when the system
// library gives no hash.
bool CryptDES(const char* text, int32_t length, const char salt[2], String* out);

// The salt a script's salt argument gives: its first two bytes, a single
// byte twice, or two random characters of the salt alphabet when empty.
void ChooseCryptSalt(const char* b, int32_t length, char salt[2]);

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_CRYPT_DES_H_
