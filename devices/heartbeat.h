// The heartbeat store: named telemetry values ("extras") that any part of
// the program hands in at any time; the next telemetry record carries them.
//
// Threading: every operation takes the store's mutex for its whole run
// (callers: scheduler thread, device loops, result-queue workers, page
// threads). Lifetime: one process-wide store reached through
// heartbeatStore(), built on first use and never destroyed, so detached
// threads may still report while the process exits.
#pragma once

#include "devices/multivalz.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class Heartbeat {
 public:
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

 protected:
  // Called with mutex held.
  ExtraS* find(const std::string& key);

  mutable std::mutex mutex;
  std::vector<ExtraS> extras_;  // guarded by mutex, in order of first use
};

Heartbeat& heartbeatStore();
