// docs/tutorial.md is run as written: every page in it is compiled (with
// the others as the parts it may include), and every output block is what
// the page before it prints, every messages block what lumoc says about it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/lumoc/page_host.h"

namespace lumo {
namespace {

struct Block {
  std::string kind;  // "page", "output", "messages"
  std::string info;  // the rest of the fence line
  std::string text;
};

std::vector<Block> Blocks(const std::string& markdown) {
  std::vector<Block> blocks;
  std::istringstream in(markdown);
  std::string line;
  Block* open = nullptr;
  while (std::getline(in, line)) {
    if (open != nullptr) {
      if (line == "```") {
        open = nullptr;
      } else {
        open->text += line + "\n";
      }
      continue;
    }
    if (line.rfind("```html page=", 0) == 0) {
      blocks.push_back({"page", line.substr(13), ""});
    } else if (line.rfind("```output", 0) == 0) {
      blocks.push_back({"output", line.size() > 10 ? line.substr(10) : "", ""});
    } else if (line.rfind("```messages", 0) == 0) {
      blocks.push_back({"messages", "", ""});
    } else {
      continue;
    }
    open = &blocks.back();
  }
  return blocks;
}

// "name=value other=value" into pairs; values hold no blanks.
std::map<std::string, std::string> Pairs(const std::string& info) {
  std::map<std::string, std::string> pairs;
  std::istringstream in(info);
  std::string word;
  while (in >> word) {
    const size_t eq = word.find('=');
    if (eq != std::string::npos) pairs[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return pairs;
}

TEST(Tutorial, EveryPageRunsAsShown) {
  std::ifstream file(std::string(LUMO_DOCS_DIR) + "/tutorial.md");
  std::stringstream markdown;
  markdown << file.rdbuf();
  const std::vector<Block> blocks = Blocks(markdown.str());
  TableReader reader;
  for (const Block& b : blocks) {
    if (b.kind == "page") reader.files[b.info.substr(0, b.info.find(' '))] = b.text;
  }
  int pages = 0;
  int outputs = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].kind != "page") continue;
    ++pages;
    const std::string name = blocks[i].info.substr(0, blocks[i].info.find(' '));
    const Block* next = i + 1 < blocks.size() && blocks[i + 1].kind != "page" ? &blocks[i + 1]
                                                                              : nullptr;
    LumoCompiler compiler({}, &reader);
    String image;
    const bool compiled = compiler.CompileSource(blocks[i].text, name, &image);
    if (next != nullptr && next->kind == "messages") {
      EXPECT_FALSE(compiled) << name;
      EXPECT_EQ(compiler.FormattedMessages(), next->text) << name;
      continue;
    }
    ASSERT_TRUE(compiled) << name << "\n" << compiler.FormattedMessages();
    if (next == nullptr || next->kind != "output") continue;
    ++outputs;
    Machine m;
    ASSERT_TRUE(m.Load(image.View())) << name;
    for (const auto& [variable, value] : Pairs(next->info)) {
      m.system.SetVariable(variable.data(), static_cast<int32_t>(variable.size()), value.data(),
                           static_cast<int32_t>(value.size()));
    }
    m.Run();
    // The tutorial shows what lumorun prints, which names the program by
    // its path in the script directory.
    std::string printed = m.context.output;
    const size_t program = printed.find(Machine::kName);
    if (program != std::string::npos) {
      printed.replace(program, std::string(Machine::kName).size(), "/" + name);
    }
    EXPECT_EQ(printed, next->text) << name;
  }
  EXPECT_GE(pages, 8);
  EXPECT_GE(outputs, 6);
}

// The examples of docs/language.md compile: its ```html blocks and the
// examples of its tables.
TEST(LanguageReference, ExamplesCompile) {
  std::ifstream file(std::string(LUMO_DOCS_DIR) + "/language.md");
  std::stringstream text;
  text << file.rdbuf();
  std::vector<std::string> examples;
  std::istringstream in(text.str());
  std::string line;
  std::string block;
  bool open = false;
  while (std::getline(in, line)) {
    if (open) {
      if (line == "```") {
        examples.push_back(block);
        open = false;
      } else {
        block += line + "\n";
      }
    } else if (line == "```html") {
      open = true;
      block.clear();
    } else if (line.rfind("| `Lm", 0) == 0) {
      const size_t start = line.rfind("| `<Lm");
      if (start != std::string::npos) {
        examples.push_back(line.substr(start + 3, line.rfind("` |") - start - 3));
      }
    }
  }
  EXPECT_GE(examples.size(), 30u);
  for (const std::string& example : examples) {
    LumoCompiler compiler;
    String image;
    EXPECT_TRUE(compiler.CompileSource(example, "example.lum", &image))
        << example << "\n" << compiler.FormattedMessages();
  }
}

}  // namespace
}  // namespace lumo
