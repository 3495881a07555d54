// What a failing file system leaves behind: each operation is run with a
// failure at its first, second, third ... file call until it no longer
// reaches the failing call. Every failed run must report the failure and
// leave the directory as it found it.
#include <dirent.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "files/fault_injecting_file_manager.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

std::set<std::string> Names(const std::string& directory) {
  std::set<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
  }
  return names;
}

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_.SetDataDirectory(box_.Path("data"))); }

  Scratch box_{"data"};
  FaultInjectingFileManager m_;
};

TEST_F(FaultInjection, CopyFailsWholeAtEveryCall) {
  // Several read and write calls, onto a target that already exists.
  std::string source;
  for (int i = 0; source.size() < 200000; ++i) source += "line " + std::to_string(i) + "\n";
  box_.Put("data/source.txt", source);
  int64_t failures = 0;
  for (int64_t n = 1;; ++n) {
    box_.Put("data/target.txt", "old target");
    m_.FailAt(n);
    const bool ok = m_.Copy(kDataLocation, "source.txt", kDataLocation, "target.txt");
    if (!m_.Failed()) {
      EXPECT_TRUE(ok) << S(m_.ErrorText());
      EXPECT_EQ(box_.Get("data/target.txt"), source);
      break;
    }
    ++failures;
    EXPECT_FALSE(ok) << "call " << n;
    EXPECT_NE(S(m_.ErrorText()).find("Injected failure"), std::string::npos) << S(m_.ErrorText());
    EXPECT_EQ(box_.Get("data/target.txt"), "old target") << "call " << n;
    EXPECT_EQ(Names(box_.Path("data")), (std::set<std::string>{"source.txt", "target.txt"}))
        << "call " << n;
    ASSERT_LT(n, 100) << "the copy never stops reaching the failure";
  }
  // open, create, at least four reads and writes, the final rename.
  EXPECT_GE(failures, 10);
}

TEST_F(FaultInjection, CopyToANewTargetLeavesNothingOnFailure) {
  box_.Put("data/source.txt", "abc");
  for (int64_t n = 1; n < 20; ++n) {
    m_.FailAt(n);
    const bool ok = m_.Copy(kDataLocation, "source.txt", kDataLocation, "new.txt");
    if (!m_.Failed()) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(box_.Get("data/new.txt"), "abc");
      return;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(Names(box_.Path("data")), std::set<std::string>{"source.txt"}) << "call " << n;
  }
  FAIL() << "the copy never finished";
}

TEST_F(FaultInjection, MakeTemporaryCreatesNothingWhenItFails) {
  box_.Put("data/up.0", "taken");
  for (int64_t n = 1; n < 10; ++n) {
    m_.FailAt(n);
    String name;
    std::unique_ptr<File> file = m_.MakeTemporary(kDataLocation, "up", kOpenWrite, &name);
    if (!m_.Failed()) {
      ASSERT_TRUE(file);
      EXPECT_EQ(S(name), "up.1");
      return;
    }
    EXPECT_FALSE(file);
    EXPECT_NE(S(m_.ErrorText()).find("Injected failure of open"), std::string::npos);
    EXPECT_EQ(Names(box_.Path("data")), std::set<std::string>{"up.0"});
  }
  FAIL() << "MakeTemporary never finished";
}

// The double stays a faithful file manager: pooled files it wraps are
// closed and reopened by the handle limit like real ones.
TEST_F(FaultInjection, WrappedFilesLiveInTheHandlePool) {
  m_.SetHandleLimit(2);
  m_.FailAt(0);
  std::unique_ptr<File> files[4];
  for (int i = 0; i < 4; ++i) {
    files[i] = m_.Open(kDataLocation, "f" + std::to_string(i), kOpenWrite | kOpenRead | kOpenTruncate);
    ASSERT_TRUE(files[i]) << S(m_.ErrorText());
    ASSERT_TRUE(WriteText(*files[i], "file " + std::to_string(i)));
  }
  EXPECT_LE(m_.ActiveCount(), 2);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(files[i]->Seek(0, SEEK_SET)) << S(files[i]->ErrorText());
    EXPECT_EQ(ReadSome(*files[i], 100), "file " + std::to_string(i));
  }
  m_.FailAt(1, FaultInjectingFileManager::kFaultLock);
  EXPECT_FALSE(files[0]->Lock(0, 1, true));
  EXPECT_EQ(S(files[0]->ErrorText()), "Injected failure of lock");
  EXPECT_TRUE(files[0]->Lock(0, 1, true));
}

}  // namespace
}  // namespace lumo
