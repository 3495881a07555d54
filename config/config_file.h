// lumodex.conf: where the configuration lives and how it is written.
//
// A text file of lines, each blank, a comment ('#' after any leading white
// space) or "name = value". Names are matched in any case; white space
// around name and value is dropped. Every setting with a stored name has
// its line, plus "port" and "showdialog"; "libraries" (TYPE,NAME,PATH) and
// "errorsettings" (TAG=VALUE) take one line per entry, the name repeated.
// A line that cannot be used is reported and skipped: a damaged file never
// keeps the server from starting.
#ifndef LUMO_CONFIG_CONFIG_FILE_H_
#define LUMO_CONFIG_CONFIG_FILE_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/dex_config.h"
#include "core/base/string.h"
#include "files/whole_file.h"

namespace lumo {

// Files larger than this are not read: a configuration is a few kilobytes,
// anything this big was named by mistake.
inline constexpr int64_t kMaxConfigFileSize = 1 << 20;

// $HOME when it is an absolute path, else the password database's home
// directory, else "/". Never ends in '/' unless it is "/".
std::string HomeDirectory();

// The file to use: `flag_value` (from --config) when not null, else
// $LUMODEX_CONFIG when set and not empty, else
// HOME/.config/lumodex/lumodex.conf.
std::string ConfigFilePath(const char* flag_value);

// Applies the lines of `text` to `config`. Warnings name `file_name` and
// the line. When any "libraries" line occurs, the libraries are cleared and
// the error settings reset before the entries are registered; when any
// "errorsettings" line occurs, the error settings are reset before they are
// set. Libraries are applied before error settings whatever the order of
// the lines.
void ParseConfigText(std::string_view text, std::string_view file_name, DexBaseConfig& config,
                     std::vector<std::string>* warnings);

// Reads the file and applies it as above; see DexBaseConfig::Load.
bool LoadConfigFile(const std::string& path, DexBaseConfig& config,
                    std::vector<std::string>* warnings);

// The file's text for `config`: a header comment, port, showdialog, the
// saved integer settings, the saved text settings that have a value, then
// the libraries and the error settings. False, with *error, when a value
// cannot be written as a line that reads back the same (a line break
// anywhere, a comma in a library name, an '=' in a tag name).
bool FormatConfigText(DexConfigLoader& config, std::string* text, String* error);

// Save only the "libraries" lines, or only the "errorsettings" lines, of
// the file: they take the place of the old ones (or go at the end), and
// every other line of the file, comments included, stays as it is.
bool SaveConfigLibraries(const DexConfigLoader& config, const std::string& path, String* error);
bool SaveConfigErrorSettings(const DexConfigLoader& config, const std::string& path,
                             String* error);

// FormatConfigText, then WriteFileAtomically.
bool SaveConfigFile(DexConfigLoader& config, const std::string& path, String* error,
                    const std::function<bool()>& before_rename = {});

}  // namespace lumo

#endif  // LUMO_CONFIG_CONFIG_FILE_H_
