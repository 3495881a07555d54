#include "ext/config_library.h"

#include <string>

#include "config/config.h"
#include "ext/external_library.h"

namespace lumo {

namespace {

lmConfig* Handle(Config& config) { return reinterpret_cast<lmConfig*>(&config); }

}  // namespace

std::unique_ptr<ConfigurationLibrary> ConfigurationLibrary::Open(ExternalLibraryManager& libraries,
                                                                 std::string_view path,
                                                                 Config& config,
                                                                 const std::string& config_file,
                                                                 String* error) {
  ExternalLibrary* library = libraries.Get(path);
  if (library == nullptr) {
    *error = libraries.ErrorText();
    return nullptr;
  }
  void* symbol = library->Symbol("lumo_config_library");
  if (symbol == nullptr) {
    *error = library->ErrorText();
    return nullptr;
  }
  using TableFunction = const lmConfigLibrary* (*)();
  const lmConfigLibrary* table = reinterpret_cast<TableFunction>(symbol)();
  if (table == nullptr) {
    error->Assign("Unable to retrieve configuration library descriptor table");
    return nullptr;
  }
  std::unique_ptr<ConfigurationLibrary> result(new ConfigurationLibrary(table, &config, path));
  if (table->init != nullptr &&
      table->init(Handle(config), &result->data_, config_file.c_str(), nullptr, nullptr) == 0) {
    result->TakeError(config, "Error initializing configuration library", error);
    // Never initialised: nothing for destroy to release.
    result->table_ = nullptr;
    return nullptr;
  }
  return result;
}

ConfigurationLibrary::~ConfigurationLibrary() { Destroy(); }

void ConfigurationLibrary::Destroy() {
  std::lock_guard<std::mutex> lock(mutex_);
  const lmConfigLibrary* table = table_;
  table_ = nullptr;
  if (table != nullptr && table->destroy != nullptr) table->destroy(Handle(*config_), &data_);
}

void ConfigurationLibrary::TakeError(Config& config, const char* fallback, String* error) {
  const char* text = table_->error != nullptr ? table_->error(Handle(config), &data_) : nullptr;
  error->Assign(text != nullptr ? text : fallback);
}

bool ConfigurationLibrary::Load(Config& config, std::string_view script_path,
                                std::string_view script_directory, String* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (table_ == nullptr) return true;
  if (table_->version == 1 && table_->load_v1 != nullptr) {
    error->Assign(
        "Configuration library uses no longer supported v1 API script-specific configuration "
        "load method");
    return false;
  }
  if (table_->version < 2 || table_->load == nullptr) return true;
  const std::string path(script_path);
  const std::string directory(script_directory);
  if (table_->load(Handle(config), &data_, path.c_str(), directory.c_str()) == 0) {
    TakeError(config, "Error loading script-specific configuration", error);
    return false;
  }
  return true;
}

}  // namespace lumo
