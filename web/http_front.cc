#include "web/http_front.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "config/config.h"
#include "core/base/system_error.h"
#include "web/http_server.h"

namespace lumo {

namespace {

// What a client may still send after an answer that closes the
// connection before its request was read whole: enough for the answer to
// reach a client still sending, never an open-ended sink.
constexpr int kLingerMs = 2000;
constexpr int64_t kLingerBytes = 1 << 20;
// A pause in accepting while the process is out of descriptors.
constexpr int kAcceptPauseMs = 10;
// Connections taken per readiness of the listening socket, so that a
// burst of new ones cannot starve those already open.
constexpr int kAcceptBatch = 64;

}  // namespace

HTTPFront::HTTPFront(HTTPServer* server, HTTPListenerThread* router)
    : server_(server), router_(router) {}

HTTPFront::~HTTPFront() {
  Join();
  connections_.clear();
  returned_.clear();
  if (epoll_ >= 0) close(epoll_);
  if (wake_ >= 0) close(wake_);
}

bool HTTPFront::Open(String* error) {
  auto fail = [&](const char* what) {
    error->Assign("Cannot listen for connections (");
    error->Append(what);
    error->Append("): ");
    error->Append(SystemErrorText(errno));
    return false;
  };
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) return fail("epoll");
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) return fail("eventfd");
  struct epoll_event event {};
  event.events = EPOLLIN;
  event.data.fd = wake_;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) return fail("epoll");
  // Each new connection wakes one of the loops, not all of them.
  event.events = EPOLLIN | EPOLLEXCLUSIVE;
  event.data.fd = server_->ListeningSocket();
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, event.data.fd, &event) != 0) return fail("epoll");
  listening_ = true;
  return true;
}

void HTTPFront::Start() {
  thread_ = std::thread([this] { Main(); });
}

void HTTPFront::Join() {
  if (thread_.joinable()) thread_.join();
}

void HTTPFront::Wake() {
  const uint64_t one = 1;
  // A full counter already wakes the loop.
  [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
}

void HTTPFront::GiveBack(std::unique_ptr<HTTPConnection> connection) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(returned_mutex_);
    if (!ended_) {
      // One wake-up takes all that are waiting.
      wake = returned_.empty();
      returned_.push_back(std::move(connection));
    }
  }
  // Past the front's end it is closed here, as the lock is let go.
  if (wake) Wake();
}

void HTTPFront::Main() {
  constexpr int kEvents = 256;
  struct epoll_event events[kEvents];
  for (;;) {
    if (router_->reload_.load(std::memory_order_acquire)) router_->Reload();
    if (server_->Stopping()) {
      if (!handover_closed_) {
        handover_closed_ = true;
        server_->CloseHandOver();
      }
      if (listening_) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, server_->ListeningSocket(), nullptr);
        listening_ = false;
      }
      // Idle connections and heads not yet whole go at once; answers under
      // way finish when the server is let finish.
      const bool finishing = server_->Finishing();
      for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->second->state == HTTPConnection::State::kHead || !finishing) {
          it = connections_.erase(it);
        } else {
          ++it;
        }
      }
      ready_.clear();
      if (connections_.empty() && with_workers_ == 0) break;
    } else if (!listening_ && Clock::now() >= accept_paused_until_) {
      struct epoll_event event {};
      event.events = EPOLLIN | EPOLLEXCLUSIVE;
      event.data.fd = server_->ListeningSocket();
      listening_ = epoll_ctl(epoll_, EPOLL_CTL_ADD, event.data.fd, &event) == 0;
    }
    const Clock::time_point now = Clock::now();
    if (now >= next_check_) {
      next_check_ = now + std::chrono::seconds(1);
      router_->CheckOpenStatic();
    }
    int timeout = Expire();
    if (timeout > 1000) timeout = 1000;
    if (!ready_.empty()) timeout = 0;
    const int n = epoll_wait(epoll_, events, kEvents, timeout);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      try {
        if (fd == wake_) {
          uint64_t count;
          [[maybe_unused]] const ssize_t got = read(wake_, &count, sizeof count);
          TakeBackReturned();
          continue;
        }
        if (fd == server_->ListeningSocket()) {
          if (listening_) Accept();
          continue;
        }
        auto it = connections_.find(fd);
        if (it == connections_.end()) continue;
        HTTPConnection& connection = *it->second;
        const uint32_t ready = events[i].events;
        constexpr uint32_t kTrouble = EPOLLERR | EPOLLHUP;
        switch (connection.state) {
          case HTTPConnection::State::kHead:
            if (ready & (EPOLLIN | EPOLLRDHUP | kTrouble)) ReadHead(fd, connection);
            break;
          case HTTPConnection::State::kSending:
            // Input meanwhile is looked for once the answer is out.
            if (ready & (EPOLLIN | EPOLLRDHUP)) connection.missed_input = true;
            if (ready & (EPOLLOUT | kTrouble)) Send(fd, connection);
            break;
          case HTTPConnection::State::kLinger:
            DrainLinger(fd, connection);
            break;
          case HTTPConnection::State::kWorker:
            break;
        }
      } catch (const std::bad_alloc&) {
        // Memory ran out for this connection: it goes, the others stay.
        if (fd != wake_ && fd != server_->ListeningSocket()) Close(fd);
      }
    }
    // Requests that came in the same packets as the ones just answered.
    std::vector<int> ready;
    ready.swap(ready_);
    for (const int fd : ready) {
      auto it = connections_.find(fd);
      if (it == connections_.end() || it->second->state != HTTPConnection::State::kHead) continue;
      try {
        ReadHead(fd, *it->second);
      } catch (const std::bad_alloc&) {
        Close(fd);
      }
    }
  }
  std::vector<std::unique_ptr<HTTPConnection>> left;
  {
    std::lock_guard<std::mutex> lock(returned_mutex_);
    ended_ = true;
    left.swap(returned_);
  }
  server_->WorkerEnded();
}

