// Open modes and the path operations scripts use: copy, rename, delete,
// touch, attributes, directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "files/posix_file_manager.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_.SetDataDirectory(box_.Path("data")) && m_.SetTemporaryDirectory(box_.Path("tmp")));
  }

  Scratch box_{"data", "tmp", "data/sub"};
  PosixFileManager m_;
};

TEST_F(Operations, OpenModesAndOnlyRegularFiles) {
  constexpr uint32_t W = kOpenWrite, R = kOpenRead;
  const struct {
    const char* before;  // null: missing
    uint32_t mode;
    const char* after;   // content after writing "XY", or "!" and the open's error
  } cases[] = {
      {nullptr, R, "!No such file or directory"}, {nullptr, W, "!No such file or directory"},
      {"abc", W, "XYc"}, {"abc", R, "abc"},  // the write fails
      {nullptr, W | kOpenAlways, "XY"}, {"abc", W | kOpenAlways, "XYc"},
      {nullptr, W | kOpenTruncate, "XY"}, {"abcdef", W | kOpenTruncate, "XY"},
      {nullptr, W | kOpenAppend, "XY"}, {"abc", W | kOpenAppend, "abcXY"},
      {nullptr, W | kOpenCreateNew, "XY"}, {"abc", W | kOpenCreateNew, "!File exists"},
      // Several creation bits: create-new, then truncate, then the others.
      {"abc", W | kOpenCreateNew | kOpenTruncate | kOpenAppend, "!File exists"},
      {"abc", W | kOpenTruncate | kOpenAppend, "XY"}, {"abc", R | W | kOpenAppend | kOpenAlways, "abcXY"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "m" + std::to_string(n++);
    SCOPED_TRACE(name + " mode " + std::to_string(c.mode));
    if (c.before) box_.Put("data/" + name, c.before);
    auto file = m_.Open(kDataLocation, name, c.mode);
    if (c.after[0] == '!') {
      EXPECT_EQ(file, nullptr);
      EXPECT_EQ(S(m_.ErrorText()), c.after + 1);
    } else {
      ASSERT_NE(file, nullptr) << S(m_.ErrorText());
      EXPECT_EQ(WriteText(*file, "XY"), (c.mode & W) != 0);
      file.reset();
    }
    EXPECT_EQ(box_.Get("data/" + name), c.after[0] == '!' ? (c.before ? c.before : "<missing>") : c.after);
  }

  // Only regular files open: a directory is refused, and so is a FIFO,
  // which must not leave the run waiting for a writer.
  EXPECT_EQ(m_.Open(kDataLocation, "sub", kOpenRead), nullptr);
  ASSERT_EQ(mkfifo(box_.Path("data/fifo").c_str(), 0600), 0);
  auto opening = std::async(std::launch::async, [this] {
    PosixFileManager other;
    return other.SetDataDirectory(box_.Path("data")) && other.Open(kDataLocation, "fifo", kOpenRead) != nullptr;
  });
  if (opening.wait_for(30s) != std::future_status::ready) {
    ADD_FAILURE() << "opening a FIFO waited for a writer";
    int fd = open(box_.Path("data/fifo").c_str(), O_WRONLY | O_NONBLOCK);  // be the writer
    if (fd >= 0) close(fd);
  }
  EXPECT_FALSE(opening.get());
}

TEST_F(Operations, CopyRenameAndDelete) {
  box_.Put("data/a.txt", "alpha");
  box_.Put("data/b.txt", "beta");
  EXPECT_TRUE(m_.Copy(kDataLocation, "a.txt", kTemporaryLocation, "a-copy.txt")) << S(m_.ErrorText());
  EXPECT_EQ(box_.Get("tmp/a-copy.txt"), "alpha");
  // Never onto the source itself, however it is named: that would empty it.
  ASSERT_EQ(symlink("a.txt", box_.Path("data/alias").c_str()), 0);
  for (const char* same : {"a.txt", "sub/../a.txt", "alias"}) {
    EXPECT_FALSE(m_.Copy(kDataLocation, "a.txt", kDataLocation, same)) << same;
  }
  EXPECT_EQ(box_.Get("data/a.txt"), "alpha");
  EXPECT_FALSE(m_.Copy(kDataLocation, "missing", kDataLocation, "c.txt"));
  EXPECT_FALSE(box_.Has("data/c.txt"));

  // Rename never replaces a file that is there.
  EXPECT_FALSE(m_.Rename(kDataLocation, "a.txt", kDataLocation, "b.txt"));
  EXPECT_EQ(box_.Get("data/a.txt") + " " + box_.Get("data/b.txt"), "alpha beta");
  EXPECT_TRUE(m_.Rename(kDataLocation, "a.txt", kTemporaryLocation, "moved.txt")) << S(m_.ErrorText());
  EXPECT_EQ(box_.Get("tmp/moved.txt") + " " + box_.Get("data/a.txt"), "alpha <missing>");
  EXPECT_TRUE(m_.Rename(kDataLocation, "sub", kDataLocation, "sub2"));
  EXPECT_TRUE(box_.Has("data/sub2"));

  EXPECT_TRUE(m_.Delete(kTemporaryLocation, "moved.txt"));
  EXPECT_FALSE(box_.Has("tmp/moved.txt"));
  EXPECT_FALSE(m_.Delete(kDataLocation, "sub2"));  // directories go with RemoveDirectory
  EXPECT_TRUE(box_.Has("data/sub2"));
}

TEST_F(Operations, TouchExistsSizeTimeAndMode) {
  EXPECT_TRUE(m_.Touch(kDataLocation, "t.txt")) << S(m_.ErrorText());
  EXPECT_EQ(box_.Get("data/t.txt"), "");
  box_.Put("data/t.txt", "content");
  struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimes(box_.Path("data/t.txt").c_str(), old_times), 0);
  int64_t seconds = 0, size = -1;
  EXPECT_TRUE(m_.Time(kDataLocation, "t.txt", &seconds));
  EXPECT_EQ(seconds, 1000000000);
  // Touching an existing file renews its time and never truncates it.
  EXPECT_TRUE(m_.Touch(kDataLocation, "t.txt") && m_.Time(kDataLocation, "t.txt", &seconds));
  EXPECT_GT(seconds, 1000000000);
  EXPECT_EQ(box_.Get("data/t.txt"), "content");
  EXPECT_TRUE(m_.Exists(kDataLocation, "t.txt") && m_.Size(kDataLocation, "t.txt", &size));
  EXPECT_EQ(size, 7);
  EXPECT_FALSE(m_.Exists(kDataLocation, "none") || m_.Size(kDataLocation, "none", &size) ||
               m_.Time(kDataLocation, "none", &seconds) || m_.Touch(kDataLocation, "nodir/t.txt"));

  // Modes: permission bits only, never set-id or sticky bits.
  uint32_t mode = 0;
  for (uint32_t good : {0640u, 0u, 0777u}) {
    EXPECT_TRUE(m_.ChangeMode(kDataLocation, "t.txt", good) && m_.Mode(kDataLocation, "t.txt", &mode));
    EXPECT_EQ(mode, good);
  }
  for (uint32_t bad : {04755u, 02755u, 01777u, 0x10000u}) {
    EXPECT_FALSE(m_.ChangeMode(kDataLocation, "t.txt", bad)) << bad;
  }
  EXPECT_TRUE(m_.Mode(kDataLocation, "t.txt", &mode));
  EXPECT_EQ(mode, 0777u);
}

