// HTTPFront: one of the server's event loops (one a processor, sharing the
// listening socket). Its thread waits on all of its connections at once
// (epoll): it accepts, reads each request head against one deadline,
// answers static files and the server's own pages itself without ever
// waiting on a socket, and hands requests for programs, whole heads read,
// to the workers. A worker gives the connection back
// when the program's answer is done; kept-alive connections then wait for
// their next request here, costing no worker.
//
// Requests on one connection are answered one after another, so pipelined
// requests get their answers in order. A connection closes after an answer
// when the client or the program asks for it, when the answer's length
// was not known before it went out, when a request's body was not read
// whole or its head was refused (the framing is in doubt: what follows
// could be read as a request that was never meant), at the maximum of
// requests per connection, and when it stays idle past the keep-alive
// time-out.
#ifndef LUMO_WEB_HTTP_FRONT_H_
#define LUMO_WEB_HTTP_FRONT_H_

#include <sys/socket.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/base/string.h"
#include "files/posix_file_manager.h"
#include "web/http_request.h"

namespace lumo {

class HTTPFront;
class HTTPListenerThread;
class HTTPServer;

// One client connection between requests, or its current request.
struct HTTPConnection {
  enum class State {
    kHead,     // waiting for (the rest of) a request head
    kSending,  // an answer is going out
    kLinger,   // our side is shut; what the client still sends is dropped
    kWorker,   // a worker runs the program
  };

  std::unique_ptr<HTTPRequest> request;
  // The event loop that owns it, to which a worker gives it back.
  HTTPFront* front = nullptr;
  State state = State::kHead;
  // Steady-clock time at which the current state gives up.
  std::chrono::steady_clock::time_point deadline;
  // How the head read ended (kOk: a request was answered).
  HTTPRequest::ReadResult read = HTTPRequest::ReadResult::kOk;
  // The request's arrival, for the access log.
  time_t arrived = 0;
  // Requests answered on this connection so far.
  int served = 0;
  // The client's address, from accept.
  struct sockaddr_storage peer {};
  // Bytes dropped while lingering.
  int64_t lingered = 0;
  // The head ran out of time: answered as it stands, then closed.
  bool late = false;
  // For a worker: the program the request names, and its file's identity
  // when the router found it.
  String program;
  bool identified = false;
  PosixFileManager::FileIdentity identity;
  // Events came while no state read the socket (an answer waiting for
  // room, a worker): reading starts by looking for input.
  bool missed_input = false;
};

class HTTPFront {
 public:
  HTTPFront(HTTPServer* server, HTTPListenerThread* router);
  ~HTTPFront();
  HTTPFront(const HTTPFront&) = delete;
  HTTPFront& operator=(const HTTPFront&) = delete;

  // Sets up the event set; false with a message when the system refuses.
  bool Open(String* error);
  void Start();
  void Join();
  // Wakes the loop (a connection given back, the server stopping).
  void Wake();
  // A worker gives back a connection whose program has answered; the
  // front keeps it, lingers on it or closes it. After the front has
  // ended, the connection is closed here.
  void GiveBack(std::unique_ptr<HTTPConnection> connection);

 private:
  using Clock = std::chrono::steady_clock;

  void Main();
  void Accept();
  void Close(int socket);
  // Reads what arrived of a head, and answers or hands over the request
  // once it is whole.
  void ReadHead(int socket, HTTPConnection& connection);
  void Dispatch(int socket, HTTPConnection& connection);
  void Send(int socket, HTTPConnection& connection);
  // The answer is out: the next request, a linger, or the end.
  void Answered(int socket, HTTPConnection& connection);
  // A fresh request on the same socket, starting with what came after the
  // last one.
  void NextRequest(int socket, HTTPConnection& connection);
  void Linger(int socket, HTTPConnection& connection);
  void DrainLinger(int socket, HTTPConnection& connection);
  void SetDeadline(HTTPConnection& connection, int milliseconds);
  void TakeBackReturned();
  // Closes connections past their deadline; the time to the next one.
  int Expire();
  void Log(HTTPConnection& connection);

  HTTPServer* server_;
  HTTPListenerThread* router_;
  int epoll_ = -1;
  int wake_ = -1;  // an eventfd
  bool listening_ = false;
  Clock::time_point accept_paused_until_{};
  // No deadline falls before this; Expire looks at none until then.
  Clock::time_point next_expiry_{};
  // When the router's open static files are next checked.
  Clock::time_point next_check_{};
  // Connections holding the next request's bytes already read.
  std::vector<int> ready_;
  // Connections handed to workers and not yet given back: a stopping
  // front waits for them, so that each answer is logged and closed here.
  int with_workers_ = 0;
  bool handover_closed_ = false;
  std::unordered_map<int, std::unique_ptr<HTTPConnection>> connections_;
  std::thread thread_;

  std::mutex returned_mutex_;
  std::vector<std::unique_ptr<HTTPConnection>> returned_;
  bool ended_ = false;  // under returned_mutex_
};

}  // namespace lumo

#endif  // LUMO_WEB_HTTP_FRONT_H_
