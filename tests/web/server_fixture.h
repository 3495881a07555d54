// ServerTest: a real HTTPServer in this process on a loopback port, over a
// scratch tree, for the end-to-end server tests.
#ifndef LUMO_TESTS_WEB_SERVER_FIXTURE_H_
#define LUMO_TESTS_WEB_SERVER_FIXTURE_H_

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "core/context/lumo_application.h"
#include "core/context/output.h"
#include "core/vm/lumo_vm.h"
#include "values/variable.h"
#include "tests/web/scratch_tree.h"
#include "tests/web/server_harness.h"
#include "web/http_server.h"

namespace lumo {

class ServerTest : public ScratchTreeTest {
 protected:
  void TearDown() override {
    if (server_) {
      EXPECT_TRUE(server_->Stop()) << "a worker did not end";
    }
    server_.reset();
    ScratchTreeTest::TearDown();
  }

  // A fresh server with these configuration lines (none: no file); tweak
  // runs before Listen. Warnings of the configuration and the access log
  // are kept in warnings_; there must be none unless allow_warnings_.
  bool Start(const std::string& config = "",
             const std::function<void(HTTPServer&)>& tweak = nullptr) {
    server_.reset();
    server_ = std::make_unique<HTTPServer>();
    warnings_.clear();
    if (!config.empty()) {
      Put(base_ + "/lumodex.conf", config);
      server_->LoadConfiguration(base_ + "/lumodex.conf", &warnings_);
    }
    server_->OverridePort(0);
    server_->OverrideText(kConfigDirLumo, root_);
    server_->OverrideText(kConfigDirData, data_);
    server_->SetBindAddress("127.0.0.1");
    server_->SetIOTimeout(2000);
    server_->SetMonitorInterval(100);
    if (tweak) tweak(*server_);
    server_->OpenAccessLog(&warnings_);
    if (!allow_warnings_) {
      EXPECT_TRUE(warnings_.empty()) << warnings_.front();
    }
    String error;
    if (server_->Listen(&error) != HTTPServer::ListenResult::kListening) {
      ADD_FAILURE() << error.View();
      return false;
    }
    port_ = server_->BoundPort();
    return true;
  }

  Reply Send(const std::string& request) { return Talk(port_, request); }
  std::string Url(std::string_view path) {
    return "'http://127.0.0.1:" + std::to_string(port_) + std::string(path) + "'";
  }

  std::unique_ptr<HTTPServer> server_;
  std::vector<std::string> warnings_;
  bool allow_warnings_ = false;
  int port_ = 0;
};

// What an extension library does through its header call: the program
// names a header and a value, the response's output takes them.
class HeaderCall : public ExternalFunction, public ExternalFunctionResolver {
 public:
  int32_t ParameterCount() const override { return 2; }
  bool ParameterByReference(int32_t) const override { return false; }
  Variable* Invoke(LumoVM& vm, Variable* const* arguments) override {
    vm.Context()->OutputStream()->AddHeader(arguments[0]->Value().View(),
                                            arguments[1]->Value().View());
    return nullptr;
  }
  ExternalFunction* Resolve(const char* name, int32_t length) override {
    return std::string(name, static_cast<size_t>(length)) == "header" ? this : nullptr;
  }
};

inline std::string SetHeaders(std::initializer_list<std::pair<const char*, const char*>> headers) {
  std::string code = ".function header(name, value) flags 1\n";
  for (const auto& [name, value] : headers) {
    code += "pushc \"" + std::string(name) + "\"\npushc \"" + value + "\"\ncall header\npop\n";
  }
  return code;
}

}  // namespace lumo

#endif  // LUMO_TESTS_WEB_SERVER_FIXTURE_H_
