#include "tests/stdlib/script_runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include "core/base/string.h"
#include "tools/lumoasm/assembler.h"

namespace lumostd_test {
namespace {

struct Declaration {
  int arity = 0;
  std::vector<bool> by_reference;
};

class Translator {
 public:
  bool Statement(std::string_view line) {
    text_ = line;
    pos_ = 0;
    Skip();
    if (pos_ < text_.size() && text_[pos_] == '$') {
      // An assignment when a '=' follows the name.
      size_t save = pos_;
      std::string name;
      if (!Name(&name)) return false;
      Skip();
      if (pos_ < text_.size() && text_[pos_] == '=') {
        ++pos_;
        if (!Expression()) return false;
        globals_.insert(name);
        code_ += "  popg " + name + "\n";
        return End();
      }
      pos_ = save;
    }
    if (!Expression()) return false;
    code_ += "  out\n  pushc \"\\n\"\n  out\n";
    return End();
  }

  std::string Program() const {
    std::string out;
    if (!globals_.empty()) {
      out += ".global ";
      bool first = true;
      for (const std::string& g : globals_) {
        if (!first) out += ", ";
        first = false;
        out += g;
      }
      out += "\n";
    }
    out += code_;
    out += "  exit\n";
    for (const auto& [name, d] : functions_) {
      out += ".function " + name + "(";
      for (int i = 0; i < d.arity; ++i) {
        if (i > 0) out += ", ";
        out += d.by_reference[static_cast<size_t>(i)] ? "&p" : "p";
        out += std::to_string(i);
      }
      out += ") flags 1\n";
    }
    return out;
  }

  std::string error;

