#include "http/listener.h"

#include "core/log.h"
#include "http/limits.h"
#include "http/request_parse.h"
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
#include <cstring>
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

// The body framing of a complete header, parsed as the worker will (up to
// the first zero byte); a header that does not parse has no body (the
// worker answers 400).
BodyFraming framingOf(const std::string& header) {
  const std::string_view text(header.data(), ::strnlen(header.data(), header.size()));
  RequestLine line;
  StringMap fields;
  if (!parseRequestHeader(text, line, fields)) return {};
  return bodyFraming(fields, http_limits::kBodyMax);
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
  while (!conns_.empty()) drop(conns_.begin()->first);
  std::vector<Delivery> left;
  {
    std::lock_guard lock(inboxMutex_);
    left.swap(inbox_);
  }
  for (auto& [connection, served] : left) {
    ::close(connection.socket);
    pool_.released(connection.peerip);
  }
  if (epoll_ >= 0) ::close(epoll_);
  if (wake_ >= 0) ::close(wake_);
}

void Listener::poke() {
  const std::uint64_t one = 1;
  if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the listener wakes anyway.
  }
}

void Listener::wake() {
  stop_ = true;
  poke();
}

void Listener::stopAccepting() {
  acceptStop_ = true;
  poke();
}

void Listener::finish(Clock::time_point deadline) {
  finishBy_ = deadline.time_since_epoch().count();
  finishing_ = true;
  poke();
}

void Listener::deliver(HttpConnection&& connection, ConnectionPool::Served&& served) {
  {
    std::lock_guard lock(inboxMutex_);
    inbox_.emplace_back(std::move(connection), std::move(served));
  }
  poke();
}

int Listener::waitMs(Clock::time_point now) const {
  Clock::time_point next = now + std::chrono::seconds(1);
  if (!timers_.empty()) next = std::min(next, timers_.begin()->first);
  if (paused_) next = std::min(next, resumeAt_);
  if (finishing_) next = std::min(next, Clock::time_point(Clock::duration(finishBy_.load())));
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
    bool woken = false;
    for (int i = 0; i < n && !stop_; ++i) {
      const std::uint64_t id = events[i].data.u64;
      if (id == kWakeId) {
        woken = true;
      } else if (id == kListenId) {
        if (accepting_ && !acceptSome()) return;
      } else {
        onEvent(id);
      }
    }
    if (woken) {
      std::uint64_t count = 0;
      if (::read(wake_, &count, sizeof count) < 0) {
        // Nothing pending: another wake-up was read already.
      }
    }
    if (acceptStop_ && accepting_) stopAcceptingNow();
    takeDeliveries();
    const auto now = Clock::now();
    if (paused_ && accepting_ && now >= resumeAt_) {
      paused_ = false;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = kListenId;
      ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listenSocket_, &ev);
    }
    expire(now);
    if (finishing_) {
      bool idle = conns_.empty();
      if (idle) {
        std::lock_guard lock(inboxMutex_);
        idle = inbox_.empty();
      }
      if (idle || now.time_since_epoch().count() >= finishBy_.load()) return;
    }
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

void Listener::stopAcceptingNow() {
  accepting_ = false;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listenSocket_, nullptr);
  std::vector<std::uint64_t> reading;
  for (const auto& [id, c] : conns_)
    if (c.phase == Phase::kHeader || c.phase == Phase::kBody) reading.push_back(id);
  for (const auto id : reading) drop(id);
}

