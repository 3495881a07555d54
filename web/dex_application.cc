#include "web/dex_application.h"

#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "core/base/stream.h"
#include "core/context/entities.h"
#include "core/context/output.h"
#include "core/context/run_random.h"
#include "core/context/system_variables.h"
#include "core/program/function_manager.h"
#include "core/program/program_file.h"
#include "core/program/segment_manager.h"
#include "core/program/tagged_file.h"
#include "core/vm/loaded_program.h"
#include "core/vm/lumo_vm.h"
#include "expr/localized_languages.h"
#include "ext/extension_libraries.h"
#include "values/system_variable_hash.h"
#include "values/variable.h"
#include "values/variable_hash.h"
#include "web/multipart_form_parser.h"
#include "web/http_output.h"
#include "web/access_log.h"
#include "web/http_request.h"
#include "web/http_server.h"
#include "web/program_images.h"
#include "web/source_pages.h"
#include "web/unknown_content_handler.h"
#include "web/url_encoded_parser.h"

namespace lumo {

namespace {

// The system's random bytes, drawn a page at a time: one RAND_bytes call
// per request cost more than the rest of the caller id. Each thread keeps
// its own page, so no two runs ever see the same bytes.
bool PooledRandomBytes(unsigned char* out, int count) {
  constexpr int kPool = 4096;
  thread_local unsigned char pool[kPool];
  thread_local int left = 0;
  if (count <= 0) return true;
  if (count > kPool) return RAND_bytes(out, count) == 1;
  if (left < count) {
    if (RAND_bytes(pool, kPool) != 1) return false;
    left = kPool;
  }
  unsigned char* from = pool + (kPool - left);
  memcpy(out, from, static_cast<size_t>(count));
  // Spent bytes are wiped: nothing left in memory predicts an id.
  memset(from, 0, static_cast<size_t>(count));
  left -= count;
  return true;
}


constexpr int32_t kPostPiece = 8192;

// A run that held more than this at its peak has its freed memory handed
// back to the system afterwards: otherwise each worker's heap keeps the
// largest run it ever served.
constexpr int64_t kTrimAfterPeak = int64_t{32} << 20;

// Asked several times a run: one system call a thread, not one a use.
uint32_t ThreadId() {
  static thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

uint32_t ProcessId() {
  static const uint32_t id = static_cast<uint32_t>(getpid());
  return id;
}

// The value of the cookie `name` in a Cookie header: pairs are split at
// ';' and at ',' (repeated Cookie headers arrive joined with it), blanks
// around them dropped, and the name must match exactly, so "xname=" is
// another cookie. The first pair of that name counts; false when none.
bool CookieValue(const String* cookie, std::string_view name, std::string_view* value) {
  if (cookie == nullptr) return false;
  std::string_view rest = cookie->View();
  while (!rest.empty()) {
    const size_t end = rest.find_first_of(";,");
    std::string_view pair = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    pair = TrimBlanks(pair);
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos || pair.substr(0, equals) != name) continue;
    *value = pair.substr(equals + 1);
    return true;
  }
  return false;
}

// A caller id as this server issues them: 32 lower-case hexadecimal
// digits. Anything else a client sends is replaced, so no text of its
// choosing reaches the Set-Cookie header or the program.
bool IsCallerId(std::string_view id) {
  if (id.size() != 32) return false;
  for (const char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// "%" and two hexadecimal digits give that byte, "+" a space; anything
// else, a lone "%" included, is copied.
String URLDecode(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  String out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.Append(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else if (c == '+') {
      out.Append(' ');
    } else {
      out.Append(c);
    }
  }
  return out;
}

// The peer's host name by reverse lookup, read the first time a program
// asks: most pages never do, and the lookup can take a while.
class RemoteHostVariable : public ImmutableVariable {
 public:
  explicit RemoteHostVariable(int socket) : ImmutableVariable("remote_host"), socket_(socket) {}

  const String& Value() override {
    Resolve();
    return Variable::Value();
  }
  int32_t Value_Integer() override {
    Resolve();
    return Variable::Value_Integer();
  }
  double Value_Double() override {
    Resolve();
    return Variable::Value_Double();
  }
  double Value_Double_Flagged(bool* not_a_number) override {
    Resolve();
    return Variable::Value_Double_Flagged(not_a_number);
  }
  bool Value_Boolean() override {
    Resolve();
    return Variable::Value_Boolean();
  }
  bool IsEmpty() override {
    Resolve();
    return Variable::IsEmpty();
  }
  void Append_Text(String& out) override {
    Resolve();
    Variable::Append_Text(out);
  }

 private:
  void Resolve() {
    if (resolved_) return;
    resolved_ = true;
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    if (getpeername(socket_, reinterpret_cast<struct sockaddr*>(&address), &length) != 0) return;
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<struct sockaddr*>(&address), length, host, sizeof host,
                    nullptr, 0, NI_NAMEREQD) != 0 &&
        getnameinfo(reinterpret_cast<struct sockaddr*>(&address), length, host, sizeof host,
                    nullptr, 0, NI_NUMERICHOST) != 0) {
      return;
    }
    Variable::SetValue(host, static_cast<int32_t>(strlen(host)));
  }

  int socket_;
  bool resolved_ = false;
};

}  // namespace

DexApplication::DexApplication(HTTPListenerThread* worker, HTTPRequest* request,
                               const String& path, const PosixFileManager::FileIdentity* identity)
    : worker_(worker),
      identity_(identity),
      request_(request),
      budget_(worker->Configuration()->GetInteger(kConfigMaxRunMemory)),
      path_(path),
      config_(nullptr, nullptr),
      files_(StopFlag()) {
  // The worker's copy is this thread's alone: its values can be shared.
  config_.ShareFrom(*worker->Configuration());
  form_limits_ = FormLimits(config_.GetInteger(kConfigMaxPostVars));
  form_limits_.max_form_bytes = std::max(config_.GetInteger(kConfigMaxPostFormLength), 0);
  form_limits_.max_upload = std::max(config_.GetInteger(kConfigMaxUploadLength), 0);
  form_limits_.max_upload_total = std::max(config_.GetInteger(kConfigMaxUploadTotalLength), 0);
  const int32_t chunk = config_.GetInteger(kConfigBufszOutput);
  const int32_t threshold = config_.GetInteger(kConfigBufszOutputFlush);
  response_ = std::make_unique<DexOutput>(this, request->Socket());
  response_->SetRequest(request);
  response_->SetBufferSizes(chunk, threshold);
  // A browser that stops reading holds the worker no longer for a program's
  // response than for a static file.
  response_->SetSendWait(worker->Server()->IOTimeout());
  response_->SetConfiguration(&config_);
  response_->SetHeadersOnly(request->Method().View() == std::string_view("HEAD"));
  output_ = response_.get();
}

DexApplication::~DexApplication() {
  // The machine refers to the program's parts: it goes first.
  vm_.reset();
  program_.reset();
  extensions_.reset();
}

Output* DexApplication::OutputStream() { return output_; }

Output* DexApplication::ReplaceOutput(Output* output) {
  Output* previous = output_;
  output_ = output != nullptr ? output : response_.get();
  return previous;
}

void DexApplication::Write(const char* bytes, int32_t length) {
  if (!headers_set_up_) SetUpDefaultHeaders();
  LumoApplication::Write(bytes, length);
}

void DexApplication::WriteCompressed(const char* bytes, int32_t length) {
  if (!headers_set_up_) SetUpDefaultHeaders();
  LumoApplication::WriteCompressed(bytes, length);
}

bool DexApplication::ConfigurationError(std::string_view message) {
  String page("Configuration Error: ");
  page.Append(message);
  page.Append("<br>");
  const String* admin = config_.GetText(kConfigInfoServeradmin);
  if (admin != nullptr && !admin->IsEmpty()) {
    page.Append("Please contact the server administrator: ");
    page.Append(*admin);
  }
  Write(page);
  return false;
}

// --- The run -----------------------------------------------------------------

RequestOutcome DexApplication::Run() {
  const MemoryBudgetScope budget(&budget_);
  bool out_of_memory = false;
  RequestOutcome outcome = RequestOutcome::kProgramNotRun;
  try {
    SeedRunRandom(static_cast<uint32_t>(time(nullptr)) ^ ThreadId());
    const bool ready = LoadProgram() && PublishVariables();
    if (ready) {
      outcome = RequestOutcome::kProgramStopped;
      SetUpDefaultHeaders();
      if (ReadPostBody()) {
        BeginExecution();
        // 1 is the machine's word for an end the program chose.
        if (vm_->Run() == 1) outcome = RequestOutcome::kProgramEnded;
      }
    }
  } catch (const std::bad_alloc&) {
    // Loading, publishing or reading the body ran out (the machine ends
    // its own run with its own message).
    out_of_memory = true;
  }
  if (out_of_memory || (vm_ != nullptr && vm_->StoppedForMemory() && !vm_->MemoryErrorReported())) {
    ReportOutOfMemory();
    outcome = RequestOutcome::kProgramStopped;
  }
  if (output_ != response_.get()) output_ = response_.get();
  response_->Send(true);
  response_->EndChunked();
  request_->NoteResponse(StatusCodeOf(response_->StatusText()), response_->BodySent());
  request_->SetKeepAlive(response_->KeepsConnection());
  return outcome;
}

void DexApplication::ReportOutOfMemory() {
  budget_.MarkExhausted();
  DisarmPostTimeout();
  // The machine first (its captures put the response back), then the
  // program's parts it ran over.
  vm_.reset();
  system_ = nullptr;
  globals_ = nullptr;
  program_.reset();
  output_ = response_.get();
  Write("Out of memory");
}

bool DexApplication::LoadProgram() {
  const String* root = config_.GetText(kConfigDirLumo);
  if (root == nullptr) return ConfigurationError("lumoroot is not defined");
  files_.CopyDirectoriesFrom(*worker_->Files());
  if (files_.ScriptDirectory().IsEmpty() && !files_.SetScriptDirectory(root->View())) {
    return ConfigurationError(files_.ErrorText().View());
  }

  extensions_ = std::make_unique<ExtensionRun>(worker_->Server()->Extensions());
  if (!LoadScriptConfiguration()) return false;

  program_ = std::make_unique<LoadedProgram>();
  // Sized small: loading replaces both tables with the program's own.
  auto system = std::make_unique<SystemVariableHash>(program_->GetDictionary(), 4, 16);
  auto globals = std::make_unique<VariableHash>(program_->GetDictionary(), 4, 16);
  system_ = system.get();
  globals_ = globals.get();
  program_->SetScopes(std::move(system), std::move(globals));
  const ProgramParts parts = program_->Parts();

  String encoded_path = EncodeEntities(path_.Text(), path_.Length());
  TaggedFile file;
  if (IsSourcePage(path_.View())) {
    std::string image;
    std::string messages;
    if (!SourcePages::Shared().Program(files_, path_.View(), &extensions_->Calls(), &image,
                                       &messages)) {
      // The messages quote the page's source: encoded like any other text.
      String message("Unable to compile '");
      message.Append(encoded_path);
      message.Append("':\n<pre>");
      message.Append(EncodeEntities(messages.data(), static_cast<int32_t>(messages.size())));
      message.Append("</pre>");
      Write(message);
      return false;
    }
    file.Attach(path_.View(), new MemoryStream(image));
  } else {
    // Most requests run a program they ran before: its image is kept, and
    // only checked against the file.
    String full;
    std::shared_ptr<const std::string> image;
    if (files_.Resolve(kScriptLocation, path_.View(), &full)) {
      image = ProgramImages::Shared().Image(files_, full, identity_);
    }
    const bool attached = image && file.Attach(path_.View(), new MemoryStream(*image));
    if (!attached) {
      String message("Unable to execute '");
      message.Append(encoded_path);
      message.Append("': ");
      message.Append(image ? file.ErrorText() : files_.ErrorText());
      Write(message);
      return false;
    }
  }
  String error;
  if (!lumo::LoadProgram(file, parts, &error)) {
    String message("Unable to execute '");
    message.Append(encoded_path);
    message.Append(
        "': File does not exist, is corrupt, is not a valid Lumo Script file, or cannot be "
        "opened due to permission problems");
    Write(message);
    return false;
  }

  const String* data = config_.GetText(kConfigDirData);
  if (data == nullptr) return ConfigurationError("No data directory is defined");
  if (files_.DataDirectory().IsEmpty() && !files_.SetDataDirectory(data->View())) {
    return ConfigurationError(files_.ErrorText().View());
  }
  const String* temporary = config_.GetText(kConfigDirTemp);
  if (temporary != nullptr && !temporary->IsEmpty() && files_.TemporaryDirectory().IsEmpty() &&
      !files_.SetTemporaryDirectory(temporary->View())) {
    return ConfigurationError(files_.ErrorText().View());
  }
  ApplyConfiguration();
  const String* log_cookie = config_.GetText(kConfigLogCookie);
  if (log_cookie != nullptr && !log_cookie->IsEmpty()) ApplyLogCookie();

  InstallPresetVariables(config_, globals_, system_);
  vm_ = std::make_unique<LumoVM>(path_.View(), this, parts);
  extensions_->Attach(this, vm_.get());
  if (worker_->Server()->ExternalCalls() != nullptr) {
    vm_->SetExternalCalls(worker_->Server()->ExternalCalls());
  }
  return true;
}

bool DexApplication::LoadScriptConfiguration() {
  String full;
  if (!files_.Resolve(kScriptLocation, path_.View(), &full)) full = path_;
  std::string_view directory = full.View();
  const size_t slash = directory.rfind('/');
  directory = slash == std::string_view::npos ? std::string_view() : directory.substr(0, slash);
  String error;
  if (extensions_->LoadConfiguration(config_, full.View(), directory, &error)) return true;
  Write(error);
  return false;
}

void DexApplication::SetSystemText(std::string_view name, std::string_view value) {
  system_->SetVariable(name.data(), static_cast<int32_t>(name.size()), value.data(),
                       static_cast<int32_t>(value.size()));
}

void DexApplication::SetSystemInteger(std::string_view name, int32_t value) {
  // Find never adds an entry, and most programs do not declare these names:
  // SetVariable makes the entry when it is missing.
  Variable* v = system_->SetVariable(name.data(), static_cast<int32_t>(name.size()), "", 0);
  if (v != nullptr) v->SetValue_Integer(value);
}

bool DexApplication::PublishVariables() {
  HTTPServer* server = worker_->Server();
  // With port 0 configured the system chose the port: links back to the
  // server need the one actually bound.
  const int32_t port = server->BoundPort() > 0 ? server->BoundPort() : config_.Port();
  // Server variables.
  SetSystemText("server_name", server->HostName().View());
  SetSystemInteger("server_port", port);
  SetSystemText("server_protocol", "HTTP/1.0");
  String software(kServerSoftware);
  software.Append('/');
  software.Append(kLumoVersion);
  SetSystemText("server_software", software.View());
  SetSystemText("remote_addr", request_->PeerAddress().View());
  {
    // The table takes over the new variable's reference.
    system_->ReplaceVariable(new RemoteHostVariable(request_->Socket()));
  }
  SetSystemText("request_method", request_->Method().View());
  SetSystemText("query_string", request_->Query().View());
  const String* root = config_.GetText(kConfigDirLumo);
  SetSystemText("document_root", root != nullptr ? root->View() : std::string_view());
  String name;
  for (const HTTPHeader& header : request_->Headers()) {
    name.Assign("http_");
    name.Append(header.name);
    for (int32_t i = 5; i < name.Length(); ++i) {
      if (name.Data()[i] == '-') name.Data()[i] = '_';
    }
    SetSystemText(name.View(), header.value.View());
  }
  // Time variables: the moment the request started, then the live ones.
  struct timeval now;
  gettimeofday(&now, nullptr);
  InstallFixedTimeVariables(system_, now, config_.GetInteger(kConfigTimeoutGlobal));
  InstallDynamicVariables(this, system_);

  // Arguments: the path, then the query split at '+', each decoded.
  SetSystemText("arg1", path_.View());
  int32_t count = 1;
  if (request_->HasQuery()) {
    std::string_view query = request_->Query().View();
    for (;;) {
      const size_t plus = query.find('+');
      const String piece = URLDecode(query.substr(0, plus));
      ++count;
      name.Assign("arg");
      AppendInteger(name, count);
      SetSystemText(name.View(), piece.View());
      if (plus == std::string_view::npos) break;
      query.remove_prefix(plus + 1);
    }
  }
  SetSystemInteger("nargs", count);

  if (!request_->Query().IsEmpty()) {
    URLEncodedParser parser(globals_, 0, &form_limits_);
    if (!parser.Parse(request_->Query().Text(), request_->Query().Length()) || !parser.Finish()) {
      Write(parser.ErrorText());
      return false;
    }
  }
  SetSystemText("apitype", "Dex");
  String url("http://");
  url.Append(server->HostName());
  if (port != 80) {
    url.Append(':');
    AppendInteger(url, port);
  }
  url.Append(request_->Path());
  url.Append('?');
  SetSystemText("documenturl", url.View());
  return true;
}

void DexApplication::SetUpDefaultHeaders() {
  if (headers_set_up_) return;
  headers_set_up_ = true;
  response_->AddHeader("Content-Type", "text/html");
  if (config_.GetInteger(kConfigCookies) == 0) return;
  std::string_view sent;
  String id;
  if (CookieValue(request_->Header("Cookie"), "lmtcallerid", &sent) && IsCallerId(sent)) {
    id.Assign(sent.data(), static_cast<int32_t>(sent.size()));
  } else {
    GenerateCallerId(&id);
  }
  const time_t expires = time(nullptr) + 31536000;
  struct tm utc;
  gmtime_r(&expires, &utc);
  char expiry[64];
  const size_t expiry_length = strftime(expiry, sizeof expiry, "%a, %d-%b-%Y %H:%M:%S GMT", &utc);
  String cookie("lmtcallerid=");
  cookie.Append(id);
  cookie.Append("; expires=");
  cookie.Append(expiry, static_cast<int32_t>(expiry_length));
  cookie.Append("; path=/");
  response_->AddHeader("Set-Cookie", cookie.View());
  if (system_) SetSystemText("callerid", id.View());
}

String DexApplication::LockHostName() {
  const String* configured = config_.GetText(kConfigLockHostname);
  if (configured != nullptr && !configured->IsEmpty()) return *configured;
  const String& host = worker_->Server()->HostName();
  config_.SetText(kConfigLockHostname, host.View());
  return host;
}

bool DexApplication::GenerateCallerId(String* id) {
  // The seed: who and when (host, process, thread, time in 100 ns steps
  // since 1601), then random bytes.
  unsigned char seed[323] = {};
  size_t at = 0;
  const String host = LockHostName();
  const size_t host_length = host.Length() < 255 ? static_cast<size_t>(host.Length()) : 255;
  memcpy(seed, host.Text(), host_length);
  at = host_length;
  auto put32 = [&](uint32_t v) {
    seed[at++] = static_cast<unsigned char>(v >> 24);
    seed[at++] = static_cast<unsigned char>(v >> 16);
    seed[at++] = static_cast<unsigned char>(v >> 8);
    seed[at++] = static_cast<unsigned char>(v);
  };
  struct timeval now;
  gettimeofday(&now, nullptr);
  const uint64_t file_time = (static_cast<uint64_t>(now.tv_sec) + 11644473600ULL) * 10000000ULL +
                             static_cast<uint64_t>(now.tv_usec) * 10ULL;
  put32(ProcessId());
  put32(ThreadId());
  put32(static_cast<uint32_t>(file_time >> 32));
  put32(static_cast<uint32_t>(file_time));
  const int rest = static_cast<int>(sizeof seed - at);
  if (!PooledRandomBytes(seed + at, rest)) {
    for (size_t i = at; i < sizeof seed; ++i) seed[i] = static_cast<unsigned char>(RunRandom() & 0xFF);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  // Fetched once: looking the algorithm up by name on every request cost
  // more than the digest itself.
  static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
  const EVP_MD* md5 = fetched != nullptr ? fetched : EVP_md5();
  // One digest context per thread, reused: making and freeing one for
  // every request cost more than the digest too.
  struct DigestContext {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~DigestContext() { EVP_MD_CTX_free(context); }
  };
  static thread_local DigestContext digest_context;
  EVP_MD_CTX* context = digest_context.context;
  if (context == nullptr || EVP_DigestInit_ex2(context, md5, nullptr) != 1 ||
      EVP_DigestUpdate(context, seed, sizeof seed) != 1 ||
      EVP_DigestFinal_ex(context, digest, &digest_length) != 1) {
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  id->Clear();
  for (unsigned int i = 0; i < digest_length; ++i) {
    id->Append(kHex[digest[i] >> 4]);
    id->Append(kHex[digest[i] & 15]);
  }
  return true;
}

void DexApplication::ApplyLogCookie() {
  const String* wanted = config_.GetText(kConfigLogCookie);
  std::string_view sent;
  const bool match = CookieValue(request_->Header("Cookie"), "lumologcookie", &sent) &&
                     sent == wanted->View();
  SetLoggingOff(!match);
}

bool DexApplication::ReadPostBody() {
  const String* length_header = request_->Header("Content-Length");
  const String* type = request_->Header("Content-Type");
  if (length_header == nullptr || type == nullptr) return true;
  // The head was checked: one plain decimal number.
  const int64_t length = request_->ContentLength();
  std::unique_ptr<HTTPContentParser> parser;
  const bool url_encoded =
      type->Length() >= 33 && CompareNoCase(type->Text(), "application/x-www-form-urlencoded", 33) == 0;
  if (url_encoded ||
      (type->Length() >= 19 && CompareNoCase(type->Text(), "multipart/form-data", 19) == 0)) {
    // A URL-encoded body is held whole as names and values: one larger than
    // the form limit is refused before it is read.
    if (url_encoded && form_limits_.max_form_bytes > 0 && length > form_limits_.max_form_bytes) {
      Write(kPostFormTooLong);
      return false;
    }
    if (url_encoded) {
      parser = std::make_unique<URLEncodedParser>(globals_, 0, &form_limits_);
    } else {
      parser = std::make_unique<MultipartFormParser>(vm_.get(), &files_, globals_, type->View(), 0,
                                                     &form_limits_);
    }
  } else {
    const int32_t maximum = config_.GetInteger(kConfigMaxUnknownContentLength);
    if (maximum < 0) {
      Write("Unknown POST content type");
      return false;
    }
    if (maximum > 0 && maximum < length) {
      Write("POST content length exceeds configured maximum for unknown content types");
      return false;
    }
    parser = std::make_unique<UnknownContentHandler>(system_, length);
  }
  // Asked for only now that the body is wanted: a body refused above is
  // never invited.
  if (!request_->AnswerExpectContinue()) return false;
  // The POST time-out bounds the whole body, every part of it, upload
  // hooks included; it is checked while waiting for data as well.
  ArmPostTimeout();
  const int32_t seconds = PostTimeout();
  const auto deadline = seconds > 0 ? std::chrono::steady_clock::now() + std::chrono::seconds(seconds)
                                    : std::chrono::steady_clock::time_point();
  char piece[kPostPiece];
  int64_t remaining = length;
  while (remaining > 0) {
    const int32_t want = remaining < kPostPiece ? static_cast<int32_t>(remaining) : kPostPiece;
    int32_t got = 0;
    const HTTPRequest::BodyRead read = request_->ReceiveBody(piece, want, &got, deadline, StopFlag());
    const bool expired = deadline != std::chrono::steady_clock::time_point() &&
                         std::chrono::steady_clock::now() >= deadline;
    if (read == HTTPRequest::BodyRead::kTimedOut || expired ||
        PostTimeoutFlag()->load(std::memory_order_relaxed) != 0) {
      Write("Timeout processing POST data");
      return false;
    }
    // A body cut short is not the body the client meant: the program never
    // sees it as if it were whole.
    if (read == HTTPRequest::BodyRead::kEnd) {
      Write("Incomplete POST data");
      return false;
    }
    if (read == HTTPRequest::BodyRead::kStopped) return false;
    remaining -= got;
    if (!parser->Parse(piece, got)) {
      Write(parser->ErrorText());
      return false;
    }
  }
  if (!parser->Finish()) {
    Write(parser->ErrorText());
    return false;
  }
  DisarmPostTimeout();
  return true;
}

// --- Waking and stopping --------------------------------------------------------

void DexApplication::Tick() {
  LumoApplication::Tick();
  if (IsStopped()) {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    woken_ = true;
    wake_.notify_all();
  }
}

void DexApplication::Wait(int32_t milliseconds) {
  std::unique_lock<std::mutex> lock(wake_mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds),
                 [this] { return woken_; });
}

void DexApplication::Stop() {
  LumoApplication::Stop();
  std::lock_guard<std::mutex> lock(wake_mutex_);
  woken_ = true;
  wake_.notify_all();
}

void DexApplication::BeginExecution() {
  // One deadline for the whole run: upload hooks start it, the program
  // keeps it, and a run stopped meanwhile stays stopped.
  if (execution_begun_) return;
  execution_begun_ = true;
  const bool stopped = IsStopped();
  LumoApplication::BeginExecution();
  if (stopped) {
    LumoApplication::Stop();
    return;
  }
  std::lock_guard<std::mutex> lock(wake_mutex_);
  woken_ = false;
}

// --- The debug log -----------------------------------------------------------------

void DexApplication::LogEvent(uint32_t mask, const LogField* fields) {
  if (log_file_failed_) return;
  if (!log_file_) {
    const String* name = config_.GetText(kConfigLogFile);
    if (name == nullptr || name->IsEmpty()) {
      log_file_failed_ = true;
      return;
    }
    log_file_ = files_.Open(kDataLocation, name->View(), kOpenWrite | kOpenAppend | kOpenUnpooled);
    if (!log_file_) {
      log_file_failed_ = true;
      return;
    }
  }
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char head[128];
  const int head_length = snprintf(head, sizeof head, "%.3s %-2d %-4d %02d:%02d:%02d.%06ld\t%u.%u\t",
                                   kMonths[local.tm_mon % 12], local.tm_mday, local.tm_year + 1900,
                                   local.tm_hour, local.tm_min, local.tm_sec,
                                   static_cast<long>(now.tv_usec), static_cast<unsigned>(ProcessId()),
                                   ThreadId());
  String line(head, head_length);
  line.Append(EventName(mask));
  for (const LogField* f = fields; f != nullptr && f->kind != LogField::kEnd; ++f) {
    line.Append('\t');
    std::string_view text;
    String number;
    switch (f->kind) {
      case LogField::kText:
        text = std::string_view(f->text, static_cast<size_t>(f->length < 0 ? 0 : f->length));
        break;
      case LogField::kInteger:
        AppendInteger(number, f->integer);
        text = number.View();
        break;
      case LogField::kDouble:
        AppendDouble(number, f->number);
        text = number.View();
        break;
      case LogField::kVariable:
        // Arrays and structures have no text of their own; the one-level
        // description shows what they hold, escaped already.
        if (f->variable != nullptr) f->variable->Describe(number);
        line.Append(number);
        continue;
      default:
        break;
    }
    for (const char c : text) {
      if (static_cast<unsigned char>(c) < 32) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
        line.Append(escaped);
      } else {
        line.Append(c);
      }
    }
  }
  line.Append("\r\n");
  // Runs on other workers append to the same file: a lock on a byte far
  // beyond any log's end keeps their lines whole.
  constexpr int64_t kLockByte = int64_t{1} << 62;
  if (log_file_->Lock(kLockByte, 1, true)) {
    log_file_->Seek(0, SEEK_END);
    log_file_->Write(line.Text(), line.Length());
    log_file_->Release(kLockByte, 1);
  }
}

// --- Serving a program -----------------------------------------------------------

RequestOutcome ServeProgram(HTTPListenerThread& worker, HTTPRequest& request,
                            const String& path, const PosixFileManager::FileIdentity* identity) {
  // On the worker's stack: the context is tens of kilobytes (its own
  // configuration table among them), and a heap block that size made the
  // allocator sort all its small free blocks on every request.
  bool trim = false;
  RequestOutcome outcome;
  {
    DexApplication context(&worker, &request, path, identity);
    HTTPServer* server = worker.Server();
    server->BeginRun(worker.Index(), &context);
    // Out of the monitor's reach once the run is over, however it ended;
    // the context's destructor then frees the run's variables without
    // holding the lock.
    struct EndRun {
      HTTPServer* server;
      int worker;
      const DexApplication& context;
      bool* trim;
      ~EndRun() {
        server->EndRun(worker);
        *trim = context.MemoryPeak() > kTrimAfterPeak;
      }
    } const end{server, worker.Index(), context, &trim};
    outcome = context.Run();
  }
  if (trim) malloc_trim(0);
  return outcome;
}

}  // namespace lumo