 private:
  void Skip() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  bool Fail(const std::string& what) {
    error = "NOTATION: " + what + " in '" + std::string(text_) + "'";
    return false;
  }
  bool End() {
    Skip();
    if (pos_ != text_.size()) return Fail("text after the statement");
    return true;
  }
  bool Name(std::string* name) {
    if (pos_ < text_.size() && text_[pos_] == '$') ++pos_;
    const size_t start = pos_;
    while (pos_ < text_.size() && (isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
      ++pos_;
    }
    if (pos_ == start) return Fail("a name expected");
    *name = std::string(text_.substr(start, pos_ - start));
    return true;
  }
  bool Expression() {
    Skip();
    if (pos_ >= text_.size()) return Fail("an expression expected");
    const char c = text_[pos_];
    if (c == '"') {
      const size_t start = pos_++;
      while (pos_ < text_.size() && text_[pos_] != '"') {
        if (text_[pos_] == '\\') ++pos_;
        ++pos_;
      }
      if (pos_ >= text_.size()) return Fail("an unterminated string");
      ++pos_;
      code_ += "  pushc " + std::string(text_.substr(start, pos_ - start)) + "\n";
      return true;
    }
    if (c == '-' || isdigit(static_cast<unsigned char>(c))) {
      const size_t start = pos_++;
      bool real = false;
      while (pos_ < text_.size() && (isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.' ||
                                     ((text_[pos_] == '-' || text_[pos_] == '+') &&
                                      (text_[pos_ - 1] == 'e' || text_[pos_ - 1] == 'E')))) {
        if (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E') real = true;
        ++pos_;
      }
      const std::string number(text_.substr(start, pos_ - start));
      // Whole numbers past 32 bits go in as doubles, as a compiler would.
      const long long whole = real ? 0 : atoll(number.c_str());
      if (whole < INT32_MIN || whole > INT32_MAX) real = true;
      code_ += (real ? "  pushf " : "  pushi ") + number + "\n";
      return true;
    }
    if (c == '$') {
      std::string name;
      if (!Name(&name)) return false;
      globals_.insert(name);
      code_ += "  pushg " + name + "\n";
      return true;
    }
    std::string function;
    if (!Name(&function)) return false;
    Skip();
    if (pos_ >= text_.size() || text_[pos_] != '(') return Fail("'(' expected after " + function);
    ++pos_;
    std::vector<bool> by_reference;
    Skip();
    if (pos_ < text_.size() && text_[pos_] == ')') {
      ++pos_;
    } else {
      while (true) {
        Skip();
        const bool reference = pos_ < text_.size() && text_[pos_] == '&';
        if (reference) ++pos_;
        if (!Expression()) return false;
        by_reference.push_back(reference);
        Skip();
        if (pos_ < text_.size() && text_[pos_] == ',') {
          ++pos_;
          continue;
        }
        if (pos_ < text_.size() && text_[pos_] == ')') {
          ++pos_;
          break;
        }
        return Fail("',' or ')' expected");
      }
    }
    auto found = functions_.find(function);
    if (found == functions_.end()) {
      functions_[function] = {static_cast<int>(by_reference.size()), by_reference};
    } else if (found->second.arity != static_cast<int>(by_reference.size())) {
      return Fail(function + " called with two different counts");
    }
    code_ += "  call " + function + "\n";
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string code_;
  std::set<std::string> globals_;
  std::map<std::string, Declaration> functions_;
};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (const char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

struct Scratch {
  std::vector<std::string> directories;
  ~Scratch() {
    std::error_code ignored;
    for (const std::string& d : directories) std::filesystem::remove_all(d, ignored);
  }
};

Scratch& Scratches() {
  static Scratch scratch;
  return scratch;
}

}  // namespace

std::string ScratchDirectory() {
  char pattern[] = "/tmp/lumostd-test.XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return "/tmp";
  Scratches().directories.push_back(made);
  return made;
}

std::string Translate(std::string_view script) {
  Translator translator;
  size_t start = 0;
  while (start <= script.size()) {
    size_t end = script.find('\n', start);
    if (end == std::string_view::npos) end = script.size();
    std::string_view line = script.substr(start, end - start);
    size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line[first] != '#') {
      if (!translator.Statement(line)) return translator.error;
    }
    start = end + 1;
  }
  return translator.Program();
}

Outcome RunScript(std::string_view script, const std::string& data, int timeout) {
  Outcome outcome;
  const std::string source = Translate(script);
  if (source.rfind("NOTATION: ", 0) == 0) {
    outcome.output = source;
    return outcome;
  }
  lumo::String image, error;
  if (!lumo::Assemble(source, "script.lasm", &image, &error)) {
    outcome.output = "ASSEMBLY: " + std::string(error.View());
    return outcome;
  }
  const std::string dir = ScratchDirectory();
  const std::string program = dir + "/script.lmc";
  {
    std::ofstream out(program, std::ios::binary);
    out.write(image.Data(), image.Length());
  }
  std::string data_dir = data;
  if (data_dir.empty()) {
    data_dir = dir + "/data";
    std::filesystem::create_directory(data_dir);
  }
  // No configuration file: HOME points at the scratch directory and the
  // environment names none, so the run registers the library beside
  // lumorun and nothing else.
  const std::string command = "env -u LUMODEX_CONFIG HOME=" + Quote(dir) + " " +
                              Quote(LUMO_LUMORUN) + " --timeout " + std::to_string(timeout) + " --data " + Quote(data_dir) +
                              " " + Quote(program) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    outcome.output = "cannot start lumorun";
    return outcome;
  }
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
  const int status = pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  return outcome;
}

std::string Printed(std::string_view script) {
  const Outcome outcome = RunScript(script);
  if (outcome.status != 0) {
    return "FAILED (status " + std::to_string(outcome.status) + "): " + outcome.output;
  }
  return outcome.output;
}

std::string ErrorOf(std::string_view script) {
  const Outcome outcome = RunScript(script);
  if (outcome.status == 0) return "NO ERROR: " + outcome.output;
  std::string line = outcome.output.substr(0, outcome.output.find('\n'));
  // The machine puts where the error happened in front; the library's own
  // sentence starts at the function's name.
  return line;
}

}  // namespace lumostd_test
