// The device seam of the codec element classes: every request they send to a
// codec device goes through these four calls (plus plain mmap/munmap on
// exported descriptors). A board build routes them to libv4l2; a host build
// routes the codec device paths to the in-process emulator and every other
// path to the real system calls, so a missing node still fails with ENOENT
// and a node that is not a codec device still refuses its requests.
// Results follow the system calls: -1 with errno on failure.
#pragma once

#include <string>

int devOpen(const char* path, int flags);
int devIoctl(int fd, unsigned long request, void* arg);
int devClose(int fd);
// poll(2) on one descriptor: 1 with revents set, 0 after timeoutMs without
// any of `events`, -1 with errno.
int devPoll(int fd, short events, short& revents, int timeoutMs);
// Whether the codec devices can be used as configured: a host build's
// emulated devices refuse a fault plan (KOVIRA_V4L2EMU) they cannot follow,
// and the unit stops at start rather than run against other devices than
// asked. False with the reason.
bool devUsable(std::string& why);
