#include "core/base/dictionary.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/byte_order.h"
#include "core/base/stream.h"

// The corrupt-count tests must prove that nothing is sized from a claimed
// count: under the address checker a larger allocation aborts the run
// instead of quietly reserving untouched pages.
#if defined(__SANITIZE_ADDRESS__)
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "max_allocation_size_mb=256";
}
#endif

namespace lumo {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

TEST(MemoryStream, ShortReadsSeeksAndExtension) {
  MemoryStream s("abc");
  char buffer[8] = {};
  EXPECT_EQ(s.Read(buffer, 2), 2);
  EXPECT_TRUE(s.ErrorText().IsEmpty());
  EXPECT_EQ(s.Read(buffer, 5), 1);
  EXPECT_EQ(buffer[0], 'c');
  EXPECT_EQ(s.ErrorText().View(), "Unexpected end of file"sv);
  EXPECT_EQ(s.Read(buffer, 1), 0);
  EXPECT_EQ(s.Read(buffer, -1), -1);
  EXPECT_TRUE(s.Seek(1));
  EXPECT_FALSE(s.Seek(-1));
  EXPECT_FALSE(s.Seek(4));
  EXPECT_EQ(s.Position(), 1);  // a failed seek does not move
  EXPECT_EQ(s.Write("BCDE", 4), 4);  // overwrites, then extends
  EXPECT_TRUE(s.Seek(5));  // the end itself is a position
  EXPECT_EQ(s.Read(buffer, 1), 0);
  EXPECT_EQ(s.Write("F", 1), 1);  // one byte past the end
  EXPECT_EQ(s.Contents().View(), "aBCDEF"sv);
}

// Files are little-endian on any host (dictionary sections pin 32 bits too).
TEST(ByteOrder, ExactLittleEndianBytesWithoutSignExtension) {
  char b[16];
  EncodeLe16(b, 0xA1B2);
  EncodeLeInt32(b + 2, -2);
  EncodeLe64(b + 6, 0x0102030405060708ull);
  EXPECT_EQ(std::string(b, 14), "\xB2\xA1\xFE\xFF\xFF\xFF\x08\x07\x06\x05\x04\x03\x02\x01");
  EncodeLeDouble(b, -2.5);
  EXPECT_EQ(std::string(b, 8), std::string("\0\0\0\0\0\0\x04\xC0", 8));
  EXPECT_EQ(DecodeLeDouble(b), -2.5);
  const unsigned char high[] = {0xFF, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0};
  EXPECT_EQ(DecodeLe16(high), 0x80FF);
  EXPECT_EQ(DecodeLe32(high), 0xA09080FFu);
  EXPECT_EQ(DecodeLeInt32(high + 2), static_cast<int32_t>(0xC0B0A090u));
  EXPECT_EQ(DecodeLe64(high), 0xE0D0C0B0A09080FFull);
}

// A section written out by hand, four little-endian bytes a number, so that
// a fault shared by the reader and the writer cannot hide.
std::string Section(int32_t count, int32_t data_size, uint32_t flags,
                    std::vector<std::pair<int32_t, int32_t>> entries, std::string_view data) {
  std::vector<uint32_t> numbers = {static_cast<uint32_t>(count), static_cast<uint32_t>(data_size), flags};
  for (auto [offset, length] : entries) numbers.insert(numbers.end(), {uint32_t(offset), uint32_t(length)});
  std::string out;
  for (uint32_t v : numbers) out += {char(v & 0xFF), char(v >> 8 & 0xFF), char(v >> 16 & 0xFF), char(v >> 24)};
  return out + std::string(data);
}

// Every entry, joined by '|'.
std::string All(const Dictionary& d) {
  std::string out;
  for (int32_t i = 0; i < d.Count(); ++i) {
    if (i) out += '|';
    out += d.EntryView(i);
  }
  return out;
}

std::string Letters(size_t n, std::mt19937& rng, int alphabet = 26) {
  std::string s(n, ' ');
  for (char& c : s) c = static_cast<char>('a' + rng() % alphabet);
  return s;
}

// Explains a short read in its own words or, with none, leaves the text be.
class TalkativeStream : public MemoryStream {
 public:
  TalkativeStream(std::string_view data, std::string reason) : MemoryStream(data), reason_(std::move(reason)) {}
  int32_t Read(void* buffer, int32_t length) override {
    const String before = ErrorText();
    const int32_t n = MemoryStream::Read(buffer, length);
    if (n < length) SetErrorText(reason_.empty() ? before.View() : reason_);
    return n;
  }
  std::string reason_;
};

// Flags with high bits that must survive.
const std::string kSmall = Section(3, 10, 0x80000005u, {{0, 5}, {5, 5}, {3, 4}}, "helloworld");

TEST(DictionaryRead, HandBuiltSectionFromTheStreamPosition) {
  MemoryStream in("junk" + kSmall);
  ASSERT_TRUE(in.Seek(4));
  Dictionary d;
  d.AddEntry("stale");
  d.SetProgramFlags(7);
  ASSERT_TRUE(d.Read(in)) << d.ErrorText().Text();
  EXPECT_EQ(All(d), "hello|world|lowo");
  EXPECT_EQ(d.ProgramFlags(), 0x80000005u);
  int32_t length = 99;
  for (int32_t n : {3, -1, 0x7FFFFFFF}) EXPECT_EQ(d.Entry(n, &length), nullptr) << n;
  EXPECT_EQ(d.Entry(2, &length), d.Entry(0, &length) + 3);  // views of one block
  EXPECT_EQ(d.AddEntry("y"), 3);
}

TEST(DictionaryRead, EntriesAreClampedIntoTheData) {
  const int32_t kMax = 0x7FFFFFFF, kMin = -2147483647 - 1;
  MemoryStream in(Section(9, 6, 0, {{-5, 2}, {6, 1}, {100, 3}, {4, 10}, {-1, 100}, {2, kMax}, {kMax, kMax},
                                    {kMin, 1}, {1, 2}}, "abcdef"));
  Dictionary d;
  ASSERT_TRUE(d.Read(in));
  EXPECT_EQ(All(d), "ab|f|f|ef|abcdef|cdef|f|a|bc");
  MemoryStream empty(Section(3, 0, 0, {{0, 5}, {3, 1}, {-4, 0}}, ""));
  ASSERT_TRUE(d.Read(empty));
  EXPECT_EQ(All(d), "||");
  int32_t length = 0;
  for (int i = 0; i < 3; ++i) EXPECT_NE(d.Entry(i, &length), nullptr) << "entry " << i;
}

// Cut anywhere, the stream's reason (or a generic one) explains it. Counts
// just around every threshold where a reader might switch from "too large"
// to "allocate and read" fail without sizing anything from the claim.
TEST(DictionaryRead, TruncatedHugeOrNegativeFailsWithTheRightText) {
  for (std::string reason : {"", "Disk read error"}) {
    for (size_t n = 0; n < kSmall.size(); ++n) {
      TalkativeStream in(std::string_view(kSmall).substr(0, n), reason);
      in.SetErrorText("A stale reason");  // must not explain this failure
      Dictionary d;
      d.AddEntry("stale");
      EXPECT_FALSE(d.Read(in)) << "cut at " << n;
      EXPECT_EQ(d.ErrorText().View(), reason.empty() ? "Unexpected end of file" : reason) << "cut at " << n;
      EXPECT_EQ(d.Count(), 0) << "cut at " << n;
    }
  }
  const int32_t kHuge = 0x7FFFFFFF, kMin = -2147483647 - 1;
  for (auto [count, size] : {std::pair{kHuge, 0}, {0, kHuge}, {kHuge, kHuge}, {0x0FFFFFF0, 4}, {0x10000000, 4},
                             {1, 0x7FFFFF00}, {1, 0x40000000}, {0x01000000, 0}, {-1, 0}, {0, -1}, {kMin, 8},
                             {1, -8}}) {
    MemoryStream in(Section(count, size, 0, {{0, 1}}, "abcdefgh"));
    Dictionary d;
    EXPECT_FALSE(d.Read(in)) << count << " entries, " << size << " bytes";
    EXPECT_EQ(d.ErrorText().View(), count < 0 || size < 0 ? kCorruptProgramText : "Unexpected end of file"sv);
    EXPECT_EQ(d.Count(), 0);
  }
}

TEST(DictionaryAddEntry, SameTextSharesBytesButGetsANewNumber) {
  Dictionary d;
  for (const char* text : {"hello world", "world", "hello world"}) d.AddEntry(text);
  EXPECT_EQ(d.AddEntry("a\0b", 3), 3);  // an explicit length keeps NUL bytes
  EXPECT_EQ(d.AddEntry("abc\0def", -1), 4);
  EXPECT_EQ(d.AddEntry("", 0), 5);
  EXPECT_EQ(All(d), "hello world|world|hello world|a\0b"s + "|abc|");
  int32_t length = 0;
  EXPECT_EQ(d.Entry(1, &length), d.Entry(0, &length) + 6);
  EXPECT_EQ(d.Entry(2, &length), d.Entry(0, &length));
  for (int i = 6; i < 1000; ++i) ASSERT_EQ(d.AddEntry(("entry" + std::to_string(i) + ";").c_str()), i);
  for (int i = 6; i < 1000; ++i) ASSERT_EQ(d.EntryView(i), "entry" + std::to_string(i) + ";");
}

// After loading, a run's names never search the loaded pool: an equal text
// added since is shared, anything else is stored anew, and reading a
// section starts over unsealed.
TEST(DictionaryAddEntry, SealedSharesOnlyTextsAddedSince) {
  Dictionary d;
  d.AddEntry("loaded name");
  d.Seal();
  int32_t length = 0;
  const int32_t first = d.AddEntry("name");
  EXPECT_NE(d.Entry(first, &length), d.Entry(0, &length) + 7);
  for (int i = 0; i < 300; ++i) d.AddEntry(std::string("n").append(std::to_string(i)).c_str());
  EXPECT_EQ(d.Entry(d.AddEntry("name"), &length), d.Entry(first, &length));
  EXPECT_EQ(d.EntryView(d.AddEntry("n299")), "n299");
  EXPECT_EQ(d.EntryView(d.AddEntry("NAME")), "NAME");  // bytes, not letter case
  EXPECT_EQ(d.EntryView(d.AddEntry("", 0)), "");
  EXPECT_EQ(d.EntryView(d.AddEntry("", 0)), "");
  MemoryStream in(Section(1, 3, 0, {{0, 3}}, "abc"));
  ASSERT_TRUE(d.Read(in));
  const int32_t bc = d.AddEntry("bc");
  EXPECT_EQ(d.Entry(bc, &length), d.Entry(0, &length) + 1);
}

// A block holding D bytes, read or new, has room for (D / 8192 + 1) * 8192;
// only the current block is searched for shared text; megabytes read fine.
TEST(DictionaryAddEntry, BlockCapacityRuleForReadAndNewBlocks) {
  std::mt19937 rng(5);
  for (auto [first, read] :
       {std::pair{10, true}, {8192, true}, {(3 << 20) + 17, true}, {8191, false}, {20000, false}}) {
    SCOPED_TRACE(std::to_string(first) + (read ? " read" : " added"));
    const std::string big = Letters(static_cast<size_t>(first), rng);
    Dictionary d;
    MemoryStream in(Section(1, first, 0, {{0, first}}, big));
    ASSERT_TRUE(read ? d.Read(in) : d.AddEntry(big.data(), first) == 0);
    ASSERT_TRUE(d.EntryView(0) == big);
    int32_t length = 0;
    const char* base = d.Entry(0, &length);
    const int32_t capacity = (first / 8192 + 1) * 8192;
    const std::string rest(static_cast<size_t>(capacity - first), 'Z');
    d.AddEntry(rest.data(), static_cast<int32_t>(rest.size()));
    d.AddEntry(big.data(), 10);
    EXPECT_EQ(d.Entry(1, &length), base + first);  // fills the block to its end
    EXPECT_EQ(d.Entry(2, &length), base);
    d.AddEntry("#");
    d.AddEntry(big.data(), 10);  // the old block's text is copied
    const char* moved = d.Entry(3, &length);
    EXPECT_TRUE(moved < base || moved >= base + capacity);
    EXPECT_EQ(d.Entry(4, &length), moved + 1);
  }
}

TEST(DictionaryWrite, ExactBytesWithTwoBlocksAndRoundTrip) {
  std::mt19937 rng(11);
  const std::string filler = Letters(8185, rng, 3);  // no 'w': "world" is not in block 1
  Dictionary d;
  d.SetProgramFlags(0x12345601);
  for (const char* text : {"hello", filler.c_str(), "world", "orld", "hello", "ab"}) d.AddEntry(text);
  // Block 1 holds hello and the filler, 2 bytes short of full; block 2
  // holds world, shares orld, copies hello and appends ab.
  const std::string want = Section(6, 8190 + 12, 0x12345601,
                                   {{0, 5}, {5, 8185}, {8190, 5}, {8191, 4}, {8195, 5}, {8200, 2}},
                                   "hello" + filler + "worldhelloab");
  MemoryStream out, again, nothing;
  ASSERT_TRUE(d.Write(out)) << d.ErrorText().Text();
  EXPECT_EQ(out.Contents().View().substr(0, 60), std::string_view(want).substr(0, 60));  // header and table
  EXPECT_TRUE(out.Contents().View() == want);
  ASSERT_TRUE(out.Seek(0));
  Dictionary back, empty;
  ASSERT_TRUE(back.Read(out)) << back.ErrorText().Text();
  EXPECT_EQ(back.ProgramFlags(), 0x12345601u);
  EXPECT_EQ(All(back), All(d));
  ASSERT_TRUE(back.Write(again));
  EXPECT_TRUE(again.Contents().View() == want);
  ASSERT_TRUE(empty.Write(nothing));
  EXPECT_TRUE(nothing.Contents().View() == Section(0, 0, 0, {}, ""));
}

// Small alphabets make many near misses; high bytes catch a shift table
// indexed by signed characters; exact copies expose reads past either end.
TEST(SearchBytes, AgreesWithNaiveSearch) {
  std::mt19937 rng(3);
  const std::string alphabets[] = {"ab", "abc", "a\x80\xFF", "\x00\x01\xFE"s};
  for (int round = 0; round < 20000; ++round) {
    const std::string& alphabet = alphabets[round % 4];
    std::string text(rng() % 40, ' '), pattern(rng() % 6, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    for (char& c : pattern) c = alphabet[rng() % alphabet.size()];
    if (rng() % 2 && !text.empty()) pattern = text.substr(rng() % text.size(), rng() % 8);
    std::unique_ptr<char[]> t(new char[text.size()]), p(new char[pattern.size()]);
    std::copy(text.begin(), text.end(), t.get());
    std::copy(pattern.begin(), pattern.end(), p.get());
    const auto found = static_cast<int32_t>(text.find(pattern));  // npos becomes -1
    ASSERT_EQ(SearchBytes(t.get(), int32_t(text.size()), p.get(), int32_t(pattern.size())), found) << round;
  }
}

}  // namespace
}  // namespace lumo
