#include "ext/external_library.h"

#include <dlfcn.h>

#include <string>

namespace lumo {

String ExternalLibrary::ErrorText() const {
  std::lock_guard<std::mutex> lock(error_mutex_);
  return error_;
}

void ExternalLibrary::SetErrorText(std::string_view text) {
  std::lock_guard<std::mutex> lock(error_mutex_);
  error_.Assign(text);
}

ExternalLibrary* ExternalLibraryManager::Get(std::string_view file_name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ExternalLibrary* library = libraries_.Find(file_name)) return library;
  ExternalLibrary* library = Create(file_name);
  if (!library->Load(file_name)) {
    error_ = library->ErrorText();
    delete library;
    return nullptr;
  }
  libraries_.Insert(library);
  using Register = void (*)(void*);
  void* entry = library->Symbol("lumo_register_library");
  if (entry == nullptr) entry = library->Symbol("LumoRegisterLibrary");
  if (entry != nullptr) reinterpret_cast<Register>(entry)(host_handle_);
  return library;
}

String ExternalLibraryManager::ErrorText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

int32_t ExternalLibraryManager::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return libraries_.Count();
}

PosixExternalLibrary::~PosixExternalLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool PosixExternalLibrary::Load(std::string_view file_name) {
  const std::string path(file_name);
  dlerror();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    SetErrorText(reason != nullptr ? reason : "Unable to load library");
    return false;
  }
  return true;
}

void* PosixExternalLibrary::Symbol(std::string_view name) {
  if (handle_ == nullptr) {
    String text("Unknown symbol '");
    text.Append(name);
    text.Append("': library not loaded");
    SetErrorText(text.View());
    return nullptr;
  }
  const std::string symbol(name);
  dlerror();
  void* address = dlsym(handle_, symbol.c_str());
  if (address == nullptr) {
    const char* reason = dlerror();
    String text("Unknown symbol '");
    text.Append(name);
    text.Append("': ");
    text.Append(reason != nullptr ? reason : "symbol is null");
    SetErrorText(text.View());
  }
  return address;
}

PosixExternalLibraryManager::PosixExternalLibraryManager(void* host_handle)
    : ExternalLibraryManager(host_handle) {
  if (host_handle == nullptr) {
    own_host_handle_ = dlopen(nullptr, RTLD_NOW);
    SetHostHandle(own_host_handle_);
  }
}

PosixExternalLibraryManager::~PosixExternalLibraryManager() {
  if (own_host_handle_ != nullptr) dlclose(own_host_handle_);
}

ExternalLibrary* PosixExternalLibraryManager::Create(std::string_view file_name) {
  return new PosixExternalLibrary(this, file_name);
}

}  // namespace lumo
