#include "core/base/lookup2.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string_view>

namespace lumo {
namespace {

using namespace std::string_view_literals;

struct Vector {
  std::string_view key;
  uint32_t initial;
  uint32_t hash;
};

// Expected values come from a separate transcription of the reference
// lookup2.c hash(), not from this code; "" and "a" also match the values
// other ports publish. Compiled programs store tables laid out by these
// numbers, so any difference breaks existing files.
constexpr Vector kVectors[] = {
    {""sv, 0, 0xBD49D10D},
    {"a"sv, 0, 0x29EEC818},
    {"name"sv, 0, 0x2E256A1A},
    {"Name"sv, 0, 0xFC3F90EB},
    {"foobar"sv, 0, 0x9D3FFA02},
    {"hello world"sv, 0, 0x1AA919E6},                  // 11: one short of a block
    {"Four score a"sv, 0, 0xCC6600D8},                 // 12: one full block
    {"Four score an"sv, 0, 0xF4692621},                // 13
    {"abcdefghijklmnopqrstuvw"sv, 0, 0x68E5FF21},      // 23
    {"abcdefghijklmnopqrstuvwx"sv, 0, 0xD6638B78},     // 24
    {"abcdefghijklmnopqrstuvwxy"sv, 0, 0x720B6730},    // 25
    {"\x80\xFF\xFE\x81\xC3\xA9t\xE9"sv, 0, 0xF1756B7F},  // bytes must not sign-extend
    {"\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8D\x8E\x8F\x90\x91\x92\x93\x94\x95\x96\x97\x98"sv,
     0, 0xC87EE51E},
    {"name"sv, 0x12345678, 0xA2AFC1F8},
    {""sv, 0xDEADBEEF, 0x1153F4BE},
    {"abcdefghijklmnopqrstuvwxy"sv, 0x9E3779B9, 0x344AD976},
};

TEST(Lookup2, MatchesReferenceValues) {
  for (const Vector& v : kVectors) {
    // An exactly sized heap copy lets the address checker catch any read
    // past the key.
    std::unique_ptr<char[]> key(new char[v.key.size()]);
    memcpy(key.get(), v.key.data(), v.key.size());
    EXPECT_EQ(Lookup2(key.get(), static_cast<uint32_t>(v.key.size()), v.initial), v.hash)
        << "key of length " << v.key.size() << ", initial " << v.initial;
  }
}

TEST(Lookup2, NoCaseHashesTheLoweredKey) {
  EXPECT_EQ(Lookup2NoCase("AbC", 3), Lookup2("abc", 3));
  EXPECT_EQ(Lookup2NoCase("NAME", 4), 0x2E256A1Au);
  EXPECT_EQ(Lookup2NoCase("ABCDEFGHIJKLMNOPQRSTUVWXY", 25), 0x720B6730u);
  EXPECT_EQ(Lookup2NoCase("NAME", 4, 0x12345678), 0xA2AFC1F8u);
  // Only ASCII letters fold; the C locale leaves high bytes as they are.
  EXPECT_EQ(Lookup2NoCase("\xC9", 1), 0xA6A19468u);
  EXPECT_EQ(Lookup2("\xE9", 1), 0x917FA5A8u);
  EXPECT_EQ(Lookup2NoCase("@[", 2), Lookup2("@[", 2));
}

}  // namespace
}  // namespace lumo
