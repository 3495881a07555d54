// The handle pool (least recently used files are closed and reopened at
// their position when next used) and temporary files.
#include <gtest/gtest.h>

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
  for (const File* f : files) {
    const auto* posix = dynamic_cast<const PosixFile*>(f);
    out += posix == nullptr ? '?' : posix->IsOpen() ? 'o' : '-';
  }
  return out;
}

class Pool : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.Dir("data");
    box_.Dir("tmp");
    box_.Dir("tmp/up");
    box_.Put("data/a", "a0a1a2a3a4");
    box_.Put("data/b", "b0b1b2b3b4");
    box_.Put("data/c", "c0c1c2c3c4");
    ASSERT_TRUE(m_.SetDataDirectory(box_.Path("data")));
    ASSERT_TRUE(m_.SetTemporaryDirectory(box_.Path("tmp")));
  }
  std::unique_ptr<File> Open(const char* name, uint32_t mode = kOpenRead) {
    auto file = m_.Open(kDataLocation, name, mode);
    EXPECT_NE(file, nullptr) << name << ": " << S(m_.ErrorText());
    return file;
  }

  Scratch box_;
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
  EXPECT_TRUE(a->Seek(-2, SEEK_END));
  EXPECT_EQ(ReadSome(*a, 10), "a4");
  EXPECT_EQ(a->Length(), 10);
  EXPECT_EQ(ReadSome(*b, 2), "b3");
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "2+1 oo-");

  // More at once than the limit allows is refused outright; a request that
  // fits closes as many files as it needs.
  EXPECT_FALSE(m_.RequestHandles(3));
  EXPECT_EQ(S(m_.ErrorText()),
            "Simultaneous request for 3 file handles exceeds the maximum number of simultaneous file handles.");
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "2+1 oo-");
  EXPECT_TRUE(m_.RequestHandles(2));
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "0+3 ---");
  EXPECT_EQ(ReadSome(*c, 2), "c1");
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "1+2 --o");

  // Destroyed files leave the pool, from either list.
  a.reset();
  EXPECT_EQ(State(m_, {b.get(), c.get()}), "1+1 -o");
  c.reset();
  EXPECT_EQ(ReadSome(*b, 2), "b4");
  EXPECT_EQ(State(m_, {b.get()}), "1+0 o");
  b.reset();
  EXPECT_EQ(State(m_, {}), "0+0 ");

  // Without a limit nothing is ever closed.
  m_.SetHandleLimit(0);
  EXPECT_TRUE(m_.RequestHandles(1000));
  auto d = Open("a"), e = Open("b"), f = Open("c"), g = Open("a");
  EXPECT_EQ(State(m_, {d.get(), e.get(), f.get(), g.get()}), "4+0 oooo");
}

// Reopening uses the flags of the first open without the creating ones: a
// truncated file must not be emptied again, a new one not refused as
// existing, an appending one keeps appending.
TEST_F(Pool, ReopenedFilesKeepTheirContentAndMode) {
  m_.SetHandleLimit(1);
  auto truncated = Open("t", kOpenRead | kOpenWrite | kOpenTruncate);
  ASSERT_TRUE(truncated);
  EXPECT_TRUE(WriteText(*truncated, "abc"));
  auto created = Open("n", kOpenWrite | kOpenCreateNew);
  ASSERT_TRUE(created);
  EXPECT_TRUE(WriteText(*created, "123"));
  String name;
  auto temporary = m_.MakeTemporary(kTemporaryLocation, "up", "w", kOpenRead | kOpenWrite, &name);
  ASSERT_NE(temporary, nullptr) << S(m_.ErrorText());
  EXPECT_TRUE(WriteText(*temporary, "xyz"));
  auto appending = Open("a", kOpenWrite | kOpenAppend);
  ASSERT_TRUE(appending);
  EXPECT_TRUE(WriteText(*appending, "+1"));
  EXPECT_EQ(State(m_, {truncated.get(), created.get(), temporary.get(), appending.get()}), "1+3 ---o");

  EXPECT_TRUE(WriteText(*truncated, "def")) << S(truncated->ErrorText());
  EXPECT_TRUE(WriteText(*created, "456")) << S(created->ErrorText());
  EXPECT_TRUE(WriteText(*temporary, "uvw")) << S(temporary->ErrorText());
  EXPECT_TRUE(WriteText(*appending, "+2")) << S(appending->ErrorText());
  EXPECT_EQ(State(m_, {truncated.get(), created.get(), temporary.get(), appending.get()}), "1+3 ---o");
  EXPECT_TRUE(truncated->Seek(0, SEEK_SET));
  EXPECT_EQ(ReadSome(*truncated, 10), "abcdef");
  EXPECT_EQ(box_.Get("data/n") + " " + box_.Get("tmp/" + S(name)) + " " + box_.Get("data/a"),
            "123456 xyzuvw a0a1a2a3a4+1+2");
}

