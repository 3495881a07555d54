// Hash images: the name tables compiled programs carry. Round trips, exact
// bytes, truncated and damaged images.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "values/variable_hash.h"
#include "tests/largest_allocation.h"
#include "tests/values/held.h"


namespace lumo {
namespace {

constexpr char kCorrupt[] = "File is either corrupt or not a valid compiled Lumo Script file";
constexpr char kEnd[] = "Unexpected end of file";

// The image layout, decoded and encoded here independently of the code
// under test: used buckets (2 bytes), bits (1), count (4); per used bucket
// its number (2) and first entry (4); per entry its name number (4) and next
// entry (4). Little-endian throughout.
struct Image {
  uint16_t used = 0;
  uint8_t bits = 0;
  int32_t count = 0;
  std::vector<std::pair<uint16_t, int32_t>> buckets;  // bucket, first entry
  std::vector<std::pair<int32_t, int32_t>> entries;   // name, next entry

  static void Put(std::string& out, int64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  static int64_t Get(const std::string& in, size_t& at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint32_t{static_cast<unsigned char>(in[at++])} << (8 * i);
    return bytes == 4 ? int64_t{static_cast<int32_t>(v)} : int64_t{v};
  }
  std::string Encode() const {
    std::string out;
    Put(out, used, 2), Put(out, bits, 1), Put(out, count, 4);
    for (auto [bucket, first] : buckets) Put(out, bucket, 2), Put(out, first, 4);
    for (auto [name, next] : entries) Put(out, name, 4), Put(out, next, 4);
    return out;
  }
  static Image Decode(const std::string& in) {
    Image image;
    size_t at = 0;
    image.used = static_cast<uint16_t>(Get(in, at, 2));
    image.bits = static_cast<uint8_t>(Get(in, at, 1));
    image.count = static_cast<int32_t>(Get(in, at, 4));
    for (int i = 0; i < image.used; ++i) {
      const auto bucket = static_cast<uint16_t>(Get(in, at, 2));
      image.buckets.emplace_back(bucket, static_cast<int32_t>(Get(in, at, 4)));
    }
    for (int i = 0; i < image.count; ++i) {
      const auto name = static_cast<int32_t>(Get(in, at, 4));
      image.entries.emplace_back(name, static_cast<int32_t>(Get(in, at, 4)));
    }
    EXPECT_EQ(at, in.size());
    return image;
  }
};

std::string Written(VariableHash& hash) {
  MemoryStream stream;
  EXPECT_TRUE(hash.Write(stream));
  return S(stream.Contents());
}

bool ReadFrom(VariableHash& hash, const std::string& bytes) {
  MemoryStream stream(bytes);
  return hash.Read(stream);
}

// Names of varied lengths so chains mix short and long ones; two differ
// from an earlier name only in case.
void AddNames(VariableHash& hash, int n) {
  static const char* const kStems[] = {"Var", "x", "long_name_"};
  for (int i = 0; i < n; ++i) {
    hash.AddEntry((kStems[i % 3] + std::to_string(i * 37 % 1000)).c_str(), -1);
  }
  hash.AddEntry("VAR0", -1); hash.AddEntry("var0", -1);
}

TEST(HashImage, RoundTripKeepsEntryNumbersAndChains) {
  for (int bits : {12, 8}) {
    SCOPED_TRACE(bits);
    Dictionary dictionary;
    VariableHash original(&dictionary, bits, 512), copy(&dictionary, 4, 1);
    AddNames(original, 700);
    original.SetVariable("var0", -1, "value", -1);
    const std::string bytes = Written(original);
    // The used buckets are written in bucket order.
    const Image image = Image::Decode(bytes);
    EXPECT_EQ(image.used, original.BucketsUsed());
    for (size_t i = 0; i < image.buckets.size(); ++i) {
      EXPECT_TRUE(i == 0 || image.buckets[i - 1].first < image.buckets[i].first);
      EXPECT_EQ(image.buckets[i].second, original.BucketHead(image.buckets[i].first));
    }
    copy.SetVariable("dropped", -1, "released by Read", -1);
    ASSERT_TRUE(ReadFrom(copy, bytes));
    EXPECT_EQ(Written(copy), bytes);  // the same bits, count, buckets and chains
    EXPECT_EQ(copy.Capacity(), copy.Count());
    for (int32_t e = 0; e < copy.Count(); ++e) {
      ASSERT_EQ(copy.EntryTagOf(e), 0);
      ASSERT_EQ(copy.Index(e, false), nullptr);
      std::string_view name = copy.EntryName(e);
      const int32_t length = static_cast<int32_t>(name.size());
      // An equal name added later finds the first, in both.
      const int32_t expected = original.FindEntry(-1, name.data(), length);
      ASSERT_EQ(copy.FindEntry(-1, name.data(), length), expected) << name;
    }
    // The table read back keeps working: a full table grows.
    EXPECT_EQ(copy.AddEntry("after_read", -1), original.Count());
    EXPECT_EQ(copy.FindEntry(-1, "AFTER_READ", -1), original.Count());
  }
}

TEST(HashImage, ExactBytesOfASmallTableAndOfAnEmptyOne) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 0, 4), empty(&dictionary, 12, 512);  // one bucket: one chain
  for (const char* name : {"bb", "a", "c"}) hash.AddEntry(name, -1);  // entries and names 0, 1, 2
  // clang-format off
  const std::string expected(
      "\x01\x00"                                // one bucket used
      "\x00"                                    // bits
      "\x03\x00\x00\x00"                        // three entries
      "\x00\x00" "\x01\x00\x00\x00"             // bucket 0 starts at entry 1 ("a")
      "\x00\x00\x00\x00" "\xff\xff\xff\xff"     // "bb" ends the chain
      "\x01\x00\x00\x00" "\x02\x00\x00\x00"     // "a" -> "c"
      "\x02\x00\x00\x00" "\x00\x00\x00\x00",    // "c" -> "bb"
      37);
  // clang-format on
  EXPECT_EQ(Written(hash), expected);
  EXPECT_EQ(Written(empty), std::string("\x00\x00\x0c\x00\x00\x00\x00", 7));
  // An empty image gives an empty table that grows.
  ASSERT_TRUE(ReadFrom(hash, std::string("\x00\x00\x05\x00\x00\x00\x00", 7)));
  EXPECT_EQ(hash.Count() + hash.BucketsUsed(), 0);
  EXPECT_EQ(hash.Bits(), 5);
  EXPECT_EQ(hash.AddEntry("new", -1), 0);
  EXPECT_EQ(hash.FindEntry(-1, "NEW", -1), 0);
}

// A stream that fails every transfer with a reason of its own.
class BrokenStream : public Stream {
 public:
  int32_t Read(void*, int32_t) override { return SetErrorText("Device not ready"), -1; }
  int32_t Write(const void*, int32_t) override { return SetErrorText("Disk full"), -1; }
  bool Seek(int64_t) override { return true; }
  int64_t Position() const override { return 0; }
};

TEST(HashImage, ReadAtAndWriteAtUseTheOffsetAndPassStreamErrors) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 8, 64), copy(&dictionary, 1, 1);
  AddNames(hash, 20);
  const std::string plain = Written(hash);
  MemoryStream stream(std::string_view("HEADER")), other(std::string_view("HEADER" + plain));
  ASSERT_TRUE(hash.WriteAt(stream, 6));
  EXPECT_EQ(S(stream.Contents()), "HEADER" + plain);
  ASSERT_TRUE(hash.WriteAt(stream, 3));  // overwrites from the offset on
  EXPECT_EQ(S(stream.Contents()), "HEA" + plain + plain.substr(plain.size() - 3));
  ASSERT_TRUE(copy.ReadAt(other, 6));
  EXPECT_EQ(Written(copy), plain);
  EXPECT_FALSE(copy.ReadAt(other, other.Size() + 1));
  EXPECT_EQ(S(copy.ErrorText()), kEnd);
  EXPECT_EQ(Written(copy), plain);
  MemoryStream small(std::string_view("abc"));
  EXPECT_FALSE(hash.WriteAt(small, 10));
  EXPECT_EQ(S(hash.ErrorText()), kEnd);
  // The stream's own reason is the one given.
  BrokenStream broken;
  EXPECT_FALSE(copy.Write(broken));
  EXPECT_EQ(S(copy.ErrorText()), "Disk full");
  EXPECT_FALSE(copy.Read(broken));
  EXPECT_EQ(S(copy.ErrorText()), "Device not ready");
  EXPECT_EQ(Written(copy), plain);
}

