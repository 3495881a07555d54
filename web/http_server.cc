#include "web/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/base/system_error.h"
#include "config/config.h"
#include "config/config_file.h"
#include "core/context/entities.h"
#include "core/context/error_settings.h"
#include "core/context/lumo_application.h"
#include "web/http_request.h"
#include "web/mime_types.h"
#include "web/source_pages.h"

namespace lumo {

namespace {

// Requests name paths below this length; longer ones are refused before
// the file system is asked.
constexpr int32_t kMaxPathLength = 259;
// Connections waiting to be accepted. A handful would make a burst of
// clients wait for SYN retransmits (a second or more each).
constexpr int kListenBacklog = 511;

constexpr char kPageStart[] = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n<HTML>\r\n";

void SendText(HTTPRequest& request, const String& text) {
  request.SendAll(text.Text(), text.Length());
}

void SendBadRequest(HTTPRequest& request, std::string_view detail) {
  String page("HTTP/1.1 400 Bad Request\r\nServer: ");
  page.Append(kServerSoftware);
  page.Append("\r\nConnection: close\r\n\r\n");
  page.Append(kPageStart);
  page.Append(
      "<HEAD><TITLE>400 Bad Request</TITLE></HEAD>\r\n<BODY>\r\n<H1>Bad Request</H1>\r\n"
      "Your browser sent an invalid HTTP request: ");
  page.Append(detail);
  page.Append("\r\n</BODY>\r\n</HTML>");
  SendText(request, page);
}

void SendLengthRequired(HTTPRequest& request) {
  String page("HTTP/1.1 411 Length Required\r\nServer: ");
  page.Append(kServerSoftware);
  page.Append("\r\nConnection: close\r\n\r\n");
  page.Append(kPageStart);
  page.Append(
      "<HEAD><TITLE>411 Length Required</TITLE></HEAD>\r\n<BODY>\r\n<H1>Length Required</H1>\r\n"
      "A request body must be sent with a Content-Length header\r\n</BODY>\r\n</HTML>");
  SendText(request, page);
}

void SendNotFound(HTTPRequest& request, const String& path) {
  String page("HTTP/1.1 404 Not Found\r\nServer: ");
  page.Append(kServerSoftware);
  page.Append("\r\nConnection: close\r\n\r\n");
  page.Append(kPageStart);
  page.Append(
      "<HEAD><TITLE>404 Not Found</TITLE></HEAD>\r\n<BODY>\r\n<H1>Not Found</H1>\r\nThe file '");
  // The path comes from the client: echoed raw it would let a link inject
  // script into this page.
  AppendEntities(page, path.Text(), path.Length());
  page.Append("' was not found on this server\r\n</BODY>\r\n</HTML>");
  SendText(request, page);
}

}  // namespace

// --- HTTPListenerThread ----------------------------------------------------

HTTPListenerThread::HTTPListenerThread(HTTPServer* server, int index)
    : server_(server), index_(index), config_(nullptr, TagLookup) {}

void HTTPListenerThread::Start() {
  thread_ = std::thread([this] { Main(); });
}

void HTTPListenerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void HTTPListenerThread::Reload() {
  reload_.store(false, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(server_->state_mutex_);
    config_.CopyFrom(server_->config_);
  }
  // Checked once here rather than by every run; a run that finds one
  // missing tries again and reports why.
  if (const String* root = config_.GetText(kConfigDirLumo)) files_.SetScriptDirectory(root->View());
  if (const String* data = config_.GetText(kConfigDirData)) files_.SetDataDirectory(data->View());
  const String* temporary = config_.GetText(kConfigDirTemp);
  if (temporary != nullptr && !temporary->IsEmpty()) files_.SetTemporaryDirectory(temporary->View());
}

void HTTPListenerThread::Main() {
  while (!server_->Stopping()) {
    const int socket = accept4(server_->ListeningSocket(), nullptr, nullptr,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket < 0) {
      if (server_->Stopping()) break;
      // Out of descriptors: give the running requests a moment to finish
      // rather than spinning on the pending connection.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        const struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    // Memory running out while a connection is served drops that
    // connection, never the worker or the server: a run ends its own
    // (DexApplication::Run), this is the net below it.
    bool handed_over = false;
    try {
      if (reload_.load(std::memory_order_acquire)) Reload();
      handed_over = true;  // the request closes the socket from here on
      Serve(socket);
    } catch (const std::bad_alloc&) {
      if (!handed_over) close(socket);
    }
  }
  server_->WorkerEnded();
}

RequestOutcome HTTPListenerThread::Serve(int socket) {
  HTTPRequest request(socket);
  request.SetIOTimeout(server_->IOTimeout());
  RequestOutcome outcome = RequestOutcome::kNoRequest;
  switch (request.Read()) {
    case HTTPRequest::ReadResult::kNothing:
      return outcome;
    case HTTPRequest::ReadResult::kTooLong:
      SendBadRequest(request, "Request line or header too long");
      break;
    case HTTPRequest::ReadResult::kBadHeader:
      SendBadRequest(request, "Invalid header line");
      break;
    case HTTPRequest::ReadResult::kBadLength:
      SendBadRequest(request, "Invalid Content-Length");
      break;
    case HTTPRequest::ReadResult::kLengthRequired:
      SendLengthRequired(request);
      break;
    case HTTPRequest::ReadResult::kOk:
      outcome = Handle(request);
      // Answered without reading the whole body (a static file, a body
      // refused): the client may still be sending it.
      if (request.UnreadBody() == 0) return outcome;
      break;
  }
  // Refused heads may come with a body of unknown length.
  request.LingeringClose();
  return outcome;
}

RequestOutcome HTTPListenerThread::Handle(HTTPRequest& request) {
  const String& path = request.Path();
  if (path.Length() >= kMaxPathLength) {
    SendBadRequest(request, "Requested URI too long or invalid");
    return RequestOutcome::kNoRequest;
  }
  // The path goes to the sandbox as it came (no percent-decoding): only
  // names inside the document root resolve.
  String full;
  if (!files_.Resolve(kScriptLocation, path.View(), &full)) {
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  // Most requests name a static file: opening it straight away answers
  // whether it exists and is a file in one call.
  std::string_view type = ContentTypeOf(path.View());
  if (type != kCompiledProgramType && type != kSourcePageType) {
    if (std::unique_ptr<File> file = files_.OpenPath(full, kOpenRead)) {
      SendStatic(request, *file, type);
      return RequestOutcome::kAnswered;
    }
  }
  String final_path(path);
  PosixFileManager::PathKind kind = files_.KindOf(full);
  if (kind == PosixFileManager::PathKind::kDirectory) {
    const String* default_file = config_.GetText(kConfigDefaultFile);
    if (final_path.IsEmpty() || final_path[final_path.Length() - 1] != '/') final_path.Append('/');
    if (default_file != nullptr) final_path.Append(*default_file);
    if (!files_.Resolve(kScriptLocation, final_path.View(), &full)) {
      SendNotFound(request, path);
      return RequestOutcome::kAnswered;
    }
    kind = files_.KindOf(full);
    type = ContentTypeOf(final_path.View());
  }
  if (kind != PosixFileManager::PathKind::kOther) {
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  if (type == kCompiledProgramType) return ServeProgram(*this, request, final_path);
  // A source may hold passwords: it is compiled and run, or not found.
  if (type == kSourcePageType) {
    if (config_.GetInteger(kConfigCompileSources) != 0) {
      return ServeProgram(*this, request, final_path);
    }
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  std::unique_ptr<File> file = files_.OpenPath(full, kOpenRead);
  if (!file) {
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  SendStatic(request, *file, type);
  return RequestOutcome::kAnswered;
}

void HTTPListenerThread::SendStatic(HTTPRequest& request, File& file, std::string_view type) {
  const int64_t size = file.Length();
  if (size < 0) {
    SendNotFound(request, request.Path());
    return;
  }
  // The head goes out with the first piece of the file in one send.
  char buffer[HTTPRequest::kBufferSize + 512];
  int head = snprintf(buffer, 512,
                      "HTTP/1.1 200 OK\r\nContent-Type: %.*s\r\nContent-Length: %lld\r\n"
                      "Connection: close\r\n\r\n",
                      static_cast<int>(type.size() > 200 ? 200 : type.size()), type.data(),
                      static_cast<long long>(size));
  if (head < 0 || head >= 512) return;
  // A small file goes out with the head in one send; a larger one follows
  // its head straight from the page cache.
  if (size > HTTPRequest::kBufferSize) {
    if (request.SendAll(buffer, head, true) != head) return;
    request.SendFile(file, 0, size);
    return;
  }
  const int64_t got = file.Read(buffer + head, size);
  if (got < 0) return;
  request.SendAll(buffer, head + got);
}

// --- HTTPServer --------------------------------------------------------------

HTTPServer::HTTPServer() : config_(&target_, TagLookup) {
  // Before any run: LmDO may name pages as well as programs.
  SourcePages::RegisterForDo();
  char name[128] = {};
  if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
    host_name_.Assign(name);
  } else {
    host_name_.Assign("127.0.0.1");
  }
}

HTTPServer::~HTTPServer() {
  Stop();
  for (auto& worker : workers_) worker->Join();
  if (monitor_.joinable()) monitor_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

bool HTTPServer::LoadConfiguration(const std::string& path, std::vector<std::string>* warnings) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  config_path_ = path;
  const bool ok = config_.Load(path, warnings);
  ApplyOverrides();
  extensions_.Configure(config_, target_, config_path_, warnings);
  extensions_configured_ = true;
  return ok;
}

void HTTPServer::OverridePort(int32_t port) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  port_override_ = port;
  ApplyOverrides();
}

void HTTPServer::OverrideText(ConfigId id, std::string_view text) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  text_overrides_.emplace_back(id, std::string(text));
  ApplyOverrides();
}

void HTTPServer::ApplyOverrides() {
  if (port_override_ >= 0) config_.SetPort(port_override_);
  for (const auto& [id, text] : text_overrides_) config_.SetText(id, text);
}

void HTTPServer::ConfigureExtensionsOnce() {
  // A server never given a configuration file still has the default
  // function library.
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (!extensions_configured_) {
    extensions_.Configure(config_, target_, config_path_, nullptr);
    extensions_configured_ = true;
  }
}

void HTTPServer::StartMonitor() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    monitor_stop_ = false;
  }
  monitor_ = std::thread([this] { MonitorMain(); });
}

void HTTPServer::StopMonitor() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    monitor_stop_ = true;
  }
  state_changed_.notify_all();
  if (monitor_.joinable()) monitor_.join();
}