bool Listener::acceptSome() {
  for (int i = 0; i < http_limits::kAcceptBurst; ++i) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listenSocket_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      const int err = errno;
      if (transient(err)) return true;
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
        if (evictOldestOf(heaviestPeer())) continue;
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
      roomForPeer && (pool_.openTotal() < limits_.openConnections || evictOldestOf(heaviestPeer()));
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
  // Answers leave from a whole buffer in large sends, so nothing is gained
  // by holding partial segments back; held back (corked, or by Nagle) under
  // this small send buffer, a tail shorter than a loopback segment waited
  // for the client's delayed ACK, about 40 ms every 100 KB.
  const int nodelay = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);

  pool_.opened(peerip);
  Conn conn;
  conn.socket = fd;
  conn.peerport = peerport;
  // Most clients send their request with the handshake: a request without
  // a body then goes to a worker at once, without a turn through epoll.
  const HeaderStep step = sock_readheader_step(fd, conn.header, http_limits::kHeaderMax);
  if (step == HeaderStep::kClosed || step == HeaderStep::kError || step == HeaderStep::kTooLong) {
    ::close(fd);
    pool_.released(peerip);
    return;
  }
  if (step == HeaderStep::kComplete && framingOf(conn.header).kind == BodyFraming::kNone) {
    pool_.submit(HttpConnection{fd, std::move(peerip), peerport, std::move(conn.header), {}});
    return;
  }
  conn.peerip = std::move(peerip);
  conn.deadline = Clock::now() + std::chrono::seconds(limits_.timeoutSec);
  const std::uint64_t id = add(std::move(conn));
  if (step == HeaderStep::kComplete) {
    headerComplete(id);
  } else {
    watch(id, conns_.at(id), EPOLLIN | EPOLLRDHUP);
  }
}

std::uint64_t Listener::add(Conn conn) {
  const std::uint64_t id = nextId_++;
  byPeer_[conn.peerip].insert(id);
  timers_.emplace(conn.deadline, id);
  conns_.emplace(id, std::move(conn));
  return id;
}

void Listener::onEvent(std::uint64_t id) {
  const auto it = conns_.find(id);
  if (it == conns_.end()) return;  // dropped earlier in this turn
  switch (it->second.phase) {
    case Phase::kHeader: readHeader(id); break;
    case Phase::kBody: readBody(id); break;
    case Phase::kSending: pump(id); break;
    case Phase::kLinger: drainInput(id); break;
  }
}

bool Listener::watch(std::uint64_t id, Conn& conn, std::uint32_t events) {
  if (conn.events == events) return true;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  if (::epoll_ctl(epoll_, conn.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, conn.socket, &ev) < 0) {
    drop(id);
    return false;
  }
  conn.events = events;
  return true;
}

void Listener::setDeadline(std::uint64_t id, Conn& conn, Clock::time_point deadline) {
  timers_.erase({conn.deadline, id});
  conn.deadline = deadline;
  timers_.emplace(deadline, id);
}

void Listener::charge(Conn& conn, std::size_t bytes) {
  std::size_t& total = conn.phase == Phase::kBody ? bodyHeld_ : answerHeld_;
  total = total - conn.charged + bytes;
  if (conn.phase == Phase::kBody) {
    auto& peer = bodyByPeer_[conn.peerip];
    peer = peer - conn.charged + bytes;
    if (peer == 0) bodyByPeer_.erase(conn.peerip);
  }
  conn.charged = bytes;
  heldNow_.store(bodyHeld_ + answerHeld_, std::memory_order_relaxed);
}

void Listener::readHeader(std::uint64_t id) {
  Conn& c = conns_.at(id);
  switch (sock_readheader_step(c.socket, c.header, http_limits::kHeaderMax)) {
    case HeaderStep::kNeedMore: watch(id, c, EPOLLIN | EPOLLRDHUP); return;
    case HeaderStep::kComplete: headerComplete(id); return;
    case HeaderStep::kClosed:
    case HeaderStep::kError:
    case HeaderStep::kTooLong: drop(id); return;
  }
}

void Listener::headerComplete(std::uint64_t id) {
  Conn& c = conns_.at(id);
  const BodyFraming framing = framingOf(c.header);
  switch (framing.kind) {
    case BodyFraming::kChunked:
      answerError(id, 411);
      return;
    case BodyFraming::kTooLarge:
      answerError(id, 413);
      return;
    case BodyFraming::kLength:
      if (framing.length > 0) {
        c.phase = Phase::kBody;
        c.length = framing.length;
        setDeadline(id, c, Clock::now() + std::chrono::seconds(limits_.timeoutSec));
        readBody(id);
        return;
      }
      break;
    case BodyFraming::kNone: break;
  }
  toWorker(id);
}

