#include "web/mime_types.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "files/whole_file.h"

namespace lumo {

namespace {

// Extensions are kept lower-case without their dot.
class MimeTable {
 public:
  MimeTable() {
    static const struct {
      const char* extension;
      const char* type;
    } kBuiltIn[] = {
        {"html", "text/html"},       {"htm", "text/html"},
        {"css", "text/css"},         {"js", "text/javascript"},
        {"mjs", "text/javascript"},  {"json", "application/json"},
        {"xml", "application/xml"},  {"txt", "text/plain"},
        {"csv", "text/csv"},         {"png", "image/png"},
        {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},        {"svg", "image/svg+xml"},
        {"ico", "image/vnd.microsoft.icon"}, {"webp", "image/webp"},
        {"pdf", "application/pdf"},  {"zip", "application/zip"},
        {"gz", "application/gzip"},  {"woff", "font/woff"},
        {"woff2", "font/woff2"},     {"wasm", "application/wasm"},
        {"mp3", "audio/mpeg"},       {"mp4", "video/mp4"},
    };
    for (const auto& e : kBuiltIn) types_[e.extension] = e.type;
  }

  bool Load(const char* file) {
    std::string text, problem;
    if (ReadWholeFile(file, int64_t{1} << 22, &text, &problem) != WholeFileRead::kRead) return false;
    std::string_view rest = text;
    while (!rest.empty()) {
      const size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      size_t at = 0;
      auto skip_space = [&] {
        while (at < line.size() && IsSpaceByte(static_cast<unsigned char>(line[at]))) ++at;
      };
      auto word = [&] {
        const size_t begin = at;
        while (at < line.size() && !IsSpaceByte(static_cast<unsigned char>(line[at]))) ++at;
        return line.substr(begin, at - begin);
      };
      skip_space();
      if (at == line.size() || line[at] == '#') continue;
      const std::string type(word());
      for (;;) {
        skip_space();
        if (at == line.size()) break;
        std::string extension(word());
        for (char& c : extension) c = static_cast<char>(LowerByte(static_cast<unsigned char>(c)));
        types_[extension] = type;
      }
    }
    return true;
  }

  std::string_view Find(std::string_view extension) const {
    std::string key(extension);
    for (char& c : key) c = static_cast<char>(LowerByte(static_cast<unsigned char>(c)));
    auto it = types_.find(key);
    return it == types_.end() ? std::string_view() : std::string_view(it->second);
  }

 private:
  std::unordered_map<std::string, std::string> types_;
};

std::mutex table_mutex;

MimeTable& Table() {
  static MimeTable* table = [] {
    auto* t = new MimeTable();
    t->Load("/etc/mime.types");
    return t;
  }();
  return *table;
}

}  // namespace

std::string_view PathExtension(std::string_view path) {
  size_t end = path.size();
  while (end > 0 && (path[end - 1] == '.' || path[end - 1] == '/' || path[end - 1] == '\\')) --end;
  if (end < 2) return std::string_view();
  for (size_t i = end - 1; i > 0; --i) {
    const char c = path[i];
    if (c == '/' || c == '\\') return std::string_view();
    if (c == '.') {
      // A dot that starts the name (".profile") starts no extension.
      if (path[i - 1] == '/' || path[i - 1] == '\\') return std::string_view();
      return path.substr(i, end - i);
    }
  }
  return std::string_view();
}

std::string_view ContentTypeOf(std::string_view path) {
  const std::string_view extension = PathExtension(path);
  if (extension.empty() || extension.size() > 127) return "text/plain";
  if (extension.size() == 4 && CompareNoCase(extension.data(), ".lmc", 4) == 0) {
    return kCompiledProgramType;
  }
  if (extension.size() == 4 && CompareNoCase(extension.data(), ".lum", 4) == 0) {
    return kSourcePageType;
  }
  // The table is only read once built (LoadMimeTypes comes before serving).
  const std::string_view type = Table().Find(extension.substr(1));
  return type.empty() ? std::string_view("text/plain") : type;
}

bool LoadMimeTypes(const char* file) {
  std::lock_guard<std::mutex> lock(table_mutex);
  return Table().Load(file);
}

}  // namespace lumo