void HTTPFront::Accept() {
  const int listener = server_->ListeningSocket();
  const Clock::time_point now = Clock::now();
  for (int i = 0; i < kAcceptBatch; ++i) {
    struct sockaddr_storage peer {};
    socklen_t peer_length = sizeof peer;
    const int socket = accept4(listener, reinterpret_cast<struct sockaddr*>(&peer), &peer_length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: the pending connection waits until answers
        // under way have closed some, rather than waking the loop forever.
        epoll_ctl(epoll_, EPOLL_CTL_DEL, listener, nullptr);
        listening_ = false;
        accept_paused_until_ = now + std::chrono::milliseconds(kAcceptPauseMs);
      }
      return;
    }
    // Answers go out whole in one send each; waiting for the client's
    // acknowledgement would delay the next pipelined answer.
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto connection = std::make_unique<HTTPConnection>();
    connection->front = this;
    connection->peer = peer;
    connection->request = std::make_unique<HTTPRequest>(socket);
    connection->request->SetIOTimeout(server_->IOTimeout());
    connection->request->SetPeer(peer);
    // One deadline for the whole head, however slowly it comes.
    connection->deadline = now + std::chrono::milliseconds(server_->IOTimeout());
    if (connection->deadline < next_expiry_) next_expiry_ = connection->deadline;
    connections_[socket] = std::move(connection);
    // Edge-triggered, for the connection's whole life: no call to change
    // what is watched as it goes from reading to sending to a worker and
    // back. Whatever state sees an event acts on it; input that came
    // while nobody was reading is looked for when reading starts again.
    struct epoll_event event {};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.fd = socket;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) != 0) connections_.erase(socket);
  }
}

void HTTPFront::Close(int socket) {
  // Closing the socket takes it out of the event set.
  connections_.erase(socket);
}

void HTTPFront::SetDeadline(HTTPConnection& connection, int milliseconds) {
  connection.deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  if (connection.deadline < next_expiry_) next_expiry_ = connection.deadline;
}

void HTTPFront::ReadHead(int socket, HTTPConnection& connection) {
  HTTPRequest& request = *connection.request;
  const bool started = request.HeadStarted();
  HTTPRequest::ReadResult result;
  if (!request.ReadAvailable(&result)) {
    // A kept connection waited with the idle time-out; its next head has
    // the head deadline from its first byte.
    if (!started && request.HeadStarted() && connection.served > 0) {
      SetDeadline(connection, server_->IOTimeout());
    }
    return;
  }
  if (result == HTTPRequest::ReadResult::kNothing) {
    Close(socket);
    return;
  }
  connection.read = result;
  connection.arrived = time(nullptr);
  Dispatch(socket, connection);
}

void HTTPFront::Dispatch(int socket, HTTPConnection& connection) {
  HTTPRequest& request = *connection.request;
  DexConfig& config = *router_->Configuration();
  const int32_t most = config.GetInteger(kConfigKeepAliveMax);
  const bool keep = request.ClientKeepsAlive() && connection.served + 1 < most &&
                    !connection.late && !server_->Stopping();
  if (connection.read != HTTPRequest::ReadResult::kOk) {
    request.HoldSends(true);
    router_->AnswerRefused(request, connection.read);
  } else {
    // Answered here, a request's body is never read: its connection
    // cannot carry another request.
    request.SetKeepAlive(keep && request.ContentLength() == 0);
    request.HoldSends(true);
    if (router_->Handle(request) == RequestOutcome::kHandedOver) {
      // The workers are ending: the request goes unanswered, as one that
      // came a moment later would.
      if (handover_closed_) {
        Close(socket);
        return;
      }
      request.HoldSends(false);
      request.SetKeepAlive(keep);
      connection.program = std::move(router_->handed_over_);
      connection.identified = router_->handed_identified_;
      connection.identity = router_->handed_identity_;
      connection.state = HTTPConnection::State::kWorker;
      auto it = connections_.find(socket);
      std::unique_ptr<HTTPConnection> handed = std::move(it->second);
      connections_.erase(it);
      ++with_workers_;
      server_->HandOver(std::move(handed));
      return;
    }
  }
  connection.state = HTTPConnection::State::kSending;
  Send(socket, connection);
}

