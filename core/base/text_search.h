// The position of one text inside another, as the script operators that
// ask "where does a occur in b" report it: 1-based, 0 for "nowhere".
#ifndef LUMO_CORE_BASE_TEXT_SEARCH_H_
#define LUMO_CORE_BASE_TEXT_SEARCH_H_

#include <cstdint>

namespace lumo {

// Where the first occurrence of `a` (the needle) starts in `b` (the
// haystack), counting from 1, or 0 when there is none. With end_position
// it is the position of the occurrence's last byte instead, and an empty
// needle is never found; otherwise an empty needle is found at 1. With
// ignore_case the bytes are compared lowered as in the "C" locale.
int32_t TextPosition(const char* a, int32_t alen, const char* b, int32_t blen, bool ignore_case,
                     bool end_position);

}  // namespace lumo

#endif  // LUMO_CORE_BASE_TEXT_SEARCH_H_
