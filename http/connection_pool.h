// Worker threads of the HTTP server and the ledger of open connections per
// peer address.
//
// The listener hands over connections whose whole request (header and
// body) has arrived; a worker serves one at a time. Among waiting requests
// a free worker takes the oldest of the peer with the fewest requests in
// service, so a busy peer cannot starve a new one. The worker tries the
// answer once without blocking: when all of it fits the socket the worker
// closes the connection, otherwise the connection goes back to the
// listener (deliver) to be sent as the client reads. A worker never waits
// for a client.
//
// Threads: workers are started on demand (at most maxWorkers), end after
// kIdleThreadKeepMs without work, and are joined by the pool (finished ones
// at the next hand-over, the rest by stop()). All state is guarded by one
// mutex; serve runs without it, deliver with it.
#pragma once

#include "http/response.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// One accepted connection with its complete request header and body.
struct HttpConnection {
  int socket = -1;
  std::string peerip;
  int peerport = 0;
  std::string header;
  std::string body;  // exactly the declared length
};

class ConnectionPool {
 public:
  struct Served {
    HttpAnswer answer;
    bool inputLeft = false;    // request bytes left unread in the socket
    std::size_t bytesHeld = 0;  // the request's size in memory
  };
  // Serves one connection; must not throw.
  using Serve = std::function<Served(HttpConnection&)>;
  // Takes a connection whose answer is not all out yet, or whose unread
  // input must be drained before the close; from then on the connection
  // and its ledger entry are deliver's. Called with the pool's mutex held:
  // it must not call back into the pool.
  using Deliver = std::function<void(HttpConnection&&, Served&&)>;

  ConnectionPool(int maxWorkers, Serve serve, Deliver deliver);
  // Waits for every worker (stop with no grace and no limit).
  ~ConnectionPool();

  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Ledger: a connection counts against its peer from opened() until the
  // listener's released() or the pool's own close after serving.
  void opened(const std::string& peer);
  void released(const std::string& peer);
  int openOf(const std::string& peer) const;
  int openTotal() const;
  int busy() const;

  // Queues a connection for a worker; after stop() it is closed at once.
  void submit(HttpConnection connection);

  // Closes queued connections and gives requests in service grace to
  // finish. When some are still running, calls onGraceExpired once, then
  // waits at most lastWait more. Joins every worker that finished; one
  // still in a handler is detached, and the pool must then outlive it
  // (false is returned: the owner keeps the pool to the process exit).
  // Idempotent.
  bool stop(std::chrono::milliseconds grace, const std::function<void()>& onGraceExpired,
            std::chrono::milliseconds lastWait);
  // From now on answers that did not go out at once are dropped (the
  // connection closed) instead of delivered: the receiver is going away.
  void detachDelivery();

 private:
  struct Peer {
    int open = 0;
    int busy = 0;
  };

  void work(int id);
  // Serves queued connections until idle too long or stopping.
  void serveQueue(int id);
  // Called with mutex_ held.
  std::deque<HttpConnection>::iterator pickFairly();
  void releaseLocked(const std::string& peer);
  std::vector<std::thread> takeFinishedLocked();

  const int maxWorkers_;
  const Serve serve_;
  Deliver deliver_;  // guarded by mutex_

  mutable std::mutex mutex_;
  std::condition_variable cv_;       // work queued, or stopping
  std::condition_variable drained_;  // stopping and a request finished
  std::unordered_map<std::string, Peer> peers_;  // guarded by mutex_
  int open_ = 0;                                 // guarded by mutex_
  std::deque<HttpConnection> ready_;             // guarded by mutex_
  std::set<int> inService_;                      // worker ids; guarded by mutex_
  std::map<int, std::thread> workers_;           // guarded by mutex_
  std::vector<int> finished_;                    // worker ids; guarded by mutex_
  int nextWorker_ = 0;                           // guarded by mutex_
  int alive_ = 0;  // workers still taking work; guarded by mutex_
  int idle_ = 0;                                 // guarded by mutex_
  bool trimWanted_ = false;                      // guarded by mutex_
  bool stopping_ = false;                        // guarded by mutex_
};
