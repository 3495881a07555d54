// lumoc: compiles a Lumo Script page (.lum) into a program file (.lmc).
//
// Exit status: 0 compiled (or, with --check, would compile), 1 the source
// has faults (all of them on stderr), 2 a file cannot be read or written or
// the command line is wrong.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "config/config_file.h"
#include "config/dex_config.h"
#include "core/base/system_error.h"
#include "core/context/config_target.h"
#include "core/context/error_settings.h"
#include "ext/extension_libraries.h"
#include "tools/lumoc/compiler.h"

namespace {

void Usage(FILE* out) {
  fputs("usage: lumoc [options] SOURCE.lum\n"
        "Compiles a Lumo Script page into a program file.\n"
        "  -o FILE     the program file (default: SOURCE with .lmc for its extension)\n"
        "  -I DIR      also look for LmINCLUDE files in DIR (may be repeated)\n"
        "  --check     only report faults; write nothing\n"
        "  --config FILE  the configuration whose libraries a page may call (default:\n"
        "              $LUMODEX_CONFIG, else ~/.config/lumodex/lumodex.conf)\n"
        "Exit status: 0 compiled, 1 faults in the source, 2 a file cannot be read\n"
        "or written.\n",
        out);
}

std::string DefaultOutput(const std::string& source) {
  const size_t slash = source.rfind('/');
  const size_t dot = source.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    return source.substr(0, dot) + ".lmc";
  }
  return source + ".lmc";
}

}  // namespace

int main(int argc, char** argv) {
  lumo::CompileOptions options;
  std::string source;
  std::string output;
  const char* config_flag = nullptr;
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    if (arg == "--check") {
      check = true;
    } else if (arg == "--config" && i + 1 < argc) {
      config_flag = argv[++i];
    } else if ((arg == "-o" || arg == "-I") && i + 1 < argc) {
      (arg == "-o" ? output : options.include_dirs.emplace_back()) = argv[++i];
    } else if (arg.size() > 2 && arg.compare(0, 2, "-I") == 0) {
      options.include_dirs.push_back(arg.substr(2));
    } else if (!arg.empty() && arg[0] == '-') {
      fprintf(stderr, "lumoc: unknown option '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    } else if (source.empty()) {
      source = arg;
    } else {
      fprintf(stderr, "lumoc: only one source file, please ('%s' and '%s')\n", source.c_str(),
              arg.c_str());
      return 2;
    }
  }
  if (source.empty()) {
    Usage(stderr);
    return 2;
  }
  // The functions of the libraries the configuration registers (the
  // standard library beside lumoc when it registers none), as the runs that
  // will call them have them.
  lumo::ProcessConfigTarget target;
  lumo::DexConfig config(&target, lumo::TagLookup);
  const std::string config_path = lumo::ConfigFilePath(config_flag);
  if (config_flag != nullptr && access(config_path.c_str(), F_OK) != 0) {
    fprintf(stderr, "lumoc: configuration file '%s': %s\n", config_path.c_str(),
            lumo::SystemErrorText(errno).Text());
    return 2;
  }
  std::vector<std::string> warnings;
  config.Load(config_path, &warnings);
  lumo::ExtensionLibraries extensions;
  extensions.Configure(config, target, config_path, &warnings);
  for (const std::string& w : warnings) fprintf(stderr, "lumoc: %s\n", w.c_str());
  lumo::ExtensionRun libraries(extensions);
  options.builtins = &libraries.Calls();

  lumo::LumoCompiler compiler(options);
  lumo::String image;
  const bool ok = compiler.CompileFile(source, &image);
  fputs(compiler.FormattedMessages().c_str(), stderr);
  if (!ok) return compiler.ReadFailed() ? 2 : 1;
  if (check) return 0;
  if (output.empty()) output = DefaultOutput(source);
  FILE* f = fopen(output.c_str(), "wb");
  if (f == nullptr) {
    fprintf(stderr, "lumoc: cannot write '%s': %s\n", output.c_str(),
            lumo::SystemErrorText(errno).Text());
    return 2;
  }
  const auto size = static_cast<size_t>(image.Length());
  const bool written = fwrite(image.Text(), 1, size, f) == size;
  if (fclose(f) != 0 || !written) {
    fprintf(stderr, "lumoc: cannot write '%s'\n", output.c_str());
    remove(output.c_str());
    return 2;
  }
  return 0;
}
