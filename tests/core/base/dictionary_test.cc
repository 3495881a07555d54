#include "core/base/dictionary.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/stream.h"

// The corrupt-count tests below must prove that nothing is sized from a
// claimed count. Under the address checker an allocation above this limit
// aborts the run instead of quietly reserving untouched pages.
#if defined(__SANITIZE_ADDRESS__)
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "max_allocation_size_mb=256";
}
#endif

namespace lumo {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

// A "dict" section written out by hand, each number as four little-endian
// bytes, so that a fault shared by the reader and the writer cannot hide.
class Section {
 public:
  Section& U32(uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) bytes_ += static_cast<char>((v >> shift) & 0xFF);
    return *this;
  }
  Section& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
  Section& Header(int32_t count, int32_t data_size, uint32_t flags) {
    return I32(count).I32(data_size).U32(flags);
  }
  Section& Entry(int32_t offset, int32_t length) { return I32(offset).I32(length); }
  Section& Bytes(std::string_view b) {
    bytes_ += b;
    return *this;
  }
  const std::string& Text() const { return bytes_; }

 private:
  std::string bytes_;
};

// Three entries over ten data bytes, flags with high bits that must survive.
Section SmallSection() {
  return Section()
      .Header(3, 10, 0x80000005u)
      .Entry(0, 5)
      .Entry(5, 5)
      .Entry(3, 4)
      .Bytes("helloworld");
}

TEST(DictionaryRead, HandBuiltSection) {
  MemoryStream in(SmallSection().Text());
  Dictionary d;
  ASSERT_TRUE(d.Read(in)) << d.ErrorText().Text();
  EXPECT_EQ(d.Count(), 3);
  EXPECT_EQ(d.EntryView(0), "hello"sv);
  EXPECT_EQ(d.EntryView(1), "world"sv);
  EXPECT_EQ(d.EntryView(2), "lowo"sv);
  EXPECT_EQ(d.ProgramFlags(), 0x80000005u);
  int32_t length = 99;
  EXPECT_EQ(d.Entry(3, &length), nullptr);
  EXPECT_EQ(d.Entry(-1, &length), nullptr);
  EXPECT_EQ(d.Entry(0x7FFFFFFF, &length), nullptr);
  // Every entry views the one data block.
  EXPECT_EQ(d.Entry(2, &length), d.Entry(0, &length) + 3);
}

TEST(DictionaryRead, StartsAtTheStreamPosition) {
  MemoryStream in("junk" + SmallSection().Text());
  ASSERT_TRUE(in.Seek(4));
  Dictionary d;
  ASSERT_TRUE(d.Read(in));
  EXPECT_EQ(d.EntryView(1), "world"sv);
}

TEST(DictionaryRead, EntriesAreClampedIntoTheData) {
  Section s;
  s.Header(9, 6, 0)
      .Entry(-5, 2)                    // negative offset reads from 0
      .Entry(6, 1)                     // offset at the end: the last byte
      .Entry(100, 3)                   // offset past the end: the last byte
      .Entry(4, 10)                    // runs past the data: shortened
      .Entry(-1, 100)                  // both
      .Entry(2, 0x7FFFFFFF)            // offset + length overflows 32 bits
      .Entry(0x7FFFFFFF, 0x7FFFFFFF)
      .Entry(-2147483647 - 1, 1)
      .Entry(1, 2)
      .Bytes("abcdef");
  MemoryStream in(s.Text());
  Dictionary d;
  ASSERT_TRUE(d.Read(in));
  const std::string_view want[] = {"ab", "f", "f", "ef", "abcdef", "cdef", "f", "a", "bc"};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(d.EntryView(i), want[i]) << "entry " << i;
}

TEST(DictionaryRead, EmptyDataGivesEmptyEntries) {
  Section s;
  s.Header(3, 0, 0).Entry(0, 5).Entry(3, 1).Entry(-4, 0);
  MemoryStream in(s.Text());
  Dictionary d;
  ASSERT_TRUE(d.Read(in));
  ASSERT_EQ(d.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    int32_t length = -1;
    EXPECT_NE(d.Entry(i, &length), nullptr);
    EXPECT_EQ(length, 0) << "entry " << i;
  }
}

TEST(DictionaryRead, ReplacesEarlierContents) {
  Dictionary d;
  d.AddEntry("one");
  d.AddEntry("two");
  d.SetProgramFlags(7);
  MemoryStream in(Section().Header(1, 1, 0).Entry(0, 1).Bytes("x").Text());
  ASSERT_TRUE(d.Read(in));
  EXPECT_EQ(d.Count(), 1);
  EXPECT_EQ(d.ProgramFlags(), 0u);
  EXPECT_EQ(d.EntryView(0), "x"sv);
  EXPECT_EQ(d.AddEntry("y"), 1);
}

