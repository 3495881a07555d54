// lumodex.conf: finding it, reading it line by line, libraries and error
// settings, and saving it without ever leaving half a file.
#include "config/config_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "config/dex_config.h"
#include "core/context/config_target.h"
#include "core/context/error_settings.h"

namespace lumo {
namespace {

using Lines = std::vector<std::string>;

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Records what the running configuration hands on.
class FakeTarget : public ConfigTarget {
 public:
  void RegisterLibrary(LibraryType type, std::string_view name, std::string_view path) override {
    calls.push_back("lib " + std::to_string(static_cast<int>(type)) + " " + std::string(name) + " " +
                    std::string(path));
  }
  void SetErrorSetting(std::string_view tag, std::string_view value) override {
    calls.push_back("set " + std::string(tag) + " " + std::string(value));
  }
  void ResetErrorSettings() override { calls.push_back("reset"); }
  Lines calls;
};

class ConfigFile : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "lumodex_config_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/lumodex.conf";
    home_.emplace("HOME", dir_.c_str());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Loads `text` into `config` and returns the warnings.
  Lines Load(DexBaseConfig& config, const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    Lines warnings;
    EXPECT_TRUE(config.Load(path_, &warnings));
    return warnings;
  }

  std::string dir_, path_;
  std::optional<ScopedEnv> home_;
};

TEST_F(ConfigFile, MissingOrEmptyFileGivesEveryDefault) {
  for (bool exists : {false, true}) {
    if (exists) std::ofstream{path_};
    DexConfigLoader config(TagLookup);
    Lines warnings;
    EXPECT_TRUE(config.Load(path_, &warnings));
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(config.GetInteger(kConfigTimeoutGlobal), 90);  // the saved file pins every default
    EXPECT_EQ(config.Port(), 80);
    EXPECT_EQ(*config.GetText(kConfigDirLumo), dir_ + "/LumoDex/html");
  }
  // Where the file is, and the home directory the defaults lie under.
  ScopedEnv env("LUMODEX_CONFIG", "/etc/lumodex.conf");
  EXPECT_EQ(ConfigFilePath("/tmp/flag.conf"), "/tmp/flag.conf");
  EXPECT_EQ(ConfigFilePath(nullptr), "/etc/lumodex.conf");
  ScopedEnv empty("LUMODEX_CONFIG", "");
  EXPECT_EQ(ConfigFilePath(nullptr), dir_ + "/.config/lumodex/lumodex.conf");
  ScopedEnv root("HOME", "/");
  EXPECT_EQ(*DexConfig(nullptr, nullptr).GetText(kConfigDirLumo), "/LumoDex/html");
  ScopedEnv relative("HOME", "relative/home");  // the password database answers
  EXPECT_EQ(HomeDirectory()[0], '/');
}

TEST_F(ConfigFile, BadLinesAreReportedAndSkipped) {
  DexConfigLoader config(TagLookup);
  Lines warnings = Load(config,
      "# comment\n"
      "   # indented comment\n"
      "\n"
      "GlobalTimeout = 12\r\n"           // 4: any case, CRLF
      "just words\n"                     // 5
      "nosuchname = 1\n"                 // 6
      "calltimeout = 12x\n"              // 7
      "mailtimeout = 99999999999\n"      // 8: overflow
      "posttimeout = 0x1FFFFFFFF\n"      // 9
      "= 5\n"                            // 10
      "port = 8080\n"
      "securityoptions = 0xFFFFFFFF\n"
      "filedelay = -7\n"
      "logfilter = a = b\n"
      "logcookie =\n");
  const std::string at = path_ + ":";
  EXPECT_EQ(warnings, (Lines{at + "5: expected 'name = value', found 'just words'",
                             at + "6: unknown setting 'nosuchname'",
                             at + "7: calltimeout needs a whole number, not '12x'",
                             at + "8: mailtimeout needs a whole number, not '99999999999'",
                             at + "9: posttimeout needs a whole number, not '0x1FFFFFFFF'",
                             at + "10: missing setting name before '='"}));
  EXPECT_EQ(config.GetInteger(kConfigTimeoutGlobal), 12);
  EXPECT_EQ(config.GetInteger(kConfigTimeoutCall), 30);
  EXPECT_EQ(config.Port(), 8080);
  EXPECT_EQ(config.GetInteger(kConfigFlagsSecurity), -1);
  EXPECT_EQ(config.GetInteger(kConfigDelayFile), -7);
  EXPECT_EQ(*config.GetText(kConfigLogFilter), "a = b");
  EXPECT_EQ(*config.GetText(kConfigLogCookie), "");

  // A file that cannot be read at all warns, and changes nothing.
  std::ofstream(path_) << "globaltimeout = 5\n" + std::string(kMaxConfigFileSize, '#');
  EXPECT_FALSE(config.Load(path_, nullptr) || config.Load(dir_, &warnings));  // too big, a directory
  EXPECT_EQ(warnings.back(), dir_ + ": not a regular file");
  EXPECT_EQ(config.GetInteger(kConfigTimeoutGlobal), 12);
}

TEST_F(ConfigFile, LibrariesAndErrorSettings) {
  const std::string text =
      "errorsettings = LmOPEN = display,fatal\n"  // before the libraries, still kept
      "libraries = B,ignored,/lib/builtin.so\n"
      "libraries = d , xbase , /lib/x,base.so\n"
      "libraries = x,name,/lib/x.so\n"           // 4
      "libraries = c,onecomma\n"                 // 5
      "libraries = system,mail,/lib/mail.so\n"
      "errorsettings = LmNOSUCH=fatal\n"         // 7
      "errorsettings = LmIF\n"                   // 8
      "errorsettings = lmfuncreturn=display\n"
      "errorsettings = LmFUNCTIONRETURN=fatal\n";  // the same tag: replaces
  DexConfigLoader loader(TagLookup);
  loader.RegisterCommerceLibrary("stale", "/stale.so");
  const std::string at = path_ + ":";
  EXPECT_EQ(Load(loader, text), (Lines{at + "4: library type 'x' is none of b, c, d, s",
                                       at + "5: library 'c,onecomma' is not TYPE,NAME,PATH",
                                       at + "7: unknown tag 'LmNOSUCH' in error setting",
                                       at + "8: error setting 'LmIF' is not TAG=VALUE"}));
  EXPECT_EQ(loader.Libraries().size(), 3u);  // "stale" is gone
  ASSERT_EQ(loader.ErrorSettings().size(), 2u);
  EXPECT_EQ(loader.ErrorSettings()[1].tag_name, "LmFUNCTIONRETURN");
  EXPECT_EQ(loader.ErrorSettings()[1].value, "fatal");
  // A file without the names leaves the lists alone.
  Load(loader, "port = 81\n");
  EXPECT_EQ(loader.Libraries().size() + loader.ErrorSettings().size(), 5u);

  FakeTarget target;
  DexConfig running(&target, TagLookup);
  Load(running, text);
  EXPECT_EQ(target.calls, (Lines{"reset", "lib 0 n/a /lib/builtin.so", "lib 1 xbase /lib/x,base.so",
                                 "lib 3 mail /lib/mail.so", "reset", "set LmOPEN display,fatal",
                                 "set lmfuncreturn display", "set LmFUNCTIONRETURN fatal"}));
}

// Saving one list rewrites only its lines: the other settings, comments
// and the other list stay as they were written by hand.
TEST_F(ConfigFile, ListsSaveAloneAndKeepTheRestOfTheFile) {
  const std::string text =
      "# my notes\n"
      "port = 81\n"
      "libraries = b,n/a,/old/one.so\n"
      "errorsettings = LmIF=display\n"
      "  LIBRARIES = s,mail,/old/mail.so\n"
      "globaltimeout = 7";  // no final line break
  DexConfigLoader loader(TagLookup);
  Load(loader, text);
  loader.Libraries().clear();
  loader.RegisterCommerceLibrary("pay", "/new/pay.so");
  loader.RegisterBuiltinLibrary("/new/std.so");
  loader.SetErrorSetting("LmWHILE", "fatal");
  String error;
  ASSERT_TRUE(loader.SaveLibraries(path_, &error)) << error.View();
  auto read = [&] {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read(),
            "# my notes\n"
            "port = 81\n"
            "libraries = c,pay,/new/pay.so\n"
            "libraries = b,n/a,/new/std.so\n"
            "errorsettings = LmIF=display\n"
            "globaltimeout = 7\n");
  ASSERT_TRUE(loader.SaveErrorSettings(path_, &error)) << error.View();
  EXPECT_EQ(read(),
            "# my notes\n"
            "port = 81\n"
            "libraries = c,pay,/new/pay.so\n"
            "libraries = b,n/a,/new/std.so\n"
            "errorsettings = LmIF=display\n"
            "errorsettings = LmWHILE=fatal\n"
            "globaltimeout = 7\n");
  DexConfigLoader again(TagLookup);
  Load(again, read());
  EXPECT_EQ(again.Port(), 81);
  EXPECT_EQ(again.Libraries().size(), 2u);
  EXPECT_EQ(again.ErrorSettings().size(), 2u);

  // A file without the lines gets them at its end; no file, a new one.
  std::filesystem::remove(path_);
  ASSERT_TRUE(loader.SaveErrorSettings(path_, &error)) << error.View();
  EXPECT_EQ(read(), "errorsettings = LmIF=display\nerrorsettings = LmWHILE=fatal\n");
  loader.Libraries()[0].name = String("a,b");
  EXPECT_FALSE(loader.SaveLibraries(path_, &error));
  EXPECT_EQ(error.View(), "Error saving '" + path_ + "': the library name 'a,b' contains a comma");
}

// The process's own target sets the program context's error settings.
TEST_F(ConfigFile, ErrorSettingsReachTheProgramContext) {
  ProcessConfigTarget target;
  DexConfig running(&target, TagLookup);
  const int32_t open = TagLookup("LmOPEN", 6);
  Load(running, "errorsettings = LmOPEN=display,fatal\n");
  EXPECT_EQ(CurrentErrorSettings()[open].flags, kErrorDisplay | kErrorFatal);
  Load(running, "errorsettings = lmopen=\n");
  EXPECT_EQ(CurrentErrorSettings()[open].flags, 0u);
  // Listing libraries resets the settings a previous load made.
  Load(running, "libraries = s,a,/a.so\n");
  EXPECT_EQ(CurrentErrorSettings()[open].flags, DefaultErrorSettings()[open].flags);
  ASSERT_EQ(target.Libraries().size(), 1u);
  EXPECT_EQ(target.Libraries()[0].path.View(), "/a.so");
  ResetErrorSettings();
}

TEST_F(ConfigFile, SaveWritesEveryStoredLineAndReadsBackTheSame) {
  DexConfigLoader config(TagLookup);
  config.SetPort(8080);
  config.SetInteger(kConfigMaxDocache, 5);  // read but never written
  config.SetText(kConfigLogFile, "/var/log/lumodex.log");
  config.SetText(kConfigLogCookie, "");
  config.RegisterBuiltinLibrary("/lib/b.so");
  config.RegisterDatabaseLibrary("xbase", "/lib/x,base.so");
  config.RegisterCommerceLibrary("shop", "/lib/shop.so");
  config.RegisterSystemLibrary("mail", "/lib/mail.so");
  config.SetErrorSetting("LmOPEN", "display,fatal");
  String error;
  ASSERT_TRUE(config.Save(path_, &error)) << error.Text();
  const std::string first = ReadFile(path_);
  EXPECT_EQ(first,
            "# Lumo Dex configuration: one \"name = value\" per line.\n"
            "# Lumo Dex rewrites this file when its options are saved; comments are not kept.\n"
            "port = 8080\nshowdialog = 1\nglobaltimeout = 90\ncalltimeout = 30\n"
            "mailtimeout = 30\nfiletimeout = 30\nposttimeout = 30\nfiledelay = 100\n"
            "usecookies = 1\nmaxfiles = 0\nmaxpostvars = 2000\nlockexpiration = 90\n"
            "loglevel = 0\nsecurityoptions = 0\nworkers = 5\nkeepalivetimeout = 15\nkeepalivemax = 1000\nlumoroot = " + dir_ + "/LumoDex/html\n"
            "datadir = " + dir_ + "/LumoDex/data\ndefaultfile = index.lmc,index.html\n"
            "serveradmin = webmaster@localhost\nlogfile = /var/log/lumodex.log\n"
            "logcookie = \nlibraries = b,n/a,/lib/b.so\nlibraries = d,xbase,/lib/x,base.so\n"
            "libraries = c,shop,/lib/shop.so\nlibraries = s,mail,/lib/mail.so\n"
            "errorsettings = LmOPEN=display,fatal\n");

  DexConfigLoader again(TagLookup);
  EXPECT_TRUE(Load(again, first).empty());
  ASSERT_TRUE(again.Save(path_, &error)) << error.Text();
  EXPECT_EQ(ReadFile(path_), first);

  again.ClearValue(kConfigLogFile);
  ASSERT_TRUE(again.Save(path_, &error));
  EXPECT_EQ(ReadFile(path_).find("logfile"), std::string::npos);
}

TEST_F(ConfigFile, FailedSavesLeaveTheOldFileWhole) {
  DexConfigLoader config(TagLookup);
  std::ofstream(path_) << "port = 81\n";
  std::filesystem::permissions(path_, std::filesystem::perms(0640));
  String error;
  EXPECT_FALSE(SaveConfigFile(config, path_, &error, [] { return false; }));
  EXPECT_EQ(std::string(error.View()), "Error saving '" + path_ + "': interrupted before the rename");
  // Values that would not read back as they are.
  config.SetText(kConfigLogFilter, "a\nport = 1");
  EXPECT_FALSE(config.Save(path_, &error));
  EXPECT_NE(error.Find("the value of logfilter contains a line break"), -1) << error.Text();
  config.ClearValue(kConfigLogFilter);
  config.RegisterDatabaseLibrary("a,b", "/x.so");
  EXPECT_FALSE(config.Save(path_, &error));
  config.ClearLibraries();
  EXPECT_EQ(ReadFile(path_), "port = 81\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);  // no temporary left

  // A parent that is a file: the message gives the cause.
  std::ofstream{dir_ + "/plain"};
  EXPECT_FALSE(config.Save(dir_ + "/plain/lumodex.conf", &error));
  EXPECT_NE(error.Find("Not a directory"), -1) << error.Text();

  // A successful save keeps the permissions, follows a link and makes
  // missing directories.
  ASSERT_EQ(symlink(path_.c_str(), (dir_ + "/link.conf").c_str()), 0);
  ASSERT_TRUE(config.Save(dir_ + "/link.conf", &error)) << error.Text();
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ + "/link.conf"));
  EXPECT_EQ(std::filesystem::status(path_).permissions(), std::filesystem::perms(0640));
  EXPECT_NE(ReadFile(path_).find("port = 80\n"), std::string::npos);
  ASSERT_TRUE(config.Save(dir_ + "/.config/lumodex/lumodex.conf", &error)) << error.Text();
}

}  // namespace
}  // namespace lumo
