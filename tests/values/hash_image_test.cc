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
#include "tests/values/held.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header does not ship with every compiler).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

namespace lumo {
namespace {

constexpr char kCorrupt[] = "File is either corrupt or not a valid compiled Lumo Script file";
constexpr char kEnd[] = "Unexpected end of file";

// The image layout, decoded and encoded here independently of the code
// under test.
struct Image {
  uint16_t used = 0;
  uint8_t bits = 0;
  int32_t count = 0;
  std::vector<std::pair<uint16_t, int32_t>> buckets;  // bucket, first entry
  std::vector<std::pair<int32_t, int32_t>> entries;   // name, next entry

  static void Put(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  static uint32_t Get(const std::string& in, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
      v |= uint32_t{static_cast<unsigned char>(in[at + static_cast<size_t>(i)])} << (8 * i);
    }
    return v;
  }
  std::string Encode() const {
    std::string out;
    Put(out, used, 2);
    Put(out, bits, 1);
    Put(out, static_cast<uint32_t>(count), 4);
    for (auto [bucket, first] : buckets) {
      Put(out, bucket, 2);
      Put(out, static_cast<uint32_t>(first), 4);
    }
    for (auto [name, next] : entries) {
      Put(out, static_cast<uint32_t>(name), 4);
      Put(out, static_cast<uint32_t>(next), 4);
    }
    return out;
  }
  static Image Decode(const std::string& in) {
    Image image;
    image.used = static_cast<uint16_t>(Get(in, 0, 2));
    image.bits = static_cast<uint8_t>(Get(in, 2, 1));
    image.count = static_cast<int32_t>(Get(in, 3, 4));
    size_t at = 7;
    for (int i = 0; i < image.used; ++i, at += 6) {
      image.buckets.emplace_back(static_cast<uint16_t>(Get(in, at, 2)),
                                 static_cast<int32_t>(Get(in, at + 2, 4)));
    }
    for (int i = 0; i < image.count; ++i, at += 8) {
      image.entries.emplace_back(static_cast<int32_t>(Get(in, at, 4)),
                                 static_cast<int32_t>(Get(in, at + 4, 4)));
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

void AddNames(VariableHash& hash, int n) {
  for (int i = 0; i < n; ++i) {
    // Lengths vary so chains mix short and long names; some differ from an
    // earlier name only in case.
    static const char* const kStems[] = {"Var", "x", "long_name_"};
    std::string name = kStems[i % 3] + std::to_string(i * 37 % 1000);
    hash.AddEntry(name.c_str(), -1);
  }
  hash.AddEntry("VAR0", -1);
  hash.AddEntry("var0", -1);
}

void ExpectSameTable(VariableHash& a, VariableHash& b) {
  ASSERT_EQ(a.Bits(), b.Bits());
  ASSERT_EQ(a.Count(), b.Count());
  EXPECT_EQ(a.BucketsUsed(), b.BucketsUsed());
  for (int32_t bucket = 0; bucket < (int32_t{1} << a.Bits()); ++bucket) {
    ASSERT_EQ(a.BucketHead(bucket), b.BucketHead(bucket)) << bucket;
  }
  for (int32_t e = 0; e < a.Count(); ++e) {
    ASSERT_EQ(a.EntryNameNumber(e), b.EntryNameNumber(e)) << e;
    ASSERT_EQ(a.ChainNext(e), b.ChainNext(e)) << e;
  }
}

TEST(HashImage, RoundTripKeepsEntryNumbersAndChains) {
  for (int bits : {12, 8}) {
    SCOPED_TRACE(bits);
    Dictionary dictionary;
    VariableHash original(&dictionary, bits, 512);
    AddNames(original, 700);
    original.SetVariable("var0", -1, "value", -1);
    const std::string bytes = Written(original);

    VariableHash copy(&dictionary, 4, 1);
    copy.SetVariable("dropped", -1, "released by Read", -1);
    ASSERT_TRUE(ReadFrom(copy, bytes));
    ExpectSameTable(original, copy);
    EXPECT_EQ(copy.Capacity(), copy.Count());
    for (int32_t e = 0; e < copy.Count(); ++e) {
      ASSERT_EQ(copy.EntryTagOf(e), 0);
      ASSERT_EQ(copy.Index(e, false), nullptr);
      std::string_view name = copy.EntryName(e);
      const int32_t found = copy.FindEntry(-1, name.data(), static_cast<int32_t>(name.size()));
      ASSERT_EQ(found, original.FindEntry(-1, name.data(), static_cast<int32_t>(name.size())));
    }
    EXPECT_EQ(Written(copy), bytes);

    // The table read back keeps working: a full table grows.
    const int32_t added = copy.AddEntry("after_read", -1);
    EXPECT_EQ(added, original.Count());
    EXPECT_EQ(copy.FindEntry(-1, "AFTER_READ", -1), added);
  }
}

TEST(HashImage, ExactBytesOfASmallTable) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 0, 4);  // one bucket: one sorted chain
  hash.AddEntry("bb", -1);               // entry 0, name 0
  hash.AddEntry("a", -1);                // entry 1, name 1
  hash.AddEntry("c", -1);                // entry 2, name 2
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

  VariableHash empty(&dictionary, 12, 512);
  EXPECT_EQ(Written(empty), std::string("\x00\x00\x0c\x00\x00\x00\x00", 7));
}

TEST(HashImage, UsedBucketsAreWrittenInBucketOrder) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 4, 64);
  AddNames(hash, 40);
  const Image image = Image::Decode(Written(hash));
  EXPECT_EQ(image.bits, 4);
  EXPECT_EQ(image.count, hash.Count());
  EXPECT_EQ(image.used, hash.BucketsUsed());
  ASSERT_EQ(image.buckets.size(), image.used);
  for (size_t i = 0; i < image.buckets.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(image.buckets[i - 1].first, image.buckets[i].first);
    }
    EXPECT_EQ(image.buckets[i].second, hash.BucketHead(image.buckets[i].first));
  }
  for (int32_t e = 0; e < hash.Count(); ++e) {
    EXPECT_EQ(image.entries[static_cast<size_t>(e)].first, hash.EntryNameNumber(e));
    EXPECT_EQ(image.entries[static_cast<size_t>(e)].second, hash.ChainNext(e));
  }
}

