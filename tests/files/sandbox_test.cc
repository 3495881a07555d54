// The sandbox: every relative name a script uses must land inside its base
// directory, whatever separators, climbs, device names or stray bytes it
// carries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "files/posix_file_manager.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

// The three bases, with siblings whose names differ only in case (a
// case-blind containment check would let a path reach them) or extend the
// base's name (a text-prefix check would).
struct Sandbox : Scratch {
  Sandbox() : Scratch({"data", "Data", "DATA", "data2", "html", "Html", "HTML", "tmp", "Tmp", "TMP"}) {}
  void Configure(PosixFileManager* m) const {
    EXPECT_TRUE(m->SetDataDirectory(Path("data")) && m->SetScriptDirectory(Path("html")) &&
                m->SetTemporaryDirectory(Path("tmp")))
        << S(m->ErrorText());
  }
};

// The location, its directory, the word in its messages, another base.
struct Location { FileLocation code; const char *dir, *word, *other; };
constexpr Location kLocations[] = {{kDataLocation, "data", "data directory", "html"},
                                   {kScriptLocation, "html", "script directory", "tmp"},
                                   {kTemporaryLocation, "tmp", "temporary directory", "data"}};

std::string OutsideMessage(std::string_view word) {
  return "The specified path references a path outside the configured "s + std::string(word);
}

// "=rel": resolves to base/rel (the base itself for "="); "!out", "!ads",
// "!dev", "!nul": refused with that message. In paths, {b} is the base's
// own name, {C} and {U} its capitalised and upper-case siblings, {o}
// another base, {r} the scratch root's name and {R} its full path without
// the leading '/'.
using Case = std::pair<std::string_view, std::string_view>;  // path, expectation
constexpr Case kCases[] = {
    // Staying at the base.
    {"", "="}, {".", "="}, {"./", "="}, {"a/..", "="}, {"a/b/../..", "="}, {"a\\..", "="},
    // Climbing out, in every position and with either separator.
    {"..", "!out"}, {"../", "!out"}, {"../x", "!out"}, {"a/../../x", "!out"}, {"a/b/../../../x", "!out"},
    {"a/../b/../../x", "!out"}, {"x/../..", "!out"}, {"a/b/c/../../../..", "!out"}, {"..\\x", "!out"},
    {"a\\..\\..\\x", "!out"}, {"a/..\\../x", "!out"}, {"/../x", "!out"}, {"\\..\\..", "!out"},
    {"./../x", "!out"}, {"../../../../../../../../../../etc/passwd", "!out"}, {"../{o}/x", "!out"},
    // Climbing out and back in is judged on the text, and lands inside.
    {"../{b}", "="}, {"../{b}/x", "=x"}, {"../../{r}/{b}/x", "=x"}, {"x/../../{b}/y", "=y"},
    // Siblings that differ in case or extend the name are elsewhere.
    {"../{C}/x", "!out"}, {"../{U}/x", "!out"}, {"../{U}", "!out"}, {"../{b}2/x", "!out"}, {"..\\{U}\\x", "!out"},
    // Leading separators are stripped: absolute paths stay inside.
    {"/etc/passwd", "=etc/passwd"}, {"\\etc\\passwd", "=etc/passwd"}, {"//\\/a", "=a"},
    {"\\\\server\\share", "=server/share"}, {"/{R}/{b}/x", "={R}/{b}/x"},
    // Runs of separators, trailing separators, going down and back up.
    {"a//b///c", "=a/b/c"}, {"a\\\\b", "=a/b"}, {"a/b/", "=a/b"}, {"a/b\\", "=a/b"}, {"a/./b/.", "=a/b"},
    {"a/b/../c", "=a/c"}, {"a/b/c/../../d/", "=a/d"},
    // Names that only look special.
    {"...", "=..."}, {"..../x", "=..../x"}, {" ../x", "= ../x"}, {"%2e%2e/x", "=%2e%2e/x"}, {"~/x", "=~/x"},
    // Device names in the last component, in any case, bare or with a dot.
    {"CON", "!dev"}, {"con", "!dev"}, {"a/com1.txt", "!dev"}, {"LPT9.x", "!dev"}, {"sub/nul.tar.gz", "!dev"},
    {"Aux", "!dev"}, {"prn.", "!dev"}, {"com9", "!dev"}, {"con/.", "!dev"}, {"x/y/../Lpt1", "!dev"},
    {"con/x", "=con/x"}, {"x/con/../y", "=x/y"}, {"console", "=console"}, {"com10", "=com10"}, {"lpt", "=lpt"},
    {"com0", "=com0"}, {"xcon", "=xcon"}, {"con_txt", "=con_txt"},
    // Streams: a colon in the last component.
    {"a:b", "!ads"}, {"file.txt::$DATA", "!ads"}, {"dir/x:", "!ads"}, {"c:/x", "=c:/x"}, {"a:b/..", "="},
    // Leaving the base is reported before what the name says.
    {"../con", "!out"}, {"../a:b", "!out"},
    // NUL bytes anywhere.
    {"a\0b"sv, "!nul"}, {"a\0/../../etc/passwd"sv, "!nul"}, {"\0"sv, "!nul"}, {"x/y.txt\0.jpg"sv, "!nul"},
};

