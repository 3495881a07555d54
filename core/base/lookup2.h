// Bob Jenkins' 1996 lookup2 hash ("hash()" of lookup2.c): 12-byte blocks,
// golden-ratio seeds, the key length added into the third word.
//
// Compiled programs store hash tables built with it, so the exact values are
// part of the file format.
#ifndef LUMO_CORE_BASE_LOOKUP2_H_
#define LUMO_CORE_BASE_LOOKUP2_H_

#include <cstdint>

namespace lumo {

uint32_t Lookup2(const void* key, uint32_t length, uint32_t initial = 0);

// The same hash over the key with every byte lowered by the C library's
// tolower, so that names differing only in case hash alike.
uint32_t Lookup2NoCase(const void* key, uint32_t length, uint32_t initial = 0);

}  // namespace lumo

#endif  // LUMO_CORE_BASE_LOOKUP2_H_
