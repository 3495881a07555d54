// Helpers for the hostile-request tests: the server as a child process
// (lumodex itself, or the test host with shorter waits), its resident
// memory sampled while a case runs, and a client that streams a body of
// any size from a few repeated pieces while it reads the answer. Every
// wait is bounded, so a server that never answers fails a case instead of
// hanging the suite.
#ifndef LUMO_TESTS_WEB_HOSTILE_HARNESS_H_
#define LUMO_TESTS_WEB_HOSTILE_HARNESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/web/server_harness.h"

extern char** environ;

namespace lumo {

constexpr int64_t kMiB = 1 << 20;

// --- Bodies ------------------------------------------------------------------

// Bytes made of pieces, each a text repeated some number of times, produced
// as they are sent: a gigabyte body costs the test a few kilobytes.
class ByteStream {
 public:
  ByteStream() = default;
  explicit ByteStream(std::string text) { Add(std::move(text)); }

  ByteStream& Add(std::string text, uint64_t times = 1) {
    if (text.empty() || times == 0) return *this;
    Piece piece;
    piece.unit = text.size();
    piece.total = text.size() * times;
    // Whole copies of the text, some 16 KiB of them, so that long runs go
    // out in large copies; equal texts share their block.
    const uint64_t copies = std::min<uint64_t>(times, std::max<size_t>(1, 16384 / text.size()));
    const std::string key = text + '\0' + std::to_string(copies);
    auto& block = (*blocks_)[key];
    if (!block) {
      auto made = std::make_shared<std::string>();
      made->reserve(copies * text.size());
      for (uint64_t i = 0; i < copies; ++i) made->append(text);
      block = std::move(made);
    }
    piece.block = block;
    size_ += piece.total;
    pieces_.push_back(std::move(piece));
    return *this;
  }
  ByteStream& Add(const ByteStream& other) {
    for (const Piece& piece : other.pieces_) {
      pieces_.push_back(piece);
      size_ += piece.total;
    }
    return *this;
  }

  uint64_t Size() const { return size_; }

  // Up to `capacity` of the next bytes; 0 at the end.
  size_t Read(char* out, size_t capacity) {
    size_t n = 0;
    while (n < capacity && index_ < pieces_.size()) {
      const Piece& piece = pieces_[index_];
      // The block repeats the unit, so from this offset it continues the
      // piece for as long as it lasts.
      const size_t at = static_cast<size_t>(done_ % piece.unit);
      const size_t take = static_cast<size_t>(
          std::min<uint64_t>({capacity - n, piece.block->size() - at, piece.total - done_}));
      memcpy(out + n, piece.block->data() + at, take);
      n += take;
      done_ += take;
      if (done_ == piece.total) {
        ++index_;
        done_ = 0;
      }
    }
    return n;
  }

  // The whole stream as one text (for small ones).
  std::string Text() const {
    ByteStream copy = *this;
    copy.index_ = 0;
    copy.done_ = 0;
    std::string all(static_cast<size_t>(size_), '\0');
    copy.Read(all.data(), all.size());
    return all;
  }

