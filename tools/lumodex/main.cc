// lumodex: the web server. Serves the document root ("lumoroot") on the
// configured port until SIGINT or SIGTERM, which let the requests in
// progress finish (up to 10 seconds). SIGHUP rereads the configuration and
// opens the access log again, for log rotation.
//
// Exit status: 0 after a clean stop, 1 when the server cannot start (no
// document root, the port is in use, or a socket call failed), 2 for a bad
// command line.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_file.h"
#include "core/base/conversions.h"
#include "core/base/system_error.h"
#include "files/posix_file_manager.h"
#include "web/http_server.h"

namespace {

void Usage(FILE* out) {
  fputs("usage: lumodex [options]\n"
        "Serves static files and compiled Lumo Script programs over HTTP.\n"
        "  --config FILE    the configuration file (default: $LUMODEX_CONFIG, else\n"
        "                   ~/.config/lumodex/lumodex.conf; missing means defaults)\n"
        "  --port N         the port to listen on (default: \"port\" of the\n"
        "                   configuration, 80)\n"
        "  --find-port      when the port is taken, use the next free one\n"
        "  --address ADDR   the local address to listen on: IPv4, or IPv6 as ::1 or\n"
        "                   [::1]; :: takes IPv4 and IPv6 (default: all IPv4)\n"
        "  --root DIR       the document root (default: \"lumoroot\")\n"
        "  --data DIR       the data directory (default: \"datadir\")\n"
        "  --access-log FILE  log every request to FILE, - for standard error\n"
        "                   (default: \"accesslog\", none)\n"
        "Stop it with Ctrl-C (SIGINT) or SIGTERM; SIGHUP rereads the configuration\n"
        "and reopens the access log.\n",
        out);
}

std::string Absolute(const char* path) {
  char* resolved = realpath(path, nullptr);
  if (resolved == nullptr) return std::string(path);
  std::string result(resolved);
  free(resolved);
  return result;
}

// A file that may not exist yet, made absolute against the working
// directory.
std::string FromHere(const char* path) {
  if (path[0] == '/') return std::string(path);
  char* here = getcwd(nullptr, 0);
  if (here == nullptr) return std::string(path);
  std::string result(here);
  free(here);
  if (result.back() != '/') result += '/';
  return result + path;
}

// What a configured directory is, in words for the administrator: "" when
// it is a directory.
std::string DirectoryProblem(const lumo::String* directory) {
  if (directory == nullptr || directory->IsEmpty()) return "is not configured";
  lumo::PosixFileManager files;
  switch (files.KindOf(*directory)) {
    case lumo::PosixFileManager::PathKind::kDirectory:
      return "";
    case lumo::PosixFileManager::PathKind::kOther:
      return "is not a directory";
    case lumo::PosixFileManager::PathKind::kMissing:
      break;
  }
  return std::string("cannot be used: ") + files.ErrorText().Text();
}

// How to write the address in a URL.
std::string UrlHost(const char* address) {
  if (address == nullptr) return "localhost";
  std::string host(address);
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  return host;
}

}  // namespace

