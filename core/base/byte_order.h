// Little-endian encoding and decoding, byte by byte, so that every file
// format of the system reads the same on any host.
#ifndef LUMO_CORE_BASE_BYTE_ORDER_H_
#define LUMO_CORE_BASE_BYTE_ORDER_H_

#include <cstdint>
#include <cstring>

namespace lumo {

inline uint16_t DecodeLe16(const void* p) {
  const auto* b = static_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline uint32_t DecodeLe32(const void* p) {
  const auto* b = static_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

inline int32_t DecodeLeInt32(const void* p) { return static_cast<int32_t>(DecodeLe32(p)); }

inline uint64_t DecodeLe64(const void* p) {
  const auto* b = static_cast<const unsigned char*>(p);
  return static_cast<uint64_t>(DecodeLe32(b)) | (static_cast<uint64_t>(DecodeLe32(b + 4)) << 32);
}

inline double DecodeLeDouble(const void* p) {
  uint64_t bits = DecodeLe64(p);
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}

inline void EncodeLe16(void* p, uint16_t v) {
  auto* b = static_cast<unsigned char*>(p);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
}

inline void EncodeLe32(void* p, uint32_t v) {
  auto* b = static_cast<unsigned char*>(p);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
  b[2] = static_cast<unsigned char>(v >> 16);
  b[3] = static_cast<unsigned char>(v >> 24);
}

inline void EncodeLeInt32(void* p, int32_t v) { EncodeLe32(p, static_cast<uint32_t>(v)); }

inline void EncodeLe64(void* p, uint64_t v) {
  auto* b = static_cast<unsigned char*>(p);
  EncodeLe32(b, static_cast<uint32_t>(v));
  EncodeLe32(b + 4, static_cast<uint32_t>(v >> 32));
}

inline void EncodeLeDouble(void* p, double d) {
  uint64_t bits;
  memcpy(&bits, &d, sizeof bits);
  EncodeLe64(p, bits);
}

}  // namespace lumo

#endif  // LUMO_CORE_BASE_BYTE_ORDER_H_