void Listener::readBody(std::uint64_t id) {
  std::size_t moved = 0;
  while (moved < http_limits::kTurnBytes) {
    Conn& c = conns_.at(id);
    if (c.received == c.body.size()) {
      // Grown as bytes arrive, never ahead of them: a body declared and not
      // sent costs nothing.
      char probe;
      const ssize_t waiting = ::recv(c.socket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
      if (waiting < 0 && errno == EINTR) continue;
      if (waiting < 0 && transient(errno)) break;
      if (waiting <= 0) {
        drop(id);
        return;
      }
      const std::size_t size = std::min(c.length, std::max(c.body.size() * 2, http_limits::kSendChunk));
      if (!bodyRoom(id, size - c.body.size())) return;
      c.body.resize(size);
      charge(c, c.body.capacity());  // the allocator may round up
    }
    const ssize_t n = ::recv(c.socket, c.body.data() + c.received, c.body.size() - c.received, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && !transient(errno))) {
      drop(id);
      return;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      watch(id, c, EPOLLIN | EPOLLRDHUP);
      return;
    }
    c.received += static_cast<std::size_t>(n);
    moved += static_cast<std::size_t>(n);
    if (c.received == c.length) {
      toWorker(id);
      return;
    }
  }
  watch(id, conns_.at(id), EPOLLIN | EPOLLRDHUP);  // the rest in a later turn
}

bool Listener::bodyRoom(std::uint64_t id, std::size_t want) {
  while (bodyHeld_ + want > limits_.bodyBudget) {
    const std::string* heaviest = nullptr;
    std::size_t most = 0;
    for (const auto& [peer, bytes] : bodyByPeer_) {
      if (bytes > most) {
        most = bytes;
        heaviest = &peer;
      }
    }
    std::uint64_t victim = id;
    if (heaviest != nullptr) {
      for (const std::uint64_t other : byPeer_.at(*heaviest)) {
        const Conn& o = conns_.at(other);
        if (o.phase == Phase::kBody && o.charged > 0) {
          victim = other;
          break;
        }
      }
    }
    if (allowLog(lastBudgetLog_))
      log_warning_format("HttpServer: request bodies exceed %zu bytes: a body of %s is dropped",
                         limits_.bodyBudget, conns_.at(victim).peerip.c_str());
    drop(victim);
    if (victim == id) return false;
  }
  return true;
}

void Listener::toWorker(std::uint64_t id) {
  const auto it = conns_.find(id);
  Conn& c = it->second;
  if (c.events != 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.socket, nullptr);
  charge(c, 0);
  HttpConnection connection{c.socket, std::move(c.peerip), c.peerport, std::move(c.header), std::move(c.body)};
  const auto peer = byPeer_.find(connection.peerip);
  if (peer != byPeer_.end()) {
    peer->second.erase(id);
    if (peer->second.empty()) byPeer_.erase(peer);
  }
  timers_.erase({c.deadline, id});
  conns_.erase(it);
  pool_.submit(std::move(connection));
}

void Listener::answerError(std::uint64_t id, int code) {
  Conn& c = conns_.at(id);
  charge(c, 0);
  c.body = std::string();
  HttpAnswer answer;
  HttpResponse response(c.socket);
  response.stageTo(&answer);
  response.sendError(code);
  // The rest of the request is not read: it is drained after the answer.
  startSending(id, std::move(answer), true);
}

void Listener::takeDeliveries() {
  std::vector<Delivery> taken;
  {
    std::lock_guard lock(inboxMutex_);
    taken.swap(inbox_);
  }
  for (auto& [connection, served] : taken) {
    Conn conn;
    conn.socket = connection.socket;
    conn.peerip = std::move(connection.peerip);
    conn.peerport = connection.peerport;
    conn.deadline = Clock::now();
    startSending(add(std::move(conn)), std::move(served.answer), served.inputLeft);
  }
}

void Listener::startSending(std::uint64_t id, HttpAnswer answer, bool inputLeft) {
  Conn& c = conns_.at(id);
  const auto now = Clock::now();
  c.phase = Phase::kSending;
  c.answer = std::move(answer);
  c.inputLeft = inputLeft;
  c.lastProgress = now;
  c.sentAtMark = c.sent;
  setDeadline(id, c, now + std::chrono::seconds(limits_.sendTimeoutSec));
  // Over the budget: the answers stalled longest go first; an answer
  // larger than the budget goes itself.
  const std::size_t need = c.answer.held();
  while (answerHeld_ + need > limits_.answerBudget) {
    std::uint64_t victim = id;
    for (const auto& [other, o] : conns_) {
      if (other != id && o.phase == Phase::kSending && o.charged > 0 &&
          (victim == id || o.lastProgress < conns_.at(victim).lastProgress))
        victim = other;
    }
    if (allowLog(lastBudgetLog_))
      log_warning_format("HttpServer: unsent answers exceed %zu bytes: the answer to %s is dropped",
                         limits_.answerBudget, conns_.at(victim).peerip.c_str());
    drop(victim);
    if (victim == id) return;
  }
  charge(c, need);
  pump(id);
}

