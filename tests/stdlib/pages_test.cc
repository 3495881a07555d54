// The library as pages see it: every function can be called by its name
// from a page's expressions (a name the expression language reads as an
// operator could only be called from assembly).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "include/lumo/lumo.h"

namespace lumostd_test {
namespace {

TEST(StdlibPages, EveryFunctionIsCalledByItsName) {
  const std::filesystem::path tools = std::filesystem::path(LUMO_LUMORUN).parent_path();
  // Lazy: the library's calls into the host stay unbound; only its table
  // is read.
  void* library = dlopen((tools / "liblumostd.so").c_str(), RTLD_LAZY | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  using TableFunction = const lmFunctionTable* (*)();
  auto table_function = reinterpret_cast<TableFunction>(dlsym(library, "lumo_function_table"));
  ASSERT_NE(table_function, nullptr);
  const lmFunctionTable* table = table_function();

  std::string page = "<LmASSIGN var=\"v\" value=\"1\">\n";
  int count = 0;
  for (const lmFunction* f = table->functions; f->name != nullptr; ++f, ++count) {
    std::string call = std::string(f->name) + "(";
    for (int32_t i = 0; i < f->parameter_count; ++i) call += i == 0 ? "v" : ", v";
    page += "<LmIF test=\"v eq 2\">{{ " + call + ") }}</LmIF>\n";
  }
  EXPECT_GT(count, 70);
  dlclose(library);

  char scratch[] = "/tmp/lumo-pages-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  const std::filesystem::path directory(scratch);
  std::ofstream(directory / "calls.lum") << page;
  const std::string command = (tools / "lumoc").string() + " " + (directory / "calls.lum").string() +
                              " -o " + (directory / "calls.lmc").string() + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string messages;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) messages += buffer;
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << messages;
  EXPECT_EQ(messages, "");
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace lumostd_test
