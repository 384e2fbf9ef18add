// The heartbeat store: named telemetry values ("extras") that any part of
// the program hands in at any time, and the queue of telemetry records
// (flat JSON objects) waiting to be posted to the telemetry server.
//
// Queue: at most kQueueMax records (a week at one record per interval);
// when full the oldest goes and the loss is counted. A post carries at most
// kBatchBytes of records, oldest first, and erases exactly the records it
// carried (by sequence number), so records pushed meanwhile stay. At most
// one post is in flight: send() claims it with a compare-and-set.
//
// Threading: every operation takes the store's mutex for its whole run
// (callers: scheduler thread, device loops, result-queue workers, page
// threads). Lifetime: one process-wide store reached through
// heartbeatStore(), built on first use and never destroyed, so detached
// threads may still report while the process exits.
#pragma once

#include "devices/multivalz.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class SttyDev;

class Heartbeat {
 public:
  static constexpr std::uint32_t kInterval = 300;  // seconds between records
  static constexpr std::size_t kQueueMax = 2016;
  static constexpr std::size_t kBatchBytes = 32 * 1024;
  static constexpr const char* kPath = "/upload.php";

  // Posts len bytes to url: 0 or more on success, negative on failure.
  using Poster = std::function<int(const std::string& url, const char* data, std::size_t len)>;

  // How an extra goes out in the next record.
  enum Kind : std::uint32_t {
    kSet = 1,      // emplace: send in the next record
    kCounter = 2,  // addone: send in every record, then reset
    kOnce = 3,     // once: send in the next record
    kSent = 4,     // sent: skip until set again
  };

  struct ExtraS {
    std::string key;
    MultiValZ value;
    std::uint32_t kind = kSet;
  };

  // Sets key to value (replacing any older one) and marks it to be sent.
  void emplace(std::string key, MultiValZ value);
  // As emplace, but a value equal to the stored one changes nothing: an
  // already sent value is not sent again.
  void once(std::string key, MultiValZ value);
  // Counts one more event under key (a new counter starts at unsigned 1).
  void addone(std::string key);

  // A copy of the extras in order of first use (for records and pages).
  std::vector<ExtraS> extras() const;

  // Builds one record for the time `now` from the configuration, the board's
  // status history, the main board's sensors and the extras, and queues it.
  void push(SttyDev& board, std::uint32_t now);
  // Up to kBatchBytes of the oldest records (always at least one) as a JSON
  // array in body; count is how many. 0 (both untouched) when empty.
  std::uint32_t fill(std::uint32_t& count, std::string& body);
  // Posts batches to `url` until the queue is empty or a post fails; returns
  // at once when another post is in flight or `url` is empty.
  void send(const Poster& post);
  // Bytes below the target directories of every configured action.
  static std::uint64_t actionsizes();

  std::size_t queued() const;
  std::uint64_t dropped() const;

  std::string url;  // set at start-up, before the first send
  std::atomic<std::uint64_t> inflight{0};

 protected:
  // Called with mutex held.
  ExtraS* find(const std::string& key);

  mutable std::mutex mutex;
  std::vector<ExtraS> extras_;  // guarded by mutex, in order of first use

 private:
  struct Record {
    std::uint64_t seq;
    std::string text;
  };
  // fill() that also gives the sequence number of the last record taken.
  std::uint32_t fillBatch(std::uint32_t& count, std::string& body, std::uint64_t& last);
  // Erases every queued record up to and including sequence number `last`.
  void erase(std::uint64_t last);

  std::deque<Record> queue_;  // guarded by mutex, oldest first
  std::uint64_t nextSeq_ = 1;  // guarded by mutex
  std::uint64_t dropped_ = 0;  // guarded by mutex
};

Heartbeat& heartbeatStore();