std::string Expand(std::string_view text, const std::vector<std::pair<std::string, std::string>>& names) {
  std::string out(text);
  for (const auto& [key, value] : names) {
    for (size_t at; (at = out.find(key)) != std::string::npos;) out.replace(at, key.size(), value);
  }
  return out;
}

TEST(FileSandbox, HostilePathsStayInsideEveryLocation) {
  Sandbox box;
  PosixFileManager m;
  box.Configure(&m);

  // Generated cases: a 5000-byte component, and deep climbs.
  const std::string longname(5000, 'n');
  std::string deep, deeper;
  for (int i = 0; i < 1000; ++i) deep += "d/", deeper += "../";
  std::vector<std::pair<std::string, std::string>> cases(std::begin(kCases), std::end(kCases));
  cases.insert(cases.end(), {{longname, "=" + longname}, {"../" + longname, "!out"},
                             {deep + deeper + "x", "=x"}, {deep + deeper + "../x", "!out"}});

  for (const Location& at : kLocations) {
    std::string b = at.dir, upper = b, capital = b;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    capital[0] = upper[0];
    const std::vector<std::pair<std::string, std::string>> names = {
        {"{b}", b}, {"{C}", capital}, {"{U}", upper}, {"{o}", at.other},
        {"{r}", box.Root().substr(box.Root().rfind('/') + 1)}, {"{R}", box.Root().substr(1)}};
    const std::string base = box.Path(at.dir);
    const std::map<std::string, std::string> refusals = {
        {"!out", OutsideMessage(at.word)},
        {"!ads", "The specified path references an NTFS alternate data stream"},
        {"!dev", "The specified path references a Windows reserved device name"},
        {"!nul", "The specified path contains a NUL character"}};
    for (const auto& [raw_path, raw_expect] : cases) {
      const std::string path = Expand(raw_path, names), expect = Expand(raw_expect, names);
      SCOPED_TRACE(std::string(at.dir) + ": " + testing::PrintToString(path));
      String full("untouched");
      const bool ok = m.Resolve(at.code, path, &full);
      if (expect[0] == '=') {
        EXPECT_TRUE(ok) << S(m.ErrorText());
        EXPECT_EQ(full.View(), expect.size() == 1 ? base : base + "/" + expect.substr(1));
      } else {
        EXPECT_FALSE(ok) << testing::PrintToString(S(full));
        EXPECT_EQ(S(m.ErrorText()), refusals.at(expect));
        // The relative forms of the operations refuse it the same way.
        m.SetErrorText("");
        EXPECT_FALSE(m.Exists(at.code, path));
        EXPECT_EQ(S(m.ErrorText()), refusals.at(expect));
      }
    }
  }

  // Inside but too long for the system: the open fails with its reason.
  EXPECT_EQ(m.Open(kDataLocation, longname, kOpenRead | kOpenWrite | kOpenAlways), nullptr);
  EXPECT_EQ(S(m.ErrorText()), "File name too long");
}

