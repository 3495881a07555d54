// Open modes and the path operations scripts use: copy, rename, delete,
// touch, attributes, directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
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
    box_.Dir("data");
    box_.Dir("tmp");
    box_.Dir("data/sub");
    ASSERT_TRUE(m_.SetDataDirectory(box_.Path("data")));
    ASSERT_TRUE(m_.SetTemporaryDirectory(box_.Path("tmp")));
  }
  uint32_t Permissions(const char* relative) {
    struct stat st;
    return stat(box_.Path(relative).c_str(), &st) == 0 ? st.st_mode & 07777 : 0xDEAD;
  }

  Scratch box_;
  PosixFileManager m_;
};

TEST_F(Operations, OpenModesCreateTruncateAppendOrRefuse) {
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
      {"abc", W | kOpenTruncate | kOpenAppend, "XY"}, {"abc", W | kOpenTruncate | kOpenAlways, "XY"},
      {"abc", R | W | kOpenAppend | kOpenAlways, "abcXY"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "data/m" + std::to_string(n++);
    SCOPED_TRACE(name + " mode " + std::to_string(c.mode));
    if (c.before) box_.Put(name, c.before);
    auto file = m_.Open(kDataLocation, name.substr(5), c.mode);
    if (c.after[0] == '!') {
      EXPECT_EQ(file, nullptr);
      EXPECT_EQ(S(m_.ErrorText()), c.after + 1);
      EXPECT_EQ(box_.Get(name), c.before ? c.before : "<missing>");
      continue;
    }
    ASSERT_NE(file, nullptr) << S(m_.ErrorText());
    if (c.mode & kOpenAppend) {
      EXPECT_EQ(file->Tell(), file->Length());  // at the end of what the creation bits left
    }
    EXPECT_EQ(WriteText(*file, "XY"), (c.mode & W) != 0);
    file.reset();
    EXPECT_EQ(box_.Get(name), c.after);
  }
}

// Only regular files open: a directory is refused, and so is a FIFO, which
// must not leave the run waiting for a writer.
TEST_F(Operations, OnlyRegularFilesOpen) {
  EXPECT_EQ(m_.Open(kDataLocation, "sub", kOpenRead), nullptr);
  EXPECT_FALSE(m_.ErrorText().IsEmpty());
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
  EXPECT_TRUE(m_.Copy(kDataLocation, "a.txt", kDataLocation, "sub/a.txt"));
  EXPECT_EQ(box_.Get("tmp/a-copy.txt") + " " + box_.Get("data/sub/a.txt"), "alpha alpha");
  // Never onto the source itself, however it is named: that would empty it.
  ASSERT_EQ(symlink("a.txt", box_.Path("data/alias").c_str()), 0);
  for (const char* same : {"a.txt", "sub/../a.txt", "alias"}) {
    EXPECT_FALSE(m_.Copy(kDataLocation, "a.txt", kDataLocation, same)) << same;
  }
  EXPECT_EQ(box_.Get("data/a.txt"), "alpha");
  EXPECT_FALSE(m_.Copy(kDataLocation, "missing", kDataLocation, "c.txt"));
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");
  EXPECT_FALSE(box_.Has("data/c.txt"));

  // Rename never replaces a file that is there.
  EXPECT_FALSE(m_.Rename(kDataLocation, "a.txt", kDataLocation, "b.txt"));
  EXPECT_EQ(box_.Get("data/a.txt") + " " + box_.Get("data/b.txt"), "alpha beta");
  EXPECT_TRUE(m_.Rename(kDataLocation, "a.txt", kTemporaryLocation, "moved.txt")) << S(m_.ErrorText());
  EXPECT_EQ(box_.Get("tmp/moved.txt") + " " + box_.Get("data/a.txt"), "alpha <missing>");
  EXPECT_FALSE(m_.Rename(kDataLocation, "a.txt", kDataLocation, "c.txt"));
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");
  EXPECT_TRUE(m_.Rename(kDataLocation, "sub", kDataLocation, "sub2"));
  EXPECT_EQ(box_.Get("data/sub2/a.txt"), "alpha");

  EXPECT_TRUE(m_.Delete(kTemporaryLocation, "moved.txt"));
  EXPECT_FALSE(box_.Has("tmp/moved.txt"));
  EXPECT_FALSE(m_.Delete(kTemporaryLocation, "moved.txt"));
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");
  EXPECT_FALSE(m_.Delete(kDataLocation, "sub2"));  // directories go with RemoveDirectory
  EXPECT_TRUE(box_.Has("data/sub2/a.txt"));
}

