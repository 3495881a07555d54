#include "config/config.h"

#include <iterator>

namespace lumo {

namespace {

// Script variables are made in this order; keep it.
constexpr ConfigSetting kSettings[] = {
    {kConfigDirLumo, "dir_lumo", "lumoroot", 0, nullptr},
    {kConfigDirCommerce, "dir_commerce", nullptr, 0, nullptr},
    {kConfigDirTemp, "dir_temp", nullptr, 0, nullptr},
    {kConfigDirData, "dir_data", "datadir", 0, nullptr},
    {kConfigDirCa, "dir_ca", "cadir", 0, nullptr},
    {kConfigDirUser, "dir_user", nullptr, 0, "public_lmt"},
    {kConfigDirBuiltin, "dir_builtin", nullptr, 0, nullptr},
    {kConfigLogLevel, "log_level", "loglevel", 0, nullptr},
    {kConfigLogFile, "log_file", "logfile", 0, nullptr},
    {kConfigLogFilter, "log_filter", "logfilter", 0, nullptr},
    {kConfigLogCookie, "log_cookie", "logcookie", 0, nullptr},
    {kConfigTimeoutGlobal, "timeout_global", "globaltimeout", 90, nullptr},
    {kConfigTimeoutMail, "timeout_mail", "mailtimeout", 30, nullptr},
    {kConfigTimeoutCall, "timeout_call", "calltimeout", 30, nullptr},
    {kConfigTimeoutFile, "timeout_file", "filetimeout", 30, nullptr},
    {kConfigTimeoutPost, "timeout_post", "posttimeout", 30, nullptr},
    {kConfigDelayFile, "delay_file", "filedelay", 100, nullptr},
    {kConfigCookies, "cookies", "usecookies", 1, nullptr},
    {kConfigBufszImport, "bufsz_import", nullptr, 8192, nullptr},
    {kConfigBufszTemplate, "bufsz_template", nullptr, 8192, nullptr},
    {kConfigBufszCall, "bufsz_call", nullptr, 8192, nullptr},
    {kConfigBufszSmtp, "bufsz_smtp", nullptr, 8192, nullptr},
    {kConfigBufszContent, "bufsz_content", nullptr, 8192, nullptr},
    {kConfigBufszOutput, "bufsz_output", nullptr, 8192, nullptr},
    {kConfigBufszOutputFlush, "bufsz_output_flush", nullptr, 1048576, nullptr},
    {kConfigMaxFiles, "max_files", "maxfiles", 0, nullptr},
    {kConfigMaxDocache, "max_docache", "maxdocache", 0, nullptr},
    {kConfigMaxPostVars, "max_post_vars", "maxpostvars", 2000, nullptr},
    {kConfigMaxUnknownContentLength, "max_unknown_content_length", "maxunknowncontentlength",
     1048576, nullptr},
    {kConfigLockExpiration, "lock_expiration", "lockexpiration", 90, nullptr},
    {kConfigLockHostname, "lock_hostname", nullptr, 0, nullptr},
    {kConfigDefaultFile, "default_file", "defaultfile", 0, "index.lmc,index.html"},
    {kConfigFlagsSecurity, "flags_security", "securityoptions", 0, nullptr},
    // The administrator address has a default only in the server's own
    // configuration, which knows it is a server.
    {kConfigInfoServeradmin, "info_serveradmin", "serveradmin", 0, nullptr},
    {kConfigSslOpenssl, "ssl_openssl", nullptr, 0, "libssl.so"},
    {kConfigSslCrypto, "ssl_crypto", nullptr, 0, "libcrypto.so"},
    {kConfigSslSni, "ssl_sni", "usesni", -1, nullptr},
    {kConfigMaxPostFormLength, "max_post_form_length", "maxpostformlength", 16 << 20, nullptr},
    {kConfigMaxUploadLength, "max_upload_length", "maxuploadlength", 1 << 30, nullptr},
    {kConfigMaxUploadTotalLength, "max_upload_total_length", "maxuploadtotallength", 0x7FFFFFFF,
     nullptr},
    {kConfigMaxRunMemory, "max_run_memory", "maxrunmemory", 256 << 20, nullptr},
    {kConfigConfigLibrary, "config_library", "configlibrary", 0, nullptr},
    {kConfigCompileSources, "compile_sources", "compilesources", 1, nullptr},
    {kConfigAccessLog, "access_log", "accesslog", 0, nullptr},
    {kConfigWorkers, "workers", "workers", 5, nullptr},
    {kConfigKeepAliveTimeout, "keepalive_timeout", "keepalivetimeout", 15, nullptr},
    {kConfigKeepAliveMax, "keepalive_max", "keepalivemax", 1000, nullptr},
};

constexpr bool EveryIdHasOneKind() {
  for (const ConfigSetting& s : kSettings) {
    if (IsIntegerConfigId(s.id) == IsTextConfigId(s.id)) return false;
    if (IsIntegerConfigId(s.id) && s.default_text != nullptr) return false;
  }
  return true;
}
static_assert(EveryIdHasOneKind());

constexpr bool IdsAreUnique() {
  for (size_t i = 0; i < std::size(kSettings); ++i) {
    for (size_t j = i + 1; j < std::size(kSettings); ++j) {
      if (kSettings[i].id == kSettings[j].id) return false;
    }
  }
  return true;
}
static_assert(IdsAreUnique());

}  // namespace

const ConfigSetting* ConfigSettings(int32_t* count) {
  if (count) *count = static_cast<int32_t>(std::size(kSettings));
  return kSettings;
}

const ConfigSetting* FindConfigSetting(ConfigId id) {
  for (const ConfigSetting& s : kSettings) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

Config::~Config() = default;

int Config::Slot(ConfigId id) {
  const int index = static_cast<int>(id & 0xFF);
  if (IsIntegerConfigId(id)) return index;
  if (IsTextConfigId(id)) return 256 + index;
  return -1;
}

const ConfigValue* Config::Find(ConfigId id) {
  const int slot = Slot(id);
  if (slot < 0) return nullptr;
  std::shared_ptr<const ConfigValue>& value = values_[static_cast<size_t>(slot)];
  if (!value) {
    std::unique_ptr<ConfigValue> made = CreateDefault(id);
    // A default of the wrong identifier would answer for another setting.
    if (made && made->id == id) value = std::move(made);
  }
  return value.get();
}

int32_t Config::GetInteger(ConfigId id) {
  if (!IsIntegerConfigId(id)) return -1;
  const ConfigValue* value = Find(id);
  return value ? value->integer : -1;
}

const String* Config::GetText(ConfigId id) {
  if (!IsTextConfigId(id)) return nullptr;
  const ConfigValue* value = Find(id);
  return value ? &value->text : nullptr;
}

bool Config::SetText(ConfigId id, std::string_view text) {
  if (!IsTextConfigId(id)) return false;
  auto value = std::make_shared<ConfigValue>();
  value->id = id;
  // With a buffer even when empty: an empty text is a value, not an absence.
  value->text.Assign(text.data(), static_cast<int32_t>(text.size()));
  values_[static_cast<size_t>(Slot(id))] = std::move(value);
  return true;
}

bool Config::SetInteger(ConfigId id, int32_t integer) {
  if (!IsIntegerConfigId(id)) return false;
  auto value = std::make_shared<ConfigValue>();
  value->id = id;
  value->integer = integer;
  values_[static_cast<size_t>(Slot(id))] = std::move(value);
  return true;
}

void Config::ClearValue(ConfigId id) {
  const int slot = Slot(id);
  if (slot >= 0) values_[static_cast<size_t>(slot)].reset();
}

std::unique_ptr<ConfigValue> Config::CreateDefault(ConfigId id) {
  const ConfigSetting* setting = FindConfigSetting(id);
  if (setting == nullptr) return nullptr;
  if (IsTextConfigId(id) && setting->default_text == nullptr) return nullptr;
  auto value = std::make_unique<ConfigValue>();
  value->id = id;
  if (IsTextConfigId(id)) {
    value->text.Assign(setting->default_text);
  } else {
    value->integer = setting->default_integer;
  }
  return value;
}

void Config::CopyFrom(const Config& other) {
  if (&other == this) return;
  for (size_t i = 0; i < values_.size(); ++i) {
    const std::shared_ptr<const ConfigValue>& source = other.values_[i];
    values_[i] = source ? std::make_shared<const ConfigValue>(*source) : nullptr;
  }
}

void Config::ShareFrom(const Config& other) {
  if (&other == this) return;
  values_ = other.values_;
}

void Config::MakeDefaults() {
  int32_t count = 0;
  const ConfigSetting* settings = ConfigSettings(&count);
  for (int32_t i = 0; i < count; ++i) Find(settings[i].id);
}

}  // namespace lumo
