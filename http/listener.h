// The event loop of the HTTP server: one thread in epoll that accepts
// connections, reads each request (header, then a body of the declared
// length) as its bytes arrive, hands only complete requests to the worker
// pool, and sends the answers the workers could not send at once as each
// socket takes them. Idle, slow and non-reading clients therefore cost a
// descriptor and their bytes here, never a worker.
//
// Limits: kPeerConnectionsMax per peer address and an overall cap, both
// counted in the pool's ledger over every phase (reading, in a worker,
// answered). At a cap a new connection replaces the oldest one of the peer
// (own cap) or of the peer with the most connections here (overall cap),
// preferring one still sending its request over one taking its answer; a
// request in a worker is never replaced. Bodies being read share
// bodyBudget bytes (beyond it the peer holding the most loses its oldest
// unfinished body), answers waiting for their client share answerBudget
// (beyond it the answer stalled longest is dropped). A request not complete
// within the request time-out gets 408; a header that does not end within
// kHeaderMax bytes is closed unanswered; declared lengths above kBodyMax
// get 413 and chunked bodies 411, unread. An answer whose next kSendChunk
// bytes are not taken within the send time-out is dropped.
//
// Threads: run() is the listener thread's body. deliver(), stopAccepting(),
// finish() and wake() may be called from any thread. The connections still
// open are closed by the destructor, which runs after run() returned and
// after the pool stopped delivering.
#pragma once

#include "http/connection_pool.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class Listener {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    int timeoutSec;
    int sendTimeoutSec;
    int peerConnections;
    int openConnections;
    std::size_t bodyBudget;
    std::size_t answerBudget;
  };

  // listenSocket stays the caller's. ok() is false when epoll could not be
  // set up.
  Listener(int listenSocket, Limits limits, ConnectionPool& pool);
  ~Listener();

  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool ok() const { return epoll_ >= 0 && wake_ >= 0; }
  void run();
  // Takes a served connection from a worker (the pool's Deliver).
  void deliver(HttpConnection&& connection, ConnectionPool::Served&& served);
  // Accepts no more connections and closes those still sending their
  // request; answers go on.
  void stopAccepting();
  // run() returns once no answer is left to send, at deadline at the latest.
  void finish(Clock::time_point deadline);
  // run() returns at once.
  void wake();
  // Bytes of request bodies and unsent answers held now (any thread).
  std::size_t held() const { return heldNow_.load(std::memory_order_relaxed); }

 private:
  enum class Phase { kHeader, kBody, kSending, kLinger };
  struct Conn {
    int socket = -1;
    std::string peerip;
    int peerport = 0;
    Phase phase = Phase::kHeader;
    std::uint32_t events = 0;  // registered with epoll; 0 when not
    Clock::time_point deadline{};
    std::string header;
    std::string body;  // grows as bytes arrive, up to length
    std::size_t received = 0;
    std::size_t length = 0;
    std::size_t charged = 0;  // bytes counted in the body or answer budget
    HttpAnswer answer;
    bool inputLeft = false;
    std::uint64_t sent = 0;
    std::uint64_t sentAtMark = 0;  // sent when the deadline was last renewed
    Clock::time_point lastProgress{};
    std::size_t drained = 0;
  };
  using Delivery = std::pair<HttpConnection, ConnectionPool::Served>;

  // Wakes run() out of epoll_wait (any thread).
  void poke();
  bool acceptSome();  // false when the listener must end
  void admit(int socket, std::string peerip, int peerport);
  std::uint64_t add(Conn conn);
  void onEvent(std::uint64_t id);
  void readHeader(std::uint64_t id);
  void headerComplete(std::uint64_t id);
  void readBody(std::uint64_t id);
  // Makes room for want more body bytes of id; false when id itself had
  // to go.
  bool bodyRoom(std::uint64_t id, std::size_t want);
  void toWorker(std::uint64_t id);
  void answerError(std::uint64_t id, int code);
  void startSending(std::uint64_t id, HttpAnswer answer, bool inputLeft);
  void pump(std::uint64_t id);
  void answerSent(std::uint64_t id);
  void drainInput(std::uint64_t id);
  void takeDeliveries();
  void stopAcceptingNow();
  void expire(Clock::time_point now);
  // Closes a connection (no answer) and forgets it.
  void drop(std::uint64_t id);
  void charge(Conn& conn, std::size_t bytes);
  void setDeadline(std::uint64_t id, Conn& conn, Clock::time_point deadline);
  bool watch(std::uint64_t id, Conn& conn, std::uint32_t events);
  // Drops the oldest connection of peer (one still sending its request or
  // lingering first); false when it has none here.
  bool evictOldestOf(const std::string& peer);
  // The peer with the most connections here ("" when there are none).
  std::string heaviestPeer() const;
  void pauseAccepting(Clock::time_point until);
  int waitMs(Clock::time_point now) const;

  const int listenSocket_;
  const Limits limits_;
  ConnectionPool& pool_;
  int epoll_ = -1;
  int wake_ = -1;  // eventfd
  std::atomic<bool> stop_{false};
  std::atomic<bool> acceptStop_{false};
  std::atomic<bool> finishing_{false};
  std::atomic<Clock::rep> finishBy_{0};

  std::mutex inboxMutex_;
  std::vector<Delivery> inbox_;  // guarded by inboxMutex_

  // Listener thread only. Ids grow with accept (or delivery) time.
  std::map<std::uint64_t, Conn> conns_;
  std::set<std::pair<Clock::time_point, std::uint64_t>> timers_;
  std::unordered_map<std::string, std::set<std::uint64_t>> byPeer_;
  std::unordered_map<std::string, std::size_t> bodyByPeer_;
  std::size_t bodyHeld_ = 0;
  std::size_t answerHeld_ = 0;
  std::atomic<std::size_t> heldNow_{0};  // bodyHeld_ + answerHeld_
  std::uint64_t nextId_ = 2;  // 0 the listen socket, 1 the wake-up
  bool accepting_ = true;
  bool paused_ = false;
  Clock::time_point resumeAt_{};
  Clock::time_point lastErrorLog_{};
  Clock::time_point lastRefusalLog_{};
  Clock::time_point lastBudgetLog_{};
};