RequestOutcome HTTPServer::ServeConnection(int socket) {
  ConfigureExtensionsOnce();
  HTTPListenerThread caller(this, kCallerSlot);
  StartMonitor();
  RequestOutcome outcome = RequestOutcome::kNoRequest;
  bool handed_over = false;
  try {
    caller.Reload();
    handed_over = true;  // the request closes the socket from here on
    outcome = caller.Serve(socket);
  } catch (const std::bad_alloc&) {
    // As in a worker: the connection goes, the caller hears of it.
    if (!handed_over) close(socket);
    outcome = RequestOutcome::kProgramStopped;
  }
  StopMonitor();
  return outcome;
}

HTTPServer::ListenResult HTTPServer::Listen(String* error) {
  ConfigureExtensionsOnce();
  auto fail = [&](const char* what) {
    error->Assign("Error in HTTPServer::Listen(): ");
    error->Append(what);
    error->Append(": ");
    error->Append(SystemErrorText(errno));
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
    return ListenResult::kFailed;
  };
  const int32_t port = config_.Port();
  if (port < 0 || port > 65535) {
    error->Assign("Error in HTTPServer::Listen(): port ");
    error->Append(std::to_string(port));
    error->Append(" is not a valid port number");
    return ListenResult::kFailed;
  }
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bind_address_.empty() && inet_pton(AF_INET, bind_address_.c_str(), &address.sin_addr) != 1) {
    error->Assign("Error in HTTPServer::Listen(): '");
    error->Append(bind_address_);
    error->Append("' is not an IPv4 address");
    return ListenResult::kFailed;
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return fail("socket");
  const int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EADDRINUSE || errno == EACCES || errno == EPERM) {
      close(listen_fd_);
      listen_fd_ = -1;
      return ListenResult::kPortInUse;
    }
    return fail("bind");
  }
  socklen_t length = sizeof address;
  getsockname(listen_fd_, reinterpret_cast<struct sockaddr*>(&address), &length);
  bound_port_ = ntohs(address.sin_port);
  if (listen(listen_fd_, kListenBacklog) != 0) return fail("listen");

  stopping_.store(false, std::memory_order_release);
  workers_.clear();
  for (int i = 0; i < kWorkerCount; ++i) {
    workers_.push_back(std::make_unique<HTTPListenerThread>(this, i));
  }
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    workers_running_ = kWorkerCount;
  }
  for (auto& worker : workers_) worker->Start();
  StartMonitor();
  return ListenResult::kListening;
}