TEST(HashImage, ReadAtAndWriteAtUseTheOffset) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 8, 64);
  AddNames(hash, 20);
  const std::string plain = Written(hash);

  MemoryStream stream(std::string_view("HEADER"));
  ASSERT_TRUE(hash.WriteAt(stream, 6));
  EXPECT_EQ(S(stream.Contents()), "HEADER" + plain);
  ASSERT_TRUE(hash.WriteAt(stream, 3));  // overwrites from the offset on
  EXPECT_EQ(S(stream.Contents()).substr(0, 3), "HEA");

  MemoryStream other(std::string_view("HEADER" + plain));
  VariableHash copy(&dictionary, 1, 1);
  ASSERT_TRUE(copy.ReadAt(other, 6));
  ExpectSameTable(hash, copy);

  EXPECT_FALSE(copy.ReadAt(other, other.Size() + 1));
  EXPECT_EQ(S(copy.ErrorText()), kEnd);
  ExpectSameTable(hash, copy);
  MemoryStream small(std::string_view("abc"));
  EXPECT_FALSE(hash.WriteAt(small, 10));
  EXPECT_EQ(S(hash.ErrorText()), kEnd);
}

// A table that failed reads must leave exactly as it was.
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
  void ExpectUnchanged() {
    EXPECT_EQ(Written(target_), before_);
    Variable* v = nullptr;
    ASSERT_TRUE(target_.Find(&v, "keep", -1, false));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(S(v->Value()), "kept");
  }

  Dictionary dictionary_;
  std::string good_;
  VariableHash target_{&dictionary_, 8, 64};
  std::string before_;
};