int main(int argc, char** argv) {
  const char* config_flag = nullptr;
  const char* root = nullptr;
  const char* data = nullptr;
  const char* address = nullptr;
  const char* access_log = nullptr;
  int32_t port = -1;
  bool find_port = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      Usage(stdout);
      return 0;
    } else if (strcmp(arg, "--find-port") == 0) {
      find_port = true;
    } else if (strcmp(arg, "--config") == 0 && has_value) {
      config_flag = argv[++i];
    } else if (strcmp(arg, "--root") == 0 && has_value) {
      root = argv[++i];
    } else if (strcmp(arg, "--data") == 0 && has_value) {
      data = argv[++i];
    } else if (strcmp(arg, "--address") == 0 && has_value) {
      address = argv[++i];
    } else if (strcmp(arg, "--access-log") == 0 && has_value) {
      access_log = argv[++i];
    } else if (strcmp(arg, "--port") == 0 && has_value) {
      bool failed = false;
      port = lumo::ParseInteger(argv[++i], -1, &failed);
      if (failed || port < 0 || port > 65535) {
        fprintf(stderr, "lumodex: --port wants a number from 0 to 65535, not '%s'\n", argv[i]);
        return 2;
      }
    } else {
      fprintf(stderr, "lumodex: unknown option or missing value: %s\n", arg);
      Usage(stderr);
      return 2;
    }
  }

  // The signals are taken by sigwait below; the threads started later
  // inherit the mask and never see them. A peer that closes early must not
  // kill the process.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Every open connection holds a descriptor: the usual soft limit of 1024
  // would turn away clients long before the machine is busy.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  lumo::HTTPServer server;
  const std::string config_path = lumo::ConfigFilePath(config_flag);
  if (config_flag != nullptr && access(config_path.c_str(), F_OK) != 0) {
    fprintf(stderr, "lumodex: configuration file '%s': %s\n", config_path.c_str(),
            lumo::SystemErrorText(errno).Text());
    return 2;
  }
  std::vector<std::string> warnings;
  server.LoadConfiguration(config_path, &warnings);
  for (const std::string& w : warnings) fprintf(stderr, "lumodex: %s\n", w.c_str());
  if (port >= 0) server.OverridePort(port);
  if (root != nullptr) server.OverrideText(lumo::kConfigDirLumo, Absolute(root));
  if (data != nullptr) server.OverrideText(lumo::kConfigDirData, Absolute(data));
  if (address != nullptr) server.SetBindAddress(address);
  if (access_log != nullptr) {
    // "-" stays "-"; a file named here is taken from where lumodex starts.
    const bool to_stderr = strcmp(access_log, "-") == 0;
    server.OverrideText(lumo::kConfigAccessLog,
                        to_stderr ? std::string("-") : FromHere(access_log));
  }

  // Without its document root the server could only answer 404; better
  // to say so now than to run.
  const lumo::String* document_root = server.Configuration().GetText(lumo::kConfigDirLumo);
  const std::string root_problem = DirectoryProblem(document_root);
  if (!root_problem.empty()) {
    fprintf(stderr, "lumodex: the document root '%s' %s (set it with --root DIR or \"lumoroot\")\n",
            document_root != nullptr ? document_root->Text() : "", root_problem.c_str());
    return 1;
  }
  // Static files are served without it; programs that use files report it.
  const lumo::String* data_directory = server.Configuration().GetText(lumo::kConfigDirData);
  const std::string data_problem = DirectoryProblem(data_directory);
  if (!data_problem.empty()) {
    fprintf(stderr,
            "lumodex: warning: the data directory '%s' %s; programs cannot use data files"
            " (set it with --data DIR or \"datadir\")\n",
            data_directory != nullptr ? data_directory->Text() : "", data_problem.c_str());
  }

  warnings.clear();
  server.OpenAccessLog(&warnings);
  for (const std::string& w : warnings) fprintf(stderr, "lumodex: %s\n", w.c_str());

  lumo::String error;
  for (int attempt = 0;; ++attempt) {
    const lumo::HTTPServer::ListenResult result = server.Listen(&error);
    if (result == lumo::HTTPServer::ListenResult::kListening) break;
    if (result == lumo::HTTPServer::ListenResult::kFailed) {
      fprintf(stderr, "lumodex: %s\n", error.Text());
      return 1;
    }
    const int32_t taken = server.Configuration().Port();
    if (!find_port || attempt >= 100 || taken >= 65535) {
      fprintf(stderr,
              "lumodex: port %d is in use or needs privileges; choose another with --port N"
              " (or --find-port)\n",
              taken);
      return 1;
    }
    server.OverridePort(taken + 1);
  }

  printf("Lumo Dex serving http://%s:%d/ from %s\n", UrlHost(address).c_str(), server.BoundPort(),
         document_root->Text());
  fflush(stdout);

  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received != SIGHUP) break;
    // Taken by the workers between requests; the log's next line goes to
    // a file at the configured name, made again if it was renamed away.
    warnings.clear();
    server.ReloadConfiguration(&warnings);
    for (const std::string& w : warnings) fprintf(stderr, "lumodex: %s\n", w.c_str());
    printf("lumodex: configuration reloaded\n");
    fflush(stdout);
  }
  printf("lumodex: stopping\n");
  fflush(stdout);
  const bool clean = server.Finish();
  if (!clean) {
    // A worker may still wait on a silent client (up to its 30 s); the
    // stop was asked for now, not then.
    fprintf(stderr, "lumodex: requests still running after 10 seconds were stopped\n");
    fflush(stdout);
    fflush(stderr);
    _exit(0);
  }
  return 0;
}
