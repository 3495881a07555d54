// FaultInjectingFileManager: the real file manager, except that the Nth
// call of the operations that can fail on a healthy system (open, create,
// read, write, rename, delete, lock, flush, truncate) fails as the
// operating system would, with an error text naming the operation.
//
// A test runs an operation with the failure at call 1, 2, 3 ... until the
// operation no longer reaches the failing call, and checks after each run
// that the failure was reported and nothing was left behind. The count
// covers files the manager opened as well as its own path operations.
#ifndef LUMO_FILES_FAULT_INJECTING_FILE_MANAGER_H_
#define LUMO_FILES_FAULT_INJECTING_FILE_MANAGER_H_

#include <cstdint>
#include <memory>

#include "files/posix_file_manager.h"

namespace lumo {

class FaultInjectingFileManager : public PosixFileManager {
 public:
  using PosixFileManager::PosixFileManager;

  // The calls that count; each can be left out of the count.
  enum Operation : uint32_t {
    kFaultOpen = 1u << 0,  // OpenPath and CreateExclusive
    kFaultRead = 1u << 1,
    kFaultWrite = 1u << 2,
    kFaultRename = 1u << 3,  // RenamePath and ReplacePath
    kFaultDelete = 1u << 4,
    kFaultLock = 1u << 5,
    kFaultFlush = 1u << 6,   // Flush and Truncate
    kFaultAll = 0x7F,
  };

  // Fails the nth counted call from now on (1 is the next one); 0 fails
  // none. Resets the count.
  void FailAt(int64_t n, uint32_t operations = kFaultAll) {
    fail_at_ = n;
    operations_ = operations;
    calls_ = 0;
    failed_ = false;
  }
  // Counted calls since FailAt.
  int64_t Calls() const { return calls_; }
  // Whether the chosen call has come (and failed).
  bool Failed() const { return failed_; }

  // True when this call is to fail; the error text is then set on `owner`
  // (the manager or a file).
  bool Inject(Operation operation);

  std::unique_ptr<File> OpenPath(const String& full, uint32_t mode) override;
  std::unique_ptr<File> CreateExclusive(const String& full, uint32_t mode, bool* exists) override;
  bool RenamePath(const String& from, const String& to) override;
  bool ReplacePath(const String& from, const String& to) override;
  bool DeletePath(const String& full) override;

  static const char* OperationName(Operation operation);

 private:
  std::unique_ptr<File> Wrap(std::unique_ptr<File> file);

  int64_t fail_at_ = 0;
  uint32_t operations_ = kFaultAll;
  int64_t calls_ = 0;
  bool failed_ = false;
};

}  // namespace lumo

#endif  // LUMO_FILES_FAULT_INJECTING_FILE_MANAGER_H_
