#include "recognition/eventlog.h"

#include "core/clock.h"

#include <algorithm>

namespace kovira {

std::vector<std::uint32_t> EventLog::slice(const std::string& text, std::uint32_t now) {
  std::lock_guard lock(mutex_);
  std::vector<std::uint32_t> held;
  for (const auto& e : entries_) {
    if (e.expiry < now) {
      dirty_ = 1;
      continue;
    }
    if (e.text == text) held.push_back(e.id);
  }
  return held;
}

void EventLog::emplace(const std::string& text, std::uint32_t expiry, std::uint32_t id, std::uint32_t now) {
  std::lock_guard lock(mutex_);
  for (auto& e : entries_) {
    if (e.id == id && e.text == text) {
      e.expiry = expiry;
      return;
    }
  }
  entries_.push_back({text, expiry, id});
  if (dirty_) {
    std::erase_if(entries_, [now](const Entry& e) { return e.expiry < now; });
    dirty_ = 0;
  }
}

void EventLog::emplace(const std::string& text, std::uint32_t expiry, std::uint32_t id) {
  emplace(text, expiry, id, static_cast<std::uint32_t>(::now()));
}

std::size_t EventLog::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace kovira
