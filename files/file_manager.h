// FileManager and File: the only way scripts, the database engine and
// extension libraries reach the file system.
//
// Every name they use is relative to one of three configured directories
// (data, script, temporary). The manager resolves it inside that base and
// refuses anything that would leave it, so a script can never touch a file
// the administrator did not put under one of those directories. It also
// keeps the number of open descriptors of a run under a limit: when a run
// opens more files than that, the least recently used ones are closed and
// reopened at their old position when next used.
//
// Both classes are abstract; PosixFileManager and PosixFile implement them.
// The handle pool is platform-independent and lives here.
//
// Failures are return values: an operation returns false (or null) and
// leaves one message in the error text of the manager (or of the file).
#ifndef LUMO_FILES_FILE_MANAGER_H_
#define LUMO_FILES_FILE_MANAGER_H_

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/base/string.h"
#include "core/base/system_error.h"

namespace lumo {

class FileManager;

// Where a relative path is taken from.
enum FileLocation : int {
  kDataLocation = 0,
  kScriptLocation = 1,
  // The data directory when no temporary directory is configured.
  kTemporaryLocation = 2,
};

// Open mode bits. Without any of the creation bits an existing file is
// opened; with several, the first in this order wins: create-new,
// truncate, open-always/append.
inline constexpr uint32_t kOpenRead = 0x01;
inline constexpr uint32_t kOpenWrite = 0x02;
inline constexpr uint32_t kOpenAlways = 0x04;     // create when missing
inline constexpr uint32_t kOpenTruncate = 0x08;   // create or truncate
inline constexpr uint32_t kOpenAppend = 0x10;     // as kOpenAlways, position at the end
inline constexpr uint32_t kOpenCreateNew = 0x20;  // fail when the file exists
inline constexpr uint32_t kOpenUnpooled = 0x40;   // keep out of the handle pool

class File {
 public:
  File(FileManager* manager, String path) : manager_(manager), path_(std::move(path)) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  // Closes the file, releasing its own byte-range locks only.
  virtual ~File() = default;

  virtual bool OwnerId(int64_t* id) = 0;
  virtual bool GroupId(int64_t* id) = 0;
  // Bytes read (0 at the end of the file), or -1.
  virtual int64_t Read(void* buffer, int64_t length) = 0;
  // Reads from `offset` without moving the file's position (several
  // readers may share one open file): as Read.
  virtual int64_t ReadAt(void* buffer, int64_t length, int64_t offset);
  // Writes everything or fails.
  virtual bool Write(const void* buffer, int64_t length) = 0;
  // whence: SEEK_SET, SEEK_CUR or SEEK_END.
  virtual bool Seek(int64_t offset, int whence) = 0;
  virtual int64_t Tell() = 0;      // -1 on failure
  virtual int64_t Length() = 0;    // -1 on failure
  // The time of the last change of the open file, in seconds since 1970
  // (of the file itself, so that it agrees with its length even when the
  // name is replaced meanwhile). This one has none to give: false.
  virtual bool ModificationTime(int64_t* seconds);
  // The length and the modification time together, as they were when the
  // file was opened if nothing was written through it since (what a file
  // sent whole must agree with), else as they are now.
  virtual bool Describe(int64_t* length, int64_t* modified);
  virtual bool Truncate(int64_t length) = 0;
  // Locks a byte range, shared or exclusive, waiting for other holders
  // until the run is stopped. With wait false a held range fails at once.
  virtual bool Lock(int64_t offset, int64_t length, bool exclusive, bool wait = true) = 0;
  virtual bool Release(int64_t offset, int64_t length) = 0;
  virtual bool Flush() = 0;
  // Reopens a file the pool has closed, at its saved position.
  virtual bool Reactivate() = 0;
  // Saves the position and closes the descriptor.
  virtual bool Deactivate() = 0;
  // True while the file holds byte-range locks; the pool never closes such
  // a file, since closing the descriptor would drop the locks.
  virtual bool HoldsLocks() const = 0;
  // Hands up to `length` bytes from *offset to a connected, non-blocking
  // socket without waiting, advancing *offset: bytes handed over, 0 at the
  // end of the file, or -1 with errno (EAGAIN when the socket is full).
  // The file's own position is not used. This one reads and sends; a file
  // on disk gives the bytes to the kernel directly.
  virtual int64_t SendToSocket(int socket, int64_t* offset, int64_t length);

