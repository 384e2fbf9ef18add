#include "codec/nvdevice.h"

#include <poll.h>

#include <cerrno>

namespace {

int systemPoll(int fd, short events, short& revents, int timeoutMs) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  revents = r > 0 ? p.revents : 0;
  return r;
}

}  // namespace

#ifdef KOVIRA_BOARD_V4L2

#include <libv4l2.h>

int devOpen(const char* path, int flags) { return v4l2_open(path, flags); }
int devIoctl(int fd, unsigned long request, void* arg) { return v4l2_ioctl(fd, request, arg); }
int devClose(int fd) { return v4l2_close(fd); }
int devPoll(int fd, short events, short& revents, int timeoutMs) { return systemPoll(fd, events, revents, timeoutMs); }

bool devUsable(std::string& /*why*/) { return true; }

#else

#include "platform/v4l2emu/v4l2emu.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int devOpen(const char* path, int flags) {
  const int fd = v4l2emu::open(path, flags);
  if (fd != v4l2emu::kNotEmulated) return fd;
  return ::open(path, flags | O_CLOEXEC);
}

int devIoctl(int fd, unsigned long request, void* arg) {
  if (v4l2emu::owns(fd)) return v4l2emu::ioctl(fd, request, arg);
  int r;
  // Like libv4l2: a request interrupted by a signal is simply repeated.
  do {
    r = ::ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

int devClose(int fd) {
  if (v4l2emu::owns(fd)) return v4l2emu::close(fd);
  return ::close(fd);
}

int devPoll(int fd, short events, short& revents, int timeoutMs) {
  if (v4l2emu::owns(fd)) return v4l2emu::poll(fd, events, revents, timeoutMs);
  return systemPoll(fd, events, revents, timeoutMs);
}

bool devUsable(std::string& why) {
  why = v4l2emu::envFaultsError();
  return why.empty();
}

#endif
