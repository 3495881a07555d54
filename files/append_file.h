// AppendFile: a file outside the sandbox that the server appends whole
// lines to (its access log). Each line is one write(2) on a descriptor
// opened with O_APPEND, so lines written by several threads, or by several
// processes sharing the file, land whole and one after another, never
// mixed.
#ifndef LUMO_FILES_APPEND_FILE_H_
#define LUMO_FILES_APPEND_FILE_H_

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/string.h"

namespace lumo {

class AppendFile {
 public:
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens (creating it 0644 when missing) the file at an absolute path;
  // null with *error naming the file and the cause. A FIFO or a device
  // never blocks the opening.
  static std::unique_ptr<AppendFile> Open(const std::string& path, String* error);
  // Standard error, which stays open when this is destroyed.
  static std::unique_ptr<AppendFile> StandardError();

  // Writes the bytes in one call. False when the system took fewer or
  // none (a full disk, a closed pipe): the rest is dropped, as a second
  // write could land after another thread's line.
  bool Append(std::string_view bytes);

  const std::string& Path() const { return path_; }

 private:
  AppendFile(int fd, std::string path, bool owned)
      : fd_(fd), path_(std::move(path)), owned_(owned) {}

  int fd_;
  std::string path_;
  bool owned_;
};

}  // namespace lumo

#endif  // LUMO_FILES_APPEND_FILE_H_
