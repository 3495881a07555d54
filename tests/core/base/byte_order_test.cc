#include "core/base/byte_order.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace lumo {
namespace {

// File formats are little-endian whatever the host; check the bytes
// themselves, not only that decoding undoes encoding.
TEST(ByteOrder, ExactLittleEndianBytes) {
  unsigned char b[8];
  EncodeLe16(b, 0xA1B2);
  EXPECT_EQ(b[0], 0xB2);
  EXPECT_EQ(b[1], 0xA1);
  EncodeLe32(b, 0x12345678u);
  EXPECT_EQ(memcmp(b, "\x78\x56\x34\x12", 4), 0);
  EncodeLeInt32(b, -2);
  EXPECT_EQ(memcmp(b, "\xFE\xFF\xFF\xFF", 4), 0);
  EncodeLe64(b, 0x0102030405060708ull);
  EXPECT_EQ(memcmp(b, "\x08\x07\x06\x05\x04\x03\x02\x01", 8), 0);
  EncodeLeDouble(b, 1.0);
  EXPECT_EQ(memcmp(b, "\x00\x00\x00\x00\x00\x00\xF0\x3F", 8), 0);
}

TEST(ByteOrder, DecodingDoesNotSignExtendBytes) {
  const unsigned char high[] = {0xFF, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0};
  EXPECT_EQ(DecodeLe16(high), 0x80FF);
  EXPECT_EQ(DecodeLe32(high), 0xA09080FFu);
  EXPECT_EQ(DecodeLeInt32(high), static_cast<int32_t>(0xA09080FFu));
  EXPECT_EQ(DecodeLe64(high), 0xE0D0C0B0A09080FFull);
  const unsigned char minus_one[] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(DecodeLeInt32(minus_one), -1);
  const unsigned char bits[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x7F};
  EXPECT_EQ(DecodeLeDouble(bits), std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace lumo
