// The per-plate event log: which processing module handled which plate text
// recently, so a module is not run again on the same plate within its repeat
// interval.
//
// Thread-safe: every call takes the log's own mutex (a leaf lock).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kovira {

class EventLog {
 public:
  struct Entry {
    std::string text;
    std::uint32_t expiry;  // seconds since the epoch
    std::uint32_t id;      // module registration id
  };

  // Ids of the modules holding this plate back at `now` (expiry >= now), in
  // entry order. Meeting an expired entry marks the log for a clean-up.
  std::vector<std::uint32_t> slice(const std::string& text, std::uint32_t now);
  // Sets the expiry of (text, id), adding the entry when new; a new entry
  // also drops the entries expired before `now` once slice() met one.
  void emplace(const std::string& text, std::uint32_t expiry, std::uint32_t id, std::uint32_t now);
  void emplace(const std::string& text, std::uint32_t expiry, std::uint32_t id);
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::uint32_t dirty_ = 0;      // guarded by mutex_
  std::vector<Entry> entries_;   // guarded by mutex_
};

}  // namespace kovira