// A table that failed reads must be left exactly as it was.
class HashImageFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    VariableHash source(&dictionary_, 2, 8);
    AddNames(source, 20);
    good_ = Written(source);
    target_.SetVariable("keep", -1, "kept", -1);
    target_.SetVariable("keep_too", -1, "kept", -1);
    before_ = Written(target_);
  }
  void ExpectFailure(const std::string& bytes, const char* error) {
    EXPECT_FALSE(ReadFrom(target_, bytes));
    EXPECT_EQ(S(target_.ErrorText()), error);
    EXPECT_EQ(Written(target_), before_);
    Variable* v = nullptr;
    target_.Find(&v, "keep", -1, false); EXPECT_EQ(V(v), "kept");
  }

  Dictionary dictionary_;
  std::string good_, before_;
  VariableHash target_{&dictionary_, 8, 64};
};

TEST_F(HashImageFailure, TruncatedAtEveryLength) {
  for (size_t length = 0; length < good_.size(); ++length) {
    SCOPED_TRACE(length);
    ExpectFailure(good_.substr(0, length), kEnd);
  }
}

TEST_F(HashImageFailure, DamagedStructureIsRefused) {
  const Image good = Image::Decode(good_);
  ASSERT_GE(good.buckets.size(), 2u);
  auto next_of = [&good](int32_t e) { return good.entries[static_cast<size_t>(e)].second; };
  auto last_of = [&](size_t bucket) {
    int32_t e = good.buckets[bucket].second;
    while (next_of(e) >= 0) e = next_of(e);
    return static_cast<size_t>(e);
  };
  // A chain of at least two entries, and some other chain.
  size_t long_chain = good.buckets.size();
  for (size_t i = 0; i < good.buckets.size(); ++i) {
    if (next_of(good.buckets[i].second) >= 0) long_chain = i;
  }
  ASSERT_LT(long_chain, good.buckets.size());
  const size_t other_chain = long_chain == 0 ? 1 : 0;
  const int32_t head = good.buckets[long_chain].second, second = next_of(head);
  const size_t last = last_of(long_chain), other_last = last_of(other_chain);
  const int32_t names = dictionary_.Count();

  const std::vector<std::pair<const char*, std::function<void(Image&)>>> cases = {
      {"bits 17", [](Image& i) { i.bits = 17; }},
      {"bits 255", [](Image& i) { i.bits = 255; }},
      {"negative count", [](Image& i) { i.count = -1, i.entries.clear(); }},
      {"bucket number too large", [](Image& i) { i.buckets[0].first = uint16_t(1 << i.bits); }},
      {"bucket number 65535", [](Image& i) { i.buckets[0].first = 0xFFFF; }},
      {"first entry past the count", [](Image& i) { i.buckets[0].second = i.count; }},
      {"first entry -2", [](Image& i) { i.buckets[1].second = -2; }},
      {"name not in the dictionary", [=](Image& i) { i.entries[3].first = names; }},
      {"negative name", [](Image& i) { i.entries[0].first = -1; }},
      {"next past the count", [=](Image& i) { i.entries[last].second = i.count; }},
      {"next -2", [=](Image& i) { i.entries[last].second = -2; }},
      {"chain loops back to its head", [=](Image& i) { i.entries[last].second = head; }},
      {"entry points at itself", [=](Image& i) { i.entries[size_t(head)].second = head; }},
      {"two chains share a tail", [=](Image& i) { i.entries[other_last].second = second; }},
      {"two buckets start at one entry", [=](Image& i) { i.buckets[other_chain].second = head; }},
      // The rest would not crash or hang, but lookups would quietly miss.
      {"one bucket listed twice",
       [=](Image& i) { i.buckets.push_back(i.buckets[long_chain]), ++i.used; }},
      {"entry on no chain", [=](Image& i) { i.entries[size_t(head)].second = -1; }},
      {"chain out of order (its first two swapped)",
       [=](Image& i) {
         i.entries[size_t(head)].second = i.entries[size_t(second)].second;
         i.entries[size_t(second)].second = head, i.buckets[long_chain].second = second;
       }},
      {"entry filed in the wrong bucket",
       [=](Image& i) { std::swap(i.buckets[long_chain].first, i.buckets[other_chain].first); }},
  };
  for (const auto& [what, damage] : cases) {
    SCOPED_TRACE(what);
    Image damaged = good; damage(damaged);
    ExpectFailure(damaged.Encode(), kCorrupt);
  }
  EXPECT_TRUE(ReadFrom(target_, good_));  // the undamaged image still reads
}

// 268 million entries (about 2 GB of records) with 16 bytes behind them;
// then the largest count there is; then 65535 buckets.
TEST_F(HashImageFailure, HugeClaimedCountDoesNotAllocateIt) {
  LUMO_REQUIRE_ALLOCATION_WATCH();
  LargestAllocation watch;
  Image huge; huge.bits = 4;
  for (auto [used, count] : {std::pair{0, 0x0FFFFFF0}, {0, 0x7FFFFFFF}, {0xFFFF, 1}}) {
    huge.used = static_cast<uint16_t>(used); huge.count = count;
    ExpectFailure(huge.Encode() + std::string(16, '\0'), kEnd);
  }
  EXPECT_LT(watch.Largest(), size_t{64} << 20);
}

}  // namespace
}  // namespace lumo
