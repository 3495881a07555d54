#include "tools/lumorun/request_run.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <thread>

#include "config/config.h"
#include "config/config_file.h"
#include "config/dex_config.h"
#include "core/base/string.h"
#include "core/base/system_error.h"
#include "files/posix_file_manager.h"
#include "web/http_server.h"

namespace lumo {

namespace {

// Sends everything, stopping quietly when the server has gone (it may
// answer before the body is in, a body it refuses).
bool SendAll(int socket, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

bool IsHeader(std::string_view line, std::string_view name) {
  return line.size() > name.size() && line[name.size()] == ':' &&
         strncasecmp(line.data(), name.data(), name.size()) == 0;
}

// The request head. HTTP/1.0, so that the response ends with the
// connection rather than in chunks.
std::string RequestHead(const RequestOptions& options, const RunPaths& paths, int64_t body_length) {
  std::string head(options.post_file != nullptr ? "POST /" : "GET /");
  head.append(paths.relative);
  if (options.has_query) head.append("?").append(options.query);
  head.append(" HTTP/1.0\r\n");
  bool has_host = false;
  for (const std::string& header : options.headers) has_host |= IsHeader(header, "Host");
  if (!has_host) head.append("Host: localhost\r\n");
  if (!options.cookie.empty()) head.append("Cookie: ").append(options.cookie).append("\r\n");
  for (const std::string& header : options.headers) head.append(header).append("\r\n");
  if (options.post_file != nullptr) {
    head.append("Content-Type: ").append(options.content_type).append("\r\n");
    head.append("Content-Length: ").append(std::to_string(body_length)).append("\r\n");
  }
  head.append("\r\n");
  return head;
}

// Copies the response to stdout: without `include` only what follows the
// blank line that ends the head.
void CopyResponse(int socket, bool include) {
  char buffer[1 << 16];
  bool in_head = !include;
  // The last bytes of the head seen so far, to find its end across reads.
  std::string tail;
  for (;;) {
    const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::string_view piece(buffer, static_cast<size_t>(got));
    if (in_head) {
      tail.append(piece);
      const size_t end = tail.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (tail.size() > 3) tail.erase(0, tail.size() - 3);
        continue;
      }
      in_head = false;
      piece = std::string_view(tail).substr(end + 4);
    }
    fwrite(piece.data(), 1, piece.size(), stdout);
  }
  fflush(stdout);
}

}  // namespace

int RunAsRequest(const RequestOptions& options, const char* config_flag, const RunPaths& paths,
                 int32_t timeout) {
  // The server takes the path as it comes, without decoding: a name the
  // request line cannot carry as it is cannot be requested at all.
  for (const unsigned char c : paths.relative) {
    if (c <= ' ' || c == '?' || c == '#' || c == 0x7f) {
      fprintf(stderr, "lumorun: '%s' cannot be named in a request (blank, '?' or '#')\n",
              paths.relative.c_str());
      return 2;
    }
  }
  if (options.query.find_first_of(" \r\n") != std::string::npos) {
    fprintf(stderr, "lumorun: --query wants the query encoded as in a URL (%%20 or + for a blank)\n");
    return 2;
  }
  for (const std::string* value : {&options.cookie, &options.content_type}) {
    if (value->find_first_of("\r\n") != std::string::npos) {
      fprintf(stderr, "lumorun: a header value may not hold a line break\n");
      return 2;
    }
  }
  for (const std::string& header : options.headers) {
    const size_t colon = header.find(':');
    if (colon == 0 || colon == std::string::npos ||
        header.find_first_of("\r\n") != std::string::npos) {
      fprintf(stderr, "lumorun: --header wants 'Name: value', not '%s'\n", header.c_str());
      return 2;
    }
  }
  // The body's file is opened before anything starts, so that a wrong
  // name is the user's message rather than an empty body.
  PosixFileManager files;
  std::unique_ptr<File> body;
  int64_t body_length = 0;
  if (options.post_file != nullptr) {
    char* resolved = realpath(options.post_file, nullptr);
    if (resolved == nullptr) {
      fprintf(stderr, "lumorun: --post-file '%s': %s\n", options.post_file,
              SystemErrorText(errno).Text());
      return 2;
    }
    const String full(resolved);
    free(resolved);
    body = files.OpenPath(full, kOpenRead);
    body_length = body != nullptr ? body->Length() : -1;
    if (body_length < 0) {
      fprintf(stderr, "lumorun: --post-file '%s': cannot be read\n", options.post_file);
      return 2;
    }
  }

  const std::string config_path = ConfigFilePath(config_flag);
  if (config_flag != nullptr && access(config_path.c_str(), F_OK) != 0) {
    fprintf(stderr, "lumorun: configuration file '%s': %s\n", config_path.c_str(),
            SystemErrorText(errno).Text());
    return 2;
  }
  HTTPServer server;
  std::vector<std::string> warnings;
  server.LoadConfiguration(config_path, &warnings);
  for (const std::string& w : warnings) fprintf(stderr, "lumorun: %s\n", w.c_str());
  server.OverrideText(kConfigDirLumo, paths.root);
  if (!paths.data.empty()) server.OverrideText(kConfigDirData, paths.data);
  DexConfig& config = server.Configuration();
  // A plain run only needs the data directory once a program asks for a
  // data file, a served one always: said here, with the way out, rather
  // than as a configuration error page.
  if (paths.data.empty()) {
    const String* data = config.GetText(kConfigDirData);
    if (data == nullptr || !files.SetDataDirectory(data->View())) {
      fprintf(stderr, "lumorun: %s (name one with --data)\n",
              data == nullptr ? "no data directory is configured" : files.ErrorText().Text());
      return 2;
    }
  }
  if (timeout >= 0) config.SetInteger(kConfigTimeoutGlobal, timeout);
  // The user named the page: it runs whatever the server would do with
  // sources it was not asked for.
  config.SetInteger(kConfigCompileSources, 1);
  // Time-outs land within a quarter second, as in a plain run.
  server.SetMonitorInterval(250);

  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    fprintf(stderr, "lumorun: socketpair: %s\n", SystemErrorText(errno).Text());
    return 2;
  }
  // The server's end behaves as an accepted connection does.
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  const int client = ends[1];

