// The fixture of the hostile-request cases (tests/web/hostile_test.cc and
// the long ones in tests/stress/): a scratch tree with a few programs, the
// server run as a child process on it, and Check, which runs one hostile
// exchange while watching the server's memory and then asks for a normal
// page.
#ifndef LUMO_TESTS_WEB_HOSTILE_FIXTURE_H_
#define LUMO_TESTS_WEB_HOSTILE_FIXTURE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/base/string.h"
#include "tests/web/hostile_harness.h"
#include "tests/web/scratch_tree.h"
#include "tests/web/server_harness.h"

namespace lumo {

// What the form and upload programs write when they run.
inline constexpr char kRan[] = "PROGRAM-RAN";

// Logs each upload as "field,status,size;" and writes the log, then the
// marker. Validation sets no maximum of its own.
inline std::string UploadLogProgram() {
  return ".global plog\n"
         ".function Lumo_ValidateFileUpload(field, file, type)\npushi 0\nret\n.end\n"
         ".function Lumo_ProcessFileUpload(field, file, status, path, type, size)\n"
         "pushg plog\npushl field\ncat\npushc \",\"\ncat\npushl status\ncat\npushc \",\"\ncat\n"
         "pushl size\ncat\npushc \";\"\ncat\npopg plog\nretn\n.end\n"
         "pushg plog\nout\n" +
         Print(kRan);
}

class HostileTest : public ScratchTreeTest {
 protected:
  void SetUp() override {
    ScratchTreeTest::SetUp();
    if (HasFatalFailure()) return;
    Program("ok.lmc", Print("ok"));
    Program("form.lmc", Print(kRan));
    Program("up.lmc", UploadLogProgram());
    Program("id.lmc", Hide("s.callerid"));
    // 200 MB of output.
    Program("big.lmc", Repeat(std::string(1000, 'p'), 200000));
  }
  void TearDown() override {
    StopServer();
    ScratchTreeTest::TearDown();
  }

  // A program in the document root.
  void Program(const std::string& name, std::string_view source) {
    ScratchTreeTest::Program(root_ + "/" + name, source);
  }

  // Starts lumodex with these configuration lines; with host arguments,
  // the test host (same server, waits from its command line) instead.
  bool Start(const std::string& config, const std::vector<std::string>& host_arguments = {}) {
    StopServer();
    std::ofstream(base_ + "/lumodex.conf") << config;
    server_ = std::make_unique<ServerProcess>();
    std::vector<std::string> arguments = {
        "--config", base_ + "/lumodex.conf", "--root", root_, "--data", data_};
    std::string binary = LUMO_LUMODEX;
    if (!host_arguments.empty()) {
      binary = LUMO_HOSTILE_HOST;
      arguments.insert(arguments.end(), host_arguments.begin(), host_arguments.end());
    } else {
      arguments.insert(arguments.end(), {"--address", "127.0.0.1", "--port", "0"});
    }
    std::string error;
    if (!server_->Start(binary, arguments, base_ + "/server.log", &error)) {
      ADD_FAILURE() << error << "\n" << ReadWholeFile(base_ + "/server.log");
      server_.reset();
      return false;
    }
    port_ = server_->Port();
    // The first run sets up what every later run shares (random sources,
    // the resolver): idle is measured after it.
    const Reply first = Talk(port_, {Get("/ok.lmc")}, 0, 20000);
    EXPECT_EQ(first.body, "ok") << "the first request";
    return true;
  }

  // Stops the server: it must end on its own, cleanly and without a
  // sanitizer report.
  void StopServer() {
    if (!server_) return;
    const int status = server_->Stop();
    server_.reset();
    const std::string log = ReadWholeFile(base_ + "/server.log");
    EXPECT_EQ(status, 0) << "the server's exit\n" << log.substr(0, 20000);
    EXPECT_FALSE(SanitizerReported(log)) << log.substr(0, 20000);
  }

  pid_t Pid() const { return server_ ? server_->Pid() : -1; }

  struct Expect {
    std::string status = "HTTP/1.1 200 OK";
    std::string body;                  // the answer's body holds this (empty: anything)
    std::optional<bool> runs = false;  // the program's marker is in the body (none: either)
    double within_s = 10;              // the answer begins this soon
    double not_before_s = 0;           // and not sooner
    int64_t sent_before_answer = -1;   // the answer comes before the client sent this much
    double refused_within_s = -1;      // a client sending on is cut off this soon
    int64_t ceiling = 64 * kMiB;       // growth of the server's resident memory allowed
    int64_t largest_upload = -1;       // the most an upload file may hold on disk (-1: no check)
  };

  // One hostile exchange and what it must come to.
  struct Attack {
    std::string label;
    Traffic traffic;
    Expect expect;
  };

  // Runs one exchange, checks it against the expectation, then checks
  // that no upload file is left and that the next request is answered.
  Outcome Check(const std::string& label, Traffic traffic, const Expect& expect) {
    std::vector<Attack> one;
    one.push_back({label, std::move(traffic), expect});
    return CheckTogether(std::move(one)).front();
  }

