#include "ext/system_library.h"

#include "ext/external_library.h"

namespace lumo {

void* SystemLibrary::GetFunction(std::string_view symbol) {
  if (library_ == nullptr) {
    error_.Assign("System library '");
    error_.Append(name_);
    error_.Append("' is not loaded");
    return nullptr;
  }
  void* address = library_->Symbol(symbol);
  if (address == nullptr) error_ = library_->ErrorText();
  return address;
}

void SystemLibraryManager::Register(std::string_view name, std::string_view path) {
  if (libraries_by_name_.Find(name) != nullptr) return;
  libraries_by_name_.Insert(new SystemLibrary(name, path));
}

SystemLibrary* SystemLibraryManager::Get(std::string_view name) {
  SystemLibrary* library = libraries_by_name_.Find(name);
  if (library == nullptr) {
    error_.Assign("System library '");
    error_.Append(name);
    error_.Append("' is not configured");
    return nullptr;
  }
  if (library->library_ == nullptr) {
    library->library_ = libraries_ != nullptr ? libraries_->Get(library->path_.View()) : nullptr;
    if (library->library_ == nullptr) {
      error_ = libraries_ != nullptr ? libraries_->ErrorText() : String("No library manager");
      return nullptr;
    }
  }
  return library;
}

}  // namespace lumo
