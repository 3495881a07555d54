#include <gtest/gtest.h>

#include "values/variable.h"

namespace lumo {
namespace {

TEST(Smoke, Variable) {
  auto* v = new Variable("x", "12abc");
  EXPECT_EQ(v->Value_Integer(), 0);
  v->Free();
}

}  // namespace
}  // namespace lumo