TEST_F(Operations, DirectoriesAndListings) {
  EXPECT_TRUE(m_.MakeDirectory(kDataLocation, "d")) << S(m_.ErrorText());
  EXPECT_TRUE(m_.IsDirectory(kDataLocation, "d"));
  for (const char* name : {"d/b.txt", "d/a.txt", "d/c", "d/.hidden"}) box_.Put(std::string("data/") + name, "");
  EXPECT_TRUE(m_.MakeDirectory(kDataLocation, "d\\sub"));
  EXPECT_FALSE(m_.IsDirectory(kDataLocation, "d/a.txt") || m_.IsDirectory(kDataLocation, "d/none"));

  // Sorted, without "." and "..", directories marked.
  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(m_.ListDirectory(kDataLocation, "d", &entries)) << S(m_.ErrorText());
  std::string listing;
  for (const DirectoryEntry& e : entries) listing += S(e.name) + (e.is_directory ? "/ " : " ");
  EXPECT_EQ(listing, ".hidden a.txt b.txt c sub/ ");

  EXPECT_FALSE(m_.RemoveDirectory(kDataLocation, "d"));
  EXPECT_EQ(S(m_.ErrorText()), "Directory not empty");
  EXPECT_TRUE(m_.RemoveDirectory(kDataLocation, "d/sub"));
  EXPECT_FALSE(box_.Has("data/d/sub"));
}

}  // namespace
}  // namespace lumo
