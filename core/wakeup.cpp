#include "core/wakeup.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace {
// Without an eventfd (descriptors exhausted) a sleeper looks at the flag this
// often.
constexpr std::chrono::milliseconds kFallbackSlice{50};
constexpr std::chrono::milliseconds kLongestPoll{3600 * 1000};
}  // namespace

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
  if (fd_ >= 0) ::close(fd_);
}

void Wakeup::raise() {
  raised_.store(true);
  if (fd_ < 0) return;
  const std::uint64_t one = 1;
  // A full counter is still readable, which is all a sleeper looks at.
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void Wakeup::clear() {
  raised_.store(false);
  if (fd_ < 0) return;
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
}

bool Wakeup::sleepUntil(Clock::time_point until) {
  for (;;) {
    if (raised_.load()) return true;
    const auto now = Clock::now();
    if (now >= until) return false;
    auto slice = std::min(std::chrono::ceil<std::chrono::milliseconds>(until - now), kLongestPoll);
    if (fd_ < 0) slice = std::min(slice, kFallbackSlice);
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, fd_ < 0 ? 0 : 1, static_cast<int>(slice.count()));
    if (r < 0 && errno != EINTR) {
      // Not expected from poll on our own descriptor; never spin on it.
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, static_cast<int>(kFallbackSlice.count()));
    }
  }
}
