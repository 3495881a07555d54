// Loading libraries and finding what they provide: every way it can fail
// says why, and a library is loaded and registered once however often it
// is asked for.
#include <gtest/gtest.h>

#include <string>

#include "ext/commerce_library.h"
#include "ext/external_call.h"
#include "ext/external_library.h"
#include "ext/system_library.h"
#include "tests/ext/ext_harness.h"

namespace lumo {
namespace {

std::string Text(const String& s) { return std::string(s.View()); }

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(ExternalLibraries, LoadsOnceAndReportsWhatIsMissing) {
  const int registrations = LibraryCounter("builtin_a", "test_registrations");
  PosixExternalLibraryManager manager;
  EXPECT_EQ(manager.Get(Lib("missing")), nullptr);
  EXPECT_NE(Text(manager.ErrorText()).find("missing.so"), std::string::npos)
      << Text(manager.ErrorText());

  ExternalLibrary* library = manager.Get(Lib("builtin_a"));
  ASSERT_NE(library, nullptr) << Text(manager.ErrorText());
  // The file name is compared without regard to case.
  std::string upper = Lib("builtin_a");
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(manager.Get(upper), library);
  EXPECT_EQ(manager.Count(), 1);
  EXPECT_EQ(LibraryCounter("builtin_a", "test_registrations"), registrations + 1);

  EXPECT_EQ(library->Symbol("no_such_symbol"), nullptr);
  const std::string error = Text(library->ErrorText());
  EXPECT_TRUE(StartsWith(error, "Unknown symbol 'no_such_symbol': ")) << error;
  EXPECT_NE(error.find("no_such_symbol"), error.rfind("no_such_symbol")) << error;
}

TEST(ExternalLibraries, BuiltinLibraryWithoutTable) {
  PosixExternalLibraryManager manager;
  ExternalCallManager calls(&manager);
  EXPECT_FALSE(calls.RegisterFunctionLibrary(Lib("builtin_no_table")));
  EXPECT_EQ(Text(calls.ErrorText()), "Unable to retrieve function descriptor table");
  EXPECT_FALSE(calls.RegisterFunctionLibrary(Lib("builtin_null_table")));
  EXPECT_EQ(Text(calls.ErrorText()), "Unable to retrieve function descriptor table");
  EXPECT_FALSE(calls.RegisterFunctionLibrary(Lib("missing")));
  EXPECT_NE(Text(calls.ErrorText()).find("missing.so"), std::string::npos);
  EXPECT_EQ(calls.TableCount(), 0);
  EXPECT_TRUE(calls.RegisterFunctionLibrary(Lib("builtin_a")));
  EXPECT_EQ(calls.TableCount(), 1);
  // Found in any case; the binding is made once.
  ExternalCall* call = calls.FindFunction("LEN", 3);
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(calls.FindFunction("len", -1), call);
  EXPECT_EQ(call->Name(), "len");
  EXPECT_EQ(calls.FindFunction("le", 2), nullptr);
  EXPECT_EQ(calls.FindFunction("lenx", 4), nullptr);
}

TEST(ExternalLibraries, CommerceMethods) {
  PosixExternalLibraryManager manager;
  CommerceLibraryManager commerce(&manager);
  commerce.Register("table", Lib("commerce_table"));
  commerce.Register("four", Lib("commerce_functions"));
  commerce.Register("incomplete", Lib("commerce_incomplete"));
  commerce.Register("wrong", Lib("builtin_a"));
  commerce.Register("absent", Lib("missing"));

  EXPECT_EQ(commerce.Find("elsewhere"), nullptr);
  EXPECT_EQ(Text(commerce.ErrorText()),
            "Commerce method 'elsewhere' is unsupported or not configured");
  for (const char* method : {"incomplete", "wrong"}) {
    EXPECT_EQ(commerce.Find(method), nullptr) << method;
    EXPECT_EQ(Text(commerce.ErrorText()),
              "Unable to load commerce library descriptor table/functions");
  }
  EXPECT_EQ(commerce.Find("absent"), nullptr);
  EXPECT_NE(Text(commerce.ErrorText()).find("missing.so"), std::string::npos);

  CommerceLibrary* table = commerce.Find("TABLE");
  ASSERT_NE(table, nullptr);
  EXPECT_TRUE(table->init && table->loop && table->cleanup && table->error);
  CommerceLibrary* four = commerce.Find("Four");
  ASSERT_NE(four, nullptr);
  EXPECT_TRUE(four->init && four->loop && four->cleanup && four->error);
}

TEST(ExternalLibraries, SystemLibraries) {
  PosixExternalLibraryManager manager;
  SystemLibraryManager system(&manager);
  EXPECT_EQ(system.Get("answers"), nullptr);
  EXPECT_EQ(Text(system.ErrorText()), "System library 'answers' is not configured");
  system.Register("answers", Lib("system_answer"));
  system.Register("absent", Lib("missing"));
  EXPECT_EQ(system.Get("absent"), nullptr);
  EXPECT_NE(Text(system.ErrorText()).find("missing.so"), std::string::npos);
  SystemLibrary* answers = system.Get("ANSWERS");
  ASSERT_NE(answers, nullptr);
  auto* answer = reinterpret_cast<int (*)()>(answers->GetFunction("test_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(answers->GetFunction("nothing"), nullptr);
  EXPECT_TRUE(StartsWith(Text(answers->ErrorText()), "Unknown symbol 'nothing': "));
}

// The set runs take: builtin libraries that do not load are left out with
// a warning; without any, the default library beside the executable is
// used when it is there, and silently not when it is not.
TEST(ExtensionLibraries, RegisteredSetAndDefaultLibrary) {
  ExtensionLibraries libraries;
  std::vector<std::string> warnings;
  libraries.SetDefaultLibraryDirectory(std::string(LUMO_TEST_LIBS) + "/default");
  libraries.Apply({Builtin("builtin_null_table"), Builtin("missing"), Builtin("builtin_b")},
                  &warnings);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0],
            "Library '" + Lib("builtin_null_table") +
                "': Unable to retrieve function descriptor table");
  EXPECT_TRUE(StartsWith(warnings[1], "Library '" + Lib("missing") + "': "));
  EXPECT_EQ(libraries.Current()->tables.size(), 1u);
  EXPECT_EQ(libraries.Current()->libraries.size(), 3u);

  warnings.clear();
  libraries.Apply({Named(LibraryType::kCommerce, "pay", "commerce_table")}, &warnings);
  EXPECT_TRUE(warnings.empty());
  ASSERT_EQ(libraries.Current()->libraries.size(), 2u);
  EXPECT_EQ(Text(libraries.Current()->libraries[1].path),
            std::string(LUMO_TEST_LIBS) + "/default/liblumostd.so");
  EXPECT_EQ(libraries.Current()->tables.size(), 1u);

  libraries.SetDefaultLibraryDirectory(std::string(LUMO_TEST_LIBS) + "/nowhere");
  libraries.Apply({}, &warnings);
  EXPECT_TRUE(warnings.empty());
  EXPECT_TRUE(libraries.Current()->libraries.empty());
}

}  // namespace
}  // namespace lumo
