// HTTPServer: the listener. Event loops (HTTPFront, one a processor) accept
// connections, read request heads and answer static files and the server's
// own pages;
// requests for compiled programs go, in order of arrival, to a pool of
// worker threads (five unless the "workers" setting says otherwise), each
// running one program at a time in a DexApplication. A run monitor thread
// ticks every running program's context so that its time-out applies.
//
// The front and each worker have their own copy of the configuration and
// their own file manager, so a reload never touches another thread's
// objects; each takes a reload between requests.
#ifndef LUMO_WEB_HTTP_SERVER_H_
#define LUMO_WEB_HTTP_SERVER_H_

#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/dex_config.h"
#include "core/base/string.h"
#include "core/context/config_target.h"
#include "ext/extension_libraries.h"
#include "files/posix_file_manager.h"
#include "web/access_log.h"
#include "web/http_request.h"

namespace lumo {

class ExternalFunctionResolver;
class File;
class HTTPServer;
class LumoApplication;

inline constexpr char kServerSoftware[] = "Lumo Dex/Lumo Virtual Machine";

// How the answer to one request came about, for a caller that serves a
// single connection and reports the result (lumorun's exit status).
enum class RequestOutcome {
  kNoRequest,       // nothing arrived, or the head was refused (400, 411)
  kAnswered,        // a static file, or a page saying the path was not found
  kProgramEnded,    // a program ran to its end
  kProgramStopped,  // a fatal error, a time-out, running out of memory or
                    // a refused body ended the run
  kProgramNotRun,   // the program could not be loaded or compiled, or the
                    // configuration refused it
  kHandedOver,      // a program: handed to a worker (the event loop's part)
};

struct HTTPConnection;
class HTTPFront;

// One worker: its thread, its configuration copy and its file manager,
// whose script directory is the configured "lumoroot".
class HTTPListenerThread {
 public:
  HTTPListenerThread(HTTPServer* server, int index);
  HTTPListenerThread(const HTTPListenerThread&) = delete;
  HTTPListenerThread& operator=(const HTTPListenerThread&) = delete;

  int Index() const { return index_; }
  HTTPServer* Server() const { return server_; }
  DexConfig* Configuration() { return &config_; }
  PosixFileManager* Files() { return &files_; }

  void Start();
  void Join();
  // Takes the server's configuration before the next connection.
  void RequestReload() { reload_.store(true, std::memory_order_release); }
  // Reads one request from the connected socket, answers it and closes
  // the socket.
  RequestOutcome Serve(int socket);

 private:
  friend class HTTPServer;  // ServeConnection's worker is the caller
  friend class HTTPFront;   // the event loop routes requests with one
  void Main();
  void Reload();
  // Answers a request, or, for the event loop, names the program that a
  // worker is to run (kHandedOver, the path in handed_over_).
  RequestOutcome Handle(HTTPRequest& request);
  // `identity`: the program file as the router found it, or null.
  RequestOutcome RunProgram(HTTPRequest& request, const String& path,
                            const PosixFileManager::FileIdentity* identity);
  // The 400 or 411 page for a head that was refused.
  void AnswerRefused(HTTPRequest& request, HTTPRequest::ReadResult read);
  // One line in the access log, when it is on, for the answered request.
  void LogAccess(const HTTPRequest& request, time_t arrived);
  // A static file with its validators (Date, Last-Modified), answering
  // If-Modified-Since and a single Range; `path` is the one requested.
  void SendStatic(HTTPRequest& request, std::shared_ptr<File> file, std::string_view type,
                  const String& path);

  // A static file at a full path: kept open between requests while its
  // file is the same (one stat: device, inode, size, modification time),
  // so that a file asked for again costs no open and close. Null when it
  // is not a regular file that can be read.
  std::shared_ptr<File> OpenStatic(const String& full);
  // Lets go of the open files that were removed or replaced since (the
  // event loop asks about once a second): a deleted file's space is not
  // held.
  void CheckOpenStatic();

