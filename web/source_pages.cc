#include "web/source_pages.h"

#include <strings.h>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "config/config.h"
#include "core/context/lumo_application.h"
#include "core/vm/lumo_vm.h"
#include "tools/lumoc/compiler.h"

namespace lumo {

namespace {

// A file as it was when the page was compiled.
struct Stamp {
  String full;
  int64_t seconds = 0;
  int64_t size = 0;
};

bool StampOf(FileManager& files, const String& full, Stamp* stamp) {
  stamp->full = full;
  return files.TimePath(full, &stamp->seconds) && files.SizePath(full, &stamp->size);
}

// Reads sources through the file manager, inside the script directory, and
// notes every file it reads.
class SandboxReader : public SourceReader {
 public:
  explicit SandboxReader(FileManager& files) : files_(files) {}

  bool Read(const std::string& path, std::string* text, std::string* error) override {
    String full;
    if (!files_.Resolve(kScriptLocation, path, &full)) {
      *error = std::string(files_.ErrorText().View());
      return false;
    }
    std::unique_ptr<File> file = files_.OpenPath(full, kOpenRead);
    if (!file) {
      *error = std::string(files_.ErrorText().View());
      return false;
    }
    Stamp stamp;
    if (!StampOf(files_, full, &stamp)) {
      *error = "the file cannot be examined";
      return false;
    }
    text->clear();
    char buffer[16384];
    for (;;) {
      const int64_t got = file->Read(buffer, sizeof buffer);
      if (got < 0) {
        *error = "read error";
        return false;
      }
      if (got == 0) break;
      text->append(buffer, static_cast<size_t>(got));
    }
    read.push_back(std::move(stamp));
    return true;
  }

  std::string Identity(const std::string& path) override {
    String full;
    if (!files_.Resolve(kScriptLocation, path, &full) || !files_.ExistsPath(full) ||
        files_.IsDirectoryPath(full)) {
      return std::string();
    }
    return std::string(full.View());
  }

  std::vector<Stamp> read;

 private:
  FileManager& files_;
};

// LmDO of a page: through the same cache, unless the server is told not to
// compile pages.
bool CompileForDo(LumoApplication* context, FileManager& files, std::string_view path,
                  const BuiltinFunctions* builtins, std::string* image, std::string* error) {
  if (context->Configuration() != nullptr &&
      context->Configuration()->GetInteger(kConfigCompileSources) == 0) {
    *error = "Pages are not compiled on this server (compilesources = 0)";
    return false;
  }
  if (SourcePages::Shared().Program(files, path, builtins, image, error)) return true;
  std::string message("Unable to compile '");
  message.append(path).append("':\n").append(*error);
  *error = std::move(message);
  return false;
}

}  // namespace

void SourcePages::RegisterForDo() { LumoVM::SetSourceCompiler(&CompileForDo); }

bool IsSourcePage(std::string_view path) {
  return path.size() > 4 && strncasecmp(path.data() + path.size() - 4, ".lum", 4) == 0;
}

struct SourcePages::Entry {
  std::vector<Stamp> files;  // the page first, then its parts
  bool compiled = false;
  std::string image;
  std::string messages;
};

struct SourcePages::State {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const Entry>> pages;
};

SourcePages::SourcePages() : state_(std::make_unique<State>()) {}

SourcePages& SourcePages::Shared() {
  static SourcePages* pages = new SourcePages();  // lives as long as the process
  return *pages;
}

void SourcePages::Clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->pages.clear();
}

std::shared_ptr<const SourcePages::Entry> SourcePages::Compile(FileManager& files,
                                                               const std::string& path,
                                                               const BuiltinFunctions* builtins) {
  auto entry = std::make_shared<Entry>();
  SandboxReader reader(files);
  CompileOptions options;
  options.builtins = builtins;
  LumoCompiler compiler(options, &reader);
  String image;
  // Messages name the page by its path below the script directory.
  const std::string_view shown =
      !path.empty() && path[0] == '/' ? std::string_view(path).substr(1) : std::string_view(path);
  entry->compiled = compiler.CompileFile(path, &image, shown);
  if (entry->compiled) {
    entry->image.assign(image.Text(), static_cast<size_t>(image.Length()));
  } else {
    entry->messages = compiler.FormattedMessages();
  }
  entry->files = std::move(reader.read);
  return entry;
}

bool SourcePages::Program(FileManager& files, std::string_view path,
                          const BuiltinFunctions* builtins, std::string* image,
                          std::string* messages) {
  const std::string key(path);
  std::shared_ptr<const Entry> entry;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    const auto it = state_->pages.find(key);
    if (it != state_->pages.end()) entry = it->second;
  }
  bool fresh = entry != nullptr && !entry->files.empty();
  if (fresh) {
    for (const Stamp& was : entry->files) {
      Stamp now;
      if (!StampOf(files, was.full, &now) || now.seconds != was.seconds || now.size != was.size) {
        fresh = false;
        break;
      }
    }
  }
  if (!fresh) {
    // Two workers may compile the same page at once; the later result wins
    // and both are right.
    entry = Compile(files, key, builtins);
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->pages.size() >= kMaxPages) state_->pages.clear();
    state_->pages[key] = entry;
  }
  if (!entry->compiled) {
    *messages = entry->messages;
    return false;
  }
  *image = entry->image;
  return true;
}

}  // namespace lumo
