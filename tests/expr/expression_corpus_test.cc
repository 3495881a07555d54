// Replays the generated corpus (generate_corpus.py): every line compiles or
// fails with a message the compiler may give, and what compiles runs to an
// end under a watchdog.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tests/expr/expression_host.h"

namespace lumo {
namespace {

std::vector<std::string> CorpusLines() {
  std::string path = __FILE__;
  path = path.substr(0, path.find_last_of('/') + 1) + "expression_corpus.txt";
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(ExpressionCorpus, EveryLineCompilesOrFailsWithAKnownMessage) {
  const std::vector<std::string> lines = CorpusLines();
  ASSERT_GE(lines.size(), 200u);
  Watchdog watchdog(std::chrono::milliseconds(2000));
  int compiled = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    ExpressionHost host;
    ASSERT_TRUE(host.assembled);
    const char* view = i % 2 == 0 ? "shop" : "";
    EXPECT_TRUE(host.CompileAndRun(lines[i], watchdog, view)) << lines[i] << "\n=> "
                                                             << host.Compile(lines[i], view);
    if (host.segment >= 0) ++compiled;
  }
  // The corpus exercises both sides.
  EXPECT_GT(compiled, 200);
  EXPECT_LT(compiled, static_cast<int>(lines.size()) - 40);
}

}  // namespace
}  // namespace lumo
