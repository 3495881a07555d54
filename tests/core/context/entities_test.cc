#include "core/context/entities.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

namespace lumo {
namespace {

using namespace std::string_literals;

// Ten thousand ampersands grow the text past any headroom the encoder keeps.
TEST(Entities, ReplacesTheSixSpecialsOnly) {
  std::string amps, encoded;
  for (int i = 0; i < 10000; ++i) amps += '&', encoded += "&amp;";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"plain text", "plain text"}, {"(a&b)", "&#40;a&amp;b&#41;"},
      {"<p class=\"x\">", "&lt;p class=&quot;x&quot;&gt;"}, {"a\0b\x80\xff'"s, "a\0b\x80\xff'"s}, {amps, encoded}};
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(EncodeEntities(in.data(), static_cast<int32_t>(in.size())).View(), out);
    String appended("x");
    AppendEntities(appended, in.data(), static_cast<int32_t>(in.size()));
    EXPECT_EQ(appended.View(), "x" + out);
  }
}

}  // namespace
}  // namespace lumo