  struct OpenStaticFile {
    PosixFileManager::FileIdentity identity;
    std::shared_ptr<File> file;
  };
  static constexpr size_t kOpenStaticFiles = 128;

  HTTPServer* server_;
  int index_;
  std::unordered_map<std::string, OpenStaticFile> open_static_;
  bool hand_over_programs_ = false;
  String handed_over_;
  bool handed_identified_ = false;
  PosixFileManager::FileIdentity handed_identity_;
  DexConfig config_;
  PosixFileManager files_;
  std::atomic<bool> reload_{true};
  std::thread thread_;
};

class HTTPServer {
 public:
  static constexpr int kDefaultWorkers = 5;
  static constexpr int kMaxWorkers = 64;
  static constexpr int kMaxFronts = 8;

  enum class ListenResult { kListening, kPortInUse, kFailed };

  HTTPServer();
  ~HTTPServer();
  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  // Reads the configuration file (see config/config_file.h); the settings
  // given with Override* are applied over it, now and on every reload.
  bool LoadConfiguration(const std::string& path, std::vector<std::string>* warnings);
  void OverridePort(int32_t port);
  void OverrideText(ConfigId id, std::string_view text);
  // For the thread that owns the server (workers read their own copies).
  DexConfig& Configuration() { return config_; }
  // Where the listening socket binds (default: every local IPv4 address):
  // an IPv4 or IPv6 address, the latter also in brackets ("[::1]"); "::"
  // takes IPv4 clients as well.
  void SetBindAddress(std::string_view address) { bind_address_ = std::string(address); }

  // Binds the configured port and starts the workers and the run monitor.
  // kPortInUse when the port is taken or needs privileges (no message);
  // kFailed with a message otherwise.
  ListenResult Listen(String* error);
  // Serves the one request on an already connected socket (non-blocking,
  // taken over and closed) on the calling thread, configured as Listen
  // configures a worker but without binding a port; the run monitor ticks
  // the run while it lasts. Not while the server listens.
  RequestOutcome ServeConnection(int socket);
  // Stops accepting, stops running programs and waits up to 10 seconds for
  // the workers; false when they did not all end in time.
  bool Stop();
  // Stops accepting and lets the requests already taken end as they would
  // have: up to 10 seconds, after which the programs still running are
  // stopped as by Stop. False when some had to be.
  bool Finish();
  // Rereads the configuration file; workers take it between connections.
  // The configuration library starts again, and runs that start from now
  // on see the libraries the configuration now registers. The access log
  // is opened again (OpenAccessLog).
  bool ReloadConfiguration(std::vector<std::string>* warnings);
  // Opens the access log the "accesslog" setting names, a relative name in
  // the data directory; opened again, a new file is made at the name, so
  // a log renamed away (log rotation) keeps every line written before.
  // A log that cannot be opened is a warning, never a failure. Listen
  // opens it when nobody did before.
  void OpenAccessLog(std::vector<std::string>* warnings);
  // The process's extension libraries, shared by the workers' runs.
  ExtensionLibraries& Extensions() { return extensions_; }

  // The machine's host name ("127.0.0.1" when it has none).
  const String& HostName() const { return host_name_; }
  // The port actually bound (the configured one, or the system's choice
  // for port 0).
  int32_t BoundPort() const { return bound_port_; }

  // For tests: a resolver every run uses instead of the configured
  // extension libraries. Set before Listen; it must outlive the runs.
  void SetExternalCalls(ExternalFunctionResolver* resolver) { external_calls_ = resolver; }
  ExternalFunctionResolver* ExternalCalls() const { return external_calls_; }
  // How long a receive or send waits (30 s) and how often the run monitor
  // ticks (5 s).
  void SetIOTimeout(int milliseconds) { io_timeout_ms_ = milliseconds; }
  int IOTimeout() const { return io_timeout_ms_; }
  void SetMonitorInterval(int milliseconds) { monitor_interval_ms_ = milliseconds; }

  // A worker's running program: ticked by the monitor while registered.
  // EndRun takes it out under the lock the monitor ticks under; once it
  // returns, no tick can reach the context, and the caller may destroy it.
  void BeginRun(int worker, LumoApplication* context);
  void EndRun(int worker);