// Closing a file that holds locks would drop them, so the pool passes it
// over, and goes over the limit when every open file holds locks.
TEST_F(Pool, FilesHoldingLocksStayOpen) {
  m_.SetHandleLimit(2);
  auto a = Open("a"), b = Open("b", kOpenRead | kOpenWrite);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->Lock(0, 1, false, false));
  auto c = Open("c", kOpenRead | kOpenWrite);
  ASSERT_TRUE(c);
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get()}), "2+1 o-o");
  ASSERT_TRUE(c->Lock(0, 1, true, false));
  auto d = Open("a");
  ASSERT_TRUE(d);
  EXPECT_EQ(State(m_, {a.get(), b.get(), c.get(), d.get()}), "3+1 o-oo");
  // Once released, the files can be closed again.
  EXPECT_TRUE(a->Release(0, 1));
  EXPECT_TRUE(c->Release(0, 1));
  EXPECT_FALSE(a->HoldsLocks() || c->HoldsLocks());
  EXPECT_EQ(ReadSome(*b, 2), "b0");
  EXPECT_EQ(m_.ActiveCount(), 2);
  EXPECT_EQ(m_.InactiveCount(), 2);
}

TEST_F(Pool, UnpooledFilesAreNotCounted) {
  m_.SetHandleLimit(1);
  auto loose = Open("a", kOpenRead | kOpenUnpooled);
  String name;
  auto loose_temporary = m_.MakeTemporary(kDataLocation, "x", kOpenWrite | kOpenUnpooled, &name);
  auto b = Open("b"), c = Open("c");
  ASSERT_TRUE(loose && loose_temporary && b && c);
  EXPECT_EQ(State(m_, {loose.get(), loose_temporary.get(), b.get(), c.get()}), "1+1 oo-o");
  EXPECT_EQ(ReadSome(*loose, 2), "a0");
  EXPECT_TRUE(WriteText(*loose_temporary, "t"));
  EXPECT_EQ(State(m_, {loose.get(), loose_temporary.get(), b.get(), c.get()}), "1+1 oo-o");
  loose_temporary.reset();
  EXPECT_EQ(State(m_, {loose.get(), b.get(), c.get()}), "1+1 o-o");
  EXPECT_FALSE(m_.Activate(loose.get()));
  EXPECT_EQ(S(m_.ErrorText()), "Activation request for invalid or non-active file");
}

TEST_F(Pool, TemporaryFilesTakeTheFirstFreeHexadecimalSuffix) {
  const struct {
    int location;
    const char* directory;  // null: the path-prefix form
    const char* prefix;
    const char* name;
    const char* on_disk;
  } cases[] = {
      {kTemporaryLocation, "up", "pre", "up/pre.0", "tmp/up/pre.0"},
      {kTemporaryLocation, "up", "pre", "up/pre.1", "tmp/up/pre.1"},
      {kTemporaryLocation, nullptr, "up/pre", "up/pre.2", "tmp/up/pre.2"},
      {kTemporaryLocation, nullptr, "up\\pre", "?", "tmp/up/pre.3"},
      {kTemporaryLocation, "up/", "pre", "up/pre.4", "tmp/up/pre.4"},
      {kTemporaryLocation, "", "pre", "pre.0", "tmp/pre.0"},
      {kTemporaryLocation, ".", "pre", "pre.1", "tmp/pre.1"},
      {kDataLocation, "", "x", "x.1", "data/x.1"},  // x.0 is there already
      {kDataLocation, nullptr, "h", "h.a", "data/h.a"},  // h.0 to h.9 are
      {kDataLocation, nullptr, "h", "h.b", "data/h.b"},
  };
  box_.Put("data/x.0", "taken");
  for (int i = 0; i < 10; ++i) box_.Put("data/h." + std::to_string(i), "taken");
  std::vector<std::unique_ptr<File>> files;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.directory ? c.directory : "<prefix>") + " " + c.prefix);
    String name("untouched");
    auto file = c.directory ? m_.MakeTemporary(c.location, c.directory, c.prefix, kOpenWrite, &name)
                            : m_.MakeTemporary(c.location, c.prefix, kOpenWrite, &name);
    ASSERT_NE(file, nullptr) << S(m_.ErrorText());
    if (c.name[0] != '?') {
      EXPECT_EQ(S(name), c.name);
    }
    EXPECT_TRUE(WriteText(*file, c.on_disk));
    EXPECT_TRUE(file->Flush());
    EXPECT_EQ(box_.Get(c.on_disk), c.on_disk);
    files.push_back(std::move(file));
  }
  EXPECT_EQ(m_.ActiveCount(), static_cast<int32_t>(std::size(cases)));
  EXPECT_EQ(box_.Get("data/x.0"), "taken");

  String name("untouched");
  for (const char* prefix : {"a/b", "a\\b", "/"}) {
    EXPECT_EQ(m_.MakeTemporary(kDataLocation, "", prefix, kOpenWrite, &name), nullptr) << prefix;
    EXPECT_EQ(S(m_.ErrorText()), "Invalid temporary filename prefix");
  }
  EXPECT_EQ(m_.MakeTemporary(kTemporaryLocation, "missing/p", kOpenWrite, &name), nullptr);
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");
  EXPECT_EQ(m_.MakeTemporary(kTemporaryLocation, "../data/p", kOpenWrite, &name), nullptr);
  EXPECT_EQ(S(m_.ErrorText()), "The specified path references a path outside the configured temporary directory");
  EXPECT_FALSE(box_.Has("data/p.0"));
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