TEST_F(HashImageFailure, TruncatedAtEveryLength) {
  for (size_t length = 0; length < good_.size(); ++length) {
    SCOPED_TRACE(length);
    EXPECT_FALSE(ReadFrom(target_, good_.substr(0, length)));
    EXPECT_EQ(S(target_.ErrorText()), kEnd);
    ExpectUnchanged();
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
  const int32_t head = good.buckets[long_chain].second;
  const int32_t second = next_of(head);
  const size_t last = last_of(long_chain);
  const size_t other_last = last_of(other_chain);
  const int32_t names = dictionary_.Count();

  const std::vector<std::pair<const char*, std::function<void(Image&)>>> cases = {
      {"bits 17", [](Image& i) { i.bits = 17; }},
      {"bits 255", [](Image& i) { i.bits = 255; }},
      {"negative count",
       [](Image& i) {
         i.count = -1;
         i.entries.clear();
       }},
      {"bucket number too large",
       [](Image& i) { i.buckets[0].first = static_cast<uint16_t>(1 << i.bits); }},
      {"bucket number 65535", [](Image& i) { i.buckets[0].first = 0xFFFF; }},
      {"first entry past the count", [](Image& i) { i.buckets[0].second = i.count; }},
      {"first entry -2", [](Image& i) { i.buckets[1].second = -2; }},
      {"name not in the dictionary", [names](Image& i) { i.entries[3].first = names; }},
      {"negative name", [](Image& i) { i.entries[0].first = -1; }},
      {"next past the count", [last](Image& i) { i.entries[last].second = i.count; }},
      {"next -2", [last](Image& i) { i.entries[last].second = -2; }},
      {"chain loops back to its head", [last, head](Image& i) { i.entries[last].second = head; }},
      {"entry points at itself",
       [head](Image& i) { i.entries[static_cast<size_t>(head)].second = head; }},
      {"two chains share a tail",
       [other_last, second](Image& i) { i.entries[other_last].second = second; }},
      {"two buckets start at one entry",
       [other_chain, head](Image& i) { i.buckets[other_chain].second = head; }},
      // The rest would not crash or hang, but lookups would quietly miss.
      {"one bucket listed twice",
       [long_chain](Image& i) {
         i.buckets.push_back(i.buckets[long_chain]);
         ++i.used;
       }},
      {"entry on no chain",
       [long_chain, second](Image& i) {
         i.entries[static_cast<size_t>(i.buckets[long_chain].second)].second = -1;
         (void)second;
       }},
      {"chain out of order",
       [long_chain, head, second](Image& i) {
         // Swap the first two entries of the chain.
         const int32_t after = i.entries[static_cast<size_t>(second)].second;
         i.buckets[long_chain].second = second;
         i.entries[static_cast<size_t>(second)].second = head;
         i.entries[static_cast<size_t>(head)].second = after;
       }},
      {"entry filed in the wrong bucket",
       [long_chain, other_chain](Image& i) {
         std::swap(i.buckets[long_chain].first, i.buckets[other_chain].first);
       }},
  };
  for (const auto& [what, damage] : cases) {
    SCOPED_TRACE(what);
    Image damaged = good;
    damage(damaged);
    EXPECT_FALSE(ReadFrom(target_, damaged.Encode()));
    EXPECT_EQ(S(target_.ErrorText()), kCorrupt);
    ExpectUnchanged();
  }
  // The undamaged image still reads.
  EXPECT_TRUE(ReadFrom(target_, good_));
}

#if defined(__SANITIZE_ADDRESS__)
size_t g_largest_allocation = 0;
bool g_watching = false;
void WatchMalloc(const volatile void*, size_t size) {
  if (g_watching && size > g_largest_allocation) g_largest_allocation = size;
}
void IgnoreFree(const volatile void*) {}
#endif

TEST_F(HashImageFailure, HugeClaimedCountDoesNotAllocateIt) {
#if defined(__SANITIZE_ADDRESS__)
  static const bool installed =
      __sanitizer_install_malloc_and_free_hooks(WatchMalloc, IgnoreFree) != 0;
  (void)installed;
  g_largest_allocation = 0;
  g_watching = true;
#endif
  // 268 million entries (about 2 GB of records) with 16 bytes behind them;
  // then the largest count there is; then 65535 buckets.
  Image huge;
  huge.bits = 4;
  huge.count = 0x0FFFFFF0;
  std::string bytes = huge.Encode() + std::string(16, '\0');
  EXPECT_FALSE(ReadFrom(target_, bytes));
  EXPECT_EQ(S(target_.ErrorText()), kEnd);
  huge.count = 0x7FFFFFFF;
  EXPECT_FALSE(ReadFrom(target_, huge.Encode() + std::string(16, '\0')));
  EXPECT_EQ(S(target_.ErrorText()), kEnd);
  huge.count = 1;
  huge.used = 0xFFFF;
  EXPECT_FALSE(ReadFrom(target_, huge.Encode() + std::string(12, '\0')));
  EXPECT_EQ(S(target_.ErrorText()), kEnd);
#if defined(__SANITIZE_ADDRESS__)
  g_watching = false;
  EXPECT_LT(g_largest_allocation, size_t{64} << 20);
#endif
  ExpectUnchanged();
}

TEST(HashImage, EmptyImageGivesAnEmptyTableThatGrows) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 8, 64);
  hash.SetVariable("gone", -1, "x", -1);
  ASSERT_TRUE(ReadFrom(hash, std::string("\x00\x00\x05\x00\x00\x00\x00", 7)));
  EXPECT_EQ(hash.Count(), 0);
  EXPECT_EQ(hash.Bits(), 5);
  EXPECT_EQ(hash.BucketsUsed(), 0);
  EXPECT_EQ(hash.FindEntry(-1, "gone", -1), -1);
  EXPECT_EQ(hash.AddEntry("new", -1), 0);
  EXPECT_EQ(hash.FindEntry(-1, "NEW", -1), 0);
}

// A stream that fails every transfer with a reason of its own.
class BrokenStream : public Stream {
 public:
  int32_t Read(void*, int32_t) override {
    SetErrorText("Device not ready");
    return -1;
  }
  int32_t Write(const void*, int32_t) override {
    SetErrorText("Disk full");
    return -1;
  }
  bool Seek(int64_t) override { return true; }
  int64_t Position() const override { return 0; }
};

TEST(HashImage, StreamFailuresPassTheStreamsText) {
  Dictionary dictionary;
  VariableHash hash(&dictionary, 8, 64);
  hash.SetVariable("a", -1, "1", -1);
  BrokenStream broken;
  EXPECT_FALSE(hash.Write(broken));
  EXPECT_EQ(S(hash.ErrorText()), "Disk full");
  EXPECT_FALSE(hash.Read(broken));
  EXPECT_EQ(S(hash.ErrorText()), "Device not ready");
  EXPECT_EQ(hash.Count(), 1);
}

}  // namespace
}  // namespace lumo
