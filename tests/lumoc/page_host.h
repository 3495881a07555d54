// Compiles pages and runs them, for lumoc's tests and its fuzz target:
// sources come from a table instead of the disk, and the program goes
// through a real image (written, then loaded) before it runs.
#ifndef LUMO_TESTS_LUMOC_PAGE_HOST_H_
#define LUMO_TESTS_LUMOC_PAGE_HOST_H_

#include <map>
#include <string>
#include <string_view>

#include "tests/core/vm/run_program.h"
#include "tools/lumoc/compiler.h"

namespace lumo {

class TableReader : public SourceReader {
 public:
  std::map<std::string, std::string> files;

  bool Read(const std::string& path, std::string* text, std::string* error) override {
    const auto it = files.find(Normal(path));
    if (it == files.end()) {
      *error = "No such file or directory";
      return false;
    }
    *text = it->second;
    return true;
  }
  std::string Identity(const std::string& path) override {
    return files.count(Normal(path)) != 0 ? Normal(path) : std::string();
  }

 private:
  static std::string Normal(std::string path) {
    while (path.rfind("./", 0) == 0) path.erase(0, 2);
    return path;
  }
};

// What the page prints (Printed's form: " => N" when the run does not end
// normally), or "compile:" and the messages.
inline std::string RunPage(std::string_view source, TableReader* reader = nullptr) {
  LumoCompiler compiler({}, reader);
  String image;
  if (!compiler.CompileSource(source, "page.lum", &image)) {
    return "compile: " + compiler.FormattedMessages();
  }
  Machine m;
  if (!m.Load(image.View())) return "load: " + std::string(m.error.View());
  return m.RunPrinted();
}

// The first message as "line:column: text", or "" when the page compiles.
inline std::string FirstFault(std::string_view source, TableReader* reader = nullptr) {
  LumoCompiler compiler({}, reader);
  String image;
  if (compiler.CompileSource(source, "page.lum", &image)) return "";
  const CompileMessage& m = compiler.Messages().front();
  return m.file + ":" + std::to_string(m.line) + ":" + std::to_string(m.column) + ": " + m.text;
}

}  // namespace lumo

#endif  // LUMO_TESTS_LUMOC_PAGE_HOST_H_
