#include "core/context/entities.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace lumo {
namespace {

using namespace std::string_literals;

TEST(Entities, ReplacesTheSixSpecialsOnly) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"plain text", "plain text"},
      {"(a&b)", "&#40;a&amp;b&#41;"},
      {"<p class=\"x\">", "&lt;p class=&quot;x&quot;&gt;"},
      {"a\0b\x80\xff'"s, "a\0b\x80\xff'"s},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeEntities(c.in.data(), static_cast<int32_t>(c.in.size())).View(), c.out);
    String appended("x");
    AppendEntities(appended, c.in.data(), static_cast<int32_t>(c.in.size()));
    EXPECT_EQ(appended.View(), "x" + c.out);
  }
}

TEST(Entities, LongTextGrowsPastTheHeadroom) {
  const std::string amps(10000, '&');
  String out = EncodeEntities(amps.data(), static_cast<int32_t>(amps.size()));
  std::string expected;
  for (int i = 0; i < 10000; ++i) expected += "&amp;";
  EXPECT_EQ(out.View(), expected);
}

}  // namespace
}  // namespace lumo
