// Helpers for the server tests: a raw socket client that sends exactly the
// bytes given (in pieces, with pauses) while it reads, curl run as a
// browser would be, requests and the server's pages as text, and small
// programs in assembly. Every wait is bounded, so a server that never
// answers fails a test instead of hanging it.
#ifndef LUMO_TESTS_WEB_SERVER_HARNESS_H_
#define LUMO_TESTS_WEB_SERVER_HARNESS_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

using Clock = std::chrono::steady_clock;

// A connected socket, or -1; receive_buffer > 0 shrinks the receive
// window so that a client that does not read stalls the sender soon.
inline int ConnectTo(int port, int receive_buffer = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receive_buffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

struct Reply {
  std::string raw;
  bool closed = false;  // the server ended the connection before the deadline
  std::string status;   // the first line
  std::string head;     // the header lines, each ending in CRLF
  std::string body;

  // The value of the first header of that name (any case); "<none>" when
  // there is none.
  std::string Header(std::string_view name) const {
    size_t at = 0;
    while (at < head.size()) {
      const size_t end = head.find("\r\n", at);
      const std::string_view line = std::string_view(head).substr(at, end - at);
      const size_t colon = line.find(':');
      if (colon == name.size() && strncasecmp(line.data(), name.data(), colon) == 0) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        return std::string(value);
      }
      at = end == std::string::npos ? head.size() : end + 2;
    }
    return "<none>";
  }
};

inline Reply ParseReply(std::string raw, bool closed) {
  Reply r;
  r.raw = std::move(raw);
  r.closed = closed;
  const size_t line_end = r.raw.find("\r\n");
  const size_t head_end = r.raw.find("\r\n\r\n");
  if (line_end == std::string::npos || head_end == std::string::npos) return r;
  r.status = r.raw.substr(0, line_end);
  r.head = r.raw.substr(line_end + 2, head_end + 2 - (line_end + 2));
  r.body = r.raw.substr(head_end + 4);
  return r;
}

// Sends the pieces in order (pausing between them) while reading whatever
// comes back, until the server closes or wait_ms has passed. A refused
// send (the server stopped reading and closed) ends the sending only.
inline Reply Talk(int port, const std::vector<std::string>& pieces, int pause_ms = 0,
                  int wait_ms = 5000) {
  const int fd = ConnectTo(port);
  if (fd < 0) return {};
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  auto next_send = Clock::now();
  size_t piece = 0, offset = 0;
  bool sending = true, closed = false;
  std::string raw;
  char buffer[65536];
  for (;;) {
    while (piece < pieces.size() && offset == pieces[piece].size()) {
      ++piece;
      offset = 0;
      if (piece < pieces.size()) next_send = Clock::now() + std::chrono::milliseconds(pause_ms);
    }
    const auto now = Clock::now();
    if (now >= deadline) break;
    const bool may_send = sending && piece < pieces.size();
    const bool send_now = may_send && now >= next_send;
    auto until = deadline;
    if (may_send && !send_now && next_send < until) until = next_send;
    const int timeout =
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) +
        1;
    pollfd p = {fd, static_cast<short>(POLLIN | (send_now ? POLLOUT : 0)), 0};
    if (poll(&p, 1, timeout) < 0 && errno != EINTR) break;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        raw.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closed = true;
        break;
      }
    }
    if (send_now && (p.revents & POLLOUT)) {
      const ssize_t n = send(fd, pieces[piece].data() + offset, pieces[piece].size() - offset,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        offset += static_cast<size_t>(n);
      } else if (errno != EAGAIN && errno != EINTR) {
        sending = false;
      }
    }
  }
  close(fd);
  return ParseReply(std::move(raw), closed);
}

inline Reply Talk(int port, const std::string& request) {
  return Talk(port, std::vector<std::string>{request});
}

// Waits until the server closes fd; false when it stays open past wait_ms
// or sends anything.
inline bool ClosedWithoutAnswer(int fd, int wait_ms) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, wait_ms) <= 0) return false;
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

