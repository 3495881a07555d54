// ScratchTreeTest: the base of the fixtures that run a server over files of
// their own. base/root is the document root, base/data the data directory;
// base itself holds what must never be served. The tree goes with the test.
#ifndef LUMO_TESTS_WEB_SCRATCH_TREE_H_
#define LUMO_TESTS_WEB_SCRATCH_TREE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "core/base/string.h"
#include "tools/lumoasm/assembler.h"

namespace lumo {

class ScratchTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/lumo_web_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    base_ = name;
    root_ = base_ + "/root";
    data_ = base_ + "/data";
    std::filesystem::create_directories(root_);
    std::filesystem::create_directories(data_);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
  }

  static void Put(const std::string& path, std::string_view content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary).write(content.data(),
                                                static_cast<std::streamsize>(content.size()));
  }
  // Assembles `source` into the program file `path`.
  static void Program(const std::string& path, std::string_view source) {
    String image, error;
    ASSERT_TRUE(Assemble(source, "t", &image, &error)) << error.View() << "\n" << source;
    Put(path, image.View());
  }

  std::string base_, root_, data_;
};

}  // namespace lumo

#endif  // LUMO_TESTS_WEB_SCRATCH_TREE_H_
