#include "core/context/crypt_des.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace lumo {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

std::string Crypt(std::string_view text, std::string_view salt) {
  String out;
  if (!CryptDES(text.data(), static_cast<int32_t>(text.size()), salt.data(), &out)) return "failed";
  return std::string(out.View());
}

TEST(CryptDES, KnownHashes) {
  const struct { std::string_view text, salt, hash; } cases[] = {
      {"password", "ab", "abJnggxhB/yWI"},
      {"test", "ab", "abgOeLfPimXQo"},
      {"", "ab", "abmF1QH4PEr.E"},
      {"foobar", "..", "..Tgnr41TuFZA"},
      {"hello", "zz", "zzM3H1GzLNjgA"},
      {"password1", "ab", "abJnggxhB/yWI"},  // only 8 bytes count
      {"test\0more"sv, "ab", "abgOeLfPimXQo"},  // nor anything past a NUL
  };
  for (const auto& c : cases) EXPECT_EQ(Crypt(c.text, c.salt), c.hash) << c.text;
}

// Salts outside the alphabet hash as the alphabet character with the same
// six bits, and are echoed as given.
TEST(CryptDES, AnySaltByteGivesAHash) {
  const struct { std::string salt, mapped; } cases[] = {
      {"!!", "nn"},
      {"\x80\xff", "32"},
      {"a\0"s, "aG"},
      {"\0\0"s, "GG"},
  };
  for (const auto& c : cases) {
    const std::string hash = Crypt("test", c.salt);
    ASSERT_EQ(hash.size(), 13u);
    EXPECT_EQ(hash.substr(0, 2), c.salt);
    EXPECT_EQ(hash.substr(2), Crypt("test", c.mapped).substr(2));
  }
  EXPECT_EQ(Crypt("test", "!!"), "!!5bgZuCO.hxM");
}

TEST(ChooseCryptSalt, FromArgumentOrRandomWithoutZ) {
  char salt[2];
  ChooseCryptSalt("xyz", 3, salt);
  EXPECT_EQ(std::string(salt, 2), "xy");
  ChooseCryptSalt("q", 1, salt);
  EXPECT_EQ(std::string(salt, 2), "qq");
  const std::string_view alphabet =
      "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxy";
  srand(5);
  for (int i = 0; i < 5000; ++i) {
    ChooseCryptSalt("", 0, salt);
    ASSERT_NE(alphabet.find(salt[0]), std::string_view::npos);
    ASSERT_NE(alphabet.find(salt[1]), std::string_view::npos);
  }
}

}  // namespace
}  // namespace lumo
