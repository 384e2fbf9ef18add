#include "capture/missing_store.h"

#include <map>
#include <mutex>

namespace kovira {

namespace {

std::mutex mutex;
std::map<int, std::uint64_t> missing;  // guarded by mutex

}  // namespace

void markStoreMissing(int camid, std::uint64_t mib) {
  std::lock_guard lock(mutex);
  missing[camid] = mib;
}

std::uint64_t missingStoreMiB(int camid) {
  std::lock_guard lock(mutex);
  const auto it = missing.find(camid);
  return it == missing.end() ? 0 : it->second;
}

void clearStoreMissingForTests() {
  std::lock_guard lock(mutex);
  missing.clear();
}

}  // namespace kovira
