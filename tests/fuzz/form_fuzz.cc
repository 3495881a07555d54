// libFuzzer target of the form parsers, URL-encoded and multipart. The
// input is
//   options byte, count byte, count & 15 piece sizes, [content type, LF,] body
// options: bit 0 multipart; bits 1-2 the variable limit (0, 1, 2, 5); for
// multipart, bits 3-4 the program hearing of uploads (none: no machine at
// all; both upload functions; validation only; a processing function taking
// the wrong number of parameters), bit 5 a file manager with a scratch
// temporary directory (else none), bits 6-7 what validation answers as the
// largest file (0, -1, 1, 7). The body goes to the parser in pieces of the
// given sizes in turn (0: an empty piece; no sizes: all at once), so every
// split is reachable.
//
// Beyond the sanitizers' judgement: the parser must give the same variables,
// upload calls, uploaded bytes and error whether the body comes whole or in
// pieces, and leave no temporary file behind.
#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/dictionary.h"
#include "files/posix_file_manager.h"
#include "tests/core/vm/run_program.h"
#include "values/variable_hash.h"
#include "web/multipart_form_parser.h"
#include "web/url_encoded_parser.h"

namespace {

using lumo::String;
using lumo::Variable;

enum Program { kNone, kBoth, kValidateOnly, kBadProcess };

// A function that appends "Letter(arg,arg,...) " to the global log and
// returns the global max.
std::string Recorder(const char* name, char letter, int parameters) {
  std::string source = std::string(".function ") + name + "(";
  for (int i = 0; i < parameters; ++i) source += (i ? ", p" : "p") + std::to_string(i);
  source += ")\n  pushg log\n  pushc \"" + std::string(1, letter) + "(\"\n  cat\n";
  for (int i = 0; i < parameters; ++i) {
    if (i) source += "  pushc \",\"\n  cat\n";
    source += "  pushl p" + std::to_string(i) + "\n  cat\n";
  }
  return source + "  pushc \") \"\n  cat\n  popg log\n  pushg max\n  ret\n.end\n";
}

// One machine per program kind, assembled once; each parse starts from
// emptied globals.
lumo::Machine* MachineFor(Program program) {
  static std::unique_ptr<lumo::Machine> machines[4];
  if (program == kNone) return nullptr;
  std::unique_ptr<lumo::Machine>& m = machines[program];
  if (!m) {
    std::string source = ".global log, max\n";
    source += Recorder("Lumo_ValidateFileUpload", 'V', 3);
    if (program != kValidateOnly) {
      source += Recorder("Lumo_ProcessFileUpload", 'P', program == kBadProcess ? 5 : 6);
    }
    m = std::make_unique<lumo::Machine>();
    if (!m->Assemble(source)) {
      fprintf(stderr, "upload functions: %s\n", m->error.Text());
      abort();
    }
  }
  return m.get();
}

// Notes each deleted file as "[content]" before it goes.
class RecordingFiles : public lumo::PosixFileManager {
 public:
  bool DeletePath(const String& full) override {
    std::ifstream in(full.Text(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    deleted.append("[").append(content.str()).append("]");
    return PosixFileManager::DeletePath(full);
  }
  std::string deleted;
};

const std::string& ScratchDirectory() {
  static const std::string directory = [] {
    char pattern[] = "/tmp/lumo-form-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    return std::string(pattern);
  }();
  return directory;
}

bool DirectoryEmpty(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (const dirent* e = readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name != "." && name != "..") empty = false;
  }
  closedir(dir);
  return empty;
}

// The whole tree of a variable: a scalar's text, an aggregate's elements
// in key order as [key=...;key=...;] (an array) or {...} (a structure).
void Describe(Variable* v, std::string& out) {
  v = v->RealIdentity();
  lumo::AggregateElementTree* elements =
      v->Aggregate_Type() == lumo::kAggregateScalar ? nullptr : v->Elements();
  if (elements == nullptr) {
    out += v->Value().View();
    return;
  }
  const bool array = v->Aggregate_Type() == lumo::kAggregateArray;
  out += array ? '[' : '{';
  elements->InOrder([&out](lumo::AggregateElement* e) {
    out += e->Index().Text().View();
    out += '=';
    if (e->Variable() != nullptr) Describe(e->Variable(), out);
    out += ';';
  });
  out += array ? ']' : '}';
}

struct Input {
  uint8_t options = 0;
  std::vector<uint8_t> sizes;
  std::string_view content_type;
  std::string_view body;
};

bool Split(const uint8_t* data, size_t size, Input* input) {
  if (size < 2) return false;
  input->options = data[0];
  const size_t count = data[1] & 15u;
  if (size < 2 + count) return false;
  input->sizes.assign(data + 2, data + 2 + count);
  std::string_view rest(reinterpret_cast<const char*>(data + 2 + count), size - 2 - count);
  if ((input->options & 1) != 0) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos) return false;
    input->content_type = rest.substr(0, end);
    rest.remove_prefix(end + 1);
  }
  input->body = rest;
  return true;
}