  bool Stopping() const { return stopping_.load(std::memory_order_acquire); }
  // Set with Stopping by Finish: answers under way are let go out.
  bool Finishing() const { return finishing_.load(std::memory_order_acquire); }
  int ListeningSocket() const { return listen_fd_; }
  // The workers and the event loops Listen started.
  int WorkerCount() const { return static_cast<int>(workers_.size()); }
  int EventLoopCount() const { return static_cast<int>(fronts_.size()); }

  // The event loop hands a connection whose request names a program to
  // the workers; the first one free takes it.
  void HandOver(std::unique_ptr<HTTPConnection> connection);

 private:
  friend class HTTPListenerThread;
  friend class HTTPFront;
  // The next handed-over connection, waiting for one; null once the event
  // loop hands over no more (CloseHandOver) and none is left.
  std::unique_ptr<HTTPConnection> TakeHandedOver();
  // An event loop, stopping, hands over nothing more: once none does, the
  // workers end when they have run what they hold.
  void CloseHandOver();
  void ApplyOverrides();
  bool Shutdown(bool let_runs_finish);
  void StopRuns();
  void ConfigureExtensionsOnce();
  void StartMonitor();
  void StopMonitor();
  void MonitorMain();
  void WorkerEnded();

  ProcessConfigTarget target_;
  DexConfig config_;
  std::string config_path_;
  // After the configuration: its configuration library is destroyed while
  // the configuration still exists.
  ExtensionLibraries extensions_;
  bool extensions_configured_ = false;
  int32_t port_override_ = -1;
  std::vector<std::pair<ConfigId, std::string>> text_overrides_;
  std::string bind_address_;
  String host_name_;
  int32_t bound_port_ = 0;
  int listen_fd_ = -1;
  int io_timeout_ms_ = 30000;
  ExternalFunctionResolver* external_calls_ = nullptr;
  int monitor_interval_ms_ = 5000;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finishing_{false};
  AccessLog access_log_;
  bool access_log_opened_ = false;

  std::vector<std::unique_ptr<HTTPListenerThread>> workers_;
  // The event loop's own configuration and file manager: it routes
  // requests as a worker would, but never runs a program.
  // One event loop per processor (up to kMaxFronts), each with its
  // router; they share the listening socket.
  std::vector<std::unique_ptr<HTTPListenerThread>> routers_;
  std::vector<std::unique_ptr<HTTPFront>> fronts_;
  int fronts_handing_ = 0;  // under handed_mutex_
  std::thread monitor_;

  std::mutex handed_mutex_;
  std::condition_variable handed_ready_;
  std::deque<std::unique_ptr<HTTPConnection>> handed_;
  bool handover_closed_ = false;

  // Orders the monitor's ticks against the destruction of contexts. One
  // lock a worker, so that workers never wait for each other; the last
  // slot is ServeConnection's.
  struct RunSlot {
    std::mutex mutex;
    LumoApplication* run = nullptr;
  };
  static constexpr int kCallerSlot = kMaxWorkers;
  RunSlot runs_[kMaxWorkers + 1];

  std::mutex state_mutex_;
  std::condition_variable state_changed_;
  int workers_running_ = 0;
  bool monitor_stop_ = false;
};

// The socket address for a bind address text (see SetBindAddress; empty:
// every IPv4 address) and port; false when the text is no address.
bool BindAddress(std::string_view text, uint16_t port, struct sockaddr_storage* address,
                 socklen_t* length);

// Runs a compiled program for a request (web/dex_application.cc): one of
// the kProgram* outcomes.
// `identity`, when known, is the program file's as found when the request
// was routed (the kept image is checked against it instead of the file).
RequestOutcome ServeProgram(HTTPListenerThread& worker, HTTPRequest& request, const String& path,
                            const PosixFileManager::FileIdentity* identity = nullptr);

}  // namespace lumo

#endif  // LUMO_WEB_HTTP_SERVER_H_
