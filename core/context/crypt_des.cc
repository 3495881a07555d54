#include "core/context/crypt_des.h"

#include <crypt.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/context/run_random.h"

namespace lumo {
namespace {

constexpr char kSaltAlphabet[] =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int32_t kHashLength = 13;

bool InSaltAlphabet(unsigned char c) {
  return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

// Older crypt(3) implementations turned any salt byte into six bits, so
// hashes made with salts such as "!!" exist; the system library now refuses
// those salts. Mapping the byte to the alphabet character with the same six
// bits reproduces the old hash, whose first two characters are then the
// salt as given (see CryptDES).
char CanonicalSaltByte(unsigned char c) {
  if (InSaltAlphabet(c)) return static_cast<char>(c);
  const int value = c > 'Z' ? c - 59 : c > '9' ? c - 53 : c - 46;
  return kSaltAlphabet[value & 63];
}

// crypt_r's work area is some 32 KB: too much for the stack of a script
// thread, and worth keeping rather than allocating per call.
crypt_data* ThreadCryptData() {
  thread_local std::unique_ptr<crypt_data> data;
  if (!data) data = std::make_unique<crypt_data>();  // zeroed, as crypt_r wants
  return data.get();
}

}  // namespace

bool CryptDES(const char* text, int32_t length, const char salt[2], String* out) {
  // DES reads 8 bytes at most and stops at a NUL; the copy supplies the
  // terminator the text may lack.
  char key[9] = {};
  const int32_t n = TextLength(text, length);
  memcpy(key, text, static_cast<size_t>(n < 8 ? n : 8));
  const char setting[3] = {CanonicalSaltByte(static_cast<unsigned char>(salt[0])),
                           CanonicalSaltByte(static_cast<unsigned char>(salt[1])), '\0'};
  const char* hash = crypt_r(key, setting, ThreadCryptData());
  if (hash == nullptr || hash[0] == '*' || strlen(hash) != kHashLength) return false;
  out->Assign(salt, 2);
  out->Append(hash + 2, kHashLength - 2);
  return true;
}

void ChooseCryptSalt(const char* b, int32_t length, char salt[2]) {
  const int32_t n = TextLength(b, length);
  if (n >= 2) {
    salt[0] = b[0];
    salt[1] = b[1];
  } else if (n == 1) {
    salt[0] = salt[1] = b[0];
  } else {
    // 63 rather than 64, so 'z' never comes up: kept as stored hashes were
    // made that way.
    salt[0] = kSaltAlphabet[RunRandom() % 63];
    salt[1] = kSaltAlphabet[RunRandom() % 63];
  }
}

}  // namespace lumo
