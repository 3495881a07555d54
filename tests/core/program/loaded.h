// Shared by the program file tests: a program's parts in one object, and
// little-endian patching of images.
#ifndef LUMO_TESTS_CORE_PROGRAM_LOADED_H_
#define LUMO_TESTS_CORE_PROGRAM_LOADED_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "core/program/program_file.h"
#include "tools/lumoasm/assembler.h"
#include "values/system_variable_hash.h"

namespace lumo {

inline std::ostream& operator<<(std::ostream& os, const String& s) { return os << s.View(); }

struct Loaded {
  explicit Loaded(int function_bits = FunctionManager::kInitialBits)
      : functions(&dictionary, function_bits) {}
  ProgramParts Parts() { return {&dictionary, &system, &globals, &segments, &functions}; }

  bool Load(std::string_view bytes) {
    TaggedFile file;
    if (!file.Attach("test.lmc", new MemoryStream(bytes))) error = file.ErrorText();
    return error.IsEmpty() && LoadProgram(file, Parts(), &error);
  }
  bool Assemble(std::string_view source) {
    return AssembleInto(source, "t", Parts(), &version, &error);
  }
  std::string Write() {
    MemoryStream out;
    EXPECT_TRUE(WriteProgram(out, Parts(), &error, version)) << error.Text();
    return std::string(out.Contents().View());
  }

  Dictionary dictionary;
  SystemVariableHash system{&dictionary};
  VariableHash globals{&dictionary};
  SegmentManager segments;
  FunctionManager functions;
  uint32_t version = TaggedFileWriter::kCurrentVersion;
  String error;
};

inline std::string Image(std::string_view source) {
  String image, error;
  EXPECT_TRUE(Assemble(source, "t", &image, &error)) << error.Text();
  return std::string(image.View());
}

inline uint32_t Get(const std::string& bytes, size_t at, int width = 4) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
  return v;
}

inline void Put(std::string& bytes, size_t at, uint32_t v, int width = 4) {
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
}

// A section's directory entry: tag, then offset (+4) and size (+8).
inline size_t DirectoryEntryOffset(const std::string& image, std::string_view tag) {
  for (uint32_t i = 0; i < Get(image, 28); ++i) {
    if (image.compare(Get(image, 24) + 12 * i, 4, tag) == 0) return Get(image, 24) + 12 * i;
  }
  ADD_FAILURE() << "no section " << tag;
  return 0;
}

}  // namespace lumo

#endif  // LUMO_TESTS_CORE_PROGRAM_LOADED_H_
