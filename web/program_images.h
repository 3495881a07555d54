// ProgramImages: compiled programs (.lmc) kept in memory between requests.
// Each use checks the file first (one stat: device, inode, size and
// modification time to the nanosecond), so a program replaced on disk is
// read again at its next request; the file itself is opened only then.
// Shared by the workers; at most kMaxBytes are kept, and a program larger
// than kMaxImage is read for each request.
#ifndef LUMO_WEB_PROGRAM_IMAGES_H_
#define LUMO_WEB_PROGRAM_IMAGES_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/base/string.h"
#include "files/posix_file_manager.h"

namespace lumo {

class ProgramImages {
 public:
  static constexpr size_t kMaxBytes = 64 << 20;
  static constexpr int64_t kMaxImage = 4 << 20;

  static ProgramImages& Shared();

  // The contents of the program file at `full` (a path the sandbox gave);
  // null with the file manager's error text when it cannot be read.
  // `known`: the file's identity found a moment ago, taken instead of a
  // stat of its own.
  std::shared_ptr<const std::string> Image(PosixFileManager& files, const String& full,
                                           const PosixFileManager::FileIdentity* known = nullptr);
  void Clear();

 private:
  struct Entry {
    PosixFileManager::FileIdentity identity;
    std::shared_ptr<const std::string> image;
  };
  std::mutex mutex_;
  std::map<std::string, Entry, std::less<>> entries_;
  size_t bytes_ = 0;
};

}  // namespace lumo

#endif  // LUMO_WEB_PROGRAM_IMAGES_H_