  const String& Path() const { return path_; }
  // In the manager's handle pool (active or inactive).
  bool IsPooled() const { return pool_state_ != PoolState::kNone; }
  FileManager* Manager() const { return manager_; }
  const String& ErrorText() const { return error_; }
  void SetErrorText(std::string_view text) { error_.Assign(text.data(), static_cast<int32_t>(text.size())); }

 private:
  friend class FileManager;
  enum class PoolState : uint8_t { kNone, kActive, kInactive };

  FileManager* manager_;
  String path_;
  String error_;
  // Links of the manager's active or inactive list.
  File* pool_previous_ = nullptr;
  File* pool_next_ = nullptr;
  PoolState pool_state_ = PoolState::kNone;
};

struct DirectoryEntry {
  String name;
  bool is_directory;
};

class FileManager {
 public:
  FileManager() = default;
  FileManager(const FileManager&) = delete;
  FileManager& operator=(const FileManager&) = delete;
  virtual ~FileManager();

  // --- Operations on (location, relative path) --------------------------
  // Each resolves the path and calls the full-path form, which subclasses
  // implement. Relative names only ever reach the platform resolved.
  std::unique_ptr<File> Open(FileLocation location, std::string_view path, uint32_t mode);
  bool Delete(FileLocation location, std::string_view path);
  bool Copy(FileLocation from_location, std::string_view from, FileLocation to_location, std::string_view to);
  // Fails when the target exists.
  bool Rename(FileLocation from_location, std::string_view from, FileLocation to_location, std::string_view to);
  // Creates the file when missing; sets its access and write times to now.
  bool Touch(FileLocation location, std::string_view path);
  bool Exists(FileLocation location, std::string_view path);
  bool Size(FileLocation location, std::string_view path, int64_t* size);
  bool IsDirectory(FileLocation location, std::string_view path);
  // Last write time, seconds since the epoch.
  bool Time(FileLocation location, std::string_view path, int64_t* seconds);
  bool MakeDirectory(FileLocation location, std::string_view path);
  bool RemoveDirectory(FileLocation location, std::string_view path);
  bool MakeSymbolicLink(FileLocation location, std::string_view target, std::string_view link);
  // Permission bits.
  bool Mode(FileLocation location, std::string_view path, uint32_t* mode);
  bool ChangeMode(FileLocation location, std::string_view path, uint32_t mode);
  // The names in a directory, sorted, without "." and "..".
  bool ListDirectory(FileLocation location, std::string_view path, std::vector<DirectoryEntry>* entries);

  // A new file named directory/prefix.N, N = 0, 1, 2 ... in lower-case
  // hexadecimal, the first that does not exist yet. *name receives its
  // path relative to the location. The prefix may not hold a separator.
  std::unique_ptr<File> MakeTemporary(FileLocation location, std::string_view directory,
                                      std::string_view prefix, uint32_t mode, String* name);
  // The same from a path prefix ("uploads/part").
  std::unique_ptr<File> MakeTemporary(FileLocation location, std::string_view path_prefix, uint32_t mode,
                                      String* name);

