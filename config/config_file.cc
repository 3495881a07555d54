#include "config/config_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "files/whole_file.h"

namespace lumo {

namespace {

// Written in this order, which the options dialog also shows.
constexpr ConfigId kSavedIntegers[] = {
    kConfigTimeoutGlobal, kConfigTimeoutCall,  kConfigTimeoutMail,      kConfigTimeoutFile,
    kConfigTimeoutPost,   kConfigDelayFile,    kConfigCookies,          kConfigMaxFiles,
    kConfigMaxPostVars,   kConfigLockExpiration, kConfigLogLevel,       kConfigFlagsSecurity,
    kConfigWorkers,       kConfigKeepAliveTimeout, kConfigKeepAliveMax,
};
constexpr ConfigId kSavedTexts[] = {
    kConfigDirLumo, kConfigDirData, kConfigDefaultFile, kConfigInfoServeradmin,
    kConfigDirCa,   kConfigLogFile, kConfigLogFilter,   kConfigLogCookie,
    kConfigAccessLog,
};

constexpr std::string_view kPort = "port";
constexpr std::string_view kShowDialog = "showdialog";
constexpr std::string_view kLibraries = "libraries";
constexpr std::string_view kErrorSettings = "errorsettings";

std::string_view Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsSpaceByte(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && IsSpaceByte(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         CompareNoCase(a.data(), b.data(), static_cast<int32_t>(a.size())) == 0;
}

// A line can be as long as the file; a warning quotes only its start.
std::string Quote(std::string_view text) {
  constexpr size_t kShown = 60;
  std::string quoted = "'";
  quoted.append(text.substr(0, kShown));
  if (text.size() > kShown) quoted += "...";
  quoted += "'";
  return quoted;
}

// Decimal with an optional '-', or 0x hexadecimal up to 32 bits (masks are
// easier to read that way; 0xFFFFFFFF is -1). Nothing else, no overflow.
bool ParseSettingInteger(std::string_view text, int32_t* value) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    uint32_t bits = 0;
    auto [next, error] = std::from_chars(begin + 2, end, bits, 16);
    if (error != std::errc() || next != end) return false;
    *value = static_cast<int32_t>(bits);
    return true;
  }
  auto [next, error] = std::from_chars(begin, end, *value, 10);
  return error == std::errc() && next == end;
}

const ConfigSetting* FindStoredSetting(std::string_view name) {
  int32_t count = 0;
  const ConfigSetting* settings = ConfigSettings(&count);
  for (int32_t i = 0; i < count; ++i) {
    if (settings[i].stored_name && SameName(name, settings[i].stored_name)) return &settings[i];
  }
  return nullptr;
}

void SetError(String* error, std::string_view text) {
  if (error) *error = String(text);
}

class LineParser {
 public:
  LineParser(std::string_view file_name, DexBaseConfig& config,
             std::vector<std::string>* warnings)
      : file_name_(file_name), config_(config), warnings_(warnings) {}

  void Line(int32_t number, std::string_view line) {
    line_ = number;
    line = Trim(line);
    if (line.empty() || line[0] == '#') return;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      Warn("expected 'name = value', found " + Quote(line));
      return;
    }
    const std::string_view name = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (name.empty()) {
      Warn("missing setting name before '='");
    } else if (SameName(name, kPort)) {
      int32_t port = 0;
      if (Integer(name, value, &port)) config_.SetPort(port);
    } else if (SameName(name, kShowDialog)) {
      int32_t show = 0;
      if (Integer(name, value, &show)) config_.SetShowDialog(show != 0);
    } else if (SameName(name, kLibraries)) {
      Library(value);
    } else if (SameName(name, kErrorSettings)) {
      ErrorSetting(value);
    } else if (const ConfigSetting* setting = FindStoredSetting(name)) {
      int32_t integer = 0;
      if (IsTextConfigId(setting->id)) {
        config_.SetText(setting->id, value);
      } else if (Integer(name, value, &integer)) {
        config_.SetInteger(setting->id, integer);
      }
    } else {
      Warn("unknown setting " + Quote(name));
    }
  }

  // Lists replace what the configuration held only once the whole file is
  // read, so that the order of the lines does not matter: the libraries
  // reset the error settings too, and must not undo the file's own.
  void Finish() {
    if (libraries_seen_) {
      config_.ClearLibraries();
      config_.ResetErrorSettings();
      for (const PendingLibrary& library : libraries_) {
        config_.RegisterLibrary(library.type, library.name, library.path);
      }
    }
    if (error_settings_seen_) {
      config_.ResetErrorSettings();
      for (const PendingErrorSetting& setting : error_settings_) {
        config_.SetErrorSetting(setting.tag_name, setting.value);
      }
    }
  }

 private:
  struct PendingLibrary {
    LibraryType type;
    std::string_view name;
    std::string_view path;
  };
  struct PendingErrorSetting {
    std::string_view tag_name;
    std::string_view value;
  };

