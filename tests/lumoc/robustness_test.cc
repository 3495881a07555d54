// Damaged pages: the demo site's pages cut short at every byte and mutated
// at random. The compiler must answer each with messages or a program, and
// every program it writes must load and run (stopped by the watchdog when
// a mutation made it loop).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/lumoc/page_host.h"

namespace lumo {
namespace {

std::string ReadSiteFile(const std::string& name) {
  std::ifstream in(std::string(LUMO_SITE_DIR) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const char* const kPages[] = {"index.lum", "vars.lum", "form.lum", "compose.lum", "hello.lum"};

class Damaged : public ::testing::Test {
 protected:
  void SetUp() override { reader_.files["parts/head.lum"] = ReadSiteFile("parts/head.lum"); }

  // Compiles the page; a program must load, and runs when asked.
  void Check(const std::string& page, bool run) {
    LumoCompiler compiler({}, &reader_);
    String image;
    if (!compiler.CompileSource(page, "page.lum", &image)) {
      ASSERT_FALSE(compiler.Messages().empty()) << page;
      ++refused_;
      return;
    }
    ++compiled_;
    Machine m;
    ASSERT_TRUE(m.Load(image.View())) << m.error.View() << "\n" << page;
    if (!run) return;
    watchdog_.Arm(&m.context);
    m.Run();
    watchdog_.Disarm();
  }

  TableReader reader_;
  Watchdog watchdog_{std::chrono::milliseconds(10)};
  int compiled_ = 0;
  int refused_ = 0;
};

TEST_F(Damaged, EveryTruncationOfFivePages) {
  for (const char* name : kPages) {
    const std::string page = ReadSiteFile(name);
    ASSERT_FALSE(page.empty()) << name;
    for (size_t n = 0; n <= page.size(); ++n) Check(page.substr(0, n), true);
  }
  // The whole pages compile; most of their prefixes leave a block open.
  EXPECT_GT(compiled_, 5);
  EXPECT_GT(refused_, compiled_);
}

TEST_F(Damaged, SeededMutations) {
  const char* const pieces[] = {
      "<LmIF test=\"1\">", "</LmIF>", "<LmELSE>", "<LmWHILE test=\"x\">", "</LmWHILE>",
      "<LmWHILESTOP>", "<LmFOR var=\"i\" from=\"1\" to=\"3\">", "</LmFOR>", "{{", "}}", "{{{",
      "\"", "'", "<", ">", "/>", "<LmFUNCTION name=\"f(a)\">", "</LmFUNCTION>",
      "<LmFUNCTIONRETURN>", "<LmCAPTURE var=\"c\">", "</LmCAPTURE>", "<LmCOMMENT>",
      "</LmCOMMENT>", "<LmINCLUDE file=\"parts/head.lum\">", "<LmFOREACH var=\"e\" in=\"a\">",
      "</LmFOREACH>", "[", "]", "(", ")", ":", "&", "\\{{", "<LmIMPORT file=\"f\" "
      "delimiter=\",\" fields=\"a\">", "</LmIMPORT>", "<LmEXIT>", "g.", "l.", "\n", "\r\n",
  };
  std::vector<std::string> pages;
  for (const char* name : kPages) pages.push_back(ReadSiteFile(name));
  std::mt19937 random(20261207);
  for (int i = 0; i < 10000; ++i) {
    std::string page = pages[random() % pages.size()];
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !page.empty(); ++e) {
      const size_t at = random() % (page.size() + 1);
      switch (random() % 5) {
        case 0:  // a byte changed to any value
          if (at < page.size()) page[at] = static_cast<char>(random() & 0xFF);
          break;
        case 1:  // a stretch removed
          page.erase(at, random() % 40);
          break;
        case 2:  // a piece of the language put in
          page.insert(at, pieces[random() % (sizeof pieces / sizeof pieces[0])]);
          break;
        case 3: {  // a stretch of the page repeated elsewhere
          const size_t from = random() % page.size();
          page.insert(at, page.substr(from, random() % 80));
          break;
        }
        default:  // a NUL or a high byte put in
          page.insert(at, 1, (random() & 1) != 0 ? '\0' : '\xFF');
          break;
      }
    }
    Check(page, i % 10 == 0);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(compiled_, 100);
  EXPECT_GT(refused_, 100);
}

}  // namespace
}  // namespace lumo
