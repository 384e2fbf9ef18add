// Worker threads of the HTTP server and the ledger of open connections per
// peer address.
//
// The listener hands over connections whose request header has arrived;
// a worker serves one at a time and closes it. Among waiting requests a
// free worker takes the oldest of the peer with the fewest requests in
// service, so a busy peer cannot starve a new one.
//
// Threads: workers are started on demand (at most maxWorkers), end after
// kIdleThreadKeepMs without work, and are joined by the pool (finished ones
// at the next hand-over, the rest by stop()). All state is guarded by one
// mutex; serve runs without it.
#pragma once

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

// One accepted connection with its complete request header.
struct HttpConnection {
  int socket = -1;
  std::string peerip;
  int peerport = 0;
  std::string header;
};

class ConnectionPool {
 public:
  struct Served {
    bool inputLeft = false;    // request bytes left unread in the socket
    std::size_t bytesHeld = 0;  // the request's size in memory
  };
  // Serves one connection; must not throw. The pool closes the socket.
  using Serve = std::function<Served(HttpConnection&)>;

  ConnectionPool(int maxWorkers, Serve serve);
  ~ConnectionPool();  // stop(0)

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

  // Closes queued connections, gives requests in service grace to finish,
  // then shuts their sockets down and joins every worker. Handlers run to
  // their end. Idempotent.
  void stop(std::chrono::milliseconds grace);

 private:
  struct Peer {
    int open = 0;
    int busy = 0;
  };

  void work(int id);
  // Serves queued connections until idle too long or stopping.
  void serveQueue();
  // Called with mutex_ held.
  std::deque<HttpConnection>::iterator pickFairly();
  void releaseLocked(const std::string& peer);
  std::vector<std::thread> takeFinishedLocked();

  const int maxWorkers_;
  const Serve serve_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;       // work queued, or stopping
  std::condition_variable drained_;  // stopping and a request finished
  std::unordered_map<std::string, Peer> peers_;  // guarded by mutex_
  int open_ = 0;                                 // guarded by mutex_
  std::deque<HttpConnection> ready_;             // guarded by mutex_
  std::set<int> inService_;                      // sockets; guarded by mutex_
  std::map<int, std::thread> workers_;           // guarded by mutex_
  std::vector<int> finished_;                    // worker ids; guarded by mutex_
  int nextWorker_ = 0;                           // guarded by mutex_
  int alive_ = 0;  // workers still taking work; guarded by mutex_
  int idle_ = 0;                                 // guarded by mutex_
  bool trimWanted_ = false;                      // guarded by mutex_
  bool stopping_ = false;                        // guarded by mutex_
};
