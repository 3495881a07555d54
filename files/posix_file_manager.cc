#include "files/posix_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lumo {

using namespace std::string_view_literals;

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

int AccessFlags(uint32_t mode) {
  const bool read = (mode & kOpenRead) != 0;
  const bool write = (mode & kOpenWrite) != 0;
  if (read && write) return O_RDWR;
  return write ? O_WRONLY : O_RDONLY;
}

int CreationFlags(uint32_t mode) {
  if (mode & kOpenCreateNew) return O_CREAT | O_EXCL;
  if (mode & kOpenTruncate) return O_CREAT | O_TRUNC;
  if (mode & (kOpenAlways | kOpenAppend)) return O_CREAT;
  return 0;
}

// Non-blocking while opening so that a FIFO or a device node never holds
// the run; only regular files are kept.
constexpr int kCommonFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Opens a regular file; -1 with errno set otherwise (EISDIR for a
// directory, EINVAL for anything else that is not a regular file).
int OpenRegular(const char* path, int flags, struct stat* status = nullptr) {
  int fd;
  do {
    fd = open(path, flags | kCommonFlags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    errno = error;
    return -1;
  }
  if (status != nullptr) *status = st;
  // O_NONBLOCK stays: it changes nothing for a regular file, and clearing
  // it would cost two more system calls on every open.
  return fd;
}

std::string_view View(const String& s) { return s.View(); }

}  // namespace

PosixFileManager::~PosixFileManager() = default;

// --- Configured directories ------------------------------------------------

bool PosixFileManager::SetDirectory(std::optional<PosixFilePath>* slot, std::string_view directory,
                                    const char* what) {
  slot->reset();
  auto fail = [&](const char* problem) {
    String message("The configured ");
    message.Append(what);
    message.Append(problem);
    SetErrorText(message.View());
    return false;
  };
  if (directory.find('\0') != std::string_view::npos) {
    return fail(" does not exist, or is not a directory");
  }
  PosixFilePath path(directory);
  if (!path.IsAbsolute()) return fail(" is not an absolute path");
  if (!path.Canonical().empty() && IsReservedDeviceName(path.Canonical().back())) {
    return fail(" references a reserved Windows device name");
  }
  const String canonical = path.CanonicalText();
  struct stat st;
  if (stat(canonical.Text(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return fail(" does not exist, or is not a directory");
  }
  slot->emplace(canonical.View());
  return true;
}

bool PosixFileManager::SetScriptDirectory(std::string_view directory) {
  return SetDirectory(&script_, directory, "script directory");
}

bool PosixFileManager::SetDataDirectory(std::string_view directory) {
  return SetDirectory(&data_, directory, "data directory");
}

bool PosixFileManager::SetTemporaryDirectory(std::string_view directory) {
  return SetDirectory(&temporary_, directory, "temporary directory");
}

String PosixFileManager::ScriptDirectory() const { return script_ ? script_->Text() : String(); }
String PosixFileManager::DataDirectory() const { return data_ ? data_->Text() : String(); }
String PosixFileManager::TemporaryDirectory() const {
  return temporary_ ? temporary_->Text() : String();
}

bool PosixFileManager::IsConfiguredDirectory(const String& full) const {
  for (const std::optional<PosixFilePath>* base : {&script_, &data_, &temporary_}) {
    if (*base && (*base)->Text().Equals(full.View())) return true;
  }
  return false;
}

// --- Resolve -----------------------------------------------------------------

bool PosixFileManager::Resolve(FileLocation location, std::string_view path, String* full) {
  const PosixFilePath* base = nullptr;
  const char* outside = nullptr;
  switch (location) {
    case kScriptLocation:
      if (!script_) {
        SetErrorText("There is no configured script directory");
        return false;
      }
      base = &*script_;
      outside = "The specified path references a path outside the configured script directory";
      break;
    case kDataLocation:
    case kTemporaryLocation:
      if (location == kTemporaryLocation && temporary_) {
        base = &*temporary_;
      } else if (data_) {
        base = &*data_;
      } else {
        SetErrorText("There is no configured data directory");
        return false;
      }
      outside = location == kDataLocation
                    ? "The specified path references a path outside the configured data directory"
                    : "The specified path references a path outside the configured temporary "
                      "directory";
      break;
    default:
      SetErrorText("Invalid file location");
      return false;
  }
  // The operating system would end the name at the NUL and open something
  // other than what was checked.
  if (path.find('\0') != std::string_view::npos) {
    SetErrorText("The specified path contains a NUL character");
    return false;
  }
  size_t skip = 0;
  while (skip < path.size() && IsSeparator(path[skip])) ++skip;
  String text(base->Text());
  text.Append('/');
  text.Append(path.substr(skip));
  const PosixFilePath candidate(text.View());
  if (!candidate.IsWithin(*base)) {
    SetErrorText(outside);
    return false;
  }
  // Only the names the caller chose are checked; the base itself passed
  // its own checks when it was configured.
  if (candidate.Canonical().size() > base->Canonical().size()) {
    const std::string_view last = candidate.Canonical().back();
    if (last.find(':') != std::string_view::npos) {
      SetErrorText("The specified path references an NTFS alternate data stream");
      return false;
    }
    if (IsReservedDeviceName(last)) {
      SetErrorText("The specified path references a Windows reserved device name");
      return false;
    }
  }
  *full = candidate.CanonicalText();
  return true;
}

// --- Full-path operations --------------------------------------------------

std::unique_ptr<File> PosixFileManager::OpenPath(const String& full, uint32_t mode) {
  const int flags = AccessFlags(mode) | CreationFlags(mode);
  struct stat status;
  const int fd = OpenRegular(full.Text(), flags, &status);
  if (fd < 0) {
    SetSystemError(errno);
    return nullptr;
  }
  if ((mode & kOpenAppend) != 0 && lseek(fd, 0, SEEK_END) < 0) {
    SetSystemError(errno);
    close(fd);
    return nullptr;
  }
  auto file = std::make_unique<PosixFile>(this, full, fd, flags);
  // Truncation happened in the open itself, before the check.
  file->SetOpenedStatus(status.st_size, status.st_mtime);
  return file;
}

std::unique_ptr<File> PosixFileManager::CreateExclusive(const String& full, uint32_t mode,
                                                        bool* exists) {
  *exists = false;
  const int fd = OpenRegular(full.Text(), AccessFlags(mode) | O_CREAT | O_EXCL);
  if (fd < 0) {
    *exists = errno == EEXIST;
    SetSystemError(errno);
    return nullptr;
  }
  return std::make_unique<PosixFile>(this, full, fd, AccessFlags(mode));
}

bool PosixFileManager::IdentifyPath(const String& full, FileIdentity* identity) {
  struct stat st;
  if (!StatPath(full, &st)) return false;
  if (!S_ISREG(st.st_mode)) {
    SetErrorText("Not a regular file");
    return false;
  }
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->inode = static_cast<uint64_t>(st.st_ino);
  identity->size = static_cast<int64_t>(st.st_size);
  identity->modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

bool PosixFileManager::StatPath(const String& full, struct stat* st) {
  if (stat(full.Text(), st) == 0) return true;
  SetSystemError(errno);
  return false;
}

PosixFileManager::PathKind PosixFileManager::KindOf(const String& full) {
  struct stat st;
  if (!StatPath(full, &st)) return PathKind::kMissing;
  return S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

bool PosixFileManager::DeletePath(const String& full) {
  if (unlink(full.Text()) != 0) {
    SetSystemError(errno);
    return false;
  }
  return true;
}

bool PosixFileManager::SameFile(const String& a, const String& b) {
  struct stat first, second;
  return stat(a.Text(), &first) == 0 && stat(b.Text(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool PosixFileManager::ReplacePath(const String& from, const String& to) {
  if (rename(from.Text(), to.Text()) != 0) {
    SetSystemError(errno);
    return false;
  }
  return true;
}

bool PosixFileManager::RenamePath(const String& from, const String& to) {
  // A rename never replaces an existing target: nothing is lost to a name
  // clash, and lock files depend on it.
  if (renameat2(AT_FDCWD, from.Text(), AT_FDCWD, to.Text(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) {
    SetSystemError(errno);
    return false;
  }
  // File systems without RENAME_NOREPLACE: link refuses an existing
  // target. Directories cannot be linked; they are checked, then renamed.
  struct stat st;
  if (lstat(from.Text(), &st) != 0) {
    SetSystemError(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (link(from.Text(), to.Text()) != 0) {
      SetSystemError(errno);
      return false;
    }
    if (unlink(from.Text()) != 0) {
      const int error = errno;
      unlink(to.Text());
      SetSystemError(error);
      return false;
    }
    return true;
  }
  if (lstat(to.Text(), &st) == 0) {
    SetSystemError(EEXIST);
    return false;
  }
  if (rename(from.Text(), to.Text()) != 0) {
    SetSystemError(errno);
    return false;
  }
  return true;
}

bool PosixFileManager::TouchPath(const String& full) {
  // Setting the times needs no read access, so an existing file (or
  // directory) is touched by name; only a missing one is created.
  if (utimensat(AT_FDCWD, full.Text(), nullptr, 0) == 0) return true;
  if (errno != ENOENT) {
    SetSystemError(errno);
    return false;
  }
  const int fd = OpenRegular(full.Text(), O_WRONLY | O_CREAT);
  if (fd < 0) {
    SetSystemError(errno);
    return false;
  }
  close(fd);
  return true;
}

bool PosixFileManager::ExistsPath(const String& full) {
  struct stat st;
  if (!StatPath(full, &st)) return false;
  return true;
}

bool PosixFileManager::SizePath(const String& full, int64_t* size) {
  struct stat st;
  if (!StatPath(full, &st)) return false;
  *size = static_cast<int64_t>(st.st_size);
  return true;
}

bool PosixFileManager::IsDirectoryPath(const String& full) {
  struct stat st;
  if (!StatPath(full, &st)) return false;
  return S_ISDIR(st.st_mode);
}

bool PosixFileManager::TimePath(const String& full, int64_t* seconds) {
  struct stat st;
  if (!StatPath(full, &st)) return false;
  *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool PosixFileManager::MakeDirectoryPath(const String& full) {
  if (mkdir(full.Text(), 0777) != 0) {
    SetSystemError(errno);
    return false;
  }
  return true;
}

bool PosixFileManager::RemoveDirectoryPath(const String& full) {
  if (rmdir(full.Text()) != 0) {
    SetSystemError(errno);
    return false;
  }
  return true;
}

bool PosixFileManager::MakeSymbolicLinkPath(const String&, const String&) {
  // Scripts never make links: a link is a way out of the sandbox.
  SetErrorText("PosixFileManager::MakeSymbolicLink is not implemented");
  return false;
}

bool PosixFileManager::ModePath(const String& full, uint32_t* mode) {
  struct stat st;
  if (!StatPath(full, &st)) return false;
  *mode = static_cast<uint32_t>(st.st_mode & 07777);
  return true;
}

bool PosixFileManager::ChangeModePath(const String& full, uint32_t mode) {
  // Permission bits only: set-user-id and its kin are not for scripts.
  if ((mode & ~uint32_t{0777}) != 0) {
    SetErrorText("Invalid file mode");
    return false;
  }
  if (chmod(full.Text(), static_cast<mode_t>(mode)) != 0) {
    SetSystemError(errno);
    return false;
  }
  return true;
}

bool PosixFileManager::ListDirectoryPath(const String& full, std::vector<DirectoryEntry>* entries) {
  entries->clear();
  DIR* dir = opendir(full.Text());
  if (dir == nullptr) {
    SetSystemError(errno);
    return false;
  }
  String child;
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const std::string_view name(entry->d_name);
    if (name == "."sv || name == ".."sv) continue;
    bool is_directory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      child.Assign(full);
      child.Append('/');
      child.Append(name);
      struct stat st;
      is_directory = stat(child.Text(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    entries->push_back({String(name), is_directory});
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) {
    SetSystemError(error);
    return false;
  }
  std::sort(entries->begin(), entries->end(), [](const DirectoryEntry& a, const DirectoryEntry& b) {
    return View(a.name) < View(b.name);
  });
  return true;
}

// --- PosixFile ----------------------------------------------------------------

PosixFile::PosixFile(PosixFileManager* manager, String path, int fd, int flags)
    : File(manager, std::move(path)), fd_(fd), flags_(flags & ~(O_CREAT | O_EXCL | O_TRUNC)) {}

PosixFile::~PosixFile() {
  if (IsPooled()) Manager()->Forget(this);
  // Closing the descriptor drops the locks of this open file description
  // only; other files on the same path keep theirs.
  if (fd_ >= 0) close(fd_);
}

bool PosixFile::Fail(int error_number) {
  SetErrorText(SystemErrorText(error_number).View());
  return false;
}

bool PosixFile::Ready() {
  if (IsPooled()) {
    if (!Manager()->Activate(this)) {
      SetErrorText(Manager()->ErrorText().View());
      return false;
    }
    return true;
  }
  if (fd_ < 0) {
    SetErrorText("Activation request for invalid or non-active file");
    return false;
  }
  return true;
}

bool PosixFile::OwnerId(int64_t* id) {
  if (!Ready()) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(errno);
  *id = static_cast<int64_t>(st.st_uid);
  return true;
}

bool PosixFile::GroupId(int64_t* id) {
  if (!Ready()) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(errno);
  *id = static_cast<int64_t>(st.st_gid);
  return true;
}

namespace {

// Reads until `length` bytes came or the file ended; `step` reads once at
// an offset into the request. -1 with errno on an error.
template <typename Step>
int64_t ReadFully(char* out, int64_t length, Step&& step) {
  int64_t done = 0;
  while (done < length) {
    const ssize_t n = step(out + done, static_cast<size_t>(length - done), done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

}  // namespace

int64_t PosixFile::ReadAt(void* buffer, int64_t length, int64_t offset) {
  if (!Ready()) return -1;
  if (length < 0 || offset < 0) {
    SetErrorText("Invalid read length");
    return -1;
  }
  const int64_t got = ReadFully(static_cast<char*>(buffer), length,
                                [&](char* to, size_t n, int64_t done) {
                                  return pread(fd_, to, n, static_cast<off_t>(offset + done));
                                });
  if (got < 0) Fail(errno);
  return got;
}

int64_t PosixFile::Read(void* buffer, int64_t length) {
  if (!Ready()) return -1;
  if (length < 0) {
    SetErrorText("Invalid read length");
    return -1;
  }
  const int64_t got = ReadFully(static_cast<char*>(buffer), length,
                                [&](char* to, size_t n, int64_t) { return read(fd_, to, n); });
  if (got < 0) Fail(errno);
  return got;
}

bool PosixFile::Write(const void* buffer, int64_t length) {
  opened_length_ = -1;
  if (!Ready()) return false;
  if (length < 0) {
    SetErrorText("Invalid write length");
    return false;
  }
  const char* in = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd_, in + done, static_cast<size_t>(length - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno);
    done += n;
  }
  return true;
}

bool PosixFile::Seek(int64_t offset, int whence) {
  if (!Ready()) return false;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return Fail(EINVAL);
  if (lseek(fd_, static_cast<off_t>(offset), whence) < 0) return Fail(errno);
  return true;
}

int64_t PosixFile::Tell() {
  if (!Ready()) return -1;
  const off_t at = lseek(fd_, 0, SEEK_CUR);
  if (at < 0) {
    Fail(errno);
    return -1;
  }
  return static_cast<int64_t>(at);
}

int64_t PosixFile::Length() {
  if (!Ready()) return -1;
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    Fail(errno);
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool PosixFile::Describe(int64_t* length, int64_t* modified) {
  if (opened_length_ >= 0) {
    *length = opened_length_;
    *modified = opened_modified_;
    return true;
  }
  if (!Ready()) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(errno);
  *length = static_cast<int64_t>(st.st_size);
  *modified = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool PosixFile::ModificationTime(int64_t* seconds) {
  if (!Ready()) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(errno);
  *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool PosixFile::Truncate(int64_t length) {
  opened_length_ = -1;
  if (!Ready()) return false;
  if (ftruncate(fd_, static_cast<off_t>(length)) != 0) return Fail(errno);
  return true;
}

int64_t PosixFile::SendToSocket(int socket, int64_t* offset, int64_t length) {
  if (!Ready()) {
    errno = EIO;
    return -1;
  }
  off_t at = static_cast<off_t>(*offset);
  const ssize_t n = sendfile(socket, fd_, &at, static_cast<size_t>(length));
  if (n > 0) *offset = static_cast<int64_t>(at);
  return n;
}

bool PosixFile::Flush() {
  if (!Ready()) return false;
  if (fdatasync(fd_) != 0) return Fail(errno);
  return true;
}

bool PosixFile::Lock(int64_t offset, int64_t length, bool exclusive, bool wait) {
  if (offset < 0 || length <= 0 || length > INT64_MAX - offset) {
    SetErrorText("Invalid byte range");
    return false;
  }
  if (!Ready()) return false;
  struct flock lock {};
  lock.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  // Polled rather than F_OFD_SETLKW so that a stopped run stops waiting.
  int pause_us = 200;
  for (;;) {
    if (fcntl(fd_, F_OFD_SETLK, &lock) == 0) break;
    const int error = errno;
    if (error == EINTR) continue;
    if ((error != EAGAIN && error != EACCES) || !wait) return Fail(error);
    if (static_cast<PosixFileManager*>(Manager())->IsStopped()) {
      SetErrorText("The run was stopped while waiting for a lock");
      return false;
    }
    const struct timespec pause = {0, static_cast<long>(pause_us) * 1000};
    nanosleep(&pause, nullptr);
    if (pause_us < 20000) pause_us *= 2;
  }
  locks_.push_back({offset, length});
  return true;
}

bool PosixFile::Release(int64_t offset, int64_t length) {
  if (offset < 0 || length <= 0 || length > INT64_MAX - offset) {
    SetErrorText("Invalid byte range");
    return false;
  }
  if (!Ready()) return false;
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  if (fcntl(fd_, F_OFD_SETLK, &lock) != 0) return Fail(errno);
  // Ranges wholly released are forgotten; one released in part still
  // holds bytes, so the file keeps counting as locked.
  locks_.erase(std::remove_if(locks_.begin(), locks_.end(),
                              [&](const Range& r) {
                                return r.offset >= offset &&
                                       r.offset + r.length <= offset + length;
                              }),
               locks_.end());
  return true;
}

bool PosixFile::Deactivate() {
  if (fd_ < 0) return true;
  const off_t at = lseek(fd_, 0, SEEK_CUR);
  if (at < 0) return Fail(errno);
  saved_position_ = static_cast<int64_t>(at);
  close(fd_);
  fd_ = -1;
  return true;
}

bool PosixFile::Reactivate() {
  if (fd_ >= 0) return true;
  const int fd = OpenRegular(Path().Text(), flags_);
  if (fd < 0) return Fail(errno);
  if (lseek(fd, static_cast<off_t>(saved_position_), SEEK_SET) < 0) {
    const int error = errno;
    close(fd);
    return Fail(error);
  }
  fd_ = fd;
  return true;
}

}  // namespace lumo