  // The same for exchanges that run at once (at most one per worker); the
  // memory figures are those of the whole group, held to the smallest
  // ceiling among them.
  std::vector<Outcome> CheckTogether(std::vector<Attack> cases) {
    std::vector<Outcome> outcomes(cases.size());
    if (!server_) {
      ADD_FAILURE() << "no server";
      return outcomes;
    }
    int64_t ceiling = INT64_MAX, largest_upload = -1;
    for (const Attack& c : cases) {
      ceiling = std::min(ceiling, c.expect.ceiling);
      if (c.expect.largest_upload >= 0) {
        largest_upload = largest_upload < 0 ? c.expect.largest_upload
                                            : std::min(largest_upload, c.expect.largest_upload);
      }
    }
    MemoryWatch watch(Pid(), largest_upload >= 0 ? data_ : "");
    {
      std::vector<std::thread> clients;
      for (size_t i = 0; i < cases.size(); ++i) {
        clients.emplace_back(
            [&, i] { outcomes[i] = Exchange(port_, std::move(cases[i].traffic)); });
      }
      for (std::thread& t : clients) t.join();
    }
    const Reply next = Talk(port_, {Get("/ok.lmc")}, 0, 15000);
    watch.Finish();
    const int64_t after = ResidentBytes(Pid());
    std::string labels;
    for (size_t i = 0; i < cases.size(); ++i) {
      const std::string& label = cases[i].label;
      const Expect& expect = cases[i].expect;
      const Outcome& outcome = outcomes[i];
      const Reply& r = outcome.reply;
      labels += (i > 0 ? ", " : "") + label;
      EXPECT_EQ(r.status, expect.status) << label << "\n" << r.raw.substr(0, 400);
      if (!expect.body.empty()) {
        EXPECT_NE(r.body.find(expect.body), std::string::npos)
            << label << ": expected '" << expect.body << "' in\n"
            << r.body.substr(0, 400);
      }
      if (expect.runs.has_value()) {
        EXPECT_EQ(r.body.find(kRan) != std::string::npos, *expect.runs)
            << label << (*expect.runs ? ": the program did not run" : ": the program ran") << "\n"
            << r.body.substr(0, 400);
      }
      EXPECT_TRUE(outcome.answered_s >= 0 && outcome.answered_s <= expect.within_s)
          << label << ": answered after " << outcome.answered_s << " s (bound " << expect.within_s
          << " s)";
      EXPECT_GE(outcome.answered_s, expect.not_before_s) << label << ": answered too soon";
      EXPECT_TRUE(r.closed) << label << ": the connection stayed open";
      if (expect.sent_before_answer >= 0 && outcome.answered_s >= 0) {
        EXPECT_LT(outcome.sent_at_answer, static_cast<uint64_t>(expect.sent_before_answer))
            << label << ": the body was read before the answer";
      }
      if (expect.refused_within_s >= 0) {
        EXPECT_TRUE(outcome.send_refused && outcome.refused_s <= expect.refused_within_s)
            << label << ": still sending after " << outcome.refused_s << " s (bound "
            << expect.refused_within_s << " s)";
      }
      printf("[  figures ] %s: answer %.2f s, closed %.2f s, sent %s (%s before the answer)",
             label.c_str(), outcome.answered_s, outcome.closed_s, MiB(outcome.sent).c_str(),
             MiB(outcome.sent_at_answer).c_str());
      if (outcome.send_refused) printf(", refused %.2f s", outcome.refused_s);
      std::string shown = r.body.substr(0, 48);
      for (char& ch : shown) {
        if (static_cast<unsigned char>(ch) < 32) ch = ' ';
      }
      printf(", body '%s'", shown.c_str());
      printf("\n");
    }
    EXPECT_LE(watch.Peak() - watch.Idle(), ceiling)
        << labels << ": resident memory grew from " << MiB(watch.Idle()) << " to "
        << MiB(watch.Peak());
    if (largest_upload >= 0) {
      EXPECT_LE(watch.LargestUploadSeen(), largest_upload) << labels;
    }
    EXPECT_TRUE(NoUploadsLeft()) << labels << ": an upload file outlived its request";
    EXPECT_EQ(next.body, "ok") << labels << ": the next request";
    printf("[  figures ] %s%s: resident idle %s, peak +%s, after +%s",
           cases.size() > 1 ? "together: " : "", labels.c_str(), MiB(watch.Idle()).c_str(),
           MiB(watch.Peak() - watch.Idle()).c_str(), MiB(after - watch.Idle()).c_str());
    if (largest_upload >= 0)
      printf(", largest upload file %s", MiB(watch.LargestUploadSeen()).c_str());
    printf("\n");
    fflush(stdout);
    return outcomes;
  }

  // Upload files are removed before the answer goes out; a moment's grace
  // for the worker that is still closing.
  bool NoUploadsLeft() {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (UploadFilesIn(base_) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !UploadFilesIn(base_);
  }
  static bool UploadFilesIn(const std::string& dir) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
      if (it->path().filename().string().find("LUMO_FUP") != std::string::npos) return true;
    }
    return false;
  }

  std::unique_ptr<ServerProcess> server_;
  int port_ = 0;
};

// --- Bodies ------------------------------------------------------------------

inline constexpr char kUrlEncoded[] = "application/x-www-form-urlencoded";
inline constexpr char kMultipart[] = "multipart/form-data; boundary=HostileBoundary";

// A multipart part's head; the part's data and "\r\n" follow it.
inline std::string PartHead(std::string_view name, std::string_view file_name = {}) {
  std::string head =
      "--HostileBoundary\r\nContent-Disposition: form-data; name=\"" + std::string(name) + "\"";
  if (!file_name.empty()) {
    head +=
        "; filename=\"" + std::string(file_name) + "\"\r\nContent-Type: application/octet-stream";
  }
  return head + "\r\n\r\n";
}
inline constexpr char kLastSeparator[] = "--HostileBoundary--\r\n";

// One upload of `size` bytes in field `field`.
inline ByteStream UploadBody(std::string_view field, uint64_t size) {
  return ByteStream(PartHead(field, "f.bin")).Add("u", size).Add("\r\n");
}

}  // namespace lumo

#endif  // LUMO_TESTS_WEB_HOSTILE_FIXTURE_H_
