#include "core/base/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

namespace lumo {
namespace {

using namespace std::string_view_literals;

TEST(MemoryStream, ShortReadSetsTheErrorText) {
  MemoryStream in("abc");
  char buffer[8] = {};
  EXPECT_EQ(in.Read(buffer, 2), 2);
  EXPECT_TRUE(in.ErrorText().IsEmpty());
  EXPECT_EQ(in.Read(buffer, 5), 1);
  EXPECT_EQ(buffer[0], 'c');
  EXPECT_EQ(in.ErrorText().View(), "Unexpected end of file"sv);
  EXPECT_EQ(in.Position(), 3);
  EXPECT_EQ(in.Read(buffer, 1), 0);
  EXPECT_EQ(in.Read(buffer, -1), -1);
}

TEST(MemoryStream, SeekOutsideFails) {
  MemoryStream s("hello");
  EXPECT_TRUE(s.Seek(2));
  EXPECT_FALSE(s.Seek(-1));
  EXPECT_FALSE(s.ErrorText().IsEmpty());
  EXPECT_FALSE(s.Seek(6));
  EXPECT_EQ(s.Position(), 2);  // a failed seek does not move
  EXPECT_TRUE(s.Seek(5));      // the end itself is a position
  char c;
  EXPECT_EQ(s.Read(&c, 1), 0);
}

TEST(MemoryStream, WritingPastTheEndExtends) {
  MemoryStream s;
  EXPECT_EQ(s.Write("hello", 5), 5);
  ASSERT_TRUE(s.Seek(3));
  EXPECT_EQ(s.Write("LOWORLD", 7), 7);
  EXPECT_EQ(s.Contents().View(), "helLOWORLD"sv);
  ASSERT_TRUE(s.Seek(1));
  EXPECT_EQ(s.Write("E", 1), 1);  // inside: overwrite only
  EXPECT_EQ(s.Contents().View(), "hElLOWORLD"sv);
  EXPECT_EQ(s.Position(), 2);
  EXPECT_EQ(s.Write("", 0), 0);
  EXPECT_EQ(s.Size(), 10);
  std::string big(100000, 'x');
  ASSERT_TRUE(s.Seek(s.Size()));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(s.Write(big.data(), 100), 100);
  EXPECT_EQ(s.Size(), 100010);
}

// A stream that hands out at most `limit` bytes and, when asked, says why it
// stopped.
class StingyStream : public Stream {
 public:
  StingyStream(int32_t limit, std::string_view reason) : limit_(limit), reason_(reason) {}
  int32_t Read(void* buffer, int32_t length) override {
    int32_t n = length < limit_ - done_ ? length : limit_ - done_;
    memset(buffer, 'z', static_cast<size_t>(n));
    done_ += n;
    if (n < length && !reason_.empty()) SetErrorText(reason_);
    return n;
  }
  int32_t Write(const void*, int32_t) override { return -1; }
  bool Seek(int64_t) override { return false; }
  int64_t Position() const override { return done_; }

 private:
  int32_t limit_;
  int32_t done_ = 0;
  std::string reason_;
};

TEST(ReadFully, ShortReadKeepsTheStreamsReason) {
  char buffer[16];
  StingyStream silent(3, "");
  EXPECT_FALSE(ReadFully(silent, buffer, 8));
  EXPECT_EQ(silent.ErrorText().View(), "Unexpected end of file"sv);
  StingyStream talkative(3, "Disk read error");
  EXPECT_FALSE(ReadFully(talkative, buffer, 8));
  EXPECT_EQ(talkative.ErrorText().View(), "Disk read error"sv);
  StingyStream enough(8, "");
  EXPECT_TRUE(ReadFully(enough, buffer, 8));
  EXPECT_FALSE(ReadFully(enough, buffer, -1));
}

TEST(ReadFullyGrowing, ReadsAcrossChunksAndFailsOnShortData) {
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  MemoryStream in(data);
  String out;
  ASSERT_TRUE(ReadFullyGrowing(in, static_cast<int64_t>(data.size()), out));
  EXPECT_TRUE(out.View() == data);

  MemoryStream shorter(std::string_view(data).substr(0, 1000));
  EXPECT_FALSE(ReadFullyGrowing(shorter, 5000000, out));
  EXPECT_EQ(shorter.ErrorText().View(), "Unexpected end of file"sv);
  EXPECT_LE(out.Length(), 1000);

  MemoryStream empty;
  EXPECT_TRUE(ReadFullyGrowing(empty, 0, out));
  EXPECT_EQ(out.Length(), 0);
  EXPECT_FALSE(ReadFullyGrowing(empty, -1, out));
  EXPECT_FALSE(ReadFullyGrowing(empty, int64_t{1} << 40, out));
}

}  // namespace
}  // namespace lumo
