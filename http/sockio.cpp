#include "http/sockio.h"

#include "http/limits.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Waits until the descriptor is ready or the deadline passes; the caller
// checks the deadline again and retries the call.
void waitReady(int socket, short events, const Deadline& deadline) {
  pollfd p{socket, events, 0};
  ::poll(&p, 1, deadline.remainingMs());
}

// True when text[i] completes "\r\n\r\n" or "\n\n". Only the tail is
// looked at, so reading a header costs linear time.
bool headerEndsAt(const char* text, std::size_t i) {
  if (text[i] != '\n') return false;
  if (i >= 1 && text[i - 1] == '\n') return true;
  return i >= 3 && text[i - 1] == '\r' && text[i - 2] == '\n' && text[i - 3] == '\r';
}

}  // namespace

bool transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

bool inputPending(int socket) {
  char byte;
  return ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

HeaderStep sock_readheader_step(int socket, std::string& header, int max) {
  const std::size_t limit = static_cast<std::size_t>(std::clamp(max, 0, http_limits::kHeaderMax));
  if (header.size() >= limit) return HeaderStep::kTooLong;
  char scratch[http_limits::kHeaderMax];
  // Peek at what has arrived, then consume exactly up to the terminator:
  // the body must stay in the socket for sock_read.
  const ssize_t n = ::recv(socket, scratch, limit - header.size(), MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return HeaderStep::kClosed;
  if (n < 0) return transient(errno) ? HeaderStep::kNeedMore : HeaderStep::kError;
  const std::size_t old = header.size();
  header.append(scratch, static_cast<std::size_t>(n));
  std::size_t take = static_cast<std::size_t>(n);
  bool complete = false;
  for (std::size_t i = old; i < header.size(); ++i) {
    if (headerEndsAt(header.data(), i)) {
      take = i + 1 - old;
      complete = true;
      break;
    }
  }
  const ssize_t got = ::recv(socket, scratch, take, MSG_DONTWAIT);
  if (got <= 0) {
    header.resize(old);
    if (got == 0) return HeaderStep::kClosed;
    return transient(errno) ? HeaderStep::kNeedMore : HeaderStep::kError;
  }
  // Bytes peeked past what was consumed are not part of the header.
  header.resize(old + static_cast<std::size_t>(got));
  if (complete && static_cast<std::size_t>(got) == take) return HeaderStep::kComplete;
  return header.size() >= limit ? HeaderStep::kTooLong : HeaderStep::kNeedMore;
}

int sock_readheader(int socket, unsigned char* buffer, int max, int timeout) {
  const Deadline deadline(timeout);
  std::string header;
  while (true) {
    switch (sock_readheader_step(socket, header, max)) {
      case HeaderStep::kComplete:
        std::memcpy(buffer, header.data(), header.size());
        return static_cast<int>(header.size());
      case HeaderStep::kNeedMore:
        if (deadline.passed()) return kSockTimeout;
        waitReady(socket, POLLIN, deadline);
        break;
      case HeaderStep::kClosed: return kSockClosed;
      case HeaderStep::kError:
      case HeaderStep::kTooLong: return kSockError;
    }
  }
}

int sock_read(int socket, unsigned char* buffer, int length, int timeout) {
  const Deadline deadline(timeout);
  int count = 0;
  while (count < length) {
    const int want = std::min(length - count, http_limits::kIoChunk);
    const ssize_t n = ::recv(socket, buffer + count, static_cast<std::size_t>(want), MSG_DONTWAIT);
    if (n == 0) return kSockClosed;
    if (n > 0) {
      count += static_cast<int>(n);
      continue;
    }
    if (!transient(errno)) return kSockError;
    if (deadline.passed()) return kSockTimeout;
    waitReady(socket, POLLIN, deadline);
  }
  return length;
}

int sock_send(int socket, const unsigned char* buffer, int length, int timeout) {
  const Deadline deadline(timeout);
  int count = 0;
  while (count < length) {
    const int want = std::min(length - count, http_limits::kIoChunk);
    const ssize_t n = ::send(socket, buffer + count, static_cast<std::size_t>(want), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      count += static_cast<int>(n);
      continue;
    }
    if (!transient(errno)) return kSockError;
    if (deadline.passed()) return kSockTimeout;
    waitReady(socket, POLLOUT, deadline);
  }
  return length;
}
