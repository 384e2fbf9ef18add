#include "evidence/broadcaster.h"

#include "core/working.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <thread>

namespace {

struct Socket {
  int fd;
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
};

void fail(const char* what) { std::cout << "[ERR] broadcaster: " << what << std::endl; }

// Sleeps one period in short steps so that a drop of `working` ends the loop soon.
bool pauseOnePeriod() {
  constexpr auto kStep = std::chrono::milliseconds(100);
  for (auto slept = std::chrono::milliseconds(0); slept < broadcast::kPeriod; slept += kStep) {
    if (working.load() < 1) return false;
    std::this_thread::sleep_for(kStep);
  }
  return working.load() >= 1;
}

}  // namespace

void broadcaster() {
  const Socket s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)};
  if (s.fd < 0) return fail("failed to create socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(broadcast::kPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(s.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
    return fail("failed to bind to the local port");
  const int on = 1;
  if (::setsockopt(s.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
    return fail("setsockopt(SO_BROADCAST) failed");
  sockaddr_in all = local;
  all.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  do {
    if (::sendto(s.fd, broadcast::kPayload, sizeof broadcast::kPayload - 1, MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&all), sizeof all) < 0)
      return fail("error in sendto()");
  } while (pauseOnePeriod());
}
