// Replays a fuzz target's corpus without libFuzzer: linked with one
// target's source, it feeds every file of the directories (or the files)
// named on the command line to LLVMFuzzerTestOneInput, in name order, so a
// seed or a fixed crash that breaks again fails the ordinary test run. A
// finding aborts, as under the fuzzer; a name that cannot be read, or no
// input at all, fails too (a corpus gone missing must not pass quietly).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path given = argv[i];
    std::error_code error;
    if (fs::is_directory(given, error)) {
      std::vector<fs::path> files;
      for (const fs::directory_entry& e : fs::directory_iterator(given, error)) {
        if (e.is_regular_file()) files.push_back(e.path());
      }
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (fs::is_regular_file(given, error)) {
      inputs.push_back(given);
    }
    if (error) {
      fprintf(stderr, "%s: %s\n", argv[i], error.message().c_str());
      return 2;
    }
  }
  if (inputs.empty()) {
    fprintf(stderr, "usage: %s DIR|FILE...: no input found\n", argv[0]);
    return 2;
  }
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
      fprintf(stderr, "%s: cannot be read\n", path.c_str());
      return 2;
    }
    // A copy of its own, so reading past the end is caught as under the fuzzer.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    fprintf(stderr, "%s\n", path.c_str());
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  fprintf(stderr, "%zu inputs replayed\n", inputs.size());
  return 0;
}