TEST(DictionaryRead, TruncatedAtEveryLength) {
  const std::string whole = SmallSection().Text();
  for (size_t n = 0; n < whole.size(); ++n) {
    MemoryStream in(std::string_view(whole).substr(0, n));
    Dictionary d;
    d.AddEntry("stale");
    EXPECT_FALSE(d.Read(in)) << "cut at " << n;
    EXPECT_EQ(d.ErrorText().View(), "Unexpected end of file"sv) << "cut at " << n;
    EXPECT_EQ(d.Count(), 0) << "cut at " << n;
    int32_t length = 0;
    EXPECT_EQ(d.Entry(0, &length), nullptr);
  }
}

TEST(DictionaryRead, HugeClaimedSizesFailWithoutAllocating) {
  const int32_t kHuge = 0x7FFFFFFF;
  struct Claim {
    int32_t count;
    int32_t data_size;
  };
  // Just under and over every threshold where a reader might switch from
  // "too large" to "allocate and read".
  const Claim claims[] = {
      {kHuge, 0}, {0, kHuge}, {kHuge, kHuge}, {0x0FFFFFF0, 4}, {0x10000000, 4},
      {1, 0x7FFFFF00}, {1, 0x40000000}, {0x01000000, 0},
  };
  for (const Claim& c : claims) {
    Section s;
    s.Header(c.count, c.data_size, 0).Entry(0, 1).Bytes("abcdefgh");
    MemoryStream in(s.Text());
    Dictionary d;
    EXPECT_FALSE(d.Read(in)) << c.count << " entries, " << c.data_size << " bytes";
    EXPECT_EQ(d.ErrorText().View(), "Unexpected end of file"sv);
    EXPECT_EQ(d.Count(), 0);
  }
}

TEST(DictionaryRead, NegativeCountsFail) {
  const int32_t claims[][2] = {{-1, 0}, {0, -1}, {-2147483647 - 1, 8}, {1, -8}};
  for (const auto& c : claims) {
    Section s;
    s.Header(c[0], c[1], 0).Entry(0, 1).Bytes("abcdefgh");
    MemoryStream in(s.Text());
    Dictionary d;
    EXPECT_FALSE(d.Read(in)) << c[0] << ", " << c[1];
    EXPECT_FALSE(d.ErrorText().IsEmpty());
    EXPECT_EQ(d.Count(), 0);
  }
}

TEST(DictionaryAddEntry, SameTextSharesBytesButGetsANewNumber) {
  Dictionary d;
  int32_t length = 0;
  EXPECT_EQ(d.AddEntry("hello world"), 0);
  EXPECT_EQ(d.AddEntry("world"), 1);
  EXPECT_EQ(d.AddEntry("hello world"), 2);
  const char* base = d.Entry(0, &length);
  EXPECT_EQ(d.Entry(1, &length), base + 6);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(d.Entry(2, &length), base);
  EXPECT_EQ(d.Count(), 3);
  EXPECT_EQ(d.AddEntry("a\0b", 3), 3);  // an explicit length keeps NUL bytes
  EXPECT_EQ(d.EntryView(3), "a\0b"sv);
  EXPECT_EQ(d.AddEntry("abc\0def", -1), 4);  // -1 stops at the terminator
  EXPECT_EQ(d.EntryView(4), "abc"sv);
  EXPECT_EQ(d.AddEntry("", 0), 5);
  EXPECT_EQ(d.EntryView(5), ""sv);
}

TEST(DictionaryAddEntry, AppendsToTheBlockThatWasRead) {
  // A block read with D bytes has room for (D / 8192 + 1) * 8192.
  for (int32_t data_size : {10, 8192}) {
    SCOPED_TRACE(data_size);
    std::string data(static_cast<size_t>(data_size), 'a');
    MemoryStream in(Section().Header(1, data_size, 0).Entry(0, data_size).Bytes(data).Text());
    Dictionary d;
    ASSERT_TRUE(d.Read(in));
    int32_t length = 0;
    const char* base = d.Entry(0, &length);
    EXPECT_EQ(d.AddEntry("aaa"), 1);
    EXPECT_EQ(d.Entry(1, &length), base);  // found in the read data
    const int32_t room = (data_size / 8192 + 1) * 8192 - data_size;
    std::string fill(static_cast<size_t>(room), 'b');
    EXPECT_EQ(d.AddEntry(fill.data(), room), 2);
    EXPECT_EQ(d.Entry(2, &length), base + data_size);
    EXPECT_EQ(d.AddEntry("#"), 3);
    EXPECT_NE(d.Entry(3, &length), base + data_size + room);
  }
}

