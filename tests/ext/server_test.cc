// The server's runs with extension libraries: configured libraries and the
// configuration library reach every request, and a reload neither loses
// nor doubles them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "tests/ext/ext_harness.h"
#include "tests/web/scratch_tree.h"
#include "tests/web/server_harness.h"
#include "web/http_server.h"

namespace lumo {
namespace {

class ExtensionServer : public ScratchTreeTest {
 protected:
  void TearDown() override {
    if (server_) {
      EXPECT_TRUE(server_->Stop());
    }
    server_.reset();
    ScratchTreeTest::TearDown();
  }

  void Program(const std::string& name, std::string_view source) {
    ScratchTreeTest::Program(root_ + "/" + name, source);
  }
  void Configure(const std::string& lines) { Put(base_ + "/lumodex.conf", lines); }
  std::vector<std::string> Start() {
    server_ = std::make_unique<HTTPServer>();
    std::vector<std::string> warnings;
    server_->LoadConfiguration(base_ + "/lumodex.conf", &warnings);
    server_->OverridePort(0);
    server_->OverrideText(kConfigDirLumo, root_);
    server_->OverrideText(kConfigDirData, data_);
    server_->SetBindAddress("127.0.0.1");
    server_->SetIOTimeout(2000);
    String error;
    EXPECT_EQ(server_->Listen(&error), HTTPServer::ListenResult::kListening) << error.View();
    return warnings;
  }
  std::string Body(const std::string& path) { return Talk(server_->BoundPort(), Get(path)).body; }

  std::unique_ptr<HTTPServer> server_;
};

const char kProgram[] =
    ".function len(s) flags 1\n"
    "pushc \"abc\"\ncall len\nout\npushc \"|\"\nout\n"
    "pushnc \"preset_global\"\nout\npushc \"|\"\nout\n"
    "pushnc \"lumo_config:commerce_list[1]\"\nout\n"
    "pushnc \"lumo_config:commerce_list[2]\"\nout\npushc \"|\"\nout\n"
    "pushnc \"script_seen\"\nout\n";

TEST_F(ExtensionServer, LibrariesReachEveryRunAndSurviveReloads) {
  Program("p.lmc", kProgram);
  Configure("libraries = b,n/a," + Lib("builtin_b") + "\nlibraries = b,n/a," + Lib("builtin_a") +
            "\nconfiglibrary = " + Lib("config_good") + "\n");
  const std::vector<std::string> warnings = Start();
  EXPECT_TRUE(warnings.empty()) << warnings.front();
  const std::string expected = "b:3|from init|configured|" + base_ + "/root/p.lmc";
  EXPECT_EQ(Body("/p.lmc"), expected);
  EXPECT_EQ(Body("/p.lmc"), expected);
  std::vector<std::string> reload_warnings;
  EXPECT_TRUE(server_->ReloadConfiguration(&reload_warnings));
  EXPECT_TRUE(server_->ReloadConfiguration(&reload_warnings));
  EXPECT_TRUE(reload_warnings.empty()) << reload_warnings.front();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Body("/p.lmc"), expected) << i;

  // A new list replaces the old one for the runs after the reload, and an
  // empty setting leaves the configuration library out.
  Configure("libraries = b,n/a," + Lib("builtin_a") + "\nconfiglibrary =\n");
  EXPECT_TRUE(server_->ReloadConfiguration(&reload_warnings));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Body("/p.lmc"), "a:3|||") << i;
}

TEST_F(ExtensionServer, ScriptConfigurationRefusedEndsTheRun) {
  Program("p.lmc", "pushc \"ran\"\nout\n");
  Configure("configlibrary = " + Lib("config_load_fails") + "\n");
  Start();
  const std::string body = Body("/p.lmc");
  EXPECT_NE(body.find("the test library says no"), std::string::npos) << body;
  EXPECT_EQ(body.find("ran"), std::string::npos) << body;
}

TEST_F(ExtensionServer, UnresolvedCallsSayWhich) {
  Program("p.lmc", ".function nowhere(s) flags 1\npushc \"x\"\ncall nowhere\n");
  Configure("libraries = b,n/a," + Lib("builtin_a") + "\n");
  Start();
  const std::string body = Body("/p.lmc");
  EXPECT_NE(body.find("Unresolved call to external function 'nowhere'"), std::string::npos) << body;
}

}  // namespace
}  // namespace lumo
