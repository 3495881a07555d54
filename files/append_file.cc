#include "files/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/system_error.h"

namespace lumo {

AppendFile::~AppendFile() {
  if (owned_ && fd_ >= 0) close(fd_);
}

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, String* error) {
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
              0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int cause = errno;
    error->Assign("Cannot open '");
    error->Append(path);
    error->Append("': ");
    error->Append(SystemErrorText(cause));
    return nullptr;
  }
  struct stat status;
  if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    close(fd);
    error->Assign("Cannot open '");
    error->Append(path);
    error->Append("': ");
    error->Append(SystemErrorText(EISDIR));
    return nullptr;
  }
  // Non-blocking only for the opening (a FIFO without a reader): a line
  // written to a slow pipe should wait rather than be cut.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::unique_ptr<AppendFile>(new AppendFile(fd, path, true));
}

std::unique_ptr<AppendFile> AppendFile::StandardError() {
  return std::unique_ptr<AppendFile>(new AppendFile(STDERR_FILENO, "-", false));
}

bool AppendFile::Append(std::string_view bytes) {
  if (bytes.empty()) return true;
  ssize_t n;
  do {
    n = write(fd_, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size());
}

}  // namespace lumo