  void Warn(const std::string& what) {
    if (warnings_) {
      warnings_->push_back(std::string(file_name_) + ":" + std::to_string(line_) + ": " + what);
    }
  }

  bool Integer(std::string_view name, std::string_view value, int32_t* integer) {
    if (ParseSettingInteger(value, integer)) return true;
    Warn(std::string(name) + " needs a whole number, not " + Quote(value));
    return false;
  }

  // An empty value names no entry but still says the list is present.
  void Library(std::string_view value) {
    libraries_seen_ = true;
    if (value.empty()) return;
    const size_t first = value.find(',');
    const size_t second = first == std::string_view::npos ? first : value.find(',', first + 1);
    if (second == std::string_view::npos) {
      Warn("library " + Quote(value) + " is not TYPE,NAME,PATH");
      return;
    }
    const std::string_view type = Trim(value.substr(0, first));
    PendingLibrary library{LibraryType::kBuiltin, Trim(value.substr(first + 1, second - first - 1)),
                           Trim(value.substr(second + 1))};
    switch (type.empty() ? '\0' : static_cast<char>(LowerByte(static_cast<unsigned char>(type[0])))) {
      case 'b':
        library.type = LibraryType::kBuiltin;
        break;
      case 'c':
        library.type = LibraryType::kCommerce;
        break;
      case 'd':
        library.type = LibraryType::kDatabase;
        break;
      case 's':
        library.type = LibraryType::kSystem;
        break;
      default:
        Warn("library type " + Quote(type) + " is none of b, c, d, s");
        return;
    }
    libraries_.push_back(library);
  }

  void ErrorSetting(std::string_view value) {
    error_settings_seen_ = true;
    if (value.empty()) return;
    const size_t equals = value.find('=');
    if (equals == std::string_view::npos) {
      Warn("error setting " + Quote(value) + " is not TAG=VALUE");
      return;
    }
    const std::string_view tag_name = Trim(value.substr(0, equals));
    if (!config_.KnowsTag(tag_name)) {
      Warn("unknown tag " + Quote(tag_name) + " in error setting");
      return;
    }
    error_settings_.push_back({tag_name, Trim(value.substr(equals + 1))});
  }

  std::string_view file_name_;
  DexBaseConfig& config_;
  std::vector<std::string>* warnings_;
  int32_t line_ = 0;
  bool libraries_seen_ = false;
  bool error_settings_seen_ = false;
  std::vector<PendingLibrary> libraries_;
  std::vector<PendingErrorSetting> error_settings_;
};

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

char LibraryLetter(LibraryType type) {
  switch (type) {
    case LibraryType::kBuiltin:
      return 'b';
    case LibraryType::kDatabase:
      return 'd';
    case LibraryType::kCommerce:
      return 'c';
    case LibraryType::kSystem:
      return 's';
  }
  return 'b';
}

}  // namespace

std::string HomeDirectory() {
  std::string home;
  const char* env = getenv("HOME");
  if (env != nullptr && env[0] == '/') {
    home = env;
  } else {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/') {
      home = found->pw_dir;
    }
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home.empty() ? "/" : home;
}

std::string ConfigFilePath(const char* flag_value) {
  if (flag_value != nullptr) return flag_value;
  const char* env = getenv("LUMODEX_CONFIG");
  if (env != nullptr && env[0] != '\0') return env;
  std::string home = HomeDirectory();
  if (home != "/") home += '/';
  return home + ".config/lumodex/lumodex.conf";
}

