// libFuzzer target of the sandbox: any byte string given as a data-file
// name either is refused or resolves inside the data directory, to a path
// without "." or ".." components. The same bytes are also read as a
// configuration file, which must never crash, however damaged.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "config/dex_config.h"
#include "files/posix_file_manager.h"

namespace {

struct Sandbox {
  Sandbox() {
    char pattern[] = "/tmp/lumo-path-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    base = pattern;
    if (!files.SetDataDirectory(base)) abort();
  }
  std::string base;
  lumo::PosixFileManager files;
};

void CheckInside(const std::string& base, std::string_view full) {
  if (full == base) return;
  if (full.size() <= base.size() || full.substr(0, base.size()) != base ||
      full[base.size()] != '/') {
    fprintf(stderr, "escaped: %.*s\n", static_cast<int>(full.size()), full.data());
    abort();
  }
  std::string_view rest = full.substr(base.size() + 1);
  while (!rest.empty()) {
    const size_t cut = rest.find('/');
    const std::string_view part = rest.substr(0, cut);
    if (part.empty() || part == std::string_view(".") || part == std::string_view("..") ||
        part.find('\\') != std::string_view::npos || part.find('\0') != std::string_view::npos) {
      fprintf(stderr, "bad component in: %.*s\n", static_cast<int>(full.size()), full.data());
      abort();
    }
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox sandbox;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  lumo::String full;
  for (lumo::FileLocation location : {lumo::kDataLocation, lumo::kTemporaryLocation}) {
    if (sandbox.files.Resolve(location, input, &full)) CheckInside(sandbox.base, full.View());
  }
  lumo::DexConfigLoader config(nullptr);
  std::vector<std::string> warnings;
  lumo::ParseConfigText(input, "fuzz.conf", config, &warnings);
  return 0;
}