bool HTTPServer::Stop() {
  if (listen_fd_ < 0 || stopping_.exchange(true)) return true;
  // Wakes every worker blocked in accept.
  shutdown(listen_fd_, SHUT_RDWR);
  for (RunSlot& slot : runs_) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.run != nullptr) slot.run->Stop();
  }
  std::unique_lock<std::mutex> lock(state_mutex_);
  monitor_stop_ = true;
  state_changed_.notify_all();
  const bool ended = state_changed_.wait_for(lock, std::chrono::seconds(10),
                                             [this] { return workers_running_ == 0; });
  lock.unlock();
  if (ended) {
    for (auto& worker : workers_) worker->Join();
  }
  if (monitor_.joinable()) monitor_.join();
  return ended;
}

bool HTTPServer::ReloadConfiguration(std::vector<std::string>* warnings) {
  bool ok = true;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (!config_path_.empty()) ok = config_.Load(config_path_, warnings);
    ApplyOverrides();
    extensions_.Configure(config_, target_, config_path_, warnings);
    extensions_configured_ = true;
  }
  // Pages compiled against the old libraries may call functions that are
  // gone, or have failed for want of ones now there.
  SourcePages::Shared().Clear();
  for (auto& worker : workers_) worker->RequestReload();
  return ok;
}