void ParseConfigText(std::string_view text, std::string_view file_name, DexBaseConfig& config,
                     std::vector<std::string>* warnings) {
  LineParser parser(file_name, config, warnings);
  int32_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    parser.Line(++number, text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  parser.Finish();
}

bool LoadConfigFile(const std::string& path, DexBaseConfig& config,
                    std::vector<std::string>* warnings) {
  std::string text, problem;
  switch (ReadWholeFile(path, kMaxConfigFileSize, &text, &problem)) {
    case WholeFileRead::kMissing:
      return true;
    case WholeFileRead::kFailed:
      if (warnings) warnings->push_back(path + ": " + problem);
      return false;
    case WholeFileRead::kRead:
      break;
  }
  ParseConfigText(text, path, config, warnings);
  return true;
}

namespace {

// The values of the "libraries" lines, in order.
bool FormatLibraryEntries(const DexConfigLoader& config, std::vector<std::string>* entries,
                          String* error) {
  entries->clear();
  for (const LibraryEntry& library : config.Libraries()) {
    if (library.name.ContainsByte(',')) {
      SetError(error, "the library name " + Quote(library.name) + " contains a comma");
      return false;
    }
    if (HasLineBreak(library.name) || HasLineBreak(library.path)) {
      SetError(error, "the library " + Quote(library.name) + " contains a line break");
      return false;
    }
    std::string entry(1, LibraryLetter(library.type));
    entry.append(",").append(library.name).append(",").append(library.path);
    entries->push_back(std::move(entry));
  }
  return true;
}

// The values of the "errorsettings" lines, in order.
bool FormatErrorSettingEntries(const DexConfigLoader& config, std::vector<std::string>* entries,
                               String* error) {
  entries->clear();
  for (const ErrorSettingEntry& setting : config.ErrorSettings()) {
    if (setting.tag_name.ContainsByte('=')) {
      SetError(error, "the tag name " + Quote(setting.tag_name) + " contains an '='");
      return false;
    }
    if (HasLineBreak(setting.tag_name) || HasLineBreak(setting.value)) {
      SetError(error, "the error setting " + Quote(setting.tag_name) + " contains a line break");
      return false;
    }
    std::string entry(setting.tag_name.View());
    entry.append("=").append(setting.value);
    entries->push_back(std::move(entry));
  }
  return true;
}

// Rewrites the lines called `name` in the file: the new lines take the
// place of the first old one, later ones go, and with none they are added
// at the end. Every other line, comments included, stays as it is, so a
// save of one list never undoes what was changed in the file by hand.
bool ReplaceConfigLines(const std::string& path, std::string_view name,
                        const std::vector<std::string>& values, String* error) {
  std::string text, problem;
  if (ReadWholeFile(path, kMaxConfigFileSize, &text, &problem) == WholeFileRead::kFailed) {
    SetError(error, "Error saving '" + path + "': " + problem);
    return false;
  }
  std::string replacement;
  for (const std::string& value : values) {
    replacement.append(name).append(" = ").append(value).append("\n");
  }
  std::string out;
  bool placed = false;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view whole = rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1);
    rest.remove_prefix(whole.size());
    const std::string_view line = Trim(whole);
    const size_t equals = line.find('=');
    const bool named = !line.empty() && line[0] != '#' && equals != std::string_view::npos &&
                       SameName(Trim(line.substr(0, equals)), name);
    if (!named) {
      out.append(whole);
      if (whole.back() != '\n') out.append("\n");
      continue;
    }
    if (!placed) out.append(replacement);
    placed = true;
  }
  if (!placed) out.append(replacement);
  return WriteFileAtomically(path, out, error);
}

}  // namespace

bool FormatConfigText(DexConfigLoader& config, std::string* text, String* error) {
  std::string out =
      "# Lumo Dex configuration: one \"name = value\" per line.\n"
      "# Lumo Dex rewrites this file when its options are saved; comments are not kept.\n";
  auto line = [&out](std::string_view name, std::string_view value) {
    out.append(name).append(" = ").append(value).append("\n");
  };
  line(kPort, std::to_string(config.Port()));
  line(kShowDialog, config.ShowDialog() ? "1" : "0");
  for (ConfigId id : kSavedIntegers) {
    line(FindConfigSetting(id)->stored_name, std::to_string(config.GetInteger(id)));
  }
  for (ConfigId id : kSavedTexts) {
    const String* value = config.GetText(id);
    if (value == nullptr) continue;  // no line at all: the next load keeps the default
    const char* name = FindConfigSetting(id)->stored_name;
    if (HasLineBreak(*value)) {
      SetError(error, std::string("the value of ") + name + " contains a line break");
      return false;
    }
    line(name, *value);
  }
  std::vector<std::string> entries;
  if (!FormatLibraryEntries(config, &entries, error)) return false;
  for (const std::string& entry : entries) line(kLibraries, entry);
  if (!FormatErrorSettingEntries(config, &entries, error)) return false;
  for (const std::string& entry : entries) line(kErrorSettings, entry);
  *text = std::move(out);
  return true;
}

bool SaveConfigFile(DexConfigLoader& config, const std::string& path, String* error,
                    const std::function<bool()>& before_rename) {
  std::string text;
  String format_error;
  if (!FormatConfigText(config, &text, &format_error)) {
    SetError(error, "Error saving '" + path + "': " + std::string(format_error.View()));
    return false;
  }
  return WriteFileAtomically(path, text, error, before_rename);
}

bool SaveConfigLibraries(const DexConfigLoader& config, const std::string& path, String* error) {
  std::vector<std::string> entries;
  String format_error;
  if (!FormatLibraryEntries(config, &entries, &format_error)) {
    SetError(error, "Error saving '" + path + "': " + std::string(format_error.View()));
    return false;
  }
  return ReplaceConfigLines(path, kLibraries, entries, error);
}

bool SaveConfigErrorSettings(const DexConfigLoader& config, const std::string& path,
                             String* error) {
  std::vector<std::string> entries;
  String format_error;
  if (!FormatErrorSettingEntries(config, &entries, &format_error)) {
    SetError(error, "Error saving '" + path + "': " + std::string(format_error.View()));
    return false;
  }
  return ReplaceConfigLines(path, kErrorSettings, entries, error);
}

}  // namespace lumo
