#include "core/base/lookup2.h"

#include <cstring>

#include "core/base/byte_order.h"

namespace lumo {

namespace {

inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c) {
  a -= b; a -= c; a ^= (c >> 13);
  b -= c; b -= a; b ^= (a << 8);
  c -= a; c -= b; c ^= (b >> 13);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 16);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 3);
  b -= c; b -= a; b ^= (a << 10);
  c -= a; c -= b; c ^= (b >> 15);
}

// Four bytes at a time, little-endian as the hash defines its words.
struct Identity {
  uint32_t operator()(uint32_t word) const { return word; }
};

// ASCII letters folded to lower case in all four bytes at once: a byte
// gets 0x20 added when it lies in 'A'..'Z'. The additions stay within
// each byte (7-bit values plus at most 0x3F), and bytes from 0x80 up are
// left alone, as the per-byte LowerByte does.
struct Lower {
  uint32_t operator()(uint32_t word) const {
    const uint32_t low7 = word & 0x7F7F7F7Fu;
    const uint32_t from_a = low7 + 0x3F3F3F3Fu;    // high bit: byte >= 'A'
    const uint32_t above_z = low7 + 0x25252525u;   // high bit: byte > 'Z'
    const uint32_t upper = ~word & (from_a ^ above_z) & 0x80808080u;
    return word | (upper >> 2);
  }
};

template <typename Map>
uint32_t Hash(const unsigned char* k, uint32_t length, uint32_t initial, Map m) {
  uint32_t a = 0x9E3779B9u;
  uint32_t b = 0x9E3779B9u;
  uint32_t c = initial;
  uint32_t len = length;
  while (len >= 12) {
    a += m(DecodeLe32(k));
    b += m(DecodeLe32(k + 4));
    c += m(DecodeLe32(k + 8));
    Mix(a, b, c);
    k += 12;
    len -= 12;
  }
  c += length;
  // The last 0-11 bytes, zero-padded: a missing byte adds nothing, exactly
  // as the byte-by-byte tail of the original. The low byte of c holds the
  // length, so the third word goes in one byte up.
  unsigned char tail[12] = {};
  if (len > 0) memcpy(tail, k, len);
  a += m(DecodeLe32(tail));
  b += m(DecodeLe32(tail + 4));
  c += m(DecodeLe32(tail + 8)) << 8;
  Mix(a, b, c);
  return c;
}

}  // namespace

uint32_t Lookup2(const void* key, uint32_t length, uint32_t initial) {
  return Hash(static_cast<const unsigned char*>(key), length, initial, Identity());
}

uint32_t Lookup2NoCase(const void* key, uint32_t length, uint32_t initial) {
  return Hash(static_cast<const unsigned char*>(key), length, initial, Lower());
}

}  // namespace lumo
