#include "files/fault_injecting_file_manager.h"

#include <cerrno>
#include <string>
#include <utility>

namespace lumo {

namespace {

std::string InjectedText(FaultInjectingFileManager::Operation operation) {
  std::string text("Injected failure of ");
  text.append(FaultInjectingFileManager::OperationName(operation));
  return text;
}

// Forwards to the real file, failing the calls the manager chooses.
class FaultInjectingFile : public File {
 public:
  FaultInjectingFile(FaultInjectingFileManager* manager, std::unique_ptr<File> inner)
      : File(manager, inner->Path()), faults_(manager), inner_(std::move(inner)) {}
  ~FaultInjectingFile() override {
    if (IsPooled()) Manager()->Forget(this);
  }

  bool OwnerId(int64_t* id) override { return Ready() && Forward(inner_->OwnerId(id)); }
  bool GroupId(int64_t* id) override { return Ready() && Forward(inner_->GroupId(id)); }
  int64_t Read(void* buffer, int64_t length) override {
    if (Fail(FaultInjectingFileManager::kFaultRead) || !Ready()) return -1;
    const int64_t n = inner_->Read(buffer, length);
    if (n < 0) Forward(false);
    return n;
  }
  bool Write(const void* buffer, int64_t length) override {
    if (Fail(FaultInjectingFileManager::kFaultWrite) || !Ready()) return false;
    return Forward(inner_->Write(buffer, length));
  }
  bool Seek(int64_t offset, int whence) override {
    return Ready() && Forward(inner_->Seek(offset, whence));
  }
  int64_t Tell() override { return Ready() ? inner_->Tell() : -1; }
  int64_t Length() override { return Ready() ? inner_->Length() : -1; }
  bool ModificationTime(int64_t* seconds) override {
    return Ready() && Forward(inner_->ModificationTime(seconds));
  }
  bool Truncate(int64_t length) override {
    if (Fail(FaultInjectingFileManager::kFaultFlush) || !Ready()) return false;
    return Forward(inner_->Truncate(length));
  }
  bool Lock(int64_t offset, int64_t length, bool exclusive, bool wait) override {
    if (Fail(FaultInjectingFileManager::kFaultLock) || !Ready()) return false;
    return Forward(inner_->Lock(offset, length, exclusive, wait));
  }
  bool Release(int64_t offset, int64_t length) override {
    return Ready() && Forward(inner_->Release(offset, length));
  }
  bool Flush() override {
    if (Fail(FaultInjectingFileManager::kFaultFlush) || !Ready()) return false;
    return Forward(inner_->Flush());
  }
  bool Reactivate() override { return Forward(inner_->Reactivate()); }
  bool Deactivate() override { return Forward(inner_->Deactivate()); }
  bool HoldsLocks() const override { return inner_->HoldsLocks(); }
  int64_t SendToSocket(int socket, int64_t* offset, int64_t length) override {
    if (Fail(FaultInjectingFileManager::kFaultRead) || !Ready()) {
      errno = EIO;
      return -1;
    }
    return inner_->SendToSocket(socket, offset, length);
  }

 private:
  bool Fail(FaultInjectingFileManager::Operation operation) {
    if (!faults_->Inject(operation)) return false;
    SetErrorText(InjectedText(operation));
    return true;
  }
  // A pooled file is made current (and reopened) through the pool, as the
  // real file does for itself.
  bool Ready() {
    if (!IsPooled() || Manager()->Activate(this)) return true;
    SetErrorText(Manager()->ErrorText().View());
    return false;
  }
  bool Forward(bool ok) {
    if (!ok) SetErrorText(inner_->ErrorText().View());
    return ok;
  }

  FaultInjectingFileManager* faults_;
  std::unique_ptr<File> inner_;
};

}  // namespace

const char* FaultInjectingFileManager::OperationName(Operation operation) {
  switch (operation) {
    case kFaultOpen: return "open";
    case kFaultRead: return "read";
    case kFaultWrite: return "write";
    case kFaultRename: return "rename";
    case kFaultDelete: return "delete";
    case kFaultLock: return "lock";
    case kFaultFlush: return "flush";
    default: return "file operation";
  }
}

bool FaultInjectingFileManager::Inject(Operation operation) {
  if ((operations_ & operation) == 0) return false;
  ++calls_;
  if (fail_at_ == 0 || calls_ != fail_at_) return false;
  failed_ = true;
  return true;
}

std::unique_ptr<File> FaultInjectingFileManager::Wrap(std::unique_ptr<File> file) {
  if (!file) return nullptr;
  return std::make_unique<FaultInjectingFile>(this, std::move(file));
}

std::unique_ptr<File> FaultInjectingFileManager::OpenPath(const String& full, uint32_t mode) {
  if (Inject(kFaultOpen)) {
    SetErrorText(InjectedText(kFaultOpen));
    return nullptr;
  }
  return Wrap(PosixFileManager::OpenPath(full, mode));
}

std::unique_ptr<File> FaultInjectingFileManager::CreateExclusive(const String& full,
                                                                 uint32_t mode, bool* exists) {
  if (Inject(kFaultOpen)) {
    *exists = false;
    SetErrorText(InjectedText(kFaultOpen));
    return nullptr;
  }
  return Wrap(PosixFileManager::CreateExclusive(full, mode, exists));
}

bool FaultInjectingFileManager::RenamePath(const String& from, const String& to) {
  if (Inject(kFaultRename)) {
    SetErrorText(InjectedText(kFaultRename));
    return false;
  }
  return PosixFileManager::RenamePath(from, to);
}

bool FaultInjectingFileManager::ReplacePath(const String& from, const String& to) {
  if (Inject(kFaultRename)) {
    SetErrorText(InjectedText(kFaultRename));
    return false;
  }
  return PosixFileManager::ReplacePath(from, to);
}

bool FaultInjectingFileManager::DeletePath(const String& full) {
  if (Inject(kFaultDelete)) {
    SetErrorText(InjectedText(kFaultDelete));
    return false;
  }
  return PosixFileManager::DeletePath(full);
}

}  // namespace lumo
