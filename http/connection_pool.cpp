#include "http/connection_pool.h"

#include "core/log.h"
#include "http/limits.h"
#include "http/sockio.h"

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>

ConnectionPool::ConnectionPool(int maxWorkers, Serve serve, Deliver deliver)
    : maxWorkers_(std::max(1, maxWorkers)), serve_(std::move(serve)), deliver_(std::move(deliver)) {}

ConnectionPool::~ConnectionPool() { stop(std::chrono::milliseconds(0), {}, std::chrono::hours(24 * 365)); }

void ConnectionPool::opened(const std::string& peer) {
  std::lock_guard lock(mutex_);
  ++peers_[peer].open;
  ++open_;
}

void ConnectionPool::released(const std::string& peer) {
  std::lock_guard lock(mutex_);
  releaseLocked(peer);
}

void ConnectionPool::releaseLocked(const std::string& peer) {
  const auto it = peers_.find(peer);
  if (it == peers_.end()) return;
  --open_;
  if (--it->second.open <= 0) peers_.erase(it);
}

int ConnectionPool::openOf(const std::string& peer) const {
  std::lock_guard lock(mutex_);
  const auto it = peers_.find(peer);
  return it == peers_.end() ? 0 : it->second.open;
}

int ConnectionPool::openTotal() const {
  std::lock_guard lock(mutex_);
  return open_;
}

int ConnectionPool::busy() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(inService_.size());
}

std::vector<std::thread> ConnectionPool::takeFinishedLocked() {
  std::vector<std::thread> done;
  for (const int id : finished_) {
    const auto it = workers_.find(id);
    if (it == workers_.end()) continue;
    done.push_back(std::move(it->second));
    workers_.erase(it);
  }
  finished_.clear();
  return done;
}

void ConnectionPool::submit(HttpConnection connection) {
  std::vector<std::thread> done;
  {
    std::unique_lock lock(mutex_);
    if (stopping_) {
      releaseLocked(connection.peerip);
      lock.unlock();
      ::close(connection.socket);
      return;
    }
    ready_.push_back(std::move(connection));
    done = takeFinishedLocked();
    if (idle_ >= static_cast<int>(ready_.size())) {
      cv_.notify_one();
    } else if (alive_ < maxWorkers_) {
      const int id = nextWorker_++;
      try {
        workers_.emplace(id, std::thread(&ConnectionPool::work, this, id));
        ++alive_;
      } catch (const std::system_error& e) {
        // The request waits for a worker that is running already.
        log_error_format("HttpServer: worker thread not started: %s", e.what());
      }
    }
  }
  // Finished workers are past their last use of the pool.
  for (auto& t : done) t.join();
}

std::deque<HttpConnection>::iterator ConnectionPool::pickFairly() {
  auto best = ready_.begin();
  int fewest = -1;
  for (auto it = ready_.begin(); it != ready_.end(); ++it) {
    const auto peer = peers_.find(it->peerip);
    const int busy = peer == peers_.end() ? 0 : peer->second.busy;
    if (fewest < 0 || busy < fewest) {
      best = it;
      fewest = busy;
      if (busy == 0) break;
    }
  }
  return best;
}

void ConnectionPool::work(int id) {
  try {
    serveQueue(id);
  } catch (const std::exception& e) {
    // Bookkeeping ran out of memory: this worker ends, the others go on.
    log_error_format("HttpServer: worker ended: %s", e.what());
    std::lock_guard lock(mutex_);
    --alive_;
  }
  std::lock_guard lock(mutex_);
  finished_.push_back(id);
}

void ConnectionPool::serveQueue(int id) {
  std::unique_lock lock(mutex_);
  while (true) {
    ++idle_;
    cv_.wait_for(lock, std::chrono::milliseconds(http_limits::kIdleThreadKeepMs),
                 [&] { return stopping_ || !ready_.empty(); });
    --idle_;
    if (stopping_ || ready_.empty()) {
      // From here on this worker takes no work: a request queued now
      // starts another.
      --alive_;
      break;
    }
    const auto it = pickFairly();
    HttpConnection connection = std::move(*it);
    ready_.erase(it);
    ++peers_[connection.peerip].busy;
    inService_.insert(id);
    lock.unlock();

    Served served = serve_(connection);
    // Most answers fit the socket's buffer: sent here they cost the
    // listener nothing. Never more than one non-blocking attempt.
    std::uint64_t sent = 0;
    const HttpAnswer::Progress progress =
        served.answer.sendSome(connection.socket, static_cast<std::size_t>(-1), sent);
    const bool over = progress == HttpAnswer::Progress::kFailed ||
                      (progress == HttpAnswer::Progress::kDone && !served.inputLeft && !inputPending(connection.socket));
    const std::size_t held = served.bytesHeld;

    lock.lock();
    inService_.erase(id);
    const auto peer = peers_.find(connection.peerip);
    if (peer != peers_.end()) --peer->second.busy;
    if (held >= http_limits::kTrimAfterBytes) trimWanted_ = true;
    if (!over && deliver_) {
      deliver_(std::move(connection), std::move(served));
    } else {
      lock.unlock();
      ::close(connection.socket);
      lock.lock();
      releaseLocked(connection.peerip);
    }
    if (stopping_) drained_.notify_all();
  }
  // Idle for a while: freed request memory sits in per-thread arenas that
  // glibc keeps otherwise, and a burst of large posts would keep its peak
  // for good. Not while busy: trimming costs more than a small request.
  if (trimWanted_ && !stopping_) {
    trimWanted_ = false;
    lock.unlock();
    ::malloc_trim(0);
  }
}

void ConnectionPool::detachDelivery() {
  std::lock_guard lock(mutex_);
  deliver_ = nullptr;
}

bool ConnectionPool::stop(std::chrono::milliseconds grace, const std::function<void()>& onGraceExpired,
                          std::chrono::milliseconds lastWait) {
  std::deque<HttpConnection> queued;
  std::map<int, std::thread> workers;
  std::set<int> stuck;
  {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    queued.swap(ready_);
    for (const auto& c : queued) releaseLocked(c.peerip);
    cv_.notify_all();
    bool drained = drained_.wait_for(lock, grace, [&] { return inService_.empty(); });
    if (!drained && onGraceExpired) {
      lock.unlock();
      try {
        onGraceExpired();
      } catch (const std::exception& e) {
        log_error_format("HttpServer: grace hook failed: %s", e.what());
      } catch (...) {
        log_error("HttpServer: grace hook failed");
      }
      lock.lock();
    }
    if (!drained) drained_.wait_for(lock, lastWait, [&] { return inService_.empty(); });
    stuck = inService_;
    workers.swap(workers_);
    finished_.clear();
  }
  for (const auto& c : queued) ::close(c.socket);
  for (auto& [id, t] : workers) {
    if (stuck.count(id) != 0) {
      t.detach();
    } else {
      t.join();
    }
  }
  if (!stuck.empty())
    log_error_format("HttpServer: %d request(s) still running at stop, left to the process exit",
                     static_cast<int>(stuck.size()));
  return stuck.empty();
}
