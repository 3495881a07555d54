// Tables of programs and what they print, for the machine's tests.
#ifndef LUMO_TESTS_CORE_VM_CASES_H_
#define LUMO_TESTS_CORE_VM_CASES_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <string>

#include "tests/core/vm/run_program.h"

namespace lumo {

// A program and what it must print (Printed's text).
struct Case {
  std::string source;
  std::string printed;
};

inline void ExpectPrinted(const Case* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(Printed(cases[i].source), cases[i].printed) << cases[i].source;
  }
}

inline void ExpectPrinted(std::initializer_list<Case> cases) {
  ExpectPrinted(cases.begin(), cases.size());
}

}  // namespace lumo

#endif  // LUMO_TESTS_CORE_VM_CASES_H_
