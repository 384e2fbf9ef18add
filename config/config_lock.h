// The one lock of the scene model. The configuration objects (global
// settings, zones, actions, camera sections, module sections) are read by the
// pipeline threads, serialised by the main thread every second and written by
// page handlers and reloads; one process-wide shared mutex guards all of them.
//
// Writers (read/reload, section updates, form posts, add/delete) hold
// ConfigWriteLock; readers hold ConfigReadLock or copy what they need under
// it. Both are re-entrant on one thread, because the store calls module code
// (ConfigSketch::fromjson/tojson) while it holds the lock and that code may
// call the store's accessors again: a nested lock of either kind inside a
// write lock, or a read lock inside a read lock, just counts. Asking for a
// write lock while the same thread holds only a read lock is a programming
// error (an upgrade would deadlock) and throws std::logic_error.
#pragma once

#include <shared_mutex>

namespace kovira {

std::shared_mutex& configMutex();

class ConfigReadLock {
 public:
  ConfigReadLock();
  ~ConfigReadLock();
  ConfigReadLock(const ConfigReadLock&) = delete;
  ConfigReadLock& operator=(const ConfigReadLock&) = delete;

 private:
  bool owns_ = false;
};

class ConfigWriteLock {
 public:
  ConfigWriteLock();
  ~ConfigWriteLock();
  ConfigWriteLock(const ConfigWriteLock&) = delete;
  ConfigWriteLock& operator=(const ConfigWriteLock&) = delete;

 private:
  bool owns_ = false;
};

}  // namespace kovira
