#include "http/listener.h"

#include "core/log.h"
#include "http/limits.h"
#include "http/response.h"
#include "http/sockio.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace {

constexpr std::uint64_t kListenId = 0;
constexpr std::uint64_t kWakeId = 1;
constexpr int kEventsPerWait = 256;

// Errors after which the listener goes on accepting. Linux also reports
// network errors pending on the new connection through accept().
bool acceptRetryable(int err) {
  switch (err) {
    case EINTR: case EAGAIN: case ECONNABORTED: case EPROTO: case EPERM:
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH:
    case ENETUNREACH: case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// Resource exhaustion: accepting again at once would spin.
bool acceptNeedsRoom(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

// At most one line a second for errors that can repeat at wire speed.
bool allowLog(std::chrono::steady_clock::time_point& last) {
  const auto t = std::chrono::steady_clock::now();
  if (t - last < std::chrono::seconds(1)) return false;
  last = t;
  return true;
}

}  // namespace

Listener::Listener(int listenSocket, Limits limits, ConnectionPool& pool)
    : listenSocket_(listenSocket), limits_(limits), pool_(pool) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (!ok()) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeId;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
  ev.data.u64 = kListenId;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, listenSocket_, &ev) < 0) {
    ::close(epoll_);
    epoll_ = -1;
  }
}

Listener::~Listener() {
  while (!waiting_.empty()) drop(waiting_.begin()->first);
  if (epoll_ >= 0) ::close(epoll_);
  if (wake_ >= 0) ::close(wake_);
}

void Listener::wake() {
  stop_ = true;
  const std::uint64_t one = 1;
  if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the listener wakes anyway.
  }
}

int Listener::waitMs(Clock::time_point now) const {
  Clock::time_point next = now + std::chrono::seconds(1);
  if (!waiting_.empty()) next = std::min(next, waiting_.begin()->second.deadline);
  if (paused_) next = std::min(next, resumeAt_);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::clamp<long long>(ms + 1, 0, 1000));
}

void Listener::run() {
  epoll_event events[kEventsPerWait];
  while (!stop_) {
    const int n = ::epoll_wait(epoll_, events, kEventsPerWait, waitMs(Clock::now()));
    if (n < 0 && errno != EINTR) {
      log_error_format("HttpServer: epoll error: %d", errno);
      return;
    }
    for (int i = 0; i < n && !stop_; ++i) {
      const std::uint64_t id = events[i].data.u64;
      if (id == kWakeId) continue;
      if (id == kListenId) {
        if (!acceptSome()) return;
      } else {
        onReadable(id);
      }
    }
    const auto now = Clock::now();
    if (paused_ && now >= resumeAt_) {
      paused_ = false;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = kListenId;
      ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listenSocket_, &ev);
    }
    expire(now);
  }
}

void Listener::pauseAccepting(Clock::time_point until) {
  paused_ = true;
  resumeAt_ = until;
  epoll_event ev{};
  ev.events = 0;
  ev.data.u64 = kListenId;
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listenSocket_, &ev);
}

bool Listener::acceptSome() {
  for (int i = 0; i < http_limits::kAcceptBurst; ++i) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listenSocket_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return true;
      if (stop_) return true;
      if (!acceptRetryable(err)) {
        log_error_format("HttpServer: Socket accepting error: %d", err);
        return false;
      }
      // An outside supervisor polls this server: the listener must outlive
      // descriptor exhaustion and aborted handshakes.
      if (allowLog(lastErrorLog_)) log_error_format("HttpServer: Socket accepting error: %d", err);
      if (acceptNeedsRoom(err)) {
        // An idle connection gives way to the one waiting in the backlog;
        // with none to give way, wait a moment.
        if (evictOldestOf(heaviestWaitingPeer())) continue;
        pauseAccepting(Clock::now() + std::chrono::milliseconds(http_limits::kAcceptBackoffMs));
        return true;
      }
      continue;
    }
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    admit(fd, ip, static_cast<int>(ntohs(peer.sin_port)));
  }
  return true;
}