// Everything one parse produced, as one comparable text.
std::string Parse(const Input& input, bool whole) {
  static const int32_t kLimits[] = {0, 1, 2, 5};
  static const char* const kMaximums[] = {"0", "-1", "1", "7"};
  const int32_t limit = kLimits[(input.options >> 1) & 3];
  const bool multipart = (input.options & 1) != 0;
  const auto program = static_cast<Program>((input.options >> 3) & 3);
  const bool with_directory = (input.options & 0x20) != 0;

  lumo::Dictionary dictionary;
  // Sized small, as a request's table starts, so that forms make it grow.
  lumo::VariableHash variables(&dictionary, 4, 16);
  lumo::Machine* m = multipart ? MachineFor(program) : nullptr;
  if (m != nullptr) {
    m->globals.Dump();
    m->globals.SetVariable("max", -1, kMaximums[input.options >> 6], -1);
  }
  RecordingFiles files;
  if (with_directory && !files.SetTemporaryDirectory(ScratchDirectory())) abort();

  std::string outcome;
  {
    std::unique_ptr<lumo::HTTPContentParser> parser;
    if (multipart) {
      parser = std::make_unique<lumo::MultipartFormParser>(
          m != nullptr ? &m->Vm() : nullptr, with_directory ? &files : nullptr, &variables,
          input.content_type, limit);
    } else {
      parser = std::make_unique<lumo::URLEncodedParser>(&variables, limit);
    }
    std::string_view rest = input.body;
    bool ok = true;
    size_t next = 0;
    size_t fed = 0;
    // Sizes all 0 would never get through the body: after one round of
    // empty pieces the rest goes at once.
    bool all_empty = true;
    for (uint8_t s : input.sizes) all_empty = all_empty && s == 0;
    while (ok && (!rest.empty() || fed == 0)) {
      size_t n = rest.size();
      if (!whole && !(all_empty && fed >= input.sizes.size())) {
        n = std::min<size_t>(n, input.sizes[next]);
        next = (next + 1) % input.sizes.size();
      }
      ok = parser->Parse(rest.data(), static_cast<int32_t>(n));
      rest.remove_prefix(n);
      ++fed;
    }
    if (ok) ok = parser->Finish();
    if (ok != parser->ErrorText().IsEmpty()) {
      fprintf(stderr, "%s without an error text\n", ok ? "success" : "failure");
      abort();
    }
    for (int32_t e = 0; e < variables.EntryCount(); ++e) {
      Variable* v = variables.PeekVariable(e);
      if (v == nullptr) continue;
      outcome += variables.EntryName(e);
      outcome += '=';
      Describe(v, outcome);
      outcome += '\n';
    }
    if (!ok) outcome.append("!").append(parser->ErrorText().View()).append("\n");
  }
  if (m != nullptr) outcome.append("log: ").append(m->Global("log")).append("\n");
  outcome += "deleted: " + files.deleted + "\n";
  if (with_directory && !DirectoryEmpty(ScratchDirectory())) {
    fprintf(stderr, "temporary files left in %s\n", ScratchDirectory().c_str());
    abort();
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input;
  if (!Split(data, size, &input)) return 0;
  const std::string whole = Parse(input, true);
  if (input.sizes.empty()) return 0;
  const std::string pieces = Parse(input, false);
  if (pieces != whole) {
    fprintf(stderr, "whole body:\n%s\nin pieces:\n%s\n", whole.c_str(), pieces.c_str());
    abort();
  }
  return 0;
}