  // --- Full-path forms --------------------------------------------------
  virtual std::unique_ptr<File> OpenPath(const String& full, uint32_t mode) = 0;
  virtual bool DeletePath(const String& full) = 0;
  // Copies through the manager's own File operations into a fresh file
  // beside the target, renamed over it once complete: a copy that fails
  // part way leaves neither half a file nor a damaged target.
  virtual bool CopyPath(const String& from, const String& to);
  // Fails when the target exists.
  virtual bool RenamePath(const String& from, const String& to) = 0;
  // Renames, replacing an existing target in one step.
  virtual bool ReplacePath(const String& from, const String& to) = 0;
  // True when both full paths name one existing file.
  virtual bool SameFile(const String&, const String&) { return false; }
  virtual bool TouchPath(const String& full) = 0;
  virtual bool ExistsPath(const String& full) = 0;
  virtual bool SizePath(const String& full, int64_t* size) = 0;
  virtual bool IsDirectoryPath(const String& full) = 0;
  virtual bool TimePath(const String& full, int64_t* seconds) = 0;
  virtual bool MakeDirectoryPath(const String& full) = 0;
  virtual bool RemoveDirectoryPath(const String& full) = 0;
  virtual bool MakeSymbolicLinkPath(const String& target, const String& link) = 0;
  virtual bool ModePath(const String& full, uint32_t* mode) = 0;
  virtual bool ChangeModePath(const String& full, uint32_t mode) = 0;
  virtual bool ListDirectoryPath(const String& full, std::vector<DirectoryEntry>* entries) = 0;
  // Creates full exclusively; false with *exists set when it was there.
  virtual std::unique_ptr<File> CreateExclusive(const String& full, uint32_t mode,
                                                bool* exists) = 0;

  // --- Paths ------------------------------------------------------------
  // The full path of a relative path in a location, or false with the
  // reason in the error text.
  virtual bool Resolve(FileLocation location, std::string_view path, String* full) = 0;
  virtual char PathSeparator() const { return '/'; }
  // "a/b/c.txt" -> "a/b" and "c.txt"; either separator counts.
  static void SplitPath(std::string_view path, String* directory, String* name);

  // --- Configured directories -------------------------------------------
  virtual bool SetScriptDirectory(std::string_view directory) = 0;
  virtual bool SetDataDirectory(std::string_view directory) = 0;
  virtual bool SetTemporaryDirectory(std::string_view directory) = 0;

  // True for the full path of a configured directory itself: scripts may
  // list it but never delete, rename or remove it.
  virtual bool IsConfiguredDirectory(const String&) const { return false; }

  // True once the run that owns this manager has been asked to stop; long
  // operations (lock waits, name searches) give up then.
  virtual bool IsStopped() const { return false; }

  // --- Errors -------------------------------------------------------------
  const String& ErrorText() const { return error_; }
  void SetErrorText(std::string_view text) { error_.Assign(text.data(), static_cast<int32_t>(text.size())); }

  // --- Handle pool --------------------------------------------------------
  // 0: no limit.
  void SetHandleLimit(int32_t limit) { handle_limit_ = limit < 0 ? 0 : limit; }
  int32_t HandleLimit() const { return handle_limit_; }
  // A second limit, kept for the callers that set it.
  void SetSecondLimit(int32_t limit) { second_limit_ = limit; }
  int32_t SecondLimit() const { return second_limit_; }
  // Makes room for n more open descriptors by closing the least recently
  // used files. Fails when n alone exceeds the limit.
  bool RequestHandles(int32_t n);
  // A newly opened file enters the active list as the most recently used.
  void Register(File* file);
  // Removes the file from the pool (it is being destroyed).
  void Forget(File* file);
  // Called before every use of a pooled file: makes it the most recently
  // used, reopening it when the pool had closed it.
  bool Activate(File* file);
  // Closes a file's descriptor, keeping its position.
  bool Deactivate(File* file);
  int32_t ActiveCount() const { return active_count_; }
  int32_t InactiveCount() const { return inactive_count_; }

 protected:
  // Sets the error text to the message of an errno value.
  void SetSystemError(int error_number);
  // Resolve, refusing a configured directory itself.
  bool ResolveEntry(FileLocation location, std::string_view path, String* full);

 private:
  struct PoolList {
    File* head = nullptr;
    File* tail = nullptr;
  };
  void Link(PoolList* list, File* file);
  void Unlink(PoolList* list, File* file);

  String error_;
  int32_t handle_limit_ = 0;
  int32_t second_limit_ = 0;
  PoolList active_;
  PoolList inactive_;
  int32_t active_count_ = 0;
  int32_t inactive_count_ = 0;
};

}  // namespace lumo

#endif  // LUMO_FILES_FILE_MANAGER_H_