TEST(FileSandbox, MissingBasesAndTheTemporaryFallback) {
  Sandbox box;
  PosixFileManager m;
  String full;
  const std::pair<FileLocation, const char*> missing[] = {
      {kDataLocation, "data"}, {kScriptLocation, "script"}, {kTemporaryLocation, "data"}};
  for (const auto& [code, word] : missing) {
    EXPECT_FALSE(m.Resolve(code, "x", &full));
    EXPECT_EQ(S(m.ErrorText()), "There is no configured "s + word + " directory");
  }
  // Without a temporary directory, location 2 means the data directory,
  // while a refusal still names the location that was asked for.
  ASSERT_TRUE(m.SetDataDirectory(box.Path("data")));
  ASSERT_TRUE(m.Resolve(kTemporaryLocation, "x/y", &full));
  EXPECT_EQ(S(full), box.Path("data/x/y"));
  EXPECT_FALSE(m.Resolve(kTemporaryLocation, "../x", &full));
  EXPECT_EQ(S(m.ErrorText()), OutsideMessage("temporary directory"));
}

// The administrator's links are followed when a file is opened, but never
// while canonicalising: "link/.." is the base, not the link target's parent.
// Scripts cannot plant links of their own.
TEST(FileSandbox, AdministratorsLinksAreFollowedOnlyWhenOpening) {
  Sandbox box;
  box.Dir("outside");
  box.Put("outside/file.txt", "outside file");
  box.Put("x", "sibling of data");
  box.Put("data/x", "inside data");
  ASSERT_EQ(symlink(box.Path("outside").c_str(), box.Path("data/link").c_str()), 0);
  PosixFileManager m;
  box.Configure(&m);

  auto file = m.Open(kDataLocation, "link/file.txt", kOpenRead);
  ASSERT_NE(file, nullptr) << S(m.ErrorText());
  EXPECT_EQ(ReadSome(*file, 100), "outside file");
  String full;
  ASSERT_TRUE(m.Resolve(kDataLocation, "link/../x", &full));
  EXPECT_EQ(S(full), box.Path("data/x"));
  file = m.Open(kDataLocation, "link/../x", kOpenRead);
  ASSERT_NE(file, nullptr) << S(m.ErrorText());
  EXPECT_EQ(ReadSome(*file, 100), "inside data");

  EXPECT_FALSE(m.MakeSymbolicLink(kDataLocation, "/etc", "mine"));
  EXPECT_FALSE(box.Has("data/mine"));
}

TEST(FileSandbox, ConfiguredDirectoriesAreCheckedAndNormalised) {
  Sandbox box;
  box.Put("file.txt", "not a directory");
  box.Dir("con");
  const std::string r = box.Root();
  const struct {
    const char* word;
    bool (PosixFileManager::*set)(std::string_view);
    String (PosixFileManager::*get)() const;
  } setters[] = {
      {"data directory", &PosixFileManager::SetDataDirectory, &PosixFileManager::DataDirectory},
      {"script directory", &PosixFileManager::SetScriptDirectory, &PosixFileManager::ScriptDirectory},
      {"temporary directory", &PosixFileManager::SetTemporaryDirectory, &PosixFileManager::TemporaryDirectory},
  };
  // Each spelling of the data directory, or a refusal.
  const std::pair<std::string, std::string> cases[] = {
      {r + "//data//", "="}, {r + "\\data", "="}, {r + "/data/b/../../data/.", "="}, {"data", "!abs"},
      {"", "!abs"}, {r + "/missing", "!dir"}, {r + "/file.txt", "!dir"}, {r + "/con", "!dev"},
      {r + "/data/NUL.txt", "!dev"},
  };
  for (const auto& setter : setters) {
    const std::string word = setter.word;
    const std::map<std::string, std::string> messages = {
        {"!abs", "The configured " + word + " is not an absolute path"},
        {"!dev", "The configured " + word + " references a reserved Windows device name"},
        {"!dir", "The configured " + word + " does not exist, or is not a directory"}};
    for (const auto& [text, expect] : cases) {
      SCOPED_TRACE(word + ": \"" + text + "\"");
      PosixFileManager m;
      ASSERT_TRUE((m.*setter.set)(box.Path("html")));
      const bool ok = (m.*setter.set)(text);
      EXPECT_EQ(ok, expect == "=") << S(m.ErrorText());
      // A refusal drops the previous base too.
      EXPECT_EQ(S((m.*setter.get)()), ok ? r + "/data" : "");
      if (!ok) {
        EXPECT_EQ(S(m.ErrorText()), messages.at(expect));
      }
    }
  }
}

