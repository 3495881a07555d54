#include "web/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/base/conversions.h"
#include "core/base/system_error.h"
#include "config/config.h"
#include "config/config_file.h"
#include "core/context/entities.h"
#include "core/context/error_settings.h"
#include "core/context/lumo_application.h"
#include "web/access_log.h"
#include "web/http_front.h"
#include "web/http_request.h"
#include "web/mime_types.h"
#include "web/source_pages.h"
#include "web/static_files.h"

namespace lumo {

namespace {

// sendfile has no MSG_NOSIGNAL: a client that goes away while a file is
// sent would end the whole process with SIGPIPE. An embedder that chose
// its own handler keeps it.
void IgnoreBrokenPipes() {
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
      !(current.sa_flags & SA_SIGINFO)) {
    signal(SIGPIPE, SIG_IGN);
  }
}

// Requests name paths below this length; longer ones are refused before
// the file system is asked.
constexpr int32_t kMaxPathLength = 259;
// Connections waiting to be accepted. A handful would make a burst of
// clients wait for SYN retransmits (a second or more each).
constexpr int kListenBacklog = 511;

constexpr char kPageStart[] = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n<HTML>\r\n";

// Sends a head and whatever body follows it in `text`, and notes for the
// access log the body bytes that really went out.
void SendAnswer(HTTPRequest& request, int status, const String& text, int64_t head_length) {
  const int64_t sent = request.SendAll(text.Text(), text.Length());
  request.NoteResponse(status, sent > head_length ? sent - head_length : 0);
}

void AppendNumber(String& out, int64_t value) {
  char digits[24];
  const int n = snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
  out.Append(digits, n);
}

bool IsHead(const HTTPRequest& request) {
  return request.Method().View() == std::string_view("HEAD");
}

// One of the server's own pages: the status line, the page's head and
// body; to a HEAD request the head only.
void SendPage(HTTPRequest& request, std::string_view status, std::string_view title,
              std::string_view body) {
  String page(kPageStart);
  page.Append("<HEAD><TITLE>");
  page.Append(status);
  page.Append("</TITLE></HEAD>\r\n<BODY>\r\n<H1>");
  page.Append(title);
  page.Append("</H1>\r\n");
  page.Append(body);
  page.Append("\r\n</BODY>\r\n</HTML>");
  String head("HTTP/1.1 ");
  head.Append(status);
  head.Append("\r\nServer: ");
  head.Append(kServerSoftware);
  head.Append("\r\nContent-Type: text/html\r\nContent-Length: ");
  AppendInteger(head, page.Length());
  head.Append("\r\nConnection: ");
  head.Append(request.ConnectionToken());
  head.Append("\r\n\r\n");
  const int64_t head_length = head.Length();
  if (!IsHead(request)) head.Append(page);
  SendAnswer(request, StatusCodeOf(status), head, head_length);
}

void SendBadRequest(HTTPRequest& request, std::string_view detail) {
  // What follows a refused head cannot be trusted to start a request.
  request.SetKeepAlive(false);
  String text("Your browser sent an invalid HTTP request: ");
  text.Append(detail);
  SendPage(request, "400 Bad Request", "Bad Request", text.View());
}

void SendLengthRequired(HTTPRequest& request) {
  request.SetKeepAlive(false);
  SendPage(request, "411 Length Required", "Length Required",
           "A request body must be sent with a Content-Length header");
}

void SendNotFound(HTTPRequest& request, const String& path) {
  String text("The file '");
  // The path comes from the client: echoed raw it would let a link inject
  // script into this page.
  AppendEntities(text, path.Text(), path.Length());
  text.Append("' was not found on this server");
  SendPage(request, "404 Not Found", "Not Found", text.View());
}

}  // namespace

