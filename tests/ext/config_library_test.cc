// Configuration libraries: initialised with the configuration, asked again
// for each script, destroyed once; and what they set reaches the run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "config/config.h"
#include "core/context/error_settings.h"
#include "ext/config_library.h"
#include "tests/ext/ext_harness.h"

namespace lumo {
namespace {

std::string Text(const String& s) { return std::string(s.View()); }

struct Opened {
  std::unique_ptr<ConfigurationLibrary> library;
  std::string error;
};

Opened Open(ExternalLibraryManager& manager, const char* name, Config& config) {
  String error;
  Opened result;
  result.library = ConfigurationLibrary::Open(manager, Lib(name), config, "lumodex.conf", &error);
  result.error = Text(error);
  return result;
}

std::string Load(ConfigurationLibrary& library, Config& config) {
  String error;
  return library.Load(config, "/site/page.lmc", "/site", &error) ? "ok" : Text(error);
}

TEST(ConfigurationLibrary, Failures) {
  PosixExternalLibraryManager manager;
  DexConfig config(nullptr, TagLookup);
  EXPECT_EQ(Open(manager, "config_init_fails", config).error, "the test library says no");
  EXPECT_EQ(Open(manager, "config_init_fails_silently", config).error,
            "Error initializing configuration library");
  const std::string missing = Open(manager, "builtin_a", config).error;
  EXPECT_EQ(missing.rfind("Unknown symbol 'lumo_config_library': ", 0), 0u) << missing;

  // The first interface's script-specific load is refused when it comes
  // to be used, not at init.
  Opened v1 = Open(manager, "config_v1", config);
  ASSERT_NE(v1.library, nullptr) << v1.error;
  EXPECT_EQ(Load(*v1.library, config),
            "Configuration library uses no longer supported v1 API script-specific "
            "configuration load method");
  Opened fails = Open(manager, "config_load_fails", config);
  ASSERT_NE(fails.library, nullptr) << fails.error;
  EXPECT_EQ(Load(*fails.library, config), "the test library says no");
  Opened silent = Open(manager, "config_load_fails_silently", config);
  ASSERT_NE(silent.library, nullptr) << silent.error;
  EXPECT_EQ(Load(*silent.library, config), "Error loading script-specific configuration");
}

TEST(ConfigurationLibrary, SetsTheConfiguration) {
  PosixExternalLibraryManager manager;
  ProcessConfigTarget target;
  DexConfig config(&target, TagLookup);
  const int destroys = LibraryCounter("config_good", "test_destroys");
  {
    Opened good = Open(manager, "config_good", config);
    ASSERT_NE(good.library, nullptr) << good.error;
    EXPECT_EQ(config.GetInteger(kConfigTimeoutGlobal), 77);
    ASSERT_EQ(config.PresetGlobals().size(), 1u);
    EXPECT_EQ(Text(config.PresetGlobals()[0].value), "from init");
    ASSERT_EQ(target.Libraries().size(), 1u);
    EXPECT_EQ(Text(target.Libraries()[0].name), "configured");
    EXPECT_EQ(Load(*good.library, config), "ok");
    ASSERT_EQ(config.PresetGlobals().size(), 2u);
    EXPECT_EQ(Text(config.PresetGlobals()[1].value), "/site/page.lmc");
    good.library->Destroy();
    EXPECT_EQ(LibraryCounter("config_good", "test_destroys"), destroys + 1);
    // Once destroyed, loads have nothing more to do.
    EXPECT_EQ(Load(*good.library, config), "ok");
  }
  EXPECT_EQ(LibraryCounter("config_good", "test_destroys"), destroys + 1);
}

// Reading the configuration again starts the library again, and what it
// registers is not registered twice.
TEST(ConfigurationLibrary, ReloadStartsAgain) {
  ProcessConfigTarget target;
  DexConfig config(&target, TagLookup);
  config.SetText(kConfigConfigLibrary, Lib("config_good"));
  const int destroys = LibraryCounter("config_good", "test_destroys");
  {
    ExtensionLibraries libraries;
    std::vector<std::string> warnings;
    libraries.Configure(config, target, "lumodex.conf", &warnings);
    const int inits = LibraryCounter("config_good", "test_inits");
    libraries.Configure(config, target, "lumodex.conf", &warnings);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(LibraryCounter("config_good", "test_inits"), inits + 1);
    EXPECT_EQ(LibraryCounter("config_good", "test_destroys"), destroys + 1);
    ASSERT_EQ(target.Libraries().size(), 1u);
    EXPECT_EQ(libraries.Current()->libraries.size(), target.Libraries().size() +
              (libraries.Current()->tables.empty() ? 0u : 1u));

    config.SetText(kConfigConfigLibrary, Lib("config_init_fails"));
    libraries.Configure(config, target, "lumodex.conf", &warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0],
              "Configuration library '" + Lib("config_init_fails") + "': the test library says no");
    EXPECT_EQ(libraries.ConfigLibrary(), nullptr);
  }
  EXPECT_EQ(LibraryCounter("config_good", "test_destroys"), destroys + 2);
}

// lumorun end to end: the library named in the configuration file sets a
// setting, pre-sets variables and registers a commerce method, and sees
// the script; a refusal stops the run before it starts.
class LumorunConfiguration : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumo_ext_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
  bool Assemble(const std::string& name, const std::string& source) {
    Write(name + ".lasm", source);
    const std::string command = std::string(LUMO_LUMOASM) + " '" + dir_ + "/" + name +
                                ".lasm' -o '" + dir_ + "/" + name + ".lmc'";
    return std::system(command.c_str()) == 0;
  }
  // Runs the program with the configuration lines; stdout and stderr.
  int RunWith(const std::string& config, const std::string& source, std::string* output) {
    Write("lumodex.conf", config);
    if (!Assemble("p", source)) return -1;
    const std::string command = std::string(LUMO_LUMORUN) + " --config '" + dir_ +
                                "/lumodex.conf' '" + dir_ + "/p.lmc' > '" + dir_ +
                                "/out' 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(dir_ + "/out");
    output->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Run(const std::string& library, const std::string& source, std::string* output) {
    return RunWith("configlibrary = " + Lib(library) + "\n", source, output);
  }

  std::string dir_;
};

TEST_F(LumorunConfiguration, PresetVariablesReachTheProgram) {
  std::string output;
  EXPECT_EQ(Run("config_good",
                "pushnc \"preset_global\"\nout\npushc \"|\"\nout\n"
                "pushnc \"s.preset_system\"\nout\npushc \"|\"\nout\n"
                "pushnc \"lumo_config:timeout_global\"\nout\npushc \"|\"\nout\n"
                "pushnc \"lumo_config:commerce_lookup:configured\"\nout\npushc \"|\"\nout\n"
                "pushnc \"script_seen\"\nout\n",
                &output),
            0)
      << output;
  EXPECT_EQ(output, "from init|system value|77|1|" + dir_ + "/p.lmc");
}

TEST_F(LumorunConfiguration, RefusalsStopTheRun) {
  std::string output;
  EXPECT_EQ(Run("config_v1", "pushc \"ran\"\nout\n", &output), 2);
  EXPECT_NE(output.find("Configuration library uses no longer supported v1 API"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("ran"), std::string::npos);
  EXPECT_EQ(Run("config_load_fails_silently", "pushc \"ran\"\nout\n", &output), 2);
  EXPECT_NE(output.find("Error loading script-specific configuration"), std::string::npos)
      << output;
  // A library that does not start is reported and the run goes on
  // without it.
  EXPECT_EQ(Run("config_init_fails", "pushc \"ran\"\nout\n", &output), 0);
  EXPECT_NE(output.find("the test library says no"), std::string::npos) << output;
  EXPECT_NE(output.find("ran"), std::string::npos) << output;
}

// Programs a run calls (LmDO) call the same library functions, also from
// the expressions they are asked to evaluate.
TEST_F(LumorunConfiguration, CalledProgramsShareTheFunctions) {
  ASSERT_TRUE(Assemble("q", ".function len(s) flags 1\npushc \"q\"\ncall len\nout\n"));
  std::string output;
  EXPECT_EQ(RunWith("libraries = b,n/a," + Lib("builtin_b") + "\n",
                    ".function len(s) flags 1\n"
                    "pushc \"p\"\ncall len\nout\npushc \"q.lmc\"\nop_do_file\n"
                    "pushc \"q.lmc\"\npushc \"LEN('four')\"\nop_do_function\nout\n",
                    &output),
            0)
      << output;
  EXPECT_EQ(output, "b:1b:1b:4");
}

}  // namespace
}  // namespace lumo