 private:
  struct Piece {
    std::shared_ptr<const std::string> block;
    size_t unit = 0;
    uint64_t total = 0;
  };
  std::shared_ptr<std::map<std::string, std::shared_ptr<const std::string>>> blocks_ =
      std::make_shared<std::map<std::string, std::shared_ptr<const std::string>>>();
  std::vector<Piece> pieces_;
  uint64_t size_ = 0;
  size_t index_ = 0;
  uint64_t done_ = 0;
};

// A request head with a Content-Type and the given Content-Length.
inline std::string PostHead(std::string_view uri, std::string_view type, uint64_t length) {
  return "POST " + std::string(uri) + " HTTP/1.0\r\nContent-Type: " + std::string(type) +
         "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

// The head (claiming the body's length) followed by the body.
inline ByteStream PostStream(std::string_view uri, std::string_view type, const ByteStream& body) {
  return ByteStream(PostHead(uri, type, body.Size())).Add(body);
}

// --- The client ----------------------------------------------------------------

struct Traffic {
  ByteStream bytes;              // everything the client sends, head included
  size_t piece = 256 * 1024;     // bytes per send
  size_t lead = 0;               // bytes sent at once before the pauses start
  int pause_ms = 0;              // between pieces after the lead
  bool half_close = false;       // shut down the sending side once all is sent
  bool send_past_close = false;  // ignore the server's close and send on until refused
  int wait_ms = 10000;           // the whole exchange
  size_t keep = 1 << 20;         // bytes of the answer kept
};

struct Outcome {
  Reply reply;  // of the bytes kept
  uint64_t received = 0;
  uint64_t sent = 0;
  uint64_t sent_at_answer = 0;  // sent when the answer's first byte came
  bool send_refused = false;    // a send failed (the server reset the connection)
  double refused_s = -1;        // when
  double answered_s = -1;       // the first byte of the answer, seconds from the start
  double closed_s = -1;         // the server closed the connection
};

inline double Seconds(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::duration<double>>(d).count();
}

// Sends the traffic while reading whatever comes back, until the server
// closes the connection (with send_past_close: until a send fails) or the
// wait is over. A server that refuses the rest of a body is seen as it
// would be by a browser: the answer read while sending, then a failed
// send.
inline Outcome Exchange(int port, Traffic traffic) {
  Outcome outcome;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(traffic.wait_ms);
  const int fd = ConnectTo(port);
  if (fd < 0) return outcome;
  std::string pending;
  size_t pending_at = 0;
  uint64_t produced = 0;
  bool sending = true, closed = false, at_end = false;
  auto next_send = start;
  std::string kept;
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    auto now = Clock::now();
    if (now >= deadline) break;
    if (sending && pending_at == pending.size()) {
      if (produced == traffic.bytes.Size()) {
        sending = false;
        if (traffic.half_close) shutdown(fd, SHUT_WR);
      } else if (now >= next_send) {
        const size_t want =
            produced < traffic.lead ? static_cast<size_t>(traffic.lead - produced) : traffic.piece;
        pending.resize(std::max<size_t>(want, 1));
        pending.resize(traffic.bytes.Read(pending.data(), pending.size()));
        pending_at = 0;
        produced += pending.size();
      }
    }
    const bool may_send = sending && pending_at < pending.size();
    auto until = deadline;
    if (sending && !may_send && next_send < until) until = next_send;
    const int timeout =
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) +
        1;
    const short events = static_cast<short>((at_end ? 0 : POLLIN) | (may_send ? POLLOUT : 0));
    if (events == 0 && !sending) break;
    pollfd p = {fd, events, 0};
    if (poll(&p, 1, timeout) < 0 && errno != EINTR) break;
    if (!at_end && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n > 0) {
        if (outcome.received == 0) {
          outcome.answered_s = Seconds(Clock::now() - start);
          outcome.sent_at_answer = outcome.sent;
        }
        outcome.received += static_cast<uint64_t>(n);
        if (kept.size() < traffic.keep) {
          kept.append(buffer.data(), std::min(static_cast<size_t>(n), traffic.keep - kept.size()));
        }
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closed = true;
        outcome.closed_s = Seconds(Clock::now() - start);
        if (!traffic.send_past_close || !sending) break;
        at_end = true;
      }
    }
    if (may_send && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = send(fd, pending.data() + pending_at, pending.size() - pending_at,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        pending_at += static_cast<size_t>(n);
        outcome.sent += static_cast<uint64_t>(n);
        if (pending_at == pending.size() && produced >= traffic.lead) {
          next_send = Clock::now() + std::chrono::milliseconds(traffic.pause_ms);
        }
      } else if (errno != EAGAIN && errno != EINTR) {
        outcome.send_refused = true;
        outcome.refused_s = Seconds(Clock::now() - start);
        sending = false;
        if (at_end) break;
      }
    }
  }
  close(fd);
  outcome.reply = ParseReply(std::move(kept), closed);
  return outcome;
}

// --- Memory --------------------------------------------------------------------

// VmRSS of the process in bytes; -1 when it cannot be read.
inline int64_t ResidentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
  }
  return -1;
}

