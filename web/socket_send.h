// Sending on a connection's socket: the one loop every response goes
// through, whether it comes from a buffer or straight from a file. The
// loop sends while the socket takes bytes and asks its caller's waiting
// rule (SocketWait) what to do when the socket is full, so the request
// reader's plain I/O time-out and a run's stop-aware waits share it.
#ifndef LUMO_WEB_SOCKET_SEND_H_
#define LUMO_WEB_SOCKET_SEND_H_

#include <cstdint>

namespace lumo {

class File;

// What to do when the peer takes nothing for a while.
class SocketWait {
 public:
  virtual ~SocketWait() = default;
  // The socket is full. `progressed` says whether bytes went out since the
  // last wait. True once the socket may take more (send again); false to
  // give up with what has been sent.
  virtual bool WaitForRoom(int socket, bool progressed) = 0;
  // A send failed for good (the peer went away).
  virtual void Failed() {}
};

// Waits up to a fixed time for room, and gives up when a whole wait
// passes with nothing sent.
class TimedSocketWait : public SocketWait {
 public:
  explicit TimedSocketWait(int milliseconds) : milliseconds_(milliseconds) {}
  bool WaitForRoom(int socket, bool progressed) override;

 private:
  int milliseconds_;
  bool waited_ = false;
};

// Bytes sent (all of `length` unless the wait gave up), or -1 when the
// socket failed. `more` tells the kernel more follows at once (MSG_MORE).
// Never raises SIGPIPE.
int64_t SendOnSocket(int socket, const char* data, int64_t length, bool more, SocketWait& wait);

// The same for `length` bytes of a file from `offset`, handed to the
// socket by the file itself (sendfile for files on disk). A file that
// ends early stops the send with what was sent. sendfile cannot be told
// not to raise SIGPIPE: the server ignores it before it serves.
int64_t SendFileOnSocket(int socket, File& file, int64_t offset, int64_t length,
                         SocketWait& wait);

}  // namespace lumo

#endif  // LUMO_WEB_SOCKET_SEND_H_