TEST_F(Operations, TouchExistsSizeTimeAndMode) {
  const time_t before = time(nullptr);
  EXPECT_FALSE(m_.Exists(kDataLocation, "t.txt"));
  EXPECT_TRUE(m_.Touch(kDataLocation, "t.txt")) << S(m_.ErrorText());
  EXPECT_EQ(box_.Get("data/t.txt"), "");
  EXPECT_TRUE(m_.Exists(kDataLocation, "t.txt"));

  box_.Put("data/t.txt", "content");
  struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimes(box_.Path("data/t.txt").c_str(), old_times), 0);
  int64_t seconds = 0, size = -1;
  EXPECT_TRUE(m_.Time(kDataLocation, "t.txt", &seconds));
  EXPECT_EQ(seconds, 1000000000);
  EXPECT_TRUE(m_.Touch(kDataLocation, "t.txt"));
  EXPECT_TRUE(m_.Time(kDataLocation, "t.txt", &seconds));
  // File times come from a coarser clock than time(): allow a little.
  EXPECT_TRUE(seconds >= before - 2 && seconds <= time(nullptr) + 2) << seconds << " " << before;
  struct stat st;
  EXPECT_TRUE(stat(box_.Path("data/t.txt").c_str(), &st) == 0 && st.st_atime >= before - 2);
  EXPECT_EQ(box_.Get("data/t.txt"), "content");  // touching never truncates
  EXPECT_TRUE(m_.Size(kDataLocation, "t.txt", &size));
  EXPECT_EQ(size, 7);
  EXPECT_FALSE(m_.Size(kDataLocation, "none", &size) || m_.Time(kDataLocation, "none", &seconds));
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");
  EXPECT_FALSE(m_.Touch(kDataLocation, "nodir/t.txt"));
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");

  // Modes: permission bits only, never set-id or sticky bits.
  uint32_t mode = 0;
  for (uint32_t good : {0640u, 0u, 0777u}) {
    EXPECT_TRUE(m_.ChangeMode(kDataLocation, "t.txt", good)) << S(m_.ErrorText());
    EXPECT_TRUE(m_.Mode(kDataLocation, "t.txt", &mode));
    EXPECT_EQ(mode, good);
  }
  for (uint32_t bad : {04755u, 02755u, 01777u, 01000u, 0x10000u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(m_.ChangeMode(kDataLocation, "t.txt", bad)) << bad;
    EXPECT_FALSE(m_.ErrorText().IsEmpty());
  }
  EXPECT_EQ(Permissions("data/t.txt"), 0777u);
  EXPECT_FALSE(m_.Mode(kDataLocation, "none", &mode) || m_.ChangeMode(kDataLocation, "none", 0600));
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");
}

TEST_F(Operations, DirectoriesAndListings) {
  EXPECT_TRUE(m_.MakeDirectory(kDataLocation, "d")) << S(m_.ErrorText());
  EXPECT_TRUE(m_.IsDirectory(kDataLocation, "d"));
  EXPECT_FALSE(m_.MakeDirectory(kDataLocation, "d"));
  EXPECT_EQ(S(m_.ErrorText()), "File exists");
  EXPECT_FALSE(m_.MakeDirectory(kDataLocation, "x/y"));
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");
  for (const char* name : {"d/b.txt", "d/a.txt", "d/c", "d/.hidden"}) box_.Put(std::string("data/") + name, "");
  EXPECT_TRUE(m_.MakeDirectory(kDataLocation, "d\\sub"));
  EXPECT_FALSE(m_.IsDirectory(kDataLocation, "d/a.txt") || m_.IsDirectory(kDataLocation, "d/none"));

  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(m_.ListDirectory(kDataLocation, "d", &entries)) << S(m_.ErrorText());
  std::string listing;
  for (const DirectoryEntry& e : entries) listing += S(e.name) + (e.is_directory ? "/ " : " ");
  EXPECT_EQ(listing, ".hidden a.txt b.txt c sub/ ");
  ASSERT_TRUE(m_.ListDirectory(kDataLocation, "d/sub", &entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(m_.ListDirectory(kDataLocation, "none", &entries));
  EXPECT_EQ(S(m_.ErrorText()), "No such file or directory");

  EXPECT_FALSE(m_.RemoveDirectory(kDataLocation, "d"));
  EXPECT_EQ(S(m_.ErrorText()), "Directory not empty");
  EXPECT_TRUE(m_.RemoveDirectory(kDataLocation, "d/sub"));
  EXPECT_FALSE(box_.Has("data/d/sub"));
  EXPECT_FALSE(m_.RemoveDirectory(kDataLocation, "d/a.txt"));
  EXPECT_TRUE(box_.Has("data/d/a.txt"));
}

}  // namespace
}  // namespace lumo
