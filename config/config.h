// Config: the numbered settings that tune the server and every script run,
// each with a built-in default.
//
// A setting identifier is kind | index: kConfigInteger or kConfigText in the
// high byte, the index in the low byte, nothing in between. Kind and index
// together are the identity, so integer 0x28 (max_unknown_content_length)
// and text 0x28 (log_cookie) are two different settings. Identifiers of any
// other shape are of neither kind: gets find nothing and sets refuse them.
//
// A Config belongs to one thread. Each server worker works on its own copy
// (CopyFrom), so nothing here locks; even a get may write, since it keeps
// the default it created. A stored value never changes once made (a set
// replaces it), so a copy on the same thread may share its source's values
// (ShareFrom) instead of copying each one: a run's copy is made for every
// request.
#ifndef LUMO_CONFIG_CONFIG_H_
#define LUMO_CONFIG_CONFIG_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/base/string.h"

namespace lumo {

using ConfigId = uint32_t;

inline constexpr ConfigId kConfigInteger = 0x1000000;
inline constexpr ConfigId kConfigText = 0x2000000;

inline constexpr ConfigId kConfigDirLumo = 0x2000001;
inline constexpr ConfigId kConfigDirCommerce = 0x2000002;
inline constexpr ConfigId kConfigDirTemp = 0x2000003;
inline constexpr ConfigId kConfigDirData = 0x2000004;
inline constexpr ConfigId kConfigDirCa = 0x2000016;
inline constexpr ConfigId kConfigDirUser = 0x2000019;
inline constexpr ConfigId kConfigDirBuiltin = 0x200001e;
inline constexpr ConfigId kConfigLogLevel = 0x1000005;
inline constexpr ConfigId kConfigLogFile = 0x2000006;
inline constexpr ConfigId kConfigLogFilter = 0x2000025;
inline constexpr ConfigId kConfigLogCookie = 0x2000028;
inline constexpr ConfigId kConfigTimeoutGlobal = 0x1000007;
inline constexpr ConfigId kConfigTimeoutMail = 0x1000008;
inline constexpr ConfigId kConfigTimeoutCall = 0x1000009;
inline constexpr ConfigId kConfigTimeoutFile = 0x100000a;
inline constexpr ConfigId kConfigTimeoutPost = 0x1000026;
inline constexpr ConfigId kConfigDelayFile = 0x100000b;
inline constexpr ConfigId kConfigCookies = 0x100000c;
inline constexpr ConfigId kConfigBufszImport = 0x100000d;
inline constexpr ConfigId kConfigBufszTemplate = 0x100000e;
inline constexpr ConfigId kConfigBufszCall = 0x100000f;
inline constexpr ConfigId kConfigBufszSmtp = 0x1000010;
inline constexpr ConfigId kConfigBufszContent = 0x1000011;
inline constexpr ConfigId kConfigBufszOutput = 0x1000012;
inline constexpr ConfigId kConfigBufszOutputFlush = 0x100001d;
inline constexpr ConfigId kConfigMaxFiles = 0x1000013;
inline constexpr ConfigId kConfigMaxDocache = 0x1000021;
inline constexpr ConfigId kConfigMaxPostVars = 0x1000027;
inline constexpr ConfigId kConfigMaxUnknownContentLength = 0x1000028;
// Limits on what one request may cost (indices from 0x40 up are this
// server's own).
inline constexpr ConfigId kConfigMaxPostFormLength = 0x1000040;
inline constexpr ConfigId kConfigMaxUploadLength = 0x1000041;
inline constexpr ConfigId kConfigMaxUploadTotalLength = 0x1000042;
inline constexpr ConfigId kConfigMaxRunMemory = 0x1000043;
// The configuration library: loaded when the configuration is, it may set
// settings, register libraries and pre-set script variables.
inline constexpr ConfigId kConfigConfigLibrary = 0x2000044;
// Pages (.lum) requested are compiled and run (1) or refused (0).
inline constexpr ConfigId kConfigCompileSources = 0x1000045;
// The access log: a file (a relative name is in the data directory), "-"
// for standard error, empty for none.
inline constexpr ConfigId kConfigAccessLog = 0x2000046;
// Threads that run programs (1 to 64), read at start-up.
inline constexpr ConfigId kConfigWorkers = 0x1000047;
// Seconds a kept-alive connection may wait for its next request, and the
// requests one connection may carry.
inline constexpr ConfigId kConfigKeepAliveTimeout = 0x1000048;
inline constexpr ConfigId kConfigKeepAliveMax = 0x1000049;
inline constexpr ConfigId kConfigLockExpiration = 0x1000014;
inline constexpr ConfigId kConfigLockHostname = 0x2000015;
inline constexpr ConfigId kConfigDefaultFile = 0x2000017;
inline constexpr ConfigId kConfigFlagsSecurity = 0x1000018;
inline constexpr ConfigId kConfigInfoServeradmin = 0x200001a;
inline constexpr ConfigId kConfigSslOpenssl = 0x200001b;
inline constexpr ConfigId kConfigSslCrypto = 0x200001c;
inline constexpr ConfigId kConfigSslSni = 0x1000029;

// Bits of flags_security (certificate checks of outgoing TLS connections).
inline constexpr int32_t kSecurityNoChainCheck = 0x1000;
inline constexpr int32_t kSecurityNoHostNameCheck = 0x2000;
inline constexpr int32_t kSecurityCheckIpAddress = 0x4000;

constexpr bool IsIntegerConfigId(ConfigId id) { return (id & 0xFFFFFF00u) == kConfigInteger; }
constexpr bool IsTextConfigId(ConfigId id) { return (id & 0xFFFFFF00u) == kConfigText; }

// One row of the settings table.
struct ConfigSetting {
  ConfigId id;
  const char* script_name;  // the script's configuration variable
  const char* stored_name;  // the name in lumodex.conf; nullptr when never stored
  int32_t default_integer;  // integer settings
  const char* default_text;  // text settings; nullptr when there is no default
};

// The whole table, in the order script variables are made from it.
const ConfigSetting* ConfigSettings(int32_t* count);
// The row of an identifier, or nullptr for identifiers outside the table.
const ConfigSetting* FindConfigSetting(ConfigId id);

// One stored setting. `text` is used by text settings, `integer` by integer
// settings.
struct ConfigValue {
  ConfigId id = 0;
  String text;
  int32_t integer = 0;
};

class Config {
 public:
  Config() = default;
  // Copying goes through CopyFrom so that a subclass cannot be sliced.
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;
  virtual ~Config();

