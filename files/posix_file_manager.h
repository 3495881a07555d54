// PosixFileManager and PosixFile: the file manager on Linux.
//
// Byte-range locks are open-file-description locks (F_OFD_SETLK): they
// belong to the descriptor, not to the process, so two runs in one process
// exclude each other and closing one file never drops another file's
// locks. A wait for a lock polls and gives up when the run is stopped, so
// it never outlives the run's time-out.
#ifndef LUMO_FILES_POSIX_FILE_MANAGER_H_
#define LUMO_FILES_POSIX_FILE_MANAGER_H_

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "files/file_manager.h"
#include "files/posix_file_path.h"

namespace lumo {

class PosixFileManager : public FileManager {
 public:
  // stop_flag, when given, is the run's stop flag: lock waits end when it
  // becomes non-zero.
  explicit PosixFileManager(const std::atomic<int32_t>* stop_flag = nullptr)
      : stop_flag_(stop_flag) {}
  ~PosixFileManager() override;

  bool Resolve(FileLocation location, std::string_view path, String* full) override;
  bool IsConfiguredDirectory(const String& full) const override;

  bool SetScriptDirectory(std::string_view directory) override;
  bool SetDataDirectory(std::string_view directory) override;
  bool SetTemporaryDirectory(std::string_view directory) override;
  // Takes another manager's configured directories as they are, without
  // asking the file system again (a run copies its worker's).
  void CopyDirectoriesFrom(const PosixFileManager& other) {
    script_ = other.script_;
    data_ = other.data_;
    temporary_ = other.temporary_;
  }
  // What a full path names, from one stat(2): kMissing (error text set),
  // a directory, or anything else.
  enum class PathKind { kMissing, kDirectory, kOther };
  PathKind KindOf(const String& full);
  // The canonical base texts ("" when not configured).
  String ScriptDirectory() const;
  String DataDirectory() const;
  String TemporaryDirectory() const;

  std::unique_ptr<File> OpenPath(const String& full, uint32_t mode) override;
  bool DeletePath(const String& full) override;
  bool RenamePath(const String& from, const String& to) override;
  bool ReplacePath(const String& from, const String& to) override;
  bool SameFile(const String& a, const String& b) override;
  bool TouchPath(const String& full) override;
  bool ExistsPath(const String& full) override;
  bool SizePath(const String& full, int64_t* size) override;
  bool IsDirectoryPath(const String& full) override;
  bool TimePath(const String& full, int64_t* seconds) override;
  bool MakeDirectoryPath(const String& full) override;
  bool RemoveDirectoryPath(const String& full) override;
  bool MakeSymbolicLinkPath(const String& target, const String& link) override;
  bool ModePath(const String& full, uint32_t* mode) override;
  bool ChangeModePath(const String& full, uint32_t mode) override;
  bool ListDirectoryPath(const String& full, std::vector<DirectoryEntry>* entries) override;
  std::unique_ptr<File> CreateExclusive(const String& full, uint32_t mode, bool* exists) override;

  // What tells one version of a regular file from another, in one stat(2):
  // false with the system's message, or "Not a regular file".
  struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modified_ns = 0;
    bool operator==(const FileIdentity&) const = default;
  };
  bool IdentifyPath(const String& full, FileIdentity* identity);

  bool IsStopped() const override {
    return stop_flag_ != nullptr && stop_flag_->load(std::memory_order_relaxed) != 0;
  }

 private:
  // stat(2) of a full path; false with the system's message.
  bool StatPath(const String& full, struct stat* st);
  bool SetDirectory(std::optional<PosixFilePath>* slot, std::string_view directory,
                    const char* what);

  const std::atomic<int32_t>* stop_flag_;
  std::optional<PosixFilePath> script_;
  std::optional<PosixFilePath> data_;
  std::optional<PosixFilePath> temporary_;
};

class PosixFile : public File {
 public:
  // Takes over an open descriptor; flags are the open(2) flags it was
  // opened with, used again (without creation) to reopen it.
  PosixFile(PosixFileManager* manager, String path, int fd, int flags);
  ~PosixFile() override;

  bool OwnerId(int64_t* id) override;
  bool GroupId(int64_t* id) override;
  int64_t Read(void* buffer, int64_t length) override;
  int64_t ReadAt(void* buffer, int64_t length, int64_t offset) override;
  bool Write(const void* buffer, int64_t length) override;
  bool Seek(int64_t offset, int whence) override;
  int64_t Tell() override;
  int64_t Length() override;
  bool ModificationTime(int64_t* seconds) override;
  bool Describe(int64_t* length, int64_t* modified) override;
  // What open's check of the file found (see Describe).
  void SetOpenedStatus(int64_t length, int64_t modified) {
    opened_length_ = length;
    opened_modified_ = modified;
  }
  bool Truncate(int64_t length) override;
  bool Lock(int64_t offset, int64_t length, bool exclusive, bool wait = true) override;
  bool Release(int64_t offset, int64_t length) override;
  bool Flush() override;
  bool Reactivate() override;
  bool Deactivate() override;
  bool HoldsLocks() const override { return !locks_.empty(); }
  int64_t SendToSocket(int socket, int64_t* offset, int64_t length) override;

  // The descriptor, -1 while the pool has the file closed.
  int Descriptor() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }

 private:
  // Makes sure the descriptor is open; false with the error text set.
  bool Ready();
  bool Fail(int error_number);

  struct Range {
    int64_t offset;
    int64_t length;
  };

  int fd_;
  int flags_;
  int64_t saved_position_ = 0;
  std::vector<Range> locks_;
  // From the open, until the first write through this file (-1: none).
  int64_t opened_length_ = -1;
  int64_t opened_modified_ = 0;
};

}  // namespace lumo

#endif  // LUMO_FILES_POSIX_FILE_MANAGER_H_