inline bool HaveCurl() {
  static const bool have = std::system("curl --version >/dev/null 2>&1") == 0;
  return have;
}

// curl's whole output (-i: head and body) for these arguments.
inline Reply Curl(const std::string& arguments) {
  const std::string command =
      "curl -s -i --max-time 5 --noproxy '*' -H 'Expect:' " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string raw;
  char buffer[8192];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) raw.append(buffer, n);
  pclose(pipe);
  return ParseReply(std::move(raw), true);
}

// Assembly pushing the concatenation of what the push lines push.
inline std::string Cat(std::initializer_list<std::string> pushes) {
  std::string out;
  bool first = true;
  for (const std::string& push : pushes) {
    out += push + "\n";
    if (!first) out += "cat\n";
    first = false;
  }
  return out;
}

// Writes the text (a line break in it is escaped for the assembler).
inline std::string Print(std::string_view text) {
  std::string quoted;
  for (char c : text) quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
  return "pushc \"" + quoted + "\"\nout\n";
}
// Hidden form fields for the comma-separated names.
inline std::string Hide(std::string_view names) {
  return "pushc \"" + std::string(names) + "\"\nhide\n";
}

// Writes `text` `times` times.
inline std::string Repeat(std::string_view text, int times) {
  return ".global i\nstoregi i, 0\nloop: cmpgi i, " + std::to_string(times) +
         "\njmp_ge done\n" + Print(text) + "incg i, 1\njmp loop\ndone: exit\n";
}

inline std::string Times(const std::string& text, int n) {
  std::string out;
  while (n-- > 0) out += text;
  return out;
}

// The hidden fields hide wrote, name to (entity-encoded) value.
inline std::map<std::string, std::string> Fields(const std::string& body) {
  std::map<std::string, std::string> fields;
  const std::string open = "<input type=\"hidden\" name=\"";
  for (size_t at = body.find(open); at != std::string::npos; at = body.find(open, at)) {
    at += open.size();
    const size_t name_end = body.find('"', at);
    const size_t value = body.find("value=\"", name_end) + 7;
    const size_t value_end = body.find("\">", value);
    fields[body.substr(at, name_end - at)] = body.substr(value, value_end - value);
    at = value_end;
  }
  return fields;
}

// The server's own error page: status, title and text.
inline std::string Page(const std::string& code, const std::string& title,
                        const std::string& text) {
  const std::string page =
      "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n<HTML>\r\n<HEAD><TITLE>" + code +
      " " + title + "</TITLE></HEAD>\r\n<BODY>\r\n<H1>" + title + "</H1>\r\n" + text +
      "\r\n</BODY>\r\n</HTML>";
  return "HTTP/1.1 " + code + " " + title +
         "\r\nServer: Lumo Dex/Lumo Virtual Machine\r\nContent-Type: text/html\r\n"
         "Content-Length: " + std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
}
inline std::string Page404(const std::string& shown) {
  return Page("404", "Not Found", "The file '" + shown + "' was not found on this server");
}
inline std::string Page400(const std::string& detail) {
  return Page("400", "Bad Request", "Your browser sent an invalid HTTP request: " + detail);
}

inline std::string Get(std::string_view uri, std::string_view headers = "") {
  return "GET " + std::string(uri) + " HTTP/1.0\r\n" + std::string(headers) + "\r\n";
}

// The body's own length unless another is claimed.
inline std::string Post(std::string_view uri, std::string_view type, std::string_view body,
                        std::string_view claimed_length = {}) {
  const std::string length =
      claimed_length.empty() ? std::to_string(body.size()) : std::string(claimed_length);
  return "POST " + std::string(uri) + " HTTP/1.0\r\nContent-Type: " + std::string(type) +
         "\r\nContent-Length: " + length + "\r\n\r\n" + std::string(body);
}

}  // namespace lumo

#endif  // LUMO_TESTS_WEB_SERVER_HARNESS_H_
