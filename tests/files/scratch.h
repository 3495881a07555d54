// Helpers shared by the file manager tests: a scratch directory tree that
// disappears with the test, direct file access that bypasses the manager,
// and a thread that runs one closure at a time (a run of its own).
#ifndef LUMO_TESTS_FILES_SCRATCH_H_
#define LUMO_TESTS_FILES_SCRATCH_H_

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/base/string.h"
#include "files/posix_file_manager.h"

namespace lumo {

inline std::string S(const String& s) { return std::string(s.View()); }

// A fresh directory under /tmp, removed with everything in it (links are
// removed, never followed).
class Scratch {
 public:
  Scratch() {
    char name[] = "/tmp/lumo_files_XXXXXX";
    if (mkdtemp(name) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = name;
  }
  ~Scratch() {
    auto remove = [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path), 0; };
    nftw(root_.c_str(), remove, 16, FTW_DEPTH | FTW_PHYS);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& Root() const { return root_; }
  std::string Path(std::string_view relative) const { return root_ + "/" + std::string(relative); }
  void Dir(std::string_view relative) const {
    if (mkdir(Path(relative).c_str(), 0755) != 0) ADD_FAILURE() << "mkdir " << relative;
  }
  void Put(std::string_view relative, std::string_view content) const {
    FILE* f = fopen(Path(relative).c_str(), "wb");
    if (f == nullptr || fwrite(content.data(), 1, content.size(), f) != content.size()) {
      ADD_FAILURE() << "cannot write " << relative;
    }
    if (f != nullptr) fclose(f);
  }
  // The whole content, or "<missing>".
  std::string Get(std::string_view relative) const {
    FILE* f = fopen(Path(relative).c_str(), "rb");
    if (f == nullptr) return "<missing>";
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) out.append(buffer, n);
    fclose(f);
    return out;
  }
  bool Has(std::string_view relative) const {
    struct stat st;
    return lstat(Path(relative).c_str(), &st) == 0;
  }

 private:
  std::string root_;
};

// Reads up to n bytes at the file's position; "<error>" when Read fails.
inline std::string ReadSome(File& file, int64_t n) {
  std::string buffer(static_cast<size_t>(n), '\0');
  const int64_t got = file.Read(buffer.data(), n);
  if (got < 0) return "<error>";
  buffer.resize(static_cast<size_t>(got));
  return buffer;
}
inline bool WriteText(File& file, std::string_view text) {
  return file.Write(text.data(), static_cast<int64_t>(text.size()));
}

// Runs closures one after another on a thread of its own.
class Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {}
  ~Worker() {
    Post(std::packaged_task<bool()>());  // an empty task ends the loop
    thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  std::future<bool> Start(std::function<bool()> work) {
    std::packaged_task<bool()> task(std::move(work));
    std::future<bool> result = task.get_future();
    Post(std::move(task));
    return result;
  }

 private:
  void Post(std::packaged_task<bool()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    wake_.notify_one();
  }
  void Loop() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return !tasks_.empty(); });
      std::packaged_task<bool()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      if (!task.valid()) return;
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<bool()>> tasks_;
  std::thread thread_;
};

}  // namespace lumo

#endif  // LUMO_TESTS_FILES_SCRATCH_H_