  // The stored value, else the default; -1 for an identifier that is not an
  // integer setting or that has neither.
  virtual int32_t GetInteger(ConfigId id);
  // The stored text, else the default; nullptr for an identifier that is
  // not a text setting or that has neither. The pointer stays valid until
  // that setting is set or cleared, or the Config is destroyed.
  virtual const String* GetText(ConfigId id);
  // Replace the stored value. False, with nothing stored, when the
  // identifier is of the other kind (or of neither).
  virtual bool SetText(ConfigId id, std::string_view text);
  virtual bool SetInteger(ConfigId id, int32_t value);
  // Drops the stored value of either kind: the next get sees the default
  // again, or nothing when there is none.
  virtual void ClearValue(ConfigId id);
  // A new value holding the built-in default, or nullptr when there is
  // none. A get that finds no stored value asks this and keeps the result,
  // so a default is made once.
  virtual std::unique_ptr<ConfigValue> CreateDefault(ConfigId id);

  // Replaces every stored value with a copy of `other`'s.
  virtual void CopyFrom(const Config& other);
  // Like CopyFrom, but the values are shared with `other`, which must
  // belong to the same thread and outlive nothing here: sharing counts
  // references without a lock of its own, and a count that threads fight
  // over costs more than the copy.
  virtual void ShareFrom(const Config& other);
  // Makes every default now, so that copies share them instead of each
  // making its own.
  void MakeDefaults();

 private:
  static constexpr int kSlots = 512;  // two kinds of 256 indexes
  // Slot of a valid identifier, -1 otherwise.
  static int Slot(ConfigId id);
  const ConfigValue* Find(ConfigId id);

  std::array<std::shared_ptr<const ConfigValue>, kSlots> values_;
};

}  // namespace lumo

#endif  // LUMO_CONFIG_CONFIG_H_