void Listener::pump(std::uint64_t id) {
  Conn& c = conns_.at(id);
  const std::uint64_t before = c.sent;
  const HttpAnswer::Progress progress = c.answer.sendSome(c.socket, http_limits::kTurnBytes, c.sent);
  charge(c, c.answer.held());
  if (c.sent != before) {
    const auto now = Clock::now();
    c.lastProgress = now;
    // The client has the send time-out for each kSendChunk bytes.
    if (c.sent - c.sentAtMark >= http_limits::kSendChunk) {
      c.sentAtMark = c.sent;
      setDeadline(id, c, now + std::chrono::seconds(limits_.sendTimeoutSec));
    }
  }
  switch (progress) {
    case HttpAnswer::Progress::kFailed: drop(id); return;
    case HttpAnswer::Progress::kDone: answerSent(id); return;
    case HttpAnswer::Progress::kBlocked: watch(id, c, EPOLLOUT); return;
  }
}

void Listener::answerSent(std::uint64_t id) {
  Conn& c = conns_.at(id);
  charge(c, 0);
  if (!c.inputLeft && !inputPending(c.socket)) {
    drop(id);
    return;
  }
  // Unread input would make close() send RST, which can destroy the answer
  // in the client's receive queue: send FIN and read the input away first,
  // for a bounded time and amount.
  ::shutdown(c.socket, SHUT_WR);
  c.phase = Phase::kLinger;
  setDeadline(id, c, Clock::now() + std::chrono::milliseconds(http_limits::kLingerMs));
  if (watch(id, c, EPOLLIN | EPOLLRDHUP)) drainInput(id);
}

void Listener::drainInput(std::uint64_t id) {
  char scratch[http_limits::kIoChunk];
  while (true) {
    Conn& c = conns_.at(id);
    const ssize_t n = ::recv(c.socket, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && transient(errno)) return;
    if (n <= 0) {
      drop(id);
      return;
    }
    c.drained += static_cast<std::size_t>(n);
    if (c.drained >= http_limits::kLingerMaxBytes) {
      drop(id);
      return;
    }
  }
}

void Listener::expire(Clock::time_point now) {
  while (!timers_.empty() && timers_.begin()->first <= now) {
    const std::uint64_t id = timers_.begin()->second;
    switch (conns_.at(id).phase) {
      case Phase::kHeader:
      case Phase::kBody: answerError(id, 408); break;
      case Phase::kSending:
      case Phase::kLinger: drop(id); break;
    }
  }
}

void Listener::drop(std::uint64_t id) {
  const auto it = conns_.find(id);
  if (it == conns_.end()) return;
  Conn& c = it->second;
  charge(c, 0);
  ::close(c.socket);  // also leaves the epoll set
  pool_.released(c.peerip);
  const auto peer = byPeer_.find(c.peerip);
  if (peer != byPeer_.end()) {
    peer->second.erase(id);
    if (peer->second.empty()) byPeer_.erase(peer);
  }
  timers_.erase({c.deadline, id});
  conns_.erase(it);
}

bool Listener::evictOldestOf(const std::string& peer) {
  const auto it = byPeer_.find(peer);
  if (it == byPeer_.end() || it->second.empty()) return false;
  for (const std::uint64_t id : it->second) {
    if (conns_.at(id).phase != Phase::kSending) {
      drop(id);
      return true;
    }
  }
  drop(*it->second.begin());
  return true;
}

std::string Listener::heaviestPeer() const {
  const std::string* heaviest = nullptr;
  std::size_t most = 0;
  for (const auto& [peer, ids] : byPeer_) {
    if (ids.size() > most) {
      most = ids.size();
      heaviest = &peer;
    }
  }
  return heaviest ? *heaviest : std::string();
}