  const std::string head = RequestHead(options, paths, body_length);
  // Writing and reading run beside the server: either side may hold more
  // than a socket buffer.
  std::thread writer([&] {
    if (!SendAll(client, head.data(), head.size())) return;
    if (body != nullptr) {
      char buffer[1 << 16];
      int64_t left = body_length;
      while (left > 0) {
        const int64_t got = body->Read(buffer, left < int64_t{sizeof buffer} ? left : sizeof buffer);
        if (got <= 0 || !SendAll(client, buffer, static_cast<size_t>(got))) break;
        left -= got;
      }
    }
    shutdown(client, SHUT_WR);
  });
  std::thread reader([&] { CopyResponse(client, options.include); });
  const RequestOutcome outcome = server.ServeConnection(ends[0]);
  // The server closed its end: the reader sees the end of the response,
  // a writer still sending sees the connection gone.
  reader.join();
  writer.join();
  close(client);

  switch (outcome) {
    case RequestOutcome::kProgramEnded:
      return 0;
    case RequestOutcome::kProgramStopped:
      return 1;
    case RequestOutcome::kProgramNotRun:
      return 2;
    case RequestOutcome::kAnswered:
      fprintf(stderr, "lumorun: '%s' is not a program or a page\n", paths.relative.c_str());
      return 2;
    case RequestOutcome::kNoRequest:
    case RequestOutcome::kHandedOver:  // only the event loop hands over
      break;
  }
  fprintf(stderr, "lumorun: the request was refused\n");
  return 2;
}

}  // namespace lumo
