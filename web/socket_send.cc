#include "web/socket_send.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "files/file_manager.h"

namespace lumo {

bool TimedSocketWait::WaitForRoom(int socket, bool progressed) {
  if (progressed) waited_ = false;
  if (waited_) return false;
  waited_ = true;
  pollfd entry{socket, POLLOUT, 0};
  for (;;) {
    const int ready = poll(&entry, 1, milliseconds_);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

namespace {

// One loop for both sources: `step` moves some bytes and returns how many,
// 0 when the source has ended, or -1 with errno.
template <typename Step>
int64_t SendLoop(int socket, int64_t length, SocketWait& wait, Step&& step) {
  int64_t sent = 0;
  bool progressed = true;
  while (sent < length) {
    const int64_t n = step(sent);
    if (n > 0) {
      sent += n;
      progressed = true;
      continue;
    }
    if (n == 0) return sent;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!wait.WaitForRoom(socket, progressed)) return sent;
      progressed = false;
      continue;
    }
    wait.Failed();
    return -1;
  }
  return sent;
}

}  // namespace

int64_t SendOnSocket(int socket, const char* data, int64_t length, bool more, SocketWait& wait) {
  // MSG_DONTWAIT: the caller's wait is the only one, even on a blocking
  // socket; MSG_NOSIGNAL: a peer that went away is an error, not a signal
  // that ends the server.
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
  return SendLoop(socket, length, wait, [&](int64_t sent) -> int64_t {
    const ssize_t n = send(socket, data + sent, static_cast<size_t>(length - sent), flags);
    // send never returns 0 for a non-empty buffer; keep 0 for "ended".
    return n == 0 ? (errno = EAGAIN, -1) : n;
  });
}

int64_t SendFileOnSocket(int socket, File& file, int64_t offset, int64_t length,
                         SocketWait& wait) {
  int64_t at = offset;
  return SendLoop(socket, length, wait, [&](int64_t sent) -> int64_t {
    return file.SendToSocket(socket, &at, length - sent);
  });
}

}  // namespace lumo
