#include "web/program_images.h"

#include <utility>

namespace lumo {

ProgramImages& ProgramImages::Shared() {
  static ProgramImages images;
  return images;
}

std::shared_ptr<const std::string> ProgramImages::Image(
    PosixFileManager& files, const String& full, const PosixFileManager::FileIdentity* known) {
  PosixFileManager::FileIdentity identity;
  if (known != nullptr) {
    identity = *known;
  } else if (!files.IdentifyPath(full, &identity)) {
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(full.View());
    if (it != entries_.end() && it->second.identity == identity) return it->second.image;
  }
  // Read outside the lock: another worker may ask for another program.
  std::unique_ptr<File> file = files.OpenPath(full, kOpenRead);
  if (!file) return nullptr;
  if (identity.size > String::kMaxLength) {
    files.SetErrorText("File too large");
    return nullptr;
  }
  auto image = std::make_shared<std::string>();
  image->resize(static_cast<size_t>(identity.size));
  int64_t got = 0;
  while (got < identity.size) {
    const int64_t n = file->Read(image->data() + got, identity.size - got);
    if (n < 0) {
      files.SetErrorText(file->ErrorText().View());
      return nullptr;
    }
    if (n == 0) break;
    got += n;
  }
  // Shorter than its stat said: it changed meanwhile; the next request
  // sees its new identity and reads it again.
  image->resize(static_cast<size_t>(got));
  if (identity.size > kMaxImage) return image;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(full.View());
  if (it != entries_.end()) {
    bytes_ -= it->second.image->size();
    entries_.erase(it);
  }
  // Past the bound the cache starts again: programs in use come back at
  // their next request.
  if (bytes_ + image->size() > kMaxBytes) {
    entries_.clear();
    bytes_ = 0;
  }
  bytes_ += image->size();
  entries_.emplace(std::string(full.View()), Entry{identity, image});
  return image;
}

void ProgramImages::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  bytes_ = 0;
}

}  // namespace lumo
