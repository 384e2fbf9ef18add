#include "config/config_lock.h"

#include <stdexcept>

namespace kovira {

namespace {
// How deeply this thread holds the configuration lock, per kind.
thread_local int readDepth = 0;
thread_local int writeDepth = 0;
}  // namespace

std::shared_mutex& configMutex() {
  static std::shared_mutex mutex;
  return mutex;
}

ConfigReadLock::ConfigReadLock() {
  if (writeDepth == 0 && readDepth == 0) {
    configMutex().lock_shared();
    owns_ = true;
  }
  ++readDepth;
}

ConfigReadLock::~ConfigReadLock() {
  --readDepth;
  if (owns_) configMutex().unlock_shared();
}

ConfigWriteLock::ConfigWriteLock() {
  if (writeDepth == 0) {
    if (readDepth > 0) throw std::logic_error("configuration write lock asked for under a read lock");
    configMutex().lock();
    owns_ = true;
  }
  ++writeDepth;
}

ConfigWriteLock::~ConfigWriteLock() {
  --writeDepth;
  if (owns_) configMutex().unlock();
}

}  // namespace kovira
