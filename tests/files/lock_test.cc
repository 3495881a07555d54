// Byte-range locks between runs: each run has its own stop flag, manager
// and file object, all on one file in one process, and locks from a thread
// other than the other run's, as two scripts of the server would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "files/posix_file_manager.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

class LockRun {
 public:
  explicit LockRun(const Scratch& box) {
    EXPECT_TRUE(manager_.SetDataDirectory(box.Root()));
    file_ = manager_.Open(kDataLocation, "shared.db", kOpenRead | kOpenWrite | kOpenAlways);
    if (file_ == nullptr) ADD_FAILURE() << S(manager_.ErrorText());
  }

  // Each lock request runs on a thread of its own. The wait for it is
  // bounded: should it not end, the run is stopped, which ends any lock
  // wait, so a broken lock fails the test instead of hanging it.
  std::future<bool> Start(int64_t offset, int64_t length, bool exclusive, bool wait = true) {
    return std::async(std::launch::async, [=, this] { return file_->Lock(offset, length, exclusive, wait); });
  }
  bool Finish(std::future<bool> result) {
    if (result.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "a lock request did not return; stopping its run";
      stop_ = 1;
    }
    return result.get();
  }
  bool Lock(int64_t offset, int64_t length, bool exclusive) { return Finish(Start(offset, length, exclusive, false)); }
  bool Release(int64_t offset, int64_t length) { return file_->Release(offset, length); }
  void Close() { file_.reset(); }
  File& file() { return *file_; }
  std::atomic<int32_t>& stop() { return stop_; }

 private:
  std::atomic<int32_t> stop_{0};
  PosixFileManager manager_{&stop_};
  std::unique_ptr<File> file_;
};

// A waiting lock must still be waiting while the range is held. A correct
// lock never returns here, so the short look cannot fail spuriously.
void ExpectStillWaiting(std::future<bool>& result) {
  if (result.wait_for(50ms) == std::future_status::ready) {
    ADD_FAILURE() << "a waiting lock returned while the range was held";
  }
}

// Per-process locks would let every run of the process in.
TEST(FileLocks, RangesExcludeAndCoexistAcrossRuns) {
  Scratch box;
  LockRun a(box), b(box);
  ASSERT_TRUE(a.Lock(0, 100, true)) << S(a.file().ErrorText());
  EXPECT_TRUE(a.file().HoldsLocks());
  EXPECT_FALSE(b.Lock(50, 10, true));
  EXPECT_FALSE(b.Lock(99, 1, false));
  EXPECT_FALSE(b.file().HoldsLocks());
  // Ranges that do not overlap are independent, even adjacent ones.
  EXPECT_TRUE(b.Lock(100, 10, true));
  EXPECT_FALSE(a.Lock(105, 1, false));
  // Shared ranges coexist, and keep exclusive ones out.
  EXPECT_TRUE(a.Lock(200, 50, false));
  EXPECT_TRUE(b.Lock(220, 10, false));
  EXPECT_FALSE(b.Lock(200, 10, true));
  EXPECT_FALSE(a.Lock(225, 1, true));
  // Releasing hands the range over.
  EXPECT_TRUE(a.Release(0, 100));
  EXPECT_TRUE(b.Lock(0, 100, true));
  EXPECT_FALSE(a.Lock(0, 1, false));
}

// A waiting lock gets the range once the other run releases it, and gives
// up, without it, once its own run is stopped.
TEST(FileLocks, WaitingLockEndsOnReleaseOrStop) {
  Scratch box;
  LockRun a(box), b(box);
  ASSERT_TRUE(a.Lock(10, 10, true));
  auto waiting = b.Start(0, 15, true);
  ExpectStillWaiting(waiting);
  EXPECT_TRUE(a.Release(10, 10));
  EXPECT_TRUE(b.Finish(std::move(waiting))) << S(b.file().ErrorText());
  EXPECT_FALSE(a.Lock(14, 1, false));

  waiting = a.Start(5, 1, false);
  ExpectStillWaiting(waiting);
  a.stop() = 1;
  if (waiting.wait_for(30s) != std::future_status::ready) {
    // Let it have the range, so that the test ends, and fails.
    ADD_FAILURE() << "the waiting lock ignored the stop flag";
    b.Release(0, 15);
  }
  EXPECT_FALSE(waiting.get());
  EXPECT_FALSE(a.file().HoldsLocks());
}

// Closing a descriptor drops its own locks only; per-process locks would
// drop every lock the process holds on the file.
TEST(FileLocks, ClosingOneFileKeepsTheLocksOfTheOthers) {
  Scratch box;
  LockRun a(box), b(box), c(box);
  ASSERT_TRUE(a.Lock(0, 10, true));
  ASSERT_TRUE(b.Lock(20, 10, true));
  a.Close();
  EXPECT_TRUE(c.Lock(0, 10, true));
  EXPECT_FALSE(c.Lock(20, 1, false));
}

}  // namespace
}  // namespace lumo