bool BindAddress(std::string_view text, uint16_t port, struct sockaddr_storage* address,
                 socklen_t* length) {
  *address = {};
  if (text.empty()) {
    auto* v4 = reinterpret_cast<struct sockaddr_in*>(address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
    *length = sizeof *v4;
    return true;
  }
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  // Longer than any address: inet_pton would refuse it, and the copy
  // below needs a bound.
  if (text.size() >= INET6_ADDRSTRLEN) return false;
  char copy[INET6_ADDRSTRLEN] = {};
  memcpy(copy, text.data(), text.size());
  auto* v4 = reinterpret_cast<struct sockaddr_in*>(address);
  if (inet_pton(AF_INET, copy, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *length = sizeof *v4;
    return true;
  }
  *address = {};
  auto* v6 = reinterpret_cast<struct sockaddr_in6*>(address);
  if (inet_pton(AF_INET6, copy, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    *length = sizeof *v6;
    return true;
  }
  return false;
}

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
  // Made once here, they are shared by every run's copy.
  config_.MakeDefaults();
  // Checked once here rather than by every run; a run that finds one
  // missing tries again and reports why.
  if (const String* root = config_.GetText(kConfigDirLumo)) files_.SetScriptDirectory(root->View());
  if (const String* data = config_.GetText(kConfigDirData)) files_.SetDataDirectory(data->View());
  const String* temporary = config_.GetText(kConfigDirTemp);
  if (temporary != nullptr && !temporary->IsEmpty()) files_.SetTemporaryDirectory(temporary->View());
}

void HTTPListenerThread::Main() {
  while (std::unique_ptr<HTTPConnection> connection = server_->TakeHandedOver()) {
    HTTPRequest& request = *connection->request;
    // Memory running out while a program runs ends that request's
    // connection, never the worker or the server: a run ends its own
    // (DexApplication::Run), this is the net below it.
    try {
      if (reload_.load(std::memory_order_acquire)) Reload();
      ServeProgram(*this, request, connection->program,
                   connection->identified ? &connection->identity : nullptr);
    } catch (const std::bad_alloc&) {
      request.SetKeepAlive(false);
    }
    // A stopped server closes the connection after this answer.
    if (server_->Stopping()) request.SetKeepAlive(false);
    HTTPFront* front = connection->front;
    front->GiveBack(std::move(connection));
  }
  server_->WorkerEnded();
}

RequestOutcome HTTPListenerThread::Serve(int socket) {
  HTTPRequest request(socket);
  request.SetIOTimeout(server_->IOTimeout());
  RequestOutcome outcome = RequestOutcome::kNoRequest;
  const HTTPRequest::ReadResult read = request.Read();
  const time_t arrived = time(nullptr);
  if (read == HTTPRequest::ReadResult::kNothing) return outcome;
  if (read == HTTPRequest::ReadResult::kOk) {
    outcome = Handle(request);
    // Answered without reading the whole body (a static file, a body
    // refused): the client may still be sending it.
    if (request.UnreadBody() == 0) {
      LogAccess(request, arrived);
      return outcome;
    }
  } else {
    AnswerRefused(request, read);
  }
  // Logged before the linger, which may take seconds after the answer.
  LogAccess(request, arrived);
  // Refused heads may come with a body of unknown length.
  request.LingeringClose();
  return outcome;
}

void HTTPListenerThread::AnswerRefused(HTTPRequest& request, HTTPRequest::ReadResult read) {
  switch (read) {
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
    case HTTPRequest::ReadResult::kNothing:
      break;
  }
}

void HTTPListenerThread::LogAccess(const HTTPRequest& request, time_t arrived) {
  AccessLog& log = server_->access_log_;
  // Off, the peer's address is not even asked for.
  if (!log.IsOn()) return;
  AccessRecord record;
  record.host = request.PeerAddress().View();
  record.request_line = request.RequestLine().View();
  record.status = request.ResponseStatus();
  record.body_bytes = request.BodyBytesSent();
  record.referer = request.Header("Referer");
  record.user_agent = request.Header("User-Agent");
  record.time = arrived;
  log.Write(record);
}

RequestOutcome HTTPListenerThread::Handle(HTTPRequest& request) {
  // Decoded once, here: the sandbox then sees the names as they are on
  // disk, and an escape decoded again later ("%252e") stays literal text.
  String path;
  if (!DecodeRequestPath(request.Path().View(), &path)) {
    SendBadRequest(request, "Invalid escape in the requested path");
    return RequestOutcome::kNoRequest;
  }
  if (path.Length() >= kMaxPathLength) {
    SendBadRequest(request, "Requested URI too long or invalid");
    return RequestOutcome::kNoRequest;
  }
  String full;
  if (!files_.Resolve(kScriptLocation, path.View(), &full)) {
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  // Most requests name a static file: opening it straight away answers
  // whether it exists and is a file in one call.
  std::string_view type = ContentTypeOf(path.View());
  if (type != kCompiledProgramType && type != kSourcePageType && !IsProgramSource(path.View())) {
    if (std::shared_ptr<File> file = OpenStatic(full)) {
      SendStatic(request, std::move(file), type, path);
      return RequestOutcome::kAnswered;
    }
  }
  String final_path(path);
  // A program named outright is stat'ed once here: its identity goes with
  // the request, and the run takes the kept image it matches.
  PosixFileManager::FileIdentity identity;
  const bool identified = type == kCompiledProgramType && files_.IdentifyPath(full, &identity);
  PosixFileManager::PathKind kind =
      identified ? PosixFileManager::PathKind::kOther : files_.KindOf(full);
  if (kind == PosixFileManager::PathKind::kDirectory) {
    if (final_path.IsEmpty() || final_path[final_path.Length() - 1] != '/') final_path.Append('/');
    const String* setting = config_.GetText(kConfigDefaultFile);
    const bool compile = config_.GetInteger(kConfigCompileSources) != 0;
    bool found = false;
    for (std::string_view name : DefaultFileNames(setting != nullptr ? setting->View() : "")) {
      String candidate(final_path);
      candidate.Append(name);
      // A name that could only answer 404 gives way to the next one.
      const bool runs = compile && ContentTypeOf(candidate.View()) == kSourcePageType;
      if (IsProgramSource(candidate.View()) && !runs) continue;
      if (files_.Resolve(kScriptLocation, candidate.View(), &full) &&
          files_.KindOf(full) == PosixFileManager::PathKind::kOther) {
        final_path = std::move(candidate);
        found = true;
        break;
      }
    }
    if (!found) {
      SendNotFound(request, path);
      return RequestOutcome::kAnswered;
    }
    kind = PosixFileManager::PathKind::kOther;
    type = ContentTypeOf(final_path.View());
  }
  if (kind != PosixFileManager::PathKind::kOther) {
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  if (type == kCompiledProgramType) {
    return RunProgram(request, final_path, identified ? &identity : nullptr);
  }
  // A source may hold passwords: it is compiled and run, or not found.
  if (type == kSourcePageType) {
    if (config_.GetInteger(kConfigCompileSources) != 0) {
      return RunProgram(request, final_path, nullptr);
    }
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  if (IsProgramSource(final_path.View())) {
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  std::shared_ptr<File> file = OpenStatic(full);
  if (!file) {
    SendNotFound(request, path);
    return RequestOutcome::kAnswered;
  }
  SendStatic(request, std::move(file), type, path);
  return RequestOutcome::kAnswered;
}

RequestOutcome HTTPListenerThread::RunProgram(HTTPRequest& request, const String& path,
                                              const PosixFileManager::FileIdentity* identity) {
  if (!hand_over_programs_) return ServeProgram(*this, request, path, identity);
  handed_over_ = path;
  handed_identified_ = identity != nullptr;
  if (identity != nullptr) handed_identity_ = *identity;
  return RequestOutcome::kHandedOver;
}

std::shared_ptr<File> HTTPListenerThread::OpenStatic(const String& full) {
  PosixFileManager::FileIdentity identity;
  const std::string key(full.View());
  if (!files_.IdentifyPath(full, &identity)) {
    // Gone or replaced by a directory: its descriptor must not keep a
    // deleted file's space.
    open_static_.erase(key);
    return nullptr;
  }
  auto it = open_static_.find(key);
  if (it != open_static_.end() && it->second.identity == identity) return it->second.file;
  std::shared_ptr<File> file = files_.OpenPath(full, kOpenRead);
  if (!file) {
    if (it != open_static_.end()) open_static_.erase(it);
    return nullptr;
  }
  if (it != open_static_.end()) {
    it->second = {identity, file};
  } else {
    if (open_static_.size() >= kOpenStaticFiles) open_static_.clear();
    open_static_.emplace(key, OpenStaticFile{identity, file});
  }
  return file;
}

void HTTPListenerThread::CheckOpenStatic() {
  for (auto it = open_static_.begin(); it != open_static_.end();) {
    PosixFileManager::FileIdentity identity;
    String full(it->first);
    if (files_.IdentifyPath(full, &identity) && identity == it->second.identity) {
      ++it;
    } else {
      it = open_static_.erase(it);
    }
  }
}

void HTTPListenerThread::SendStatic(HTTPRequest& request, std::shared_ptr<File> owned,
                                    std::string_view type, const String& path) {
  File& file = *owned;
  int64_t size = -1;
  int64_t modified = 0;
  const bool have_modified = file.Describe(&size, &modified);
  if (size < 0) {
    SendNotFound(request, path);
    return;
  }
  const std::string_view method = request.Method().View();
  const bool head_only = method == std::string_view("HEAD");
  const int64_t now = static_cast<int64_t>(time(nullptr));
  const String date = FormatHTTPDate(now);
  const String last_modified = have_modified ? FormatHTTPDate(modified) : String();

  // The validators first: a browser revalidating its copy gets no body.
  const String* since = request.Header("If-Modified-Since");
  if (have_modified && since != nullptr && (method == std::string_view("GET") || head_only) &&
      NotModifiedSince(since->View(), modified, now)) {
    String head("HTTP/1.1 304 Not Modified\r\nDate: ");
    head.Append(date);
    head.Append("\r\nLast-Modified: ");
    head.Append(last_modified);
    head.Append("\r\nConnection: ");
    head.Append(request.ConnectionToken());
    head.Append("\r\n\r\n");
    SendAnswer(request, 304, head, head.Length());
    return;
  }

  // A range applies to GET only, and, under If-Range, only while the file
  // is the one the client saw (a date that is also a strong validator:
  // the file is older than this second).
  int64_t first = 0, last = size - 1;
  RangeAnswer range = RangeAnswer::kWhole;
  const String* wanted = request.Header("Range");
  if (wanted != nullptr && method == std::string_view("GET")) {
    const String* if_range = request.Header("If-Range");
    int64_t validator = 0;
    const bool current = if_range == nullptr ||
                         (have_modified && modified < now &&
                          ParseHTTPDate(if_range->View(), &validator) && validator == modified);
    if (current) range = JudgeRange(wanted->View(), size, &first, &last);
  }

  String head;
  int64_t length = size;
  int status = 200;
  switch (range) {
    case RangeAnswer::kWhole:
      head.Append("HTTP/1.1 200 OK\r\n");
      break;
    case RangeAnswer::kPart:
      head.Append("HTTP/1.1 206 Partial Content\r\n");
      status = 206;
      length = last - first + 1;
      break;
    case RangeAnswer::kUnsatisfiable:
      head.Append("HTTP/1.1 416 Range Not Satisfiable\r\n");
      status = 416;
      length = 0;
      break;
  }
  if (range != RangeAnswer::kUnsatisfiable) {
    head.Append("Content-Type: ");
    head.Append(type.substr(0, 200));
    head.Append("\r\n");
  }
  head.Append("Content-Length: ");
  AppendNumber(head, length);
  head.Append("\r\n");
  if (range == RangeAnswer::kPart) {
    head.Append("Content-Range: bytes ");
    AppendNumber(head, first);
    head.Append('-');
    AppendNumber(head, last);
    head.Append('/');
    AppendNumber(head, size);
    head.Append("\r\n");
  } else if (range == RangeAnswer::kUnsatisfiable) {
    head.Append("Content-Range: bytes */");
    AppendNumber(head, size);
    head.Append("\r\n");
  }
  head.Append("Date: ");
  head.Append(date);
  if (have_modified) {
    head.Append("\r\nLast-Modified: ");
    head.Append(last_modified);
  }
  head.Append("\r\nAccept-Ranges: bytes\r\nConnection: ");
  head.Append(request.ConnectionToken());
  head.Append("\r\n\r\n");
  const int64_t head_length = head.Length();
  if (head_only || length == 0) {
    SendAnswer(request, status, head, head_length);
    return;
  }
  // A large body follows its head straight from the page cache; a small
  // one goes out with the head in one send.
  if (length > HTTPRequest::kBufferSize) {
    const int64_t head_sent = request.SendAll(head.Text(), head_length, true);
    if (head_sent <= 0) return;
    request.NoteResponse(status, 0);
    if (head_sent != head_length) return;
    request.NoteResponse(status, request.SendFile(std::move(owned), first, length));
    return;
  }
  char buffer[HTTPRequest::kBufferSize];
  // The open file may serve other requests: its position is left alone.
  const int64_t got = file.ReadAt(buffer, length, first);
  if (got < 0) return;
  head.Append(buffer, static_cast<int32_t>(got));
  SendAnswer(request, status, head, head_length);
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
  for (auto& front : fronts_) front->Join();
  if (monitor_.joinable()) monitor_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

void HTTPServer::HandOver(std::unique_ptr<HTTPConnection> connection) {
  {
    std::lock_guard<std::mutex> lock(handed_mutex_);
    handed_.push_back(std::move(connection));
  }
  handed_ready_.notify_one();
}

void HTTPServer::CloseHandOver() {
  {
    std::lock_guard<std::mutex> lock(handed_mutex_);
    if (--fronts_handing_ > 0) return;
    handover_closed_ = true;
  }
  handed_ready_.notify_all();
}

std::unique_ptr<HTTPConnection> HTTPServer::TakeHandedOver() {
  std::unique_lock<std::mutex> lock(handed_mutex_);
  // A stopping server still runs what was handed over (Stop has the runs
  // end at once): the clients hear how their requests ended.
  handed_ready_.wait(lock, [this] { return !handed_.empty() || handover_closed_; });
  if (handed_.empty()) return nullptr;
  std::unique_ptr<HTTPConnection> connection = std::move(handed_.front());
  handed_.pop_front();
  return connection;
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
  IgnoreBrokenPipes();
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
  IgnoreBrokenPipes();
  ConfigureExtensionsOnce();
  auto fail = [&](const char* what) {
    error->Assign("Cannot listen for connections (");
    error->Append(what);
    error->Append("): ");
    error->Append(SystemErrorText(errno));
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
    return ListenResult::kFailed;
  };
  const int32_t port = config_.Port();
  if (port < 0 || port > 65535) {
    error->Assign("Port ");
    error->Append(std::to_string(port));
    error->Append(" is not a valid port number");
    return ListenResult::kFailed;
  }
  struct sockaddr_storage address {};
  socklen_t address_length = 0;
  if (!BindAddress(bind_address_, static_cast<uint16_t>(port), &address, &address_length)) {
    error->Assign("'");
    error->Append(bind_address_);
    error->Append("' is not an IPv4 or IPv6 address");
    return ListenResult::kFailed;
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return fail("socket");
  const int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.ss_family == AF_INET6) {
    // "::" takes IPv4 clients as well, whatever the system's default.
    const int off = 0;
    setsockopt(listen_fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  if (bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&address), address_length) != 0) {
    if (errno == EADDRINUSE || errno == EACCES || errno == EPERM) {
      close(listen_fd_);
      listen_fd_ = -1;
      return ListenResult::kPortInUse;
    }
    return fail("bind");
  }
  socklen_t length = sizeof address;
  getsockname(listen_fd_, reinterpret_cast<struct sockaddr*>(&address), &length);
  bound_port_ = address.ss_family == AF_INET6
                    ? ntohs(reinterpret_cast<struct sockaddr_in6*>(&address)->sin6_port)
                    : ntohs(reinterpret_cast<struct sockaddr_in*>(&address)->sin_port);
  if (listen(listen_fd_, kListenBacklog) != 0) return fail("listen");
  bool log_opened;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    log_opened = access_log_opened_;
  }
  if (!log_opened) OpenAccessLog(nullptr);

  stopping_.store(false, std::memory_order_release);
  finishing_.store(false, std::memory_order_release);
  // Static files are answered on the loops: one a processor lets them
  // use the machine as a multi-process server would.
  const int processors = static_cast<int>(std::thread::hardware_concurrency());
  const int front_count = processors < 1 ? 1 : processors > kMaxFronts ? kMaxFronts : processors;
  fronts_.clear();
  routers_.clear();
  for (int i = 0; i < front_count; ++i) {
    routers_.push_back(std::make_unique<HTTPListenerThread>(this, -1));
    routers_.back()->hand_over_programs_ = true;
    fronts_.push_back(std::make_unique<HTTPFront>(this, routers_.back().get()));
    if (!fronts_.back()->Open(error)) {
      fronts_.clear();
      routers_.clear();
      close(listen_fd_);
      listen_fd_ = -1;
      return ListenResult::kFailed;
    }
  }
  int count;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    count = config_.GetInteger(kConfigWorkers);
  }
  if (count < 1) count = 1;
  if (count > kMaxWorkers) count = kMaxWorkers;
  workers_.clear();
  handover_closed_ = false;
  fronts_handing_ = front_count;
  for (int i = 0; i < count; ++i) {
    workers_.push_back(std::make_unique<HTTPListenerThread>(this, i));
  }
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    workers_running_ = count + front_count;  // the loops count as well
  }
  for (auto& worker : workers_) worker->Start();
  for (auto& front : fronts_) front->Start();
  StartMonitor();
  return ListenResult::kListening;
}

bool HTTPServer::Stop() { return Shutdown(false); }

bool HTTPServer::Finish() { return Shutdown(true); }

void HTTPServer::StopRuns() {
  for (RunSlot& slot : runs_) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.run != nullptr) slot.run->Stop();
  }
}

bool HTTPServer::Shutdown(bool let_runs_finish) {
  if (listen_fd_ < 0 || stopping_.exchange(true)) return true;
  finishing_.store(let_runs_finish, std::memory_order_release);
  // New connections are refused from here on; the front closes the idle
  // ones and the workers end once nothing is left to run.
  shutdown(listen_fd_, SHUT_RDWR);
  for (auto& front : fronts_) front->Wake();
  if (!let_runs_finish) StopRuns();
  std::unique_lock<std::mutex> lock(state_mutex_);
  // Runs left to finish still need their ticks: their time-outs hold.
  if (!let_runs_finish) monitor_stop_ = true;
  state_changed_.notify_all();
  bool ended = state_changed_.wait_for(lock, std::chrono::seconds(10),
                                       [this] { return workers_running_ == 0; });
  monitor_stop_ = true;
  state_changed_.notify_all();
  lock.unlock();
  if (!ended && let_runs_finish) {
    // Past the time allowed they go as Stop's do: a stopped run ends at
    // its next instruction or wait.
    StopRuns();
    lock.lock();
    state_changed_.wait_for(lock, std::chrono::seconds(1),
                            [this] { return workers_running_ == 0; });
    lock.unlock();
  }
  if (ended) {
    for (auto& worker : workers_) worker->Join();
    for (auto& front : fronts_) front->Join();
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
  for (auto& router : routers_) router->RequestReload();
  OpenAccessLog(warnings);
  return ok;
}

void HTTPServer::OpenAccessLog(std::vector<std::string>* warnings) {
  std::string setting, directory;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    access_log_opened_ = true;
    if (const String* text = config_.GetText(kConfigAccessLog)) setting = text->View();
    if (const String* text = config_.GetText(kConfigDirData)) directory = text->View();
  }
  std::string warning;
  if (!access_log_.Open(setting, directory, &warning) && warnings != nullptr) {
    warnings->push_back(std::move(warning));
  }
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