void HTTPServer::WorkerEnded() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  --workers_running_;
  state_changed_.notify_all();
}

void HTTPServer::BeginRun(int worker, LumoApplication* context) {
  if (worker < 0 || worker > kCallerSlot) {
    if (Stopping()) context->Stop();
    return;
  }
  std::lock_guard<std::mutex> lock(runs_[worker].mutex);
  runs_[worker].run = context;
  // Stop raises the flag before it visits the slots: either it sees this
  // run or this run sees the flag.
  if (Stopping()) context->Stop();
}

void HTTPServer::EndRun(int worker) {
  if (worker < 0 || worker > kCallerSlot) return;
  std::lock_guard<std::mutex> lock(runs_[worker].mutex);
  runs_[worker].run = nullptr;
}

void HTTPServer::MonitorMain() {
  std::unique_lock<std::mutex> lock(state_mutex_);
  while (!monitor_stop_) {
    state_changed_.wait_for(lock, std::chrono::milliseconds(monitor_interval_ms_));
    if (monitor_stop_) break;
    lock.unlock();
    for (RunSlot& slot : runs_) {
      std::lock_guard<std::mutex> runs(slot.mutex);
      if (slot.run != nullptr) slot.run->Tick();
    }
    lock.lock();
  }
}

}  // namespace lumo
