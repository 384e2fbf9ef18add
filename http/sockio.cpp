#include "http/sockio.h"

#include "http/limits.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// The deadline runs on the monotonic clock: the unit's wall clock is set by
// the time daemon while requests are in flight.
class Deadline {
 public:
  explicit Deadline(int seconds) : end_(Clock::now() + std::chrono::seconds(seconds)) {}
  bool passed() const { return Clock::now() >= end_; }
  int remainingMs() const {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, 1000 * 3600));
  }

 private:
  Clock::time_point end_;
};

bool transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// Waits until the descriptor is ready or the deadline passes; the caller
// checks the deadline again and retries the call.
void waitReady(int socket, short events, const Deadline& deadline) {
  pollfd p{socket, events, 0};
  ::poll(&p, 1, deadline.remainingMs());
}

// True when buffer[i] completes "\r\n\r\n" or "\n\n". Only the tail is
// looked at, so reading a header costs linear time.
bool headerEndsAt(const unsigned char* buffer, int i) {
  if (buffer[i] != '\n') return false;
  if (i >= 1 && buffer[i - 1] == '\n') return true;
  return i >= 3 && buffer[i - 1] == '\r' && buffer[i - 2] == '\n' && buffer[i - 3] == '\r';
}

}  // namespace

int sock_readheader(int socket, unsigned char* buffer, int max, int timeout) {
  const Deadline deadline(timeout);
  int count = 0;
  while (count < max) {
    if (deadline.passed()) return kSockTimeout;
    // Peek at what has arrived, then consume exactly up to the terminator:
    // the body must stay in the socket for sock_read.
    const ssize_t n = ::recv(socket, buffer + count, static_cast<std::size_t>(max - count),
                             MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return kSockClosed;
    if (n < 0) {
      if (!transient(errno)) return kSockError;
      waitReady(socket, POLLIN, deadline);
      continue;
    }
    int take = static_cast<int>(n);
    bool complete = false;
    for (int i = count; i < count + static_cast<int>(n); ++i) {
      if (headerEndsAt(buffer, i)) {
        take = i + 1 - count;
        complete = true;
        break;
      }
    }
    const ssize_t got = ::recv(socket, buffer + count, static_cast<std::size_t>(take), MSG_DONTWAIT);
    if (got < 0) {
      if (!transient(errno)) return kSockError;
      continue;
    }
    if (got == 0) return kSockClosed;
    // Bytes peeked past what was consumed are not part of the header.
    std::memset(buffer + count + got, 0, static_cast<std::size_t>(n - got));
    count += static_cast<int>(got);
    if (complete && got == take) return count;
  }
  return kSockError;
}

int sock_read(int socket, unsigned char* buffer, int length, int timeout) {
  const Deadline deadline(timeout);
  int count = 0;
  while (count < length) {
    if (deadline.passed()) return kSockTimeout;
    const int want = std::min(length - count, http_limits::kIoChunk);
    const ssize_t n = ::recv(socket, buffer + count, static_cast<std::size_t>(want), MSG_DONTWAIT);
    if (n == 0) return kSockClosed;
    if (n < 0) {
      if (!transient(errno)) return kSockError;
      waitReady(socket, POLLIN, deadline);
      continue;
    }
    count += static_cast<int>(n);
  }
  return length;
}

int sock_send(int socket, const unsigned char* buffer, int length, int timeout) {
  const Deadline deadline(timeout);
  int count = 0;
  while (count < length) {
    if (deadline.passed()) return kSockTimeout;
    const int want = std::min(length - count, http_limits::kIoChunk);
    const ssize_t n = ::send(socket, buffer + count, static_cast<std::size_t>(want), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (!transient(errno)) return kSockError;
      waitReady(socket, POLLOUT, deadline);
      continue;
    }
    count += static_cast<int>(n);
  }
  return length;
}