// Every relative operation resolves before it touches anything, and the
// bases themselves belong to the administrator: scripts may look at them
// and list them, but not remove, move or re-permission them.
TEST(FileSandbox, OperationsStayInsideAndLeaveTheBasesAlone) {
  Sandbox box;
  box.Put("secret.txt", "secret");
  box.Put("data/mine.txt", "mine");
  PosixFileManager m;
  box.Configure(&m);
  constexpr std::string_view out = "../secret.txt";
  const std::string outside = OutsideMessage("data directory");
  const std::string self = "The specified path references a configured directory itself";
  int64_t number = 0;
  uint32_t mode = 0;
  String name;
  std::vector<DirectoryEntry> entries;
  const std::tuple<const char*, std::function<bool()>, const std::string&> operations[] = {
      {"open", [&] { return m.Open(kDataLocation, out, kOpenWrite | kOpenTruncate) != nullptr; }, outside},
      {"delete", [&] { return m.Delete(kDataLocation, out); }, outside},
      {"copy from", [&] { return m.Copy(kDataLocation, out, kDataLocation, "copy.txt"); }, outside},
      {"copy onto", [&] { return m.Copy(kDataLocation, "mine.txt", kDataLocation, "../secret2.txt"); }, outside},
      {"rename from", [&] { return m.Rename(kDataLocation, out, kDataLocation, "moved.txt"); }, outside},
      {"rename onto", [&] { return m.Rename(kDataLocation, "mine.txt", kDataLocation, "../moved.txt"); }, outside},
      {"touch", [&] { return m.Touch(kDataLocation, out); }, outside},
      {"size", [&] { return m.Size(kDataLocation, out, &number); }, outside},
      {"is directory", [&] { return m.IsDirectory(kDataLocation, ".."); }, outside},
      {"time", [&] { return m.Time(kDataLocation, out, &number); }, outside},
      {"make directory", [&] { return m.MakeDirectory(kDataLocation, "../newdir"); }, outside},
      {"remove directory", [&] { return m.RemoveDirectory(kDataLocation, "../Data"); }, outside},
      {"mode", [&] { return m.Mode(kDataLocation, out, &mode); }, outside},
      {"change mode", [&] { return m.ChangeMode(kDataLocation, out, 0777); }, outside},
      {"list", [&] { return m.ListDirectory(kDataLocation, "..", &entries); }, outside},
      {"temporary", [&] { return m.MakeTemporary(kDataLocation, "..", "t", kOpenWrite, &name) != nullptr; }, outside},
      {"remove data", [&] { return m.RemoveDirectory(kDataLocation, ""); }, self},
      {"remove tmp", [&] { return m.RemoveDirectory(kTemporaryLocation, "x/.."); }, self},
      {"delete html", [&] { return m.Delete(kScriptLocation, "."); }, self},
      {"move tmp", [&] { return m.Rename(kTemporaryLocation, "/", kDataLocation, "moved"); }, self},
      {"move onto tmp", [&] { return m.Rename(kDataLocation, "mine.txt", kTemporaryLocation, ""); }, self},
      {"chmod html", [&] { return m.ChangeMode(kScriptLocation, "", 0); }, self},
  };
  for (const auto& [what, operation, message] : operations) {
    m.SetErrorText("");
    EXPECT_FALSE(operation()) << what;
    EXPECT_EQ(S(m.ErrorText()), message) << what;
  }
  EXPECT_EQ(box.Get("secret.txt") + " " + box.Get("data/mine.txt"), "secret mine");
  EXPECT_TRUE(m.IsDirectory(kDataLocation, "") && m.ListDirectory(kTemporaryLocation, ".", &entries) &&
              m.Mode(kScriptLocation, "", &mode));
}

}  // namespace
}  // namespace lumo