void HTTPFront::Send(int socket, HTTPConnection& connection) {
  HTTPRequest& request = *connection.request;
  switch (request.SendHeld()) {
    case HTTPRequest::HeldSend::kDone:
      Answered(socket, connection);
      return;
    case HTTPRequest::HeldSend::kBlocked:
      // The client has a whole I/O time-out to make room, every time.
      SetDeadline(connection, server_->IOTimeout());
      connection.missed_input = true;
      return;
    case HTTPRequest::HeldSend::kFailed:
      request.AbandonHeld();
      Log(connection);
      Close(socket);
      return;
  }
}

void HTTPFront::Answered(int socket, HTTPConnection& connection) {
  HTTPRequest& request = *connection.request;
  Log(connection);
  ++connection.served;
  if (connection.read != HTTPRequest::ReadResult::kOk || request.UnreadBody() > 0) {
    Linger(socket, connection);
    return;
  }
  if (!request.KeepAlive() || server_->Stopping()) {
    Close(socket);
    return;
  }
  NextRequest(socket, connection);
}

void HTTPFront::NextRequest(int socket, HTTPConnection& connection) {
  HTTPRequest& previous = *connection.request;
  auto next = std::make_unique<HTTPRequest>(previous.ReleaseSocket());
  next->SetIOTimeout(server_->IOTimeout());
  next->SetPeer(connection.peer);
  const std::string_view leftover = previous.Leftover();
  next->Prime(leftover, previous.MayHaveMore());
  // Input that came while the answer waited or a worker had the
  // connection raised its event then, and a receive that filled the
  // buffer may have left more: look for it now.
  const bool pending = !leftover.empty() || connection.missed_input || previous.MayHaveMore();
  connection.missed_input = false;
  connection.request = std::move(next);
  connection.state = HTTPConnection::State::kHead;
  connection.read = HTTPRequest::ReadResult::kOk;
  connection.program = String();
  if (pending) ready_.push_back(socket);
  if (!leftover.empty()) {
    SetDeadline(connection, server_->IOTimeout());
  } else {
    const int32_t idle = router_->Configuration()->GetInteger(kConfigKeepAliveTimeout);
    SetDeadline(connection, idle > 0 ? idle * 1000 : 0);
  }
}

void HTTPFront::Linger(int socket, HTTPConnection& connection) {
  shutdown(socket, SHUT_WR);
  connection.state = HTTPConnection::State::kLinger;
  connection.lingered = 0;
  SetDeadline(connection, kLingerMs);
  // What the client sent before is dropped here as well.
  DrainLinger(socket, connection);
}

void HTTPFront::DrainLinger(int socket, HTTPConnection& connection) {
  char sink[16384];
  for (;;) {
    const ssize_t n = recv(socket, sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0) {
      connection.lingered += n;
      if (connection.lingered > kLingerBytes) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    break;
  }
  Close(socket);
}

void HTTPFront::TakeBackReturned() {
  std::vector<std::unique_ptr<HTTPConnection>> returned;
  {
    std::lock_guard<std::mutex> lock(returned_mutex_);
    returned.swap(returned_);
  }
  for (std::unique_ptr<HTTPConnection>& connection : returned) {
    --with_workers_;
    const int socket = connection->request->Socket();
    HTTPConnection& held = *connection;
    held.missed_input = true;
    connections_[socket] = std::move(connection);
    Answered(socket, held);
  }
}

int HTTPFront::Expire() {
  const Clock::time_point now = Clock::now();
  if (now < next_expiry_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_expiry_ - now);
    return static_cast<int>(left.count() < 1000 ? left.count() + 1 : 1000);
  }
  next_expiry_ = now + std::chrono::seconds(1);
  std::vector<int> late;
  for (auto it = connections_.begin(); it != connections_.end();) {
    HTTPConnection& connection = *it->second;
    if (connection.deadline <= now) {
      // A head begun is answered as it stands, as at the end of input (a
      // request line without its line end still names a page).
      if (connection.state == HTTPConnection::State::kHead && connection.request->HeadStarted() &&
          !connection.late) {
        late.push_back(it->first);
        ++it;
        continue;
      }
      // An answer cut short still shows in the log, with what went out.
      if (connection.state == HTTPConnection::State::kSending) {
        connection.request->AbandonHeld();
        Log(connection);
      }
      it = connections_.erase(it);
      continue;
    }
    if (connection.deadline < next_expiry_) next_expiry_ = connection.deadline;
    ++it;
  }
  for (const int socket : late) {
    HTTPConnection& connection = *connections_[socket];
    connection.late = true;
    connection.read = connection.request->EndHead();
    if (connection.read == HTTPRequest::ReadResult::kNothing) {
      Close(socket);
      continue;
    }
    connection.arrived = time(nullptr);
    Dispatch(socket, connection);
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_expiry_ - now);
  return static_cast<int>(left.count() + 1);
}

void HTTPFront::Log(HTTPConnection& connection) {
  router_->LogAccess(*connection.request, connection.arrived);
}

}  // namespace lumo
