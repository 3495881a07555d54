#include "files/whole_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/system_error.h"

namespace lumo {

namespace {

std::string ErrnoText(int error) { return std::string(SystemErrorText(error).View()); }

void SetError(String* error, std::string_view text) {
  if (error) *error = String(text);
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Makes every missing directory of `directory`. New directories are
// private (0700), as other programs do under ~/.config.
bool MakeDirectories(const std::string& directory, int* error) {
  if (IsDirectory(directory)) return true;
  for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
    const std::string prefix = directory.substr(0, slash);
    // An existing ancestor may still refuse mkdir (read-only, no access).
    if (mkdir(prefix.c_str(), 0700) != 0) {
      const int cause = errno;
      if (cause != EEXIST && !IsDirectory(prefix)) {
        *error = cause;
        return false;
      }
    }
    if (slash == std::string::npos) break;
  }
  if (IsDirectory(directory)) return true;
  *error = ENOTDIR;
  return false;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

WholeFileRead ReadWholeFile(const std::string& path, int64_t max_size, std::string* text,
                            std::string* problem) {
  text->clear();
  // Non-blocking, so that a path naming a FIFO cannot hang the caller.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return WholeFileRead::kMissing;
    *problem = "cannot open: " + ErrnoText(errno);
    return WholeFileRead::kFailed;
  }
  struct stat status;
  bool ok = true;
  if (fstat(fd, &status) != 0) {
    ok = false;
    *problem = "cannot read: " + ErrnoText(errno);
  } else if (!S_ISREG(status.st_mode)) {
    ok = false;
    *problem = "not a regular file";
  }
  char buffer[8192];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      *problem = "cannot read: " + ErrnoText(errno);
    } else if (n == 0) {
      break;
    } else if (static_cast<int64_t>(text->size()) + n > max_size) {
      ok = false;
      *problem = "larger than " + std::to_string(max_size) + " bytes, not read";
    } else {
      text->append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  if (!ok) text->clear();
  return ok ? WholeFileRead::kRead : WholeFileRead::kFailed;
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, String* error,
                         const std::function<bool()>& before_rename) {
  auto fail = [&](const std::string& what, int cause) {
    std::string text = "Error saving '" + path + "': " + what;
    if (cause != 0) text += ": " + ErrnoText(cause);
    SetError(error, text);
    return false;
  };
  if (path.empty()) return fail("no file name", 0);

  // Replace what a link points at, not the link (configuration kept in a
  // dotfiles repository is often linked into place).
  std::string target = path;
  struct stat status;
  if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
      target = resolved;
      free(resolved);
    }
  }
  const size_t slash = target.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  int cause = 0;
  if (!MakeDirectories(directory, &cause)) return fail("cannot make " + directory, cause);

  mode_t mode = 0644;
  if (stat(target.c_str(), &status) == 0) mode = status.st_mode & 07777;

  std::string temporary = target + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return fail("cannot create a temporary file in " + directory, errno);

  // Each step runs only when the ones before succeeded; the first failure
  // is the one reported.
  std::string step;
  bool ok = true;
  auto check = [&](bool step_ok, const char* what) {
    if (ok && !step_ok) {
      ok = false;
      cause = errno;
      step = what;
    }
  };
  check(fchmod(fd, mode) == 0, "cannot set the permissions of the temporary file");
  if (ok) check(WriteAll(fd, contents), "cannot write the temporary file");
  if (ok) check(fsync(fd) == 0, "cannot sync the temporary file");
  check(close(fd) == 0, "cannot close the temporary file");
  if (ok && before_rename && !before_rename()) {
    ok = false;
    cause = 0;
    step = "interrupted before the rename";
  }
  if (ok) check(rename(temporary.c_str(), target.c_str()) == 0, "cannot rename the temporary file");
  if (!ok) {
    unlink(temporary.c_str());
    return fail(step, cause);
  }
  // The rename itself is durable only once the directory is synced. The
  // new file is in place either way, so a failure here is not reported.
  const int directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory_fd >= 0) {
    fsync(directory_fd);
    close(directory_fd);
  }
  return true;
}

}  // namespace lumo
