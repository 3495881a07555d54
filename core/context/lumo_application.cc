#include "core/context/lumo_application.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "core/context/config_target.h"
#include "core/context/crypt_des.h"
#include "core/context/error_settings.h"
#include "config/config.h"
#include "files/file_manager.h"

namespace lumo {

LumoApplication::LumoApplication() = default;
LumoApplication::~LumoApplication() = default;

void LumoApplication::Write(const char* text) {
  Write(text, static_cast<int32_t>(strlen(text)));
}

bool LumoApplication::Crypt(const char* text, int32_t length, const char salt[2], String* out) {
  return CryptDES(text, length, salt, out);
}

void LumoApplication::ApplyConfiguration() {
  Config* config = Configuration();
  const String* filter = config->GetText(kConfigLogFilter);
  SetLogFilter(filter != nullptr ? filter->View() : std::string_view());
  SetLogLevel(static_cast<uint32_t>(config->GetInteger(kConfigLogLevel)));
  const int32_t max_files = config->GetInteger(kConfigMaxFiles);
  Files()->SetHandleLimit(max_files > 0 ? max_files : 0);
}

bool LumoApplication::ConfigureDirectories(String* error) {
  Config* config = Configuration();
  FileManager* files = Files();
  bool ok = true;
  auto note = [&](bool done) {
    if (!done && ok) {
      *error = files->ErrorText();
      ok = false;
    }
  };
  if (const String* root = config->GetText(kConfigDirLumo)) {
    note(files->SetScriptDirectory(root->View()));
  }
  if (const String* data = config->GetText(kConfigDirData)) {
    note(files->SetDataDirectory(data->View()));
  }
  const String* temporary = config->GetText(kConfigDirTemp);
  if (temporary != nullptr && !temporary->IsEmpty()) {
    note(files->SetTemporaryDirectory(temporary->View()));
  }
  return ok;
}

String LumoApplication::MailDate() const {
  const time_t now = static_cast<time_t>(Now());
  struct tm local;
  localtime_r(&now, &local);
  char text[64];
  // The C locale's day and month names are what mail headers want, so
  // they are spelled out here rather than taken from strftime's locale.
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long offset = local.tm_gmtoff / 60;
  const long magnitude = offset < 0 ? -offset : offset;
  snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
           kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
           local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
           offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return String(text);
}

String LumoApplication::LastSystemError() const {
  char buffer[256];
  return String(strerror_r(errno, buffer, sizeof buffer));
}

String LumoApplication::LockHostName() {
  const String* configured = Configuration()->GetText(kConfigLockHostname);
  if (configured != nullptr && !configured->IsEmpty()) return *configured;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return String("localhost");
  return String(name);
}

int32_t LumoApplication::LockExpiration() {
  return Configuration()->GetInteger(kConfigLockExpiration);
}

void LumoApplication::Wait(int32_t milliseconds) {
  // In slices, so that a stopped run wakes within one.
  constexpr int32_t kSlice = 50;
  while (milliseconds > 0 && !IsStopped()) {
    const int32_t step = milliseconds < kSlice ? milliseconds : kSlice;
    const struct timespec pause = {step / 1000, static_cast<long>(step % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
    milliseconds -= step;
  }
}

bool LumoApplication::SSLAvailable() {
  // A failed load is not retried: the libraries will not appear mid-run.
  if (!ssl_tried_) {
    ssl_tried_ = true;
    String error;
    ssl_loaded_ = LoadSSL(&error);
  }
  return ssl_loaded_;
}

bool LumoApplication::LoadSSL(String* error) {
  error->Assign("SSL is not available");
  return false;
}

void LumoApplication::SetLanguage(std::string_view text) {
  language_ = String(text);
  ++language_changes_;
}

void LumoApplication::SetDefaultLanguage(std::string_view text) {
  default_language_ = String(text);
  ++default_language_changes_;
}

void LumoApplication::SetDefaultDatabaseType(std::string_view text) {
  default_database_ = String(text);
  ++default_database_changes_;
}

int32_t LumoApplication::GlobalTimeout() { return Configuration()->GetInteger(kConfigTimeoutGlobal); }

int32_t LumoApplication::PostTimeout() { return Configuration()->GetInteger(kConfigTimeoutPost); }

void LumoApplication::BeginExecution() {
  const int32_t seconds = GlobalTimeout();
  global_deadline_.store(seconds > 0 ? Now() + seconds : 0, std::memory_order_relaxed);
  stop_flag_.store(0, std::memory_order_relaxed);
}

void LumoApplication::ArmPostTimeout() {
  const int32_t seconds = PostTimeout();
  post_deadline_.store(seconds > 0 ? Now() + seconds : 0, std::memory_order_relaxed);
  post_timeout_flag_.store(0, std::memory_order_relaxed);
}

void LumoApplication::DisarmPostTimeout() {
  post_deadline_.store(0, std::memory_order_relaxed);
  post_timeout_flag_.store(0, std::memory_order_relaxed);
}

void LumoApplication::Tick() {
  tick_counter_.fetch_add(1, std::memory_order_relaxed);
  const int64_t now = Now();
  const int64_t global = global_deadline_.load(std::memory_order_relaxed);
  const int64_t post = post_deadline_.load(std::memory_order_relaxed);
  if (global != 0 && now > global) stop_flag_.store(1, std::memory_order_relaxed);
  if (post != 0 && now > post) post_timeout_flag_.store(1, std::memory_order_relaxed);
}

int64_t LumoApplication::TimeRemaining() const {
  const int64_t deadline = global_deadline_.load(std::memory_order_relaxed);
  if (deadline == 0) return -1;
  const int64_t left = deadline - Now();
  return left < 0 ? 0 : left;
}

void LumoApplication::SetLogFilter(std::string_view text) {
  included_.clear();
  excluded_.clear();
  size_t i = 0;
  const size_t n = text.size();
  auto skip_space = [&]() {
    while (i < n && IsSpaceByte(static_cast<unsigned char>(text[i]))) ++i;
  };
  auto read_number = [&]() {
    const size_t start = i;
    while (i < n && IsDigitByte(static_cast<unsigned char>(text[i]))) ++i;
    return ParseInteger(text.data() + start, static_cast<int32_t>(i - start));
  };
  while (i < n) {
    skip_space();
    bool exclude = false;
    if (i < n && text[i] == '!') {
      exclude = true;
      ++i;
      skip_space();
    }
    const size_t start = i;
    while (i < n && text[i] != ':' && text[i] != ',' &&
           !IsSpaceByte(static_cast<unsigned char>(text[i]))) {
      ++i;
    }
    LogFilterEntry entry{String(text.substr(start, i - start)), 0, 0};
    skip_space();
    if (i < n && text[i] == ':') {
      ++i;
      skip_space();
      entry.first_line = entry.last_line = read_number();
      skip_space();
      if (i < n && text[i] == '-') {
        ++i;
        skip_space();
        entry.last_line = i < n && IsDigitByte(static_cast<unsigned char>(text[i])) ? read_number() : 0;
        skip_space();
      }
    }
    // Whatever else stands before the next comma is not part of an entry.
    while (i < n && text[i] != ',') ++i;
    if (i < n) ++i;
    if (entry.file.IsEmpty()) continue;
    (exclude ? excluded_ : included_).push_back(std::move(entry));
  }
}

bool LumoApplication::AcceptsLog(const char* file, int32_t length, int32_t line) const {
  if (logging_off_) return false;
  auto matches = [&](const LogFilterEntry& e) {
    return e.file.Length() == length && memcmp(e.file.Text(), file, static_cast<size_t>(length)) == 0 &&
           (e.first_line == 0 || e.first_line <= line) && (e.last_line == 0 || e.last_line >= line);
  };
  for (const LogFilterEntry& e : excluded_) {
    if (matches(e)) return false;
  }
  if (included_.empty()) return true;
  for (const LogFilterEntry& e : included_) {
    if (matches(e)) return true;
  }
  return false;
}

void LumoApplication::LogEvent(uint32_t, const LogField*) {}

const char* LumoApplication::EventName(uint32_t mask) const { return lumo::EventName(mask); }

void LumoApplication::LibraryNames(LibraryType type, std::vector<String>* names) {
  names->clear();
  if (libraries_.registered == nullptr) return;
  for (const RegisteredLibrary& library : *libraries_.registered) {
    if (library.type == type) names->push_back(library.name);
  }
}

}  // namespace lumo
