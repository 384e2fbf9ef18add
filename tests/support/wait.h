// Polling for a state that a peer process or a thread reaches and that
// offers nothing to wait on; the limit only bounds a failing test.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

template <class Done>
bool waitUntil(Done done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace testsupport
