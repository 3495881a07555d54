// lmFile_*, lmDirectory_Listing and lumo_file_*: a library's only way to the
// file system. Every path goes through the run's FileManager, so the
// sandbox that holds for scripts holds for libraries too.
//
// The calls take their own location codes: 1 the script directory, where a
// path not starting with a separator is relative to the running script's
// directory (as LmDO names are), 3 the commerce directory (the configured
// dir_commerce inside the data directory), anything else the data
// directory.
#include <cstdio>
#include <memory>
#include <vector>

#include "config/config.h"
#include "ext/api/api_internal.h"

namespace lumo::api {
namespace {

// The message for the run that has no file manager at all (a program run
// without a configured directory); kept per thread like the runs are.
thread_local String g_no_manager_error;

constexpr int kCodeScript = 1;
constexpr int kCodeCommerce = 3;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

FileManager* FilesOf(LumoVM* vm) {
  FileManager* files = vm->Context()->Files();
  if (files == nullptr) g_no_manager_error.Assign("There is no configured data directory");
  return files;
}

// A library's (code, path) as the manager's (location, path).
FileLocation MapLocation(LumoVM* vm, int code, std::string_view path, String* mapped) {
  mapped->Clear();
  if (code == kCodeScript) {
    if (path.empty() || !IsSeparator(path[0])) mapped->Append(vm->ProgramDirectory());
    mapped->Append(path);
    return kScriptLocation;
  }
  if (code == kCodeCommerce) {
    const String* commerce = vm->Context()->Configuration()->GetText(kConfigDirCommerce);
    if (commerce != nullptr && !commerce->IsEmpty()) {
      mapped->Append(*commerce);
      if (!IsSeparator(commerce->Text()[commerce->Length() - 1]) && !path.empty() &&
          !IsSeparator(path[0])) {
        mapped->Append('/');
      }
    }
    mapped->Append(path);
    return kDataLocation;
  }
  mapped->Append(path);
  return kDataLocation;
}

// The checks every (program, code, path) call makes, and the mapping.
struct Target {
  LumoVM* vm = nullptr;
  FileManager* files = nullptr;
  FileLocation location = kDataLocation;
  String path;
};

bool Prepare(lmProgram* program, int code, const char* path, int32_t length, Target* target) {
  if (program == nullptr) return false;
  target->vm = AsProgram(program);
  target->files = FilesOf(target->vm);
  if (target->files == nullptr) return false;
  std::string_view p;
  if (!TextArgument(path, length, &p)) {
    target->files->SetErrorText("Invalid path argument");
    return false;
  }
  target->location = MapLocation(target->vm, code, p, &target->path);
  return true;
}

// A failed operation on an open file leaves its message where lmFile_Error
// looks: the manager's error text.
int FileFailed(File* file) {
  if (!file->ErrorText().IsEmpty()) file->Manager()->SetErrorText(file->ErrorText().View());
  return 0;
}

int SeekOrigin(int origin) {
  switch (origin) {
    case LM_SEEK_SET: return SEEK_SET;
    case LM_SEEK_CUR: return SEEK_CUR;
    case LM_SEEK_END: return SEEK_END;
    default: return -1;
  }
}

// Only the bits the interface names: the unpooled bit and anything beyond
// stay the host's own business.
constexpr uint32_t kModeMask = LM_FILE_READ | LM_FILE_WRITE | LM_FILE_OPEN_ALWAYS |
                               LM_FILE_TRUNCATE | LM_FILE_APPEND | LM_FILE_CREATE_NEW;

}  // namespace
}  // namespace lumo::api

using namespace lumo;       // NOLINT: the exports are one flat C interface
using namespace lumo::api;  // NOLINT

LUMO_EXPORT lmFile* lmFile_Open(lmProgram* program, int location, const char* path,
                                int32_t length, uint32_t mode) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return nullptr;
  return Guard(t.vm, static_cast<lmFile*>(nullptr), [&] {
    return Handle(t.files->Open(t.location, t.path.View(), mode & kModeMask).release());
  });
}

LUMO_EXPORT int lmFile_Close(lmFile* file) {
  if (file == nullptr) return 0;
  return Guard(nullptr, 0, [&] {
    delete AsFile(file);
    return 1;
  });
}

LUMO_EXPORT int64_t lmFile_Read(lmFile* file, void* buffer, int64_t length) {
  if (file == nullptr || length < 0 || (buffer == nullptr && length > 0)) return -1;
  if (length == 0) return 0;
  return Guard(nullptr, int64_t{-1}, [&] {
    const int64_t n = AsFile(file)->Read(buffer, length);
    if (n < 0) FileFailed(AsFile(file));
    return n;
  });
}