// The largest upload file (LUMO_FUP) below dir at this moment.
inline int64_t LargestUpload(const std::string& dir) {
  int64_t largest = 0;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().string().find("LUMO_FUP") == std::string::npos) continue;
    std::error_code size_error;
    const auto size = std::filesystem::file_size(it->path(), size_error);
    if (!size_error) largest = std::max<int64_t>(largest, static_cast<int64_t>(size));
  }
  return largest;
}

// Samples a process's resident memory every 50 ms from construction to
// Finish (and, given a directory, the largest upload file in it).
class MemoryWatch {
 public:
  explicit MemoryWatch(pid_t pid, std::string upload_dir = "")
      : pid_(pid), upload_dir_(std::move(upload_dir)) {
    idle_ = ResidentBytes(pid_);
    peak_ = idle_;
    thread_ = std::thread([this] {
      while (!done_.load()) {
        Sample();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  ~MemoryWatch() { Finish(); }

  void Finish() {
    if (thread_.joinable()) {
      done_.store(true);
      thread_.join();
      Sample();
    }
  }
  int64_t Idle() const { return idle_; }
  int64_t Peak() const { return peak_.load(); }
  int64_t LargestUploadSeen() const { return largest_upload_.load(); }

 private:
  void Sample() {
    const int64_t now = ResidentBytes(pid_);
    if (now > peak_.load()) peak_.store(now);
    if (!upload_dir_.empty()) {
      const int64_t upload = LargestUpload(upload_dir_);
      if (upload > largest_upload_.load()) largest_upload_.store(upload);
    }
  }

  pid_t pid_;
  std::string upload_dir_;
  int64_t idle_ = -1;
  std::atomic<int64_t> peak_{-1};
  std::atomic<int64_t> largest_upload_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// --- The server process ----------------------------------------------------------

// A server binary run as a child: its standard output announces the port
// ("... http://ADDRESS:PORT/ ..."), its standard error goes to a file.
class ServerProcess {
 public:
  ServerProcess() = default;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // Starts binary with the arguments; the sanitizer's quarantine is kept
  // small so that what the child holds is what the server holds.
  bool Start(const std::string& binary, const std::vector<std::string>& arguments,
             const std::string& error_log, std::string* error) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
      *error = "pipe failed";
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> argv_text = {binary};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
      if (strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env_text.emplace_back(*e);
    }
    env_text.emplace_back(
        "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:quarantine_size_mb=4:"
        "thread_local_quarantine_size_kb=256:allocator_release_to_os_interval_ms=100");
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    out_ = pipe_ends[0];
    if (spawned != 0) {
      pid_ = -1;
      *error = "cannot start " + binary + ": " + strerror(spawned);
      return false;
    }
    // The announcement, within 30 s (a sanitized build starts slowly on a
    // busy machine).
    std::string text;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      const size_t at = text.find("http://");
      const size_t colon = at == std::string::npos ? at : text.find(':', at + 7);
      if (colon != std::string::npos && text.find('/', colon) != std::string::npos) {
        port_ = atoi(text.c_str() + colon + 1);
        return port_ > 0;
      }
      pollfd p = {out_, POLLIN, 0};
      if (poll(&p, 1, 200) > 0) {
        char buffer[512];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
      }
    }
    *error = "no port announced by " + binary + " (output: '" + text + "')";
    return false;
  }

  pid_t Pid() const { return pid_; }
  int Port() const { return port_; }

  // SIGTERM, then waits up to wait_ms; the exit status, or -1 when the
  // process had to be killed (or died of a signal).
  int Stop(int wait_ms = 20000) {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    int status = 0;
    for (;;) {
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) break;
      if (Clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int out_ = -1;
};

// Whether a sanitizer reported anything in the log.
inline bool SanitizerReported(const std::string& log) {
  return log.find("ERROR: AddressSanitizer") != std::string::npos ||
         log.find("ERROR: LeakSanitizer") != std::string::npos ||
         log.find("runtime error:") != std::string::npos;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::string MiB(int64_t bytes) {
  char text[32];
  snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / kMiB);
  return text;
}

}  // namespace lumo

#endif  // LUMO_TESTS_WEB_HOSTILE_HARNESS_H_
