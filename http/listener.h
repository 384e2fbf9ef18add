// The listening side of the HTTP server: one thread in epoll that accepts
// connections, reads each request header as its bytes arrive, and hands a
// complete header to the worker pool. Idle and slow clients therefore cost
// a descriptor and a few hundred bytes here, never a worker.
//
// Limits, counted in the pool's ledger: kPeerConnectionsMax per peer
// address (at the cap a new connection replaces the peer's oldest one still
// sending its header, or is closed), and an overall cap (at the cap the
// oldest waiting connection of the peer with the most waiting gives way).
// A header not complete within the request time-out gets 408 and is closed;
// one that does not end within kHeaderMax bytes is closed unanswered.
//
// Threads: run() is the listener thread's body; wake() may be called from
// any thread and makes run() return. The connections still waiting are
// closed by the destructor, which runs after run() returned.
#pragma once

#include "http/connection_pool.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

class Listener {
 public:
  struct Limits {
    int timeoutSec;
    int peerConnections;
    int openConnections;
  };

  // listenSocket stays the caller's. ok() is false when epoll could not be
  // set up.
  Listener(int listenSocket, Limits limits, ConnectionPool& pool);
  ~Listener();

  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool ok() const { return epoll_ >= 0 && wake_ >= 0; }
  void run();
  void wake();

 private:
  using Clock = std::chrono::steady_clock;
  struct Waiting {
    int socket;
    std::string peerip;
    int peerport;
    std::string header;
    Clock::time_point deadline;
  };

  bool acceptSome();  // false when the listener must end
  void admit(int socket, std::string peerip, int peerport);
  void onReadable(std::uint64_t id);
  void expire(Clock::time_point now);
  // Closes a waiting connection (no answer) and forgets it.
  void drop(std::uint64_t id);
  // Drops the oldest waiting connection of peer; false when it has none.
  bool evictOldestOf(const std::string& peer);
  // The peer with the most waiting connections ("" when none waits).
  std::string heaviestWaitingPeer() const;
  void pauseAccepting(Clock::time_point until);
  int waitMs(Clock::time_point now) const;

  const int listenSocket_;
  const Limits limits_;
  ConnectionPool& pool_;
  int epoll_ = -1;
  int wake_ = -1;  // eventfd
  std::atomic<bool> stop_{false};

  // Listener thread only. Ids grow with accept time and every connection
  // gets the same time-out, so the map's first entry expires first.
  std::map<std::uint64_t, Waiting> waiting_;
  std::unordered_map<std::string, std::set<std::uint64_t>> waitingByPeer_;
  std::uint64_t nextId_ = 2;  // 0 the listen socket, 1 the wake-up
  bool paused_ = false;
  Clock::time_point resumeAt_{};
  Clock::time_point lastErrorLog_{};
  Clock::time_point lastRefusalLog_{};
};