LUMO_EXPORT int lmFile_Write(lmFile* file, const void* buffer, int64_t length) {
  if (file == nullptr || length < 0 || (buffer == nullptr && length > 0)) return 0;
  if (length == 0) return 1;
  return Guard(nullptr, 0, [&] {
    return AsFile(file)->Write(buffer, length) ? 1 : FileFailed(AsFile(file));
  });
}

LUMO_EXPORT int lmFile_Seek(lmFile* file, int64_t offset, int origin) {
  const int whence = SeekOrigin(origin);
  if (file == nullptr || whence < 0) return 0;
  return Guard(nullptr, 0, [&] {
    return AsFile(file)->Seek(offset, whence) ? 1 : FileFailed(AsFile(file));
  });
}

LUMO_EXPORT int64_t lmFile_Tell(lmFile* file) {
  if (file == nullptr) return -1;
  return Guard(nullptr, int64_t{-1}, [&] {
    const int64_t n = AsFile(file)->Tell();
    if (n < 0) FileFailed(AsFile(file));
    return n;
  });
}

LUMO_EXPORT int64_t lmFile_Size(lmProgram* program, int location, const char* path,
                                int32_t length) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return -1;
  return Guard(t.vm, int64_t{-1}, [&] {
    int64_t size = -1;
    return t.files->Size(t.location, t.path.View(), &size) ? size : int64_t{-1};
  });
}

LUMO_EXPORT int64_t lmFile_Length(lmFile* file) {
  if (file == nullptr) return -1;
  return Guard(nullptr, int64_t{-1}, [&] {
    const int64_t n = AsFile(file)->Length();
    if (n < 0) FileFailed(AsFile(file));
    return n;
  });
}

LUMO_EXPORT int lmFile_Exists(lmProgram* program, int location, const char* path,
                              int32_t length) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return 0;
  return Guard(t.vm, 0, [&] { return t.files->Exists(t.location, t.path.View()) ? 1 : 0; });
}

LUMO_EXPORT int lmFile_IsDirectory(lmProgram* program, int location, const char* path,
                                   int32_t length) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return 0;
  return Guard(t.vm, 0, [&] { return t.files->IsDirectory(t.location, t.path.View()) ? 1 : 0; });
}

LUMO_EXPORT int lmFile_MakeDirectory(lmProgram* program, int location, const char* path,
                                     int32_t length) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return 0;
  return Guard(t.vm, 0,
               [&] { return t.files->MakeDirectory(t.location, t.path.View()) ? 1 : 0; });
}

LUMO_EXPORT int lmFile_RemoveDirectory(lmProgram* program, int location, const char* path,
                                       int32_t length) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return 0;
  return Guard(t.vm, 0,
               [&] { return t.files->RemoveDirectory(t.location, t.path.View()) ? 1 : 0; });
}

LUMO_EXPORT int lmFile_Delete(lmProgram* program, int location, const char* path,
                              int32_t length) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return 0;
  return Guard(t.vm, 0, [&] { return t.files->Delete(t.location, t.path.View()) ? 1 : 0; });
}

namespace {
template <typename Operation>
int TwoPaths(lmProgram* program, int from_location, const char* from, int32_t from_length,
             int to_location, const char* to, int32_t to_length, Operation&& operation) {
  Target a;
  Target b;
  if (!Prepare(program, from_location, from, from_length, &a) ||
      !Prepare(program, to_location, to, to_length, &b)) {
    return 0;
  }
  return Guard(a.vm, 0, [&] {
    return operation(a.files, a.location, a.path.View(), b.location, b.path.View()) ? 1 : 0;
  });
}
}  // namespace

LUMO_EXPORT int lmFile_Rename(lmProgram* program, int from_location, const char* from,
                              int32_t from_length, int to_location, const char* to,
                              int32_t to_length) {
  return TwoPaths(program, from_location, from, from_length, to_location, to, to_length,
                  [](FileManager* f, FileLocation fl, std::string_view fp, FileLocation tl,
                     std::string_view tp) {
                    return f->Rename(fl, fp, tl, tp);
                  });
}

LUMO_EXPORT int lmFile_Copy(lmProgram* program, int from_location, const char* from,
                            int32_t from_length, int to_location, const char* to,
                            int32_t to_length) {
  return TwoPaths(program, from_location, from, from_length, to_location, to, to_length,
                  [](FileManager* f, FileLocation fl, std::string_view fp, FileLocation tl,
                     std::string_view tp) {
                    return f->Copy(fl, fp, tl, tp);
                  });
}

LUMO_EXPORT int lmFile_Mode(lmProgram* program, int location, const char* path, int32_t length,
                            uint32_t* mode) {
  Target t;
  if (mode == nullptr || !Prepare(program, location, path, length, &t)) return 0;
  return Guard(t.vm, 0, [&] { return t.files->Mode(t.location, t.path.View(), mode) ? 1 : 0; });
}

