// A request that runs out of memory ends alone: its response says "Out of
// memory", whether the program ran out or the request did before the
// program started, and every worker goes on serving.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "tests/web/scratch_tree.h"
#include "tests/web/server_harness.h"
#include "web/http_server.h"

namespace lumo {
namespace {

class RunMemory : public ScratchTreeTest {
 protected:
  void SetUp() override {
    ScratchTreeTest::SetUp();
    if (HasFatalFailure()) return;
    Program("hello.lmc", "pushc \"hello\"\nout\n");
  }
  void TearDown() override {
    if (server_) {
      EXPECT_TRUE(server_->Stop()) << "a worker did not end";
    }
    server_.reset();
    ScratchTreeTest::TearDown();
  }

  void Program(const std::string& name, std::string_view source) {
    ScratchTreeTest::Program(root_ + "/" + name, source);
  }
  void Start(const std::string& config) {
    std::ofstream(base_ + "/lumodex.conf") << config;
    server_ = std::make_unique<HTTPServer>();
    std::vector<std::string> warnings;
    server_->LoadConfiguration(base_ + "/lumodex.conf", &warnings);
    EXPECT_TRUE(warnings.empty());
    server_->OverridePort(0);
    server_->OverrideText(kConfigDirLumo, root_);
    server_->OverrideText(kConfigDirData, data_);
    server_->SetBindAddress("127.0.0.1");
    String error;
    ASSERT_EQ(server_->Listen(&error), HTTPServer::ListenResult::kListening) << error.View();
    port_ = server_->BoundPort();
  }
  Reply Send(const std::string& request) { return Talk(port_, {request}, 0, 30000); }

  std::unique_ptr<HTTPServer> server_;
  int port_ = 0;
};

TEST_F(RunMemory, ProgramThatGrowsWithoutEndEndsOnlyItsOwnRequest) {
  // Copies of a 64 KiB text into an array, without end.
  Program("grow.lmc", ".global a, s, i\npushc \"" + std::string(1024, 'x') +
                          "\"\npopg s\n"
                          "double: pushg s\npushg s\ncat\npopg s\nincg i, 1\ncmpgi i, 6\n"
                          "jmp_lt double\nstoregi i, 0\n"
                          "grow: incg i, 1\npushg s\npushg a\npushg i\nelem\nstore\njmp grow\n");
  Start("maxrunmemory = 4194304\n");
  // More runs than workers: every worker runs out once at least.
  for (int i = 0; i < 2 * HTTPServer::kDefaultWorkers; ++i) {
    const Reply grown = Send(Get("/grow.lmc"));
    EXPECT_EQ(grown.status, "HTTP/1.1 200 OK");
    EXPECT_TRUE(grown.body.starts_with("Fatal error in /grow.lmc @ [")) << grown.body;
    EXPECT_TRUE(grown.body.ends_with("]: Out of memory\n")) << grown.body;
    EXPECT_EQ(Send(Get("/hello.lmc")).body, "hello");
  }
}

TEST_F(RunMemory, RequestThatRunsOutBeforeTheProgramIsAnsweredOutOfMemory) {
  Program("form.lmc", "pushc \"ran\"\nout\n");
  Start("maxrunmemory = 262144\n");
  // The form's values alone pass the budget: the program never starts.
  std::string body;
  for (int i = 0; i < 16; ++i) {
    body.append("f").append(std::to_string(i)).append("=").append(32768, 'v').append("&");
  }
  const Reply refused = Send(Post("/form.lmc", "application/x-www-form-urlencoded", body));
  EXPECT_EQ(refused.status, "HTTP/1.1 200 OK");
  EXPECT_EQ(refused.body, "Out of memory");
  // A form that fits runs the program.
  EXPECT_EQ(Send(Post("/form.lmc", "application/x-www-form-urlencoded", "a=1&b=2")).body, "ran");
  EXPECT_EQ(Send(Get("/hello.lmc")).body, "hello");
}

}  // namespace
}  // namespace lumo
