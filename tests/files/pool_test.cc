// The handle pool (least recently used files are closed and reopened at
// their position when next used) and temporary files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "files/posix_file_manager.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

// "active+inactive" and, per file, 'o' when its descriptor is open and '-'
// when the pool has closed it.
std::string State(const FileManager& m, std::initializer_list<const File*> files) {
  std::string out = std::to_string(m.ActiveCount()) + "+" + std::to_string(m.InactiveCount()) + " ";
  for (const File* f : files) out += static_cast<const PosixFile*>(f)->IsOpen() ? 'o' : '-';
  return out;
}

class Pool : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.Put("data/a", "a0a1a2a3a4");
    box_.Put("data/b", "b0b1b2b3b4");
    box_.Put("data/c", "c0c1c2c3c4");
    ASSERT_TRUE(m_.SetDataDirectory(box_.Path("data")) && m_.SetTemporaryDirectory(box_.Path("tmp")));
  }
  std::unique_ptr<File> Open(const char* name, uint32_t mode = kOpenRead) {
    auto file = m_.Open(kDataLocation, name, mode);
    EXPECT_NE(file, nullptr) << name << ": " << S(m_.ErrorText());
    return file;
  }

  Scratch box_{"data", "tmp", "tmp/up"};
  PosixFileManager m_;
};

TEST_F(Pool, LeastRecentlyUsedFileIsClosedAndReopenedAtItsPosition) {
  m_.SetHandleLimit(2);
  auto a = Open("a"), b = Open("b");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(ReadSome(*b, 4), "b0b1");
  EXPECT_EQ(ReadSome(*a, 2), "a0");  // using an open file makes it the most recent
  auto c = Open("c");
  ASSERT_TRUE(c);
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "2+1 o-o");
  EXPECT_EQ(ReadSome(*b, 2), "b2");
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "2+1 -oo");
  EXPECT_EQ(a->Tell(), 2);
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "2+1 oo-");
  EXPECT_EQ(ReadSome(*c, 2), "c0");
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "2+1 o-o");

  // More at once than the limit allows is refused outright; a request that
  // fits closes as many files as it needs.
  EXPECT_FALSE(m_.RequestHandles(3));
  EXPECT_EQ(S(m_.ErrorText()),
            "Simultaneous request for 3 file handles exceeds the maximum number of simultaneous file handles.");
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "2+1 o-o");
  EXPECT_TRUE(m_.RequestHandles(2));
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "0+3 ---");
  EXPECT_EQ(ReadSome(*b, 2), "b3");
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "1+2 -o-");

  // Destroyed files leave the pool, from either list.
  a.reset();
  b.reset();
  EXPECT_EQ(State(m_, {c.get()}), "0+1 -");
  c.reset();

  // Without a limit nothing is ever closed.
  m_.SetHandleLimit(0);
  EXPECT_TRUE(m_.RequestHandles(1000));
  auto d = Open("a"), e = Open("b"), f = Open("c");
  EXPECT_EQ(State(m_, {d.get(), e.get(), f.get()}), "3+0 ooo");
}

// Reopening uses the flags of the first open without the creating ones: a
// truncated file must not be emptied again, a new one not refused as
// existing, an appending one keeps appending.
TEST_F(Pool, ReopenedFilesKeepTheirContentAndMode) {
  m_.SetHandleLimit(1);
  auto truncated = Open("t", kOpenRead | kOpenWrite | kOpenTruncate);
  auto created = Open("n", kOpenWrite | kOpenCreateNew);
  String name;
  auto temporary = m_.MakeTemporary(kTemporaryLocation, "up", "w", kOpenRead | kOpenWrite, &name);
  auto appending = Open("a", kOpenWrite | kOpenAppend);
  ASSERT_TRUE(truncated && created && temporary && appending);
  for (int round = 0; round < 2; ++round) {
    for (File* file : {truncated.get(), created.get(), temporary.get(), appending.get()}) {
      EXPECT_TRUE(WriteText(*file, round ? "-2" : "+1")) << S(file->ErrorText());
    }
    EXPECT_EQ(State(m_, {truncated.get(), created.get(), temporary.get(), appending.get()}), "1+3 ---o");
  }
  EXPECT_TRUE(truncated->Seek(0, SEEK_SET));
  EXPECT_EQ(ReadSome(*truncated, 10), "+1-2");
  EXPECT_EQ(box_.Get("data/n") + " " + box_.Get("tmp/" + S(name)) + " " + box_.Get("data/a"),
            "+1-2 +1-2 a0a1a2a3a4+1-2");
}

