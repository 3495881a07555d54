// ExternalLibrary: one loaded extension library; ExternalLibraryManager:
// the process's loaded libraries, by file name.
//
// Libraries are loaded on first use and stay loaded until their manager is
// destroyed. The server's worker threads share one manager, so Get takes a
// lock; a library object never changes once loaded, except for its error
// text, which has a lock of its own.
#ifndef LUMO_EXT_EXTERNAL_LIBRARY_H_
#define LUMO_EXT_EXTERNAL_LIBRARY_H_

#include <mutex>
#include <string_view>

#include "core/base/hash_table.h"
#include "core/base/string.h"

namespace lumo {

class ExternalLibraryManager;

class ExternalLibrary {
 public:
  ExternalLibrary(ExternalLibraryManager* owner, std::string_view file_name)
      : owner_(owner), file_name_(file_name) {}
  ExternalLibrary(const ExternalLibrary&) = delete;
  ExternalLibrary& operator=(const ExternalLibrary&) = delete;
  virtual ~ExternalLibrary() = default;

  // False with the platform's reason in ErrorText.
  virtual bool Load(std::string_view file_name) = 0;
  // The address of a symbol, or null with "Unknown symbol 'NAME': " and
  // the platform's reason in ErrorText.
  virtual void* Symbol(std::string_view name) = 0;

  ExternalLibraryManager* Owner() const { return owner_; }
  const String& FileName() const { return file_name_; }
  std::string_view Name() const { return file_name_.View(); }
  // A copy: another thread may be setting it.
  String ErrorText() const;

 protected:
  void SetErrorText(std::string_view text);

 private:
  ExternalLibraryManager* owner_;
  String file_name_;
  mutable std::mutex error_mutex_;
  String error_;
};

class ExternalLibraryManager {
 public:
  explicit ExternalLibraryManager(void* host_handle) : host_handle_(host_handle) {}
  ExternalLibraryManager(const ExternalLibraryManager&) = delete;
  ExternalLibraryManager& operator=(const ExternalLibraryManager&) = delete;
  virtual ~ExternalLibraryManager() = default;

  // The loaded library of that file name (compared without regard to
  // case), loading it on first use; null with the reason in ErrorText.
  // A library just loaded has its registration entry called once with the
  // host handle, so that it can bind the exported functions.
  virtual ExternalLibrary* Get(std::string_view file_name);
  // A new, not yet loaded library object.
  virtual ExternalLibrary* Create(std::string_view file_name) = 0;

  void* HostHandle() const { return host_handle_; }
  // The last failure's text (a copy: another thread may be setting it).
  String ErrorText() const;
  int32_t Count() const;

 protected:
  void SetHostHandle(void* handle) { host_handle_ = handle; }

 private:
  void* host_handle_;
  mutable std::mutex mutex_;
  NameHashTable<ExternalLibrary> libraries_{true, true, 6};
  String error_;
};

class PosixExternalLibrary : public ExternalLibrary {
 public:
  PosixExternalLibrary(ExternalLibraryManager* owner, std::string_view file_name)
      : ExternalLibrary(owner, file_name) {}
  // Unloads the library.
  ~PosixExternalLibrary() override;

  // dlopen with RTLD_NOW | RTLD_LOCAL: every reference the library makes
  // is resolved at once, so a missing export fails the load, not a call.
  bool Load(std::string_view file_name) override;
  void* Symbol(std::string_view name) override;

 private:
  void* handle_ = nullptr;
};

class PosixExternalLibraryManager : public ExternalLibraryManager {
 public:
  // Without a host handle the running executable's own (dlopen(NULL)).
  explicit PosixExternalLibraryManager(void* host_handle = nullptr);
  ~PosixExternalLibraryManager() override;

  ExternalLibrary* Create(std::string_view file_name) override;

 private:
  void* own_host_handle_ = nullptr;
};

}  // namespace lumo

#endif  // LUMO_EXT_EXTERNAL_LIBRARY_H_
