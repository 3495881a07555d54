#include "core/base/lookup2.h"

#include "core/base/ascii.h"

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

struct Identity {
  uint32_t operator()(unsigned char c) const { return c; }
};

struct Lower {
  uint32_t operator()(unsigned char c) const {
    return LowerByte(c);
  }
};

template <typename Map>
uint32_t Hash(const unsigned char* k, uint32_t length, uint32_t initial, Map m) {
  uint32_t a = 0x9E3779B9u;
  uint32_t b = 0x9E3779B9u;
  uint32_t c = initial;
  uint32_t len = length;
  while (len >= 12) {
    a += m(k[0]) + (m(k[1]) << 8) + (m(k[2]) << 16) + (m(k[3]) << 24);
    b += m(k[4]) + (m(k[5]) << 8) + (m(k[6]) << 16) + (m(k[7]) << 24);
    c += m(k[8]) + (m(k[9]) << 8) + (m(k[10]) << 16) + (m(k[11]) << 24);
    Mix(a, b, c);
    k += 12;
    len -= 12;
  }
  c += length;
  switch (len) {  // every case falls through
    case 11: c += m(k[10]) << 24; [[fallthrough]];
    case 10: c += m(k[9]) << 16; [[fallthrough]];
    case 9: c += m(k[8]) << 8; [[fallthrough]];
    // the low byte of c holds the length
    case 8: b += m(k[7]) << 24; [[fallthrough]];
    case 7: b += m(k[6]) << 16; [[fallthrough]];
    case 6: b += m(k[5]) << 8; [[fallthrough]];
    case 5: b += m(k[4]); [[fallthrough]];
    case 4: a += m(k[3]) << 24; [[fallthrough]];
    case 3: a += m(k[2]) << 16; [[fallthrough]];
    case 2: a += m(k[1]) << 8; [[fallthrough]];
    case 1: a += m(k[0]); [[fallthrough]];
    default: break;
  }
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
