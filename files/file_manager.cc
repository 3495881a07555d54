#include "files/file_manager.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/base/conversions.h"
#include "core/base/system_error.h"

namespace lumo {

int64_t File::SendToSocket(int socket, int64_t* offset, int64_t length) {
  char buffer[16384];
  if (!Seek(*offset, SEEK_SET)) {
    errno = EIO;
    return -1;
  }
  const int64_t got = Read(buffer, length < int64_t{sizeof buffer} ? length : int64_t{sizeof buffer});
  if (got <= 0) {
    if (got < 0) errno = EIO;
    return got;
  }
  const ssize_t n = send(socket, buffer, static_cast<size_t>(got), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n > 0) *offset += n;
  return n;
}

bool File::ModificationTime(int64_t*) {
  SetErrorText("This file has no modification time");
  return false;
}

int64_t File::ReadAt(void* buffer, int64_t length, int64_t offset) {
  const int64_t position = Tell();
  if (position < 0 || !Seek(offset, SEEK_SET)) return -1;
  const int64_t got = Read(buffer, length);
  return Seek(position, SEEK_SET) ? got : -1;
}

bool File::Describe(int64_t* length, int64_t* modified) {
  *length = Length();
  return *length >= 0 && ModificationTime(modified);
}

FileManager::~FileManager() {
  // Files outliving their manager must not point back into it.
  for (PoolList* list : {&active_, &inactive_}) {
    while (list->head != nullptr) {
      File* f = list->head;
      Unlink(list, f);
      f->pool_state_ = File::PoolState::kNone;
    }
  }
}

void FileManager::SetSystemError(int error_number) { error_ = SystemErrorText(error_number); }

void FileManager::SplitPath(std::string_view path, String* directory, String* name) {
  size_t cut = path.find_last_of("/\\");
  if (cut == std::string_view::npos) {
    directory->Clear();
    name->Assign(path.data(), static_cast<int32_t>(path.size()));
    return;
  }
  const std::string_view dir = path.substr(0, cut);
  const std::string_view rest = path.substr(cut + 1);
  directory->Assign(dir.data(), static_cast<int32_t>(dir.size()));
  name->Assign(rest.data(), static_cast<int32_t>(rest.size()));
}

// --- Operations on (location, relative path) -------------------------------

std::unique_ptr<File> FileManager::Open(FileLocation location, std::string_view path, uint32_t mode) {
  String full;
  if (!Resolve(location, path, &full)) return nullptr;
  if (!RequestHandles(1)) return nullptr;
  std::unique_ptr<File> file = OpenPath(full, mode);
  if (file && (mode & kOpenUnpooled) == 0) Register(file.get());
  return file;
}

bool FileManager::ResolveEntry(FileLocation location, std::string_view path, String* full) {
  if (!Resolve(location, path, full)) return false;
  if (IsConfiguredDirectory(*full)) {
    SetErrorText("The specified path references a configured directory itself");
    return false;
  }
  return true;
}

bool FileManager::Delete(FileLocation location, std::string_view path) {
  String full;
  return ResolveEntry(location, path, &full) && DeletePath(full);
}

bool FileManager::Copy(FileLocation from_location, std::string_view from, FileLocation to_location,
                       std::string_view to) {
  String source, target;
  return Resolve(from_location, from, &source) && Resolve(to_location, to, &target) &&
         CopyPath(source, target);
}

bool FileManager::CopyPath(const String& from, const String& to) {
  // Writing over the source would destroy what was to be copied.
  if (SameFile(from, to)) {
    SetErrorText("The source and the target of the copy are the same file");
    return false;
  }
  std::unique_ptr<File> in = OpenPath(from, kOpenRead | kOpenUnpooled);
  if (!in) return false;
  String temporary;
  std::unique_ptr<File> out;
  for (int n = 0; n < 64 && !out; ++n) {
    char suffix[24];
    const int length = snprintf(suffix, sizeof suffix, ".~copy%x", n);
    temporary.Assign(to);
    temporary.Append(suffix, length);
    bool exists = false;
    out = CreateExclusive(temporary, kOpenWrite | kOpenUnpooled, &exists);
    if (!out && !exists) return false;
  }
  if (!out) {
    SetErrorText("Unable to generate unique temporary filename");
    return false;
  }
  constexpr int64_t kChunk = 65536;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  String failure;
  for (;;) {
    const int64_t n = in->Read(buffer.get(), kChunk);
    if (n < 0) {
      failure = in->ErrorText();
      break;
    }
    if (n == 0) break;
    if (!out->Write(buffer.get(), n)) {
      failure = out->ErrorText();
      break;
    }
  }
  out.reset();
  if (failure.Length() == 0 && ReplacePath(temporary, to)) return true;
  if (failure.Length() == 0) failure = ErrorText();
  DeletePath(temporary);
  SetErrorText(failure.View());
  return false;
}

bool FileManager::Rename(FileLocation from_location, std::string_view from, FileLocation to_location,
                         std::string_view to) {
  String source, target;
  return ResolveEntry(from_location, from, &source) && ResolveEntry(to_location, to, &target) &&
         RenamePath(source, target);
}

bool FileManager::Touch(FileLocation location, std::string_view path) {
  String full;
  return Resolve(location, path, &full) && TouchPath(full);
}

bool FileManager::Exists(FileLocation location, std::string_view path) {
  String full;
  return Resolve(location, path, &full) && ExistsPath(full);
}

bool FileManager::Size(FileLocation location, std::string_view path, int64_t* size) {
  String full;
  return Resolve(location, path, &full) && SizePath(full, size);
}

bool FileManager::IsDirectory(FileLocation location, std::string_view path) {
  String full;
  return Resolve(location, path, &full) && IsDirectoryPath(full);
}

bool FileManager::Time(FileLocation location, std::string_view path, int64_t* seconds) {
  String full;
  return Resolve(location, path, &full) && TimePath(full, seconds);
}

bool FileManager::MakeDirectory(FileLocation location, std::string_view path) {
  String full;
  return Resolve(location, path, &full) && MakeDirectoryPath(full);
}

bool FileManager::RemoveDirectory(FileLocation location, std::string_view path) {
  String full;
  return ResolveEntry(location, path, &full) && RemoveDirectoryPath(full);
}

bool FileManager::MakeSymbolicLink(FileLocation location, std::string_view target, std::string_view link) {
  String full_target, full_link;
  return Resolve(location, target, &full_target) && Resolve(location, link, &full_link) &&
         MakeSymbolicLinkPath(full_target, full_link);
}

bool FileManager::Mode(FileLocation location, std::string_view path, uint32_t* mode) {
  String full;
  return Resolve(location, path, &full) && ModePath(full, mode);
}

bool FileManager::ChangeMode(FileLocation location, std::string_view path, uint32_t mode) {
  String full;
  return ResolveEntry(location, path, &full) && ChangeModePath(full, mode);
}

bool FileManager::ListDirectory(FileLocation location, std::string_view path,
                                std::vector<DirectoryEntry>* entries) {
  String full;
  return Resolve(location, path, &full) && ListDirectoryPath(full, entries);
}

std::unique_ptr<File> FileManager::MakeTemporary(FileLocation location, std::string_view directory,
                                                 std::string_view prefix, uint32_t mode,
                                                 String* name) {
  if (prefix.find_first_of("/\\") != std::string_view::npos) {
    SetErrorText("Invalid temporary filename prefix");
    return nullptr;
  }
  String path;
  if (!directory.empty() && directory != std::string_view(".")) {
    path.Append(directory);
    const char last = directory.back();
    if (last != '/' && last != '\\') path.Append('/');
  }
  path.Append(prefix);
  return MakeTemporary(location, path.View(), mode, name);
}

std::unique_ptr<File> FileManager::MakeTemporary(FileLocation location, std::string_view path_prefix,
                                                 uint32_t mode, String* name) {
  String full;
  if (!Resolve(location, path_prefix, &full)) return nullptr;
  if (!RequestHandles(1)) return nullptr;
  // Each candidate is resolved as the name the caller gets back, so that
  // the file made is always the one that name means: a prefix such as ""
  // or "up/" must give "up/.0" inside the base, not "up.0" beside it.
  String relative;
  char suffix[16];
  for (uint32_t n = 0; n < 0x7FFFFFFFu; ++n) {
    const int length = snprintf(suffix, sizeof suffix, ".%x", n);
    relative.Assign(path_prefix.data(), static_cast<int32_t>(path_prefix.size()));
    relative.Append(suffix, length);
    if (!Resolve(location, relative.View(), &full)) return nullptr;
    bool exists = false;
    std::unique_ptr<File> file = CreateExclusive(full, mode, &exists);
    if (file) {
      if ((mode & kOpenUnpooled) == 0) Register(file.get());
      *name = std::move(relative);
      return file;
    }
    // Anything but a taken name (a missing directory, no permission) will
    // not get better with the next number.
    if (!exists) return nullptr;
    if ((n & 0xFFF) == 0xFFF && IsStopped()) break;
  }
  SetErrorText("Unable to generate unique temporary filename");
  return nullptr;
}

// --- Handle pool -------------------------------------------------------------

void FileManager::Link(PoolList* list, File* file) {
  file->pool_previous_ = nullptr;
  file->pool_next_ = list->head;
  if (list->head != nullptr) {
    list->head->pool_previous_ = file;
  } else {
    list->tail = file;
  }
  list->head = file;
  if (list == &active_) {
    file->pool_state_ = File::PoolState::kActive;
    ++active_count_;
  } else {
    file->pool_state_ = File::PoolState::kInactive;
    ++inactive_count_;
  }
}

void FileManager::Unlink(PoolList* list, File* file) {
  if (file->pool_previous_ != nullptr) {
    file->pool_previous_->pool_next_ = file->pool_next_;
  } else {
    list->head = file->pool_next_;
  }
  if (file->pool_next_ != nullptr) {
    file->pool_next_->pool_previous_ = file->pool_previous_;
  } else {
    list->tail = file->pool_previous_;
  }
  file->pool_previous_ = file->pool_next_ = nullptr;
  if (list == &active_) {
    --active_count_;
  } else {
    --inactive_count_;
  }
  file->pool_state_ = File::PoolState::kNone;
}

bool FileManager::RequestHandles(int32_t n) {
  if (handle_limit_ == 0) return true;
  if (n > handle_limit_) {
    String message("Simultaneous request for ");
    AppendInteger(message, n);
    message.Append(" file handles exceeds the maximum number of simultaneous file handles.");
    error_ = std::move(message);
    return false;
  }
  // Least recently used first; a file holding byte-range locks is passed
  // over, since closing its descriptor would silently drop the locks. When
  // every open file holds locks the run goes over the limit rather than
  // losing them.
  File* candidate = active_.tail;
  while (active_count_ + n > handle_limit_ && candidate != nullptr) {
    File* previous = candidate->pool_previous_;
    if (!candidate->HoldsLocks()) {
      if (!Deactivate(candidate)) return false;
    }
    candidate = previous;
  }
  return true;
}

void FileManager::Register(File* file) {
  if (file->pool_state_ == File::PoolState::kActive) Unlink(&active_, file);
  if (file->pool_state_ == File::PoolState::kInactive) Unlink(&inactive_, file);
  Link(&active_, file);
}

void FileManager::Forget(File* file) {
  if (file->pool_state_ == File::PoolState::kActive) Unlink(&active_, file);
  if (file->pool_state_ == File::PoolState::kInactive) Unlink(&inactive_, file);
}

bool FileManager::Deactivate(File* file) {
  if (file->pool_state_ != File::PoolState::kActive) return true;
  if (!file->Deactivate()) {
    error_ = file->ErrorText();
    return false;
  }
  Unlink(&active_, file);
  Link(&inactive_, file);
  return true;
}

bool FileManager::Activate(File* file) {
  if (file->pool_state_ == File::PoolState::kActive) {
    if (active_.head != file) {
      Unlink(&active_, file);
      Link(&active_, file);
    }
    return true;
  }
  if (!RequestHandles(1)) return false;
  if (file->pool_state_ != File::PoolState::kInactive) {
    SetErrorText("Activation request for invalid or non-active file");
    return false;
  }
  if (!file->Reactivate()) {
    error_ = file->ErrorText();
    return false;
  }
  Unlink(&inactive_, file);
  Link(&active_, file);
  return true;
}

}  // namespace lumo
