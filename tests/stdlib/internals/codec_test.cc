#include "stdlib/codec.h"

#include <gtest/gtest.h>

#include <string>

namespace lumostd {
namespace {

std::string B64(std::string_view in) {
  std::string out;
  Base64Encode(in, out);
  return out;
}

bool UnB64(std::string_view in, std::string* out) {
  out->clear();
  return Base64Decode(in, *out);
}

TEST(Base64, Rfc4648Vectors) {
  const char* pairs[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                            {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                            {"foobar", "Zm9vYmFy"}};
  for (const auto& pair : pairs) {
    EXPECT_EQ(B64(pair[0]), pair[1]);
    std::string back;
    EXPECT_TRUE(UnB64(pair[1], &back)) << pair[1];
    EXPECT_EQ(back, pair[0]);
  }
}

TEST(Base64, AllBytesRoundTrip) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  std::string back;
  ASSERT_TRUE(UnB64(B64(bytes), &back));
  EXPECT_EQ(back, bytes);
}

TEST(Base64, AcceptsUnpaddedAndWrappedText) {
  std::string out;
  EXPECT_TRUE(UnB64("Zm9vYg", &out));
  EXPECT_EQ(out, "foob");
  EXPECT_TRUE(UnB64("Zm9v\r\nYmFy\n", &out));
  EXPECT_EQ(out, "foobar");
}

TEST(Base64, RefusesWhatIsNotBase64) {
  std::string out;
  EXPECT_FALSE(UnB64("Zm9v!", &out));    // outside the alphabet
  EXPECT_FALSE(UnB64("Zg==Zg==", &out));  // padding in the middle
  EXPECT_FALSE(UnB64("Z", &out));         // a lone sextet
  EXPECT_FALSE(UnB64("Zm9=", &out) && out != "fo");
  EXPECT_FALSE(UnB64("Zg=", &out));       // wrong amount of padding
  EXPECT_FALSE(UnB64("Zm8==", &out));
  EXPECT_FALSE(UnB64("====", &out));
}

TEST(Hex, RoundTripAndRefusals) {
  std::string out;
  HexEncode(std::string("\x00\xff\x10 a", 5), out);
  EXPECT_EQ(out, "00ff102061");
  std::string back;
  EXPECT_TRUE(HexDecode("00FF102061", back));
  EXPECT_EQ(back, std::string("\x00\xff\x10 a", 5));
  back.clear();
  EXPECT_FALSE(HexDecode("abc", back));
  back.clear();
  EXPECT_FALSE(HexDecode("0g", back));
}

TEST(Url, EncodesLikeTheQueryStringRule) {
  std::string out;
  UrlEncode("a b&c=d/é~\x7f", out);
  EXPECT_EQ(out, "a+b%26c%3Dd%2F%C3%A9%7E\x7f");
}

TEST(Url, DecodeKeepsBrokenEscapes) {
  std::string out;
  UrlDecode("a+b%26%2f%zz%4%", out);
  EXPECT_EQ(out, "a b&/%zz%4%");
  out.clear();
  UrlEncode("x y%2", out);
  std::string back;
  UrlDecode(out, back);
  EXPECT_EQ(back, "x y%2");
}

TEST(Entities, EncodeTheMachinesSixBytesOnly) {
  std::string out;
  EntityEncode("(a&b) <\"x\"> 'y'", out);
  EXPECT_EQ(out, "&#40;a&amp;b&#41; &lt;&quot;x&quot;&gt; 'y'");
  std::string back;
  EntityDecode(out, back);
  EXPECT_EQ(back, "(a&b) <\"x\"> 'y'");
}

TEST(Entities, DecodeNumericNamedAndBroken) {
  std::string out;
  EntityDecode("&#65;&#x42;&apos;&nbsp;&#233;&#x1F600;", out);
  EXPECT_EQ(out, "AB'\xC2\xA0\xC3\xA9\xF0\x9F\x98\x80");
  out.clear();
  // Unknown names, missing semicolons, surrogates and zero stay as written.
  EntityDecode("&copy; &amp &#xD800; &#0; &#; &&lt;", out);
  EXPECT_EQ(out, "&copy; &amp &#xD800; &#0; &#; &<");
}

}  // namespace
}  // namespace lumostd