// Text of random letters that occurs nowhere else in a test.
std::string Letters(size_t n, std::mt19937& rng) {
  std::string s(n, ' ');
  for (char& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

TEST(DictionaryAddEntry, TextThatDoesNotFitStartsABlockSizedForIt) {
  std::mt19937 rng(5);
  for (int32_t first : {300, 8192, 20000}) {
    SCOPED_TRACE(first);
    Dictionary d;
    int32_t length = 0;
    std::string big = Letters(static_cast<size_t>(first), rng);
    d.AddEntry(big.data(), first);
    const char* base = d.Entry(0, &length);
    // Fill the block to its end; everything stays contiguous.
    const int32_t capacity = (first / 8192 + 1) * 8192;
    std::string rest = Letters(static_cast<size_t>(capacity - first), rng);
    d.AddEntry(rest.data(), static_cast<int32_t>(rest.size()));
    EXPECT_EQ(d.Entry(1, &length), base + first);
    // A text still present in the full block is shared, a new one is not.
    d.AddEntry(big.data(), 10);
    EXPECT_EQ(d.Entry(2, &length), base);
    d.AddEntry("#");
    const char* moved = d.Entry(3, &length);
    EXPECT_TRUE(moved < base || moved >= base + capacity);
    // Only the current block is searched: the old block's text is copied.
    d.AddEntry(big.data(), 10);
    EXPECT_EQ(d.Entry(4, &length), moved + 1);
  }
}

TEST(DictionaryAddEntry, EntryArrayGrowsPastItsFirstSlots) {
  Dictionary d;
  for (int i = 0; i < 1000; ++i) {
    std::string text = "entry" + std::to_string(i) + ";";
    ASSERT_EQ(d.AddEntry(text.c_str()), i);
  }
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(d.EntryView(i), "entry" + std::to_string(i) + ";");
}

std::string LittleEndian(uint32_t v) { return Section().U32(v).Text(); }

TEST(DictionaryWrite, ExactBytesWithTwoBlocks) {
  std::mt19937 rng(11);
  // Filler without a 'w', so "world" cannot be found in the first block.
  std::string filler(8185, ' ');
  for (char& c : filler) c = static_cast<char>('a' + rng() % 3);
  Dictionary d;
  d.SetProgramFlags(0x12345601);
  d.AddEntry("hello");                   // block 1 at 0
  d.AddEntry(filler.c_str());            // block 1 at 5; 2 bytes left
  d.AddEntry("world");                   // block 2 at 0
  d.AddEntry("orld");                    // shared: block 2 at 1
  d.AddEntry("hello");                   // not in block 2: copied to 5
  d.AddEntry("ab");                      // block 2 at 10

  std::string want = LittleEndian(6) + LittleEndian(8190 + 12) + LittleEndian(0x12345601);
  const uint32_t table[][2] = {{0, 5}, {5, 8185}, {8190, 5}, {8191, 4}, {8195, 5}, {8200, 2}};
  for (const auto& e : table) want += LittleEndian(e[0]) + LittleEndian(e[1]);
  want += "hello" + filler + "worldhelloab";

  MemoryStream out;
  ASSERT_TRUE(d.Write(out)) << d.ErrorText().Text();
  ASSERT_EQ(out.Size(), static_cast<int32_t>(want.size()));
  // Header and table first, so that a mismatch there prints readably.
  EXPECT_EQ(out.Contents().View().substr(0, 60), std::string_view(want).substr(0, 60));
  EXPECT_TRUE(out.Contents().View() == want);

  // Read back: the same texts and flags, and writing again is byte-identical.
  ASSERT_TRUE(out.Seek(0));
  Dictionary back;
  ASSERT_TRUE(back.Read(out)) << back.ErrorText().Text();
  EXPECT_EQ(back.Count(), 6);
  EXPECT_EQ(back.ProgramFlags(), 0x12345601u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(back.EntryView(i), d.EntryView(i)) << i;
  MemoryStream again;
  ASSERT_TRUE(back.Write(again));
  EXPECT_TRUE(again.Contents().View() == want);
}

TEST(DictionaryWrite, EmptyDictionary) {
  Dictionary d;
  MemoryStream out;
  ASSERT_TRUE(d.Write(out));
  EXPECT_TRUE(out.Contents().View() == Section().Header(0, 0, 0).Text());
}

int32_t NaiveSearch(std::string_view text, std::string_view pattern) {
  for (size_t at = 0; at + pattern.size() <= text.size(); ++at) {
    if (text.compare(at, pattern.size(), pattern) == 0) return static_cast<int32_t>(at);
  }
  return -1;
}

TEST(SearchHorspool, AgreesWithNaiveSearch) {
  std::mt19937 rng(3);
  // Small alphabets make many near misses; the high bytes catch a shift
  // table indexed with signed characters.
  const std::string alphabets[] = {"ab", "abc", "a\x80\xFF", "\x00\x01\xFE"s};
  for (int round = 0; round < 20000; ++round) {
    const std::string& alphabet = alphabets[round % 4];
    std::string text(rng() % 40, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    std::string pattern;
    if (rng() % 2 && !text.empty()) {
      size_t at = rng() % text.size();
      pattern = text.substr(at, rng() % 8);
    } else {
      pattern.resize(rng() % 6);
      for (char& c : pattern) c = alphabet[rng() % alphabet.size()];
    }
    // Exactly sized copies: any read past either end is reported.
    std::unique_ptr<char[]> t(new char[text.size()]);
    std::unique_ptr<char[]> p(new char[pattern.size()]);
    std::copy(text.begin(), text.end(), t.get());
    std::copy(pattern.begin(), pattern.end(), p.get());
    ASSERT_EQ(SearchHorspool(t.get(), static_cast<int32_t>(text.size()), p.get(),
                             static_cast<int32_t>(pattern.size())),
              NaiveSearch(text, pattern))
        << "round " << round;
  }
}

}  // namespace
}  // namespace lumo
