// lumoasm: assembles Lumo Script assembly into a compiled program, and
// lists the code of a compiled program.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/base/conversions.h"
#include "core/base/dictionary.h"
#include "core/base/stream.h"
#include "core/base/string.h"
#include "core/base/system_error.h"
#include "core/program/function_manager.h"
#include "core/program/listing.h"
#include "core/program/program_file.h"
#include "core/program/segment_manager.h"
#include "core/program/tagged_file.h"
#include "tools/lumoasm/assembler.h"
#include "values/system_variable_hash.h"
#include "values/variable_hash.h"

namespace lumo {
namespace {

constexpr char kUsage[] =
    "usage: lumoasm SOURCE [-o OUTPUT]     assemble SOURCE (default output: SOURCE with .lmc)\n"
    "       lumoasm --list PROGRAM          list a compiled program's code with its names\n"
    "       lumoasm --list-raw PROGRAM      the same in the machine's own listing format\n"
    "       lumoasm --help\n";

void Complain(std::string_view text) {
  String line("lumoasm: ");
  line.Append(text);
  line.Append('\n');
  fwrite(line.Text(), 1, static_cast<size_t>(line.Length()), stderr);
}

bool ReadFile(const char* path, String* contents) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    String text(path);
    text.Append(": ");
    text.Append(SystemErrorText(errno));
    Complain(text);
    return false;
  }
  contents->SetLength(0);
  char buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    contents->Append(buffer, static_cast<int32_t>(got));
  }
  // fread leaves the reason (a directory, say) in errno; fclose may not.
  const int failure = ferror(file) == 0 ? 0 : errno != 0 ? errno : EIO;
  fclose(file);
  if (failure != 0) {
    String text(path);
    text.Append(": ");
    text.Append(SystemErrorText(failure));
    Complain(text);
  }
  return failure == 0;
}

bool WriteFile(const String& path, const String& contents) {
  FILE* file = fopen(path.Text(), "wb");
  bool ok = file != nullptr &&
            fwrite(contents.Text(), 1, static_cast<size_t>(contents.Length()), file) ==
                static_cast<size_t>(contents.Length());
  if (file != nullptr && fclose(file) != 0) ok = false;
  if (!ok) {
    String text(path);
    text.Append(": ");
    text.Append(SystemErrorText(errno));
    Complain(text);
  }
  return ok;
}

String DefaultOutput(std::string_view source) {
  const size_t slash = source.rfind('/');
  const size_t dot = source.rfind('.');
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
    source = source.substr(0, dot);
  }
  String out(source);
  out.Append(".lmc");
  return out;
}

int AssembleFile(const char* source_path, const String& output) {
  String source;
  if (!ReadFile(source_path, &source)) return 1;
  // An empty file is most often the wrong file; a program with no code
  // would still be written and run, printing nothing.
  bool blank = true;
  for (const char c : source.View()) blank = blank && (c == ' ' || c == '\t' || c == '\r' || c == '\n');
  if (blank) {
    String text(source_path);
    text.Append(": the source is empty");
    Complain(text);
    return 1;
  }
  String image;
  String error;
  if (!Assemble(source.View(), source_path, &image, &error)) {
    error.Append('\n');
    fwrite(error.Text(), 1, static_cast<size_t>(error.Length()), stderr);
    return 1;
  }
  return WriteFile(output, image) ? 0 : 1;
}

int List(const char* path, bool raw) {
  String contents;
  if (!ReadFile(path, &contents)) return 2;
  Dictionary dictionary;
  SystemVariableHash system(&dictionary);
  VariableHash globals(&dictionary);
  SegmentManager segments;
  FunctionManager functions(&dictionary);
  TaggedFile file;
  String error;
  if (!file.Attach(path, new MemoryStream(contents.View())) ||
      !LoadProgram(file, {&dictionary, &system, &globals, &segments, &functions}, &error)) {
    Complain(error.IsEmpty() ? file.ErrorText() : error);
    return 2;
  }
  String out;
  for (int32_t n = 0; n < segments.Count(); ++n) {
    const Segment* segment = segments.Segment(n);
    if (segment == nullptr) continue;
    // A segment is best known by the functions that start in it.
    String source;
    for (int32_t f = 0; f < functions.Count(); ++f) {
      if (functions.Function(f)->EntrySegment() != n) continue;
      if (!source.IsEmpty()) source.Append(", ");
      source.Append(functions.Function(f)->Name());
    }
    if (source.IsEmpty()) {
      source.Assign("segment ");
      AppendInteger(source, n);
    }
    if (raw) {
      ListSegment(*segment, source.View(), out);
    } else {
      ListingNames names;
      names.dictionary = &dictionary;
      names.system = &system;
      names.globals = &globals;
      names.functions = &functions;
      for (int32_t f = 0; f < functions.Count() && names.function == nullptr; ++f) {
        if (functions.Function(f)->EntrySegment() == n) names.function = functions.Function(f);
      }
      if (!out.IsEmpty()) out.Append('\n');
      String title("segment ");
      AppendInteger(title, n);
      if (names.function != nullptr) {
        title.Append(": ");
        title.Append(source);
      }
      ListSegmentNamed(*segment, title.View(), names, out);
    }
  }
  fwrite(out.Text(), 1, static_cast<size_t>(out.Length()), stdout);
  return 0;
}

int Main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "--list") == 0) return List(argv[2], false);
  if (argc == 3 && strcmp(argv[1], "--list-raw") == 0) return List(argv[2], true);
  const char* source = nullptr;
  const char* output = nullptr;
  auto refuse = [](const char* what, const char* argument) {
    String text(what);
    text.Append(" '");
    text.Append(argument);
    text.Append("'");
    Complain(text);
    fputs(kUsage, stderr);
    return 1;
  };
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (strcmp(argument, "-o") == 0) {
      if (i + 1 >= argc) return refuse("missing file name after", argument);
      if (output != nullptr) return refuse("second output", argv[i + 1]);
      output = argv[++i];
    } else if (argument[0] == '-' && argument[1] != '\0') {
      return refuse("unknown option", argument);
    } else if (source != nullptr) {
      return refuse("second source", argument);
    } else {
      source = argument;
    }
  }
  if (source == nullptr) {
    Complain("no source file given");
    fputs(kUsage, stderr);
    return 1;
  }
  return AssembleFile(source, output != nullptr ? String(output) : DefaultOutput(source));
}

}  // namespace
}  // namespace lumo

int main(int argc, char** argv) { return lumo::Main(argc, argv); }