// Closing a file that holds locks would drop them, so the pool passes it
// over, and goes over the limit when every open file holds locks. Files
// opened outside the pool are neither counted nor closed.
TEST_F(Pool, LockedAndUnpooledFilesStayOpen) {
  m_.SetHandleLimit(2);
  auto loose = Open("a", kOpenRead | kOpenUnpooled);
  String name;
  auto loose_temporary = m_.MakeTemporary(kDataLocation, "x", kOpenWrite | kOpenUnpooled, &name);
  auto a = Open("a"), b = Open("b", kOpenRead | kOpenWrite);
  ASSERT_TRUE(loose && loose_temporary && a && b);
  ASSERT_TRUE(a->Lock(0, 1, false, false));
  auto c = Open("c", kOpenRead | kOpenWrite);
  ASSERT_TRUE(c);
  EXPECT_EQ(State(m_, {loose.get(), loose_temporary.get(), a.get(), b.get(), c.get()}), "2+1 ooo-o");
  ASSERT_TRUE(c->Lock(0, 1, true, false));
  auto d = Open("a");
  ASSERT_TRUE(d);
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get(), d.get()}), "3+1 o-oo");
  // Once released, the files can be closed again.
  EXPECT_TRUE(a->Release(0, 1) && c->Release(0, 1));
  EXPECT_EQ(ReadSome(*b, 2), "b0");
  EXPECT_EQ(State(m_, {loose.get(), loose_temporary.get(), b.get()}), "2+2 ooo");
  EXPECT_FALSE(m_.Activate(loose.get()));
  EXPECT_EQ(S(m_.ErrorText()), "Activation request for invalid or non-active file");
}

TEST_F(Pool, TemporaryFilesTakeTheFirstFreeHexadecimalSuffix) {
  const struct {
    FileLocation location;
    const char* directory;  // null: the path-prefix form
    const char* prefix;
    const char* name;
  } cases[] = {
      {kTemporaryLocation, "up", "pre", "up/pre.0"},     {kTemporaryLocation, "up/", "pre", "up/pre.1"},
      {kTemporaryLocation, nullptr, "up/pre", "up/pre.2"}, {kTemporaryLocation, ".", "pre", "pre.0"},
      {kDataLocation, "", "x", "x.1"},  // x.0 is there already
      {kDataLocation, nullptr, "h", "h.a"},  // h.0 to h.9 are
  };
  box_.Put("data/x.0", "taken");
  for (int i = 0; i < 10; ++i) box_.Put("data/h." + std::to_string(i), "taken");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.directory ? c.directory : "<prefix>") + " " + c.prefix);
    String name("untouched");
    auto file = c.directory ? m_.MakeTemporary(c.location, c.directory, c.prefix, kOpenWrite, &name)
                            : m_.MakeTemporary(c.location, c.prefix, kOpenWrite, &name);
    ASSERT_NE(file, nullptr) << S(m_.ErrorText());
    EXPECT_EQ(S(name), c.name);
    EXPECT_TRUE(WriteText(*file, c.name) && file->Flush());
    EXPECT_EQ(box_.Get((c.location == kDataLocation ? "data/" : "tmp/") + S(name)), c.name);
  }
  EXPECT_EQ(box_.Get("data/x.0"), "taken");

  String name("untouched");
  for (const char* prefix : {"a/b", "a\\b", "/"}) {
    EXPECT_EQ(m_.MakeTemporary(kDataLocation, "", prefix, kOpenWrite, &name), nullptr) << prefix;
    EXPECT_EQ(S(m_.ErrorText()), "Invalid temporary filename prefix");
  }
  // A missing directory ends the search at once. The run is stopped only
  // so that a search that goes on anyway ends too, with another message.
  std::atomic<int32_t> stopped{1};
  PosixFileManager bounded(&stopped);
  ASSERT_TRUE(bounded.SetTemporaryDirectory(box_.Path("tmp")));
  EXPECT_EQ(bounded.MakeTemporary(kTemporaryLocation, "missing/p", kOpenWrite, &name), nullptr);
  EXPECT_EQ(S(bounded.ErrorText()), "No such file or directory");
}

// Whatever the prefix, the file lies inside the location and the name
// handed back leads to it (refusing is fine too). A suffix put on the
// base's own name would make a file beside the base.
TEST_F(Pool, TemporaryFilesNeverLandBesideTheirDirectory) {
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, ""}, {nullptr, "."}, {nullptr, "up/.."}, {nullptr, "up/"}, {nullptr, "up/."}, {"", ""}, {"up", ""}};
  for (const auto& [directory, prefix] : cases) {
    SCOPED_TRACE(std::string(directory ? directory : "<prefix>") + " \"" + prefix + "\"");
    String name, again;
    auto file = directory ? m_.MakeTemporary(kTemporaryLocation, directory, prefix, kOpenWrite, &name)
                          : m_.MakeTemporary(kTemporaryLocation, prefix, kOpenWrite, &name);
    if (file == nullptr) continue;
    EXPECT_TRUE(file->Path().View().starts_with(box_.Path("tmp/"))) << S(file->Path());
    EXPECT_TRUE(m_.Resolve(kTemporaryLocation, name, &again));
    EXPECT_EQ(S(again), S(file->Path())) << S(name);
  }
  EXPECT_FALSE(box_.Has("tmp.0"));
}

}  // namespace
}  // namespace lumo
