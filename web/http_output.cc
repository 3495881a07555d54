#include "web/http_output.h"
#include "web/socket_send.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

#include "config/config.h"
#include "core/base/conversions.h"
#include "core/context/lumo_application.h"
#include "web/http_request.h"
#include "web/static_files.h"

namespace lumo {

namespace {

// A retry delay beyond this is a misconfiguration, not a wish to hold a
// worker for minutes per chunk.
constexpr int32_t kMaxFileDelay = 1000000;

bool NameIs(std::string_view name, std::string_view wanted) {
  return name.size() == wanted.size() &&
         CompareNoCase(name.data(), wanted.data(), static_cast<int32_t>(name.size())) == 0;
}

// A header value that is one plain decimal number, blanks around it.
bool ParseDecimal(std::string_view text, int64_t* value) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size() && *value >= 0;
}

// A byte that would end the header line or the header block (or cut it
// short for readers of C strings) must never come from a script's data.
bool FitsHeaderLine(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

HTTPOutput::HTTPOutput(int32_t chunk_size, int32_t flush_threshold) {
  SetBufferSizes(chunk_size, flush_threshold);
}

HTTPOutput::~HTTPOutput() = default;

void HTTPOutput::SetBufferSizes(int32_t chunk_size, int32_t flush_threshold) {
  chunk_size_ = chunk_size >= kMinChunkSize && chunk_size <= kMaxChunkSize ? chunk_size
                                                                           : kDefaultChunkSize;
  flush_threshold_ = flush_threshold >= 1 && flush_threshold <= kMaxFlushThreshold
                         ? flush_threshold
                         : kDefaultFlushThreshold;
}

void HTTPOutput::SetConfiguration(Config* config) {
  config_ = config;
  file_delay_ = -1;
}

bool HTTPOutput::AddHeader(std::string_view name, std::string_view value) {
  if (headers_sent_ || name.empty() || !FitsHeaderLine(name) || !FitsHeaderLine(value)) {
    return false;
  }
  PutHeader(name, value);
  return true;
}

void HTTPOutput::PutHeader(std::string_view name, std::string_view value) {
  delete headers_.Remove(name);
  headers_.Insert(new Header{String(name), String(value)});
}

const String* HTTPOutput::FindHeader(std::string_view name) const {
  const Header* header = headers_.Find(name);
  return header != nullptr ? &header->value : nullptr;
}

void HTTPOutput::AppendHeaderLines(String* out) const {
  for (int32_t i = 0; i < headers_.SlotsUsed(); ++i) {
    const Header* header = headers_.At(i);
    if (header == nullptr) continue;
    out->Append(header->name);
    out->Append(": ", 2);
    out->Append(header->value);
    out->Append("\r\n", 2);
  }
}

void HTTPOutput::AddContentLength() {
  if (headers_.Find("Content-Length") != nullptr) return;
  char digits[24];
  snprintf(digits, sizeof digits, "%" PRId64, total_length_);
  PutHeader("Content-Length", digits);
}

int64_t HTTPOutput::HeldLength() const {
  int64_t held = 0;
  for (const Chunk& chunk : chunks_) held += chunk.fill;
  return held;
}

int32_t HTTPOutput::Write(const char* data, int32_t length) {
  if (length <= 0) return 0;
  total_length_ += length;
  since_send_ += length;
  for (int32_t done = 0; done < length;) {
    if (chunks_.empty() || chunks_.back().fill == chunks_.back().capacity) {
      chunks_.push_back(
          {std::make_unique_for_overwrite<char[]>(static_cast<size_t>(chunk_size_)), chunk_size_, 0});
    }
    Chunk& chunk = chunks_.back();
    const int32_t room = chunk.capacity - chunk.fill;
    const int32_t piece = length - done < room ? length - done : room;
    memcpy(chunk.data.get() + chunk.fill, data + done, static_cast<size_t>(piece));
    chunk.fill += piece;
    done += piece;
  }
  NoteWritten(data, length);
  if (since_send_ >= flush_threshold_) Send(false);
  return length;
}

bool HTTPOutput::BodyFitsWithHead() const {
  if (!sending_whole_ || headers_only_) return false;
  const int64_t held = HeldLength();
  return held > 0 && held <= kBodyWithHead;
}

void HTTPOutput::AppendHeld(String* out) const {
  for (const Chunk& chunk : chunks_) out->Append(chunk.data.get(), chunk.fill);
}

void HTTPOutput::DropHeld(int64_t sent) {
  body_sent_ += sent;
  for (Chunk& chunk : chunks_) chunk.fill = 0;
}

int32_t HTTPOutput::Send(bool final) {
  bool failed = false;
  const int64_t before = body_sent_;
  if (!headers_sent_) {
    headers_sent_ = true;
    if (final) AddContentLength();
    sending_whole_ = final;
    chunked_ = !final && !headers_only_ && StreamsChunked();
    failed = SendHeaders() < 0;
    sending_whole_ = false;
  }
  int64_t sent = 0;  // by the chunks below
  const int64_t held = HeldLength();
  const bool framed = chunked_ && held > 0 && !failed && !headers_only_ && !chunks_ended_;
  if (framed) {
    char size[24];
    const int n = snprintf(size, sizeof size, "%" PRIx64 "\r\n", held);
    failed = !SendFraming(size, n);
  }
  for (const Chunk& chunk : chunks_) {
    if (failed || headers_only_ || chunks_ended_) break;
    // A chunk cut short leaves the body broken: sending the chunks after
    // it would only hold the worker for another wait per chunk.
    if (chunk.fill > 0 && !SendChunk(chunk, &sent, &failed)) break;
  }
  if (framed && !failed) failed = !SendFraming("\r\n", 2);
  if (!chunks_.empty()) {
    chunks_.resize(1);
    chunks_.front().fill = 0;
  }
  since_send_ = 0;
  if (failed) return -1;
  const int64_t body = body_sent_ - before;
  return body > INT32_MAX ? INT32_MAX : static_cast<int32_t>(body);
}

bool HTTPOutput::SendFraming(const char* text, int32_t length) {
  int32_t done = 0;
  while (done < length) {
    const int32_t n = SendRaw(text + done, length - done);
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

bool HTTPOutput::EndChunked() {
  if (!chunked_ || chunks_ended_) return true;
  chunks_ended_ = true;
  return SendFraming("0\r\n\r\n", 5);
}

bool HTTPOutput::SendChunk(const Chunk& chunk, int64_t* sent, bool* failed) {
  const int32_t length = chunk.fill;
  int32_t done = SendRaw(chunk.data.get(), length);
  if (done > length) done = length;
  if (done > 0) body_sent_ += done;
  while (done >= 0 && done < length) {
    std::this_thread::sleep_for(std::chrono::microseconds(FileDelay()));
    const int32_t n = SendRaw(chunk.data.get() + done, length - done);
    if (n <= 0) {
      if (n < 0) done = -1;
      break;
    }
    const int32_t taken = n < length - done ? n : length - done;
    body_sent_ += taken;
    done += taken;
  }
  if (done < 0) {
    *failed = true;
    return false;
  }
  *sent += done;
  return done == length;
}

int32_t HTTPOutput::FileDelay() {
  if (file_delay_ < 0) {
    const int32_t configured = config_ != nullptr ? config_->GetInteger(kConfigDelayFile) : -1;
    file_delay_ = configured < 0 ? kDefaultFileDelay
                  : configured > kMaxFileDelay ? kMaxFileDelay
                                               : configured;
  }
  return file_delay_;
}

DexOutput::DexOutput(LumoApplication* context, int socket)
    : HTTPOutput(kDefaultChunkSize, kDefaultFlushThreshold), context_(context), socket_(socket) {}

bool DexOutput::AddHeader(std::string_view name, std::string_view value) {
  // How the body is framed is the server's to say.
  if (NameIs(name, "Transfer-Encoding")) return false;
  if (NameIs(name, "Connection")) {
    // Whether the connection stays is the server's to say; a program may
    // only ask for it to close.
    if (HeadersSent() || !NameIs(value, "close")) return false;
    close_asked_ = true;
    return true;
  }
  if (NameIs(name, "Status") && !HeadersSent()) {
    if (value.empty() || !FitsHeaderLine(value)) return false;
    status_.Assign(value.data(), static_cast<int32_t>(value.size()));
    return true;
  }
  return HTTPOutput::AddHeader(name, value);
}

std::string_view DexOutput::StatusText() const {
  return status_.IsEmpty() ? std::string_view("200 OK") : status_.View();
}

int32_t DexOutput::SendHeaders() {
  String block;
  block.Append("HTTP/1.1 ");
  block.Append(StatusText());
  // Kept only when the whole body is in hand and matches its length: a
  // program's own Content-Length that its body does not match would leave
  // the client reading the next answer as this one's body, or waiting.
  const String* length = FindHeader("Content-Length");
  int64_t declared = -1;
  const bool framed = Chunked() || (SendingWhole() && length != nullptr &&
                                    ParseDecimal(length->View(), &declared) &&
                                    declared == TotalLength());
  keeping_ = request_ != nullptr && request_->KeepAlive() && request_->UnreadBody() == 0 &&
             !close_asked_ && framed;
  block.Append(keeping_ ? "\r\nConnection: keep-alive\r\n" : "\r\nConnection: close\r\n");
  if (Chunked()) block.Append("Transfer-Encoding: chunked\r\n");
  // An origin server dates its answers, and caches reckon a response's age
  // from it; a program that set its own Date keeps that one.
  if (FindHeader("Date") == nullptr) {
    block.Append("Date: ");
    block.Append(CurrentHTTPDate());
    block.Append("\r\n", 2);
  }
  AppendHeaderLines(&block);
  block.Append("\r\n", 2);
  const int32_t head_length = block.Length();
  const bool with_body = BodyFitsWithHead();
  if (with_body) AppendHeld(&block);
  more_ = !with_body && HeldLength() > 0 && !HeadersOnly();
  const int32_t sent = SendRaw(block.Data(), block.Length());
  more_ = false;
  if (with_body) {
    DropHeld(sent > head_length ? sent - head_length : 0);
    // Cut short, the body is broken: nothing more goes after it.
    if (sent >= 0 && sent < block.Length()) return -1;
  }
  return sent;
}

// The run's rule for a client that takes nothing: wait in slices, so that
// a stop raised by another thread (the run's time-out, the server
// stopping) is seen within one, for at most one send wait, and never past
// one send wait after the run was stopped.
class DexOutput::RunWait : public SocketWait {
 public:
  explicit RunWait(DexOutput& output) : output_(output) {}

  bool WaitForRoom(int socket, bool) override {
    using std::chrono::steady_clock;
    constexpr int kSliceMs = 100;
    DexOutput& o = output_;
    const auto wait = std::chrono::milliseconds(o.send_wait_ms_ > 0 ? o.send_wait_ms_ : 0);
    const steady_clock::time_point limit = steady_clock::now() + wait;
    for (;;) {
      const steady_clock::time_point now = steady_clock::now();
      if (o.context_ != nullptr && o.context_->IsStopped() &&
          o.give_up_at_ == steady_clock::time_point()) {
        o.give_up_at_ = now + wait;
      }
      steady_clock::time_point until = limit;
      if (o.give_up_at_ != steady_clock::time_point() && o.give_up_at_ < until) {
        until = o.give_up_at_;
      }
      if (now >= until) return GiveUp();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
      pollfd entry{socket, POLLOUT, 0};
      const int ready = poll(&entry, 1, static_cast<int>(left < kSliceMs ? left + 1 : kSliceMs));
      // Ready includes an error or hang-up: the next send reports it.
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return GiveUp();
    }
  }
  void Failed() override {
    if (output_.context_ != nullptr) output_.context_->Stop();
    failed_ = true;
  }
  bool HasFailed() const { return failed_; }

 private:
  bool GiveUp() {
    output_.stalled_ = true;
    if (output_.context_ != nullptr) output_.context_->Stop();
    return false;
  }

  DexOutput& output_;
  bool failed_ = false;
};

int32_t DexOutput::SendRaw(const char* data, int32_t length) {
  if (length <= 0) return 0;
  if (stalled_) return -1;
  RunWait wait(*this);
  const int64_t sent = SendOnSocket(socket_, data, length, more_, wait);
  if (wait.HasFailed()) failed_ = true;
  return wait.HasFailed() ? -1 : static_cast<int32_t>(sent);
}

bool DexOutput::KeepsConnection() const {
  if (!keeping_ || failed_ || stalled_) return false;
  return HeadersOnly() || BodySent() == TotalLength();
}

bool DexOutput::StreamsChunked() const {
  // HTTP/1.1 clients read chunks; a program that named its own length
  // streams as it said.
  return request_ != nullptr && request_->KeepAlive() && !close_asked_ &&
         request_->UnreadBody() == 0 && request_->Protocol().View() == std::string_view("HTTP/1.1") &&
         FindHeader("Content-Length") == nullptr;
}

}  // namespace lumo
