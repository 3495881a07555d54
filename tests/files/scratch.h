// Helpers shared by the file manager tests: a scratch directory tree that
// disappears with the test, and direct file access that bypasses the manager.
#ifndef LUMO_TESTS_FILES_SCRATCH_H_
#define LUMO_TESTS_FILES_SCRATCH_H_

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>

#include "core/base/string.h"
#include "files/posix_file_manager.h"

namespace lumo {

inline std::string S(const String& s) { return std::string(s.View()); }

// A fresh directory under /tmp with the given subdirectories, removed with
// everything in it (links are removed, never followed).
class Scratch {
 public:
  explicit Scratch(std::initializer_list<const char*> dirs = {}) {
    char name[] = "/tmp/lumo_files_XXXXXX";
    if (mkdtemp(name) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = name;
    for (const char* dir : dirs) Dir(dir);
  }
  ~Scratch() {
    auto remove = [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path), 0; };
    nftw(root_.c_str(), remove, 16, FTW_DEPTH | FTW_PHYS);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& Root() const { return root_; }
  std::string Path(std::string_view relative) const { return root_ + "/" + std::string(relative); }
  void Dir(std::string_view relative) const { EXPECT_EQ(mkdir(Path(relative).c_str(), 0755), 0) << relative; }
  void Put(std::string_view relative, std::string_view content) const {
    EXPECT_TRUE(std::ofstream(Path(relative), std::ios::binary) << content) << relative;
  }
  // The whole content, or "<missing>".
  std::string Get(std::string_view relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : "<missing>";
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

}  // namespace lumo

#endif  // LUMO_TESTS_FILES_SCRATCH_H_