void Listener::admit(int fd, std::string peerip, int peerport) {
  const bool roomForPeer =
      pool_.openOf(peerip) < limits_.peerConnections || evictOldestOf(peerip);
  const bool roomInAll =
      roomForPeer && (pool_.openTotal() < limits_.openConnections || evictOldestOf(heaviestWaitingPeer()));
  if (!roomInAll) {
    ::close(fd);
    if (allowLog(lastRefusalLog_))
      log_warning_format("HttpServer: connection from %s refused: %s", peerip.c_str(),
                         roomForPeer ? "too many connections" : "too many connections from this peer");
    return;
  }
  const int sndbuf = http_limits::kSocketSendBuffer;
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) < 0)
    log_error_format("HttpServer: Socket setsockopt (SO_SNDBUF) error: %d", errno);
  // A response goes out in many small sends and the connection is closed
  // right after: corked, the kernel sends full segments, and close()
  // pushes the rest at once (no wait for the client's delayed ACK).
  const int cork = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);

  pool_.opened(peerip);
  // Most clients send their request with the handshake: then it goes to a
  // worker at once, without a turn through epoll.
  std::string header;
  switch (sock_readheader_step(fd, header, http_limits::kHeaderMax)) {
    case HeaderStep::kComplete:
      pool_.submit(HttpConnection{fd, std::move(peerip), peerport, std::move(header)});
      return;
    case HeaderStep::kNeedMore: break;
    case HeaderStep::kClosed:
    case HeaderStep::kError:
    case HeaderStep::kTooLong:
      ::close(fd);
      pool_.released(peerip);
      return;
  }
  const std::uint64_t id = nextId_++;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = id;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) < 0) {
    ::close(fd);
    pool_.released(peerip);
    return;
  }
  waitingByPeer_[peerip].insert(id);
  waiting_.emplace(id, Waiting{fd, std::move(peerip), peerport, std::move(header),
                               Clock::now() + std::chrono::seconds(limits_.timeoutSec)});
}

void Listener::onReadable(std::uint64_t id) {
  const auto it = waiting_.find(id);
  if (it == waiting_.end()) return;  // dropped earlier in this turn
  Waiting& w = it->second;
  switch (sock_readheader_step(w.socket, w.header, http_limits::kHeaderMax)) {
    case HeaderStep::kNeedMore: return;
    case HeaderStep::kComplete: break;
    case HeaderStep::kClosed:
    case HeaderStep::kError:
    case HeaderStep::kTooLong: drop(id); return;
  }
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, w.socket, nullptr);
  HttpConnection connection{w.socket, std::move(w.peerip), w.peerport, std::move(w.header)};
  const auto peer = waitingByPeer_.find(connection.peerip);
  if (peer != waitingByPeer_.end()) {
    peer->second.erase(id);
    if (peer->second.empty()) waitingByPeer_.erase(peer);
  }
  waiting_.erase(it);
  pool_.submit(std::move(connection));
}

void Listener::expire(Clock::time_point now) {
  while (!waiting_.empty() && waiting_.begin()->second.deadline <= now) {
    // One non-blocking attempt: a client that does not read gets nothing.
    HttpResponse response(waiting_.begin()->second.socket, 0);
    response.sendError(408);
    drop(waiting_.begin()->first);
  }
}

void Listener::drop(std::uint64_t id) {
  const auto it = waiting_.find(id);
  if (it == waiting_.end()) return;
  ::close(it->second.socket);  // also leaves the epoll set
  pool_.released(it->second.peerip);
  const auto peer = waitingByPeer_.find(it->second.peerip);
  if (peer != waitingByPeer_.end()) {
    peer->second.erase(id);
    if (peer->second.empty()) waitingByPeer_.erase(peer);
  }
  waiting_.erase(it);
}

bool Listener::evictOldestOf(const std::string& peer) {
  const auto it = waitingByPeer_.find(peer);
  if (it == waitingByPeer_.end() || it->second.empty()) return false;
  drop(*it->second.begin());
  return true;
}

std::string Listener::heaviestWaitingPeer() const {
  const std::string* heaviest = nullptr;
  std::size_t most = 0;
  for (const auto& [peer, ids] : waitingByPeer_) {
    if (ids.size() > most) {
      most = ids.size();
      heaviest = &peer;
    }
  }
  return heaviest ? *heaviest : std::string();
}
