// The lazy upload queue: evidence archives marked for upload wait in memory
// and one thread posts them, oldest first, to the collection server, so the
// processing modules never wait for the network.
//
// Bounds: the queue holds at most `limsize` MiB; an archive that does not fit
// is dropped (never an older one), counted and logged; so is one that
// arrives while no server is configured. A failed post is retried after a
// pause. The order stays oldest first through every outage: a server that
// cannot be reached, times out, or answers 5xx, 408 or 429 (a collection
// point behind a web server answers 502/503/504 while its back end is down)
// keeps the head archive at the head, retried forever. Only an archive the
// server itself refuses with another 4xx kMaxHeadFailures times in a row
// (a poison archive) moves to the back so that it cannot block the rest.
// The history of attempts is capped at kHistoryMax entries.
//
// Threading: the queue, its byte total and the history are guarded by
// `mutex`; the counters are atomics whose momentary values are good enough
// for the page. push() runs on the result-queue workers, page() on HTTP
// threads, report() on the scheduler thread. No lock is held during a post.
// Lifetime: the upload thread belongs to the object; stop() (also run by the
// destructor and, for the process-wide `lazyUpload`, at exit) cancels a post
// in flight and joins it.
#pragma once

#include "evidence/simplefile.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class HttpRequest;
class HttpResponse;

struct UploadHistoryEntry {
  std::uint32_t time = 0;       // seconds since the epoch
  std::uint32_t failcount = 0;  // failed attempts collected in this entry
  std::uint32_t status = 0;     // 1 success, 0 failure
  std::uint32_t size = 0;       // bytes posted (success)
  std::uint32_t ms = 0;         // duration of the post (success)
};

class UploadWebLazy {
 public:
  static constexpr std::uint64_t kMiB = 1048576;
  static constexpr std::uint64_t kDefaultLimsize = 96;     // MiB
  static constexpr std::uint64_t kMaxLimsize = 1024;       // MiB; the board has no more to give
  static constexpr std::uint64_t kDefaultFaildelay = 30;   // s
  static constexpr std::uint64_t kMaxFaildelay = 86400;    // s
  static constexpr std::chrono::milliseconds kMinFailPause{5000};
  static constexpr std::chrono::milliseconds kIdleCheck{250};
  static constexpr std::size_t kHistoryMax = 601;
  static constexpr std::size_t kPageRows = 120;
  static constexpr std::uint32_t kMaxHeadFailures = 10;
  static constexpr const char* kPath = "/upload.php";

  // Posts url (with query) and the archive: the HTTP status the server
  // answered (200 on success), or a negative value when it could not be
  // reached. The default is httppostStatus, cancelled by `cancel`.
  using Poster = std::function<int(const std::string& url, const SimpleFile& file, const std::atomic<bool>* cancel)>;
  static Poster httpPoster();

  // poster and minFailPause (the shortest pause after a failure) are fixed
  // for the object's life: the upload thread reads them without a lock.
  explicit UploadWebLazy(Poster poster = httpPoster(), std::chrono::milliseconds minFailPause = kMinFailPause);
  ~UploadWebLazy();
  UploadWebLazy(const UploadWebLazy&) = delete;
  UploadWebLazy& operator=(const UploadWebLazy&) = delete;

  // The upload address ("http://host[:port]/upload.php"); set before start().
  // Without one nothing is queued (the archives are still stored); each
  // archive offered is counted in `unsent` and logged.
  void configure(std::string uploadUrl);
  bool configured() const { return !url.empty(); }
  // Starts the upload thread running operator().
  void start();
  // Ends the thread (a post in flight is cancelled) and joins it. Idempotent.
  void stop();
  // The upload thread's body; returns when `working` drops below 1 or stop().
  void operator()();

  // Queues a copy sharing the archive's bytes, or drops it when it does not
  // fit the limit or no server is configured. True when queued.
  bool push(const SimpleFile& file);
  // The fill level for the telemetry ("lazybuffused").
  void report();
  // The page "^/debug/lazyupload/$".
  int page(const HttpRequest& req, HttpResponse& res);

  std::size_t queued() const;
  std::uint64_t queuedBytes() const;
  std::vector<UploadHistoryEntry> history() const;

  // Settings (the page changes them for the running process).
  std::atomic<std::uint64_t> limsize{kDefaultLimsize};
  std::atomic<std::uint64_t> faildelay{kDefaultFaildelay};
  // Counters.
  std::atomic<std::uint64_t> maxfill{0};
  std::atomic<std::uint32_t> maxfilltime{0};
  std::atomic<std::uint64_t> sent{0};
  std::atomic<std::uint64_t> failed{0};
  std::atomic<std::uint64_t> dropped{0};
  std::atomic<std::uint64_t> unsent{0};  // offered while no server was configured

 private:
  void appendHistory(const UploadHistoryEntry& entry);  // called with mutex held
  void recordFailure();
  void recordSuccess(const SimpleFile& file, std::uint32_t ms);
  // Sleeps up to d; false once the thread is to end.
  bool pause(std::chrono::milliseconds d);
  bool running() const;

  const Poster poster_;
  const std::chrono::milliseconds minFailPause_;
  std::string url;  // written before start(), then read only

  mutable std::mutex mutex;
  std::condition_variable wake;
  std::deque<SimpleFile> queue_;           // guarded by mutex
  std::uint64_t queuedBytes_ = 0;          // guarded by mutex
  std::deque<UploadHistoryEntry> history_;  // guarded by mutex
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Whether an answer to a post says that this very archive is refused (a 4xx
// other than 408 time-out and 429 too many requests), as opposed to a
// server that is down, overloaded or unreachable (5xx, 408, 429, no answer).
bool refusesArchive(int status);

extern UploadWebLazy lazyUpload;

// Queues an archive on lazyUpload (called by procTrackRes).
void lazyUploadPush(const SimpleFile& file);
// Scheduler task every 90 s; the argument is not used.
void lazyloop(unsigned int);
int http_lazyindex(const HttpRequest& req, HttpResponse& res);

// One history row of the page (exposed for tests).
std::string lazyHistoryRow(const UploadHistoryEntry& e);
