#include <gtest/gtest.h>

#include <cmath>

#include "core/base/conversions.h"
#include "core/base/string.h"

namespace lumo {
namespace {

TEST(Smoke, FormatDouble) {
  EXPECT_EQ(FormatDouble(100.0), "100");
  EXPECT_EQ(FormatDouble(0.1), "0.1");
  EXPECT_EQ(FormatDouble(1e21), "1000000000000000000000");
  EXPECT_EQ(FormatDouble(1e-25), "0");
  EXPECT_EQ(FormatDouble(2.5, 3), "2.500");
  EXPECT_EQ(FormatDouble(-0.0), "-0");
  EXPECT_EQ(FormatDouble(2.5, 0), "2");
  EXPECT_EQ(FormatDouble(1e300).Length(), 301);
}

TEST(Smoke, ParseDouble) {
  bool failed = false;
  EXPECT_EQ(ParseDouble("1e400", 5, &failed), HUGE_VAL);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseDouble("1e-400", 6, &failed), 0.0);
  EXPECT_FALSE(failed);
  EXPECT_EQ(ParseDouble("0.001e312", 9, &failed), HUGE_VAL);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseDouble(" 12", 3, &failed), 12.0);
  EXPECT_FALSE(failed);
  EXPECT_EQ(ParseDouble("12 ", 3, &failed), 0.0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseDouble("+INF", 4, &failed), 0.0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ParseDouble("1e-310", 6, &failed), 1e-310);
  EXPECT_FALSE(failed);
}

}  // namespace
}  // namespace lumo