LUMO_EXPORT int lmFile_Change_Mode(lmProgram* program, int location, const char* path,
                                   int32_t length, uint32_t mode) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return 0;
  // Permission bits only: a library may not set set-id or sticky bits.
  return Guard(t.vm, 0, [&] {
    return t.files->ChangeMode(t.location, t.path.View(), mode & 0777u) ? 1 : 0;
  });
}

LUMO_EXPORT int lmFile_OwnerID(lmFile* file, int64_t* id) {
  if (file == nullptr || id == nullptr) return 0;
  return Guard(nullptr, 0, [&] { return AsFile(file)->OwnerId(id) ? 1 : FileFailed(AsFile(file)); });
}

LUMO_EXPORT int lmFile_GroupID(lmFile* file, int64_t* id) {
  if (file == nullptr || id == nullptr) return 0;
  return Guard(nullptr, 0, [&] { return AsFile(file)->GroupId(id) ? 1 : FileFailed(AsFile(file)); });
}

LUMO_EXPORT int lmFile_Time(lmProgram* program, int location, const char* path, int32_t length,
                            int64_t* seconds) {
  Target t;
  if (seconds == nullptr || !Prepare(program, location, path, length, &t)) return 0;
  return Guard(t.vm, 0,
               [&] { return t.files->Time(t.location, t.path.View(), seconds) ? 1 : 0; });
}

LUMO_EXPORT int lmFile_Lock(lmFile* file, int64_t offset, int64_t length, int mode) {
  if (file == nullptr || offset < 0 || length < 0) return 0;
  return Guard(nullptr, 0, [&] {
    return AsFile(file)->Lock(offset, length, mode == LM_LOCK_EXCLUSIVE, true)
               ? 1
               : FileFailed(AsFile(file));
  });
}

LUMO_EXPORT int lmFile_Release(lmFile* file, int64_t offset, int64_t length) {
  if (file == nullptr || offset < 0 || length < 0) return 0;
  return Guard(nullptr, 0, [&] {
    return AsFile(file)->Release(offset, length) ? 1 : FileFailed(AsFile(file));
  });
}

LUMO_EXPORT int lmFile_LockFile(lmProgram* program, int location, const char* path,
                                int32_t length) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return LM_LOCKFILE_ERROR;
  // Lock files arrive with the lockfile block; until then the call says so
  // rather than pretend to hold a lock.
  t.files->SetErrorText("Lockfiles are not available in this build");
  return LM_LOCKFILE_ERROR;
}

LUMO_EXPORT lmFile* lmFile_MakeTemporary(lmProgram* program, int location, const char* prefix,
                                         int32_t length, uint32_t mode, lmVariable* name) {
  Target t;
  if (!Prepare(program, location, prefix, length, &t)) return nullptr;
  return Guard(t.vm, static_cast<lmFile*>(nullptr), [&]() -> lmFile* {
    String relative;
    std::unique_ptr<File> file =
        t.files->MakeTemporary(t.location, t.path.View(), mode & kModeMask, &relative);
    if (file == nullptr) return nullptr;
    if (name != nullptr) AsVariable(name)->SetValue(relative.Text(), relative.Length());
    return Handle(file.release());
  });
}

LUMO_EXPORT int lmFile_MakeSymbolicLink(lmProgram* program, int location, const char* target,
                                        int32_t target_length, const char* link,
                                        int32_t link_length) {
  // Both ends are checked as paths of the location: a link may not point
  // out of the sandbox any more than a path may.
  Target a;
  Target b;
  if (!Prepare(program, location, target, target_length, &a) ||
      !Prepare(program, location, link, link_length, &b)) {
    return 0;
  }
  return Guard(a.vm, 0, [&] {
    return a.files->MakeSymbolicLink(a.location, a.path.View(), b.path.View()) ? 1 : 0;
  });
}

LUMO_EXPORT int lmFile_Path_Separator(lmProgram* program) {
  if (program == nullptr) return '/';
  FileManager* files = AsProgram(program)->Context()->Files();
  return files != nullptr ? files->PathSeparator() : '/';
}

LUMO_EXPORT const char* lmFile_Error(lmProgram* program, int32_t* length) {
  if (program == nullptr) {
    if (length != nullptr) *length = 0;
    return "";
  }
  FileManager* files = AsProgram(program)->Context()->Files();
  return TextResult(files != nullptr ? files->ErrorText() : g_no_manager_error, length);
}

LUMO_EXPORT int lmFile_Resolve(lmProgram* program, int, const char*, int32_t, lmVariable*) {
  if (program == nullptr) return 0;
  if (FileManager* files = FilesOf(AsProgram(program))) {
    files->SetErrorText("lmFile_Resolve is no longer supported");
  }
  return 0;
}

