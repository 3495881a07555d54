// Byte-range locks between runs: each run has its own thread, stop flag,
// manager and file object, all on one file in one process, as two scripts
// of the server would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "files/posix_file_manager.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

class LockRun {
 public:
  LockRun(const Scratch& box, const char* name) {
    EXPECT_TRUE(Do([&] {
      return manager_.SetDataDirectory(box.Root()) &&
             (file_ = manager_.Open(kDataLocation, name, kOpenRead | kOpenWrite | kOpenAlways)) != nullptr;
    })) << S(manager_.ErrorText());
  }
  ~LockRun() {
    stop_ = 1;  // nothing may keep the thread from ending
    Close();
  }

  // Runs work on this run's thread and waits for it. The wait is bounded:
  // should the work not end, the run is stopped, which ends any lock wait.
  bool Do(std::function<bool()> work) { return Finish(Start(std::move(work))); }
  std::future<bool> Start(std::function<bool()> work) { return thread_.Start(std::move(work)); }
  bool Finish(std::future<bool> result) {
    if (result.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "the run did not finish its work; stopping it";
      stop_ = 1;
    }
    return result.get();
  }

  bool Lock(int64_t offset, int64_t length, bool exclusive) {
    return Do([=, this] { return file_->Lock(offset, length, exclusive, false); });
  }
  std::future<bool> LockWaiting(int64_t offset, int64_t length, bool exclusive) {
    return Start([=, this] { return file_->Lock(offset, length, exclusive, true); });
  }
  bool Release(int64_t offset, int64_t length) {
    return Do([=, this] { return file_->Release(offset, length); });
  }
  void Close() {
    Do([this] { return file_.reset(), true; });
  }
  File& file() { return *file_; }
  std::atomic<int32_t>& stop() { return stop_; }

 private:
  std::atomic<int32_t> stop_{0};
  PosixFileManager manager_{&stop_};
  std::unique_ptr<File> file_;
  Worker thread_;
};

// A waiting lock must still be waiting while the range is held. A correct
// lock never returns here, so the short look cannot fail spuriously.
void ExpectStillWaiting(std::future<bool>& result) {
  if (result.wait_for(50ms) == std::future_status::ready) {
    ADD_FAILURE() << "a waiting lock returned while the range was held";
  }
}

TEST(FileLocks, RangesExcludeAndCoexistAcrossRuns) {
  Scratch box;
  LockRun a(box, "shared.db"), b(box, "shared.db");
  ASSERT_TRUE(a.Lock(0, 100, true)) << S(a.file().ErrorText());
  EXPECT_TRUE(a.file().HoldsLocks());
  EXPECT_FALSE(b.file().HoldsLocks());
  EXPECT_FALSE(b.Lock(50, 10, true));
  EXPECT_FALSE(b.file().ErrorText().IsEmpty());
  EXPECT_FALSE(b.Lock(99, 1, false));
  EXPECT_FALSE(b.Lock(0, 1000, false));
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

TEST(FileLocks, WaitingLockGetsTheRangeOnceTheOtherRunReleasesIt) {
  Scratch box;
  LockRun a(box, "shared.db"), b(box, "shared.db");
  ASSERT_TRUE(a.Lock(10, 10, true));
  auto waiting = b.LockWaiting(0, 15, true);
  ExpectStillWaiting(waiting);
  EXPECT_TRUE(a.Release(10, 10));
  EXPECT_TRUE(b.Finish(std::move(waiting))) << S(b.file().ErrorText());
  EXPECT_FALSE(a.Lock(14, 1, false));
  EXPECT_TRUE(a.Lock(15, 5, true));

  // A shared waiter gets in as soon as the exclusive holder goes, and the
  // file stays locked for everyone else's exclusive requests.
  ASSERT_TRUE(b.Release(0, 15));
  ASSERT_TRUE(b.Lock(0, 5, true));
  auto shared = a.LockWaiting(0, 5, false);
  ExpectStillWaiting(shared);
  EXPECT_TRUE(b.Release(0, 5));
  EXPECT_TRUE(a.Finish(std::move(shared)));
  EXPECT_FALSE(b.Lock(0, 5, true));
  EXPECT_TRUE(b.Lock(0, 5, false));
}

TEST(FileLocks, WaitingLockGivesUpWhenItsRunIsStopped) {
  Scratch box;
  LockRun a(box, "shared.db"), b(box, "shared.db");
  ASSERT_TRUE(a.Lock(0, 10, true));
  auto waiting = b.LockWaiting(5, 1, false);
  ExpectStillWaiting(waiting);
  b.stop() = 1;
  if (waiting.wait_for(30s) != std::future_status::ready) {
    // Let it have the range, so that the test ends, and fails.
    ADD_FAILURE() << "the waiting lock ignored the stop flag";
    a.Release(0, 10);
  }
  EXPECT_FALSE(waiting.get());
  EXPECT_FALSE(b.file().HoldsLocks());
  // A stopped run does not start waiting at all; the other run is untouched.
  EXPECT_FALSE(b.Finish(b.LockWaiting(0, 1, true)));
  EXPECT_TRUE(a.file().HoldsLocks());
  EXPECT_TRUE(a.Release(0, 10));
  EXPECT_TRUE(b.Lock(0, 10, true));
}

// Closing a descriptor drops its own locks only; per-process locks would
// drop every lock the process holds on the file.
TEST(FileLocks, ClosingOneFileKeepsTheLocksOfTheOthers) {
  Scratch box;
  LockRun a(box, "shared.db"), b(box, "shared.db"), c(box, "shared.db");
  ASSERT_TRUE(a.Lock(0, 10, true));
  ASSERT_TRUE(b.Lock(20, 10, true));
  a.Close();
  EXPECT_TRUE(c.Lock(0, 10, true));
  EXPECT_FALSE(c.Lock(20, 1, false));
  EXPECT_TRUE(c.Release(0, 10));

  // The same holds for two files of one run on one thread.
  PosixFileManager m;
  ASSERT_TRUE(m.SetDataDirectory(box.Root()));
  auto first = m.Open(kDataLocation, "shared.db", kOpenRead | kOpenWrite);
  auto second = m.Open(kDataLocation, "shared.db", kOpenRead | kOpenWrite);
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first->Lock(0, 5, true, false));
  EXPECT_FALSE(second->Lock(4, 2, false, false));
  EXPECT_FALSE(c.Lock(0, 1, false));
  first.reset();
  EXPECT_TRUE(second->Lock(4, 2, false, false));
  EXPECT_FALSE(c.Lock(20, 1, false));
}

}  // namespace
}  // namespace lumo