LUMO_EXPORT lmVariableList* lmDirectory_Listing(lmProgram* program, int location,
                                                const char* path, int32_t length) {
  Target t;
  if (!Prepare(program, location, path, length, &t)) return nullptr;
  return Guard(t.vm, static_cast<lmVariableList*>(nullptr), [&]() -> lmVariableList* {
    std::vector<DirectoryEntry> entries;
    if (!t.files->ListDirectory(t.location, t.path.View(), &entries)) return nullptr;
    auto list = std::make_unique<VariableList>();
    for (const DirectoryEntry& e : entries) {
      auto* v = new Variable(e.name.View(), std::string_view(e.is_directory ? "1" : "0"));
      try {
        list->Insert(v);
      } catch (...) {
        v->Free();
        throw;
      }
      v->Free();
    }
    return Handle(list.release());
  });
}

// ---- lumo_file_* ---------------------------------------------------------

namespace {
int Status(int ok) { return ok ? 0 : -1; }
}  // namespace

LUMO_EXPORT lmFile* lumo_file_open(lmProgram* program, int location, const char* path,
                                   int32_t length, uint32_t mode) {
  return lmFile_Open(program, location, path, length, mode);
}
LUMO_EXPORT int lumo_file_close(lmFile* file) { return Status(lmFile_Close(file)); }
LUMO_EXPORT int64_t lumo_file_read(lmFile* file, void* buffer, int64_t length) {
  return lmFile_Read(file, buffer, length);
}
LUMO_EXPORT int lumo_file_write(lmFile* file, const void* buffer, int64_t length) {
  return Status(lmFile_Write(file, buffer, length));
}
LUMO_EXPORT int lumo_file_seek(lmFile* file, int64_t offset, int origin) {
  return Status(lmFile_Seek(file, offset, origin));
}
LUMO_EXPORT int64_t lumo_file_tell(lmFile* file) { return lmFile_Tell(file); }
LUMO_EXPORT int64_t lumo_file_size(lmProgram* program, int location, const char* path,
                                   int32_t length) {
  return lmFile_Size(program, location, path, length);
}
LUMO_EXPORT int lumo_file_exists(lmProgram* program, int location, const char* path,
                                 int32_t length) {
  return lmFile_Exists(program, location, path, length);
}
LUMO_EXPORT int lumo_file_delete(lmProgram* program, int location, const char* path,
                                 int32_t length) {
  return Status(lmFile_Delete(program, location, path, length));
}
LUMO_EXPORT int lumo_file_rename(lmProgram* program, int from_location, const char* from,
                                 int32_t from_length, int to_location, const char* to,
                                 int32_t to_length) {
  return Status(lmFile_Rename(program, from_location, from, from_length, to_location, to,
                              to_length));
}
LUMO_EXPORT int lumo_file_copy(lmProgram* program, int from_location, const char* from,
                               int32_t from_length, int to_location, const char* to,
                               int32_t to_length) {
  return Status(
      lmFile_Copy(program, from_location, from, from_length, to_location, to, to_length));
}
LUMO_EXPORT int lumo_file_lock(lmFile* file, int64_t offset, int64_t length, int mode) {
  return Status(lmFile_Lock(file, offset, length, mode));
}
LUMO_EXPORT int lumo_file_release(lmFile* file, int64_t offset, int64_t length) {
  return Status(lmFile_Release(file, offset, length));
}
LUMO_EXPORT int lumo_file_lockfile(lmProgram* program, int location, const char* path,
                                   int32_t length) {
  return lmFile_LockFile(program, location, path, length) == LM_LOCKFILE_HELD ? 0 : -1;
}
LUMO_EXPORT int lumo_file_isdirectory(lmProgram* program, int location, const char* path,
                                      int32_t length) {
  return lmFile_IsDirectory(program, location, path, length);
}
LUMO_EXPORT int lumo_file_makedirectory(lmProgram* program, int location, const char* path,
                                        int32_t length) {
  return Status(lmFile_MakeDirectory(program, location, path, length));
}
LUMO_EXPORT int lumo_file_removedirectory(lmProgram* program, int location, const char* path,
                                          int32_t length) {
  return Status(lmFile_RemoveDirectory(program, location, path, length));
}
LUMO_EXPORT const char* lumo_file_error(lmProgram* program) {
  return lmFile_Error(program, nullptr);
}
LUMO_EXPORT int lumo_file_resolve(lmProgram* program, int, const char*, int32_t, lmVariable*) {
  if (program == nullptr) return 0;
  if (FileManager* files = FilesOf(AsProgram(program))) {
    files->SetErrorText("lumo_file_resolve is no longer supported");
  }
  return 0;
}
