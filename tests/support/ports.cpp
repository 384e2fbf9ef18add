#include "tests/support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>

namespace testsupport {

// Below the kernel's ephemeral range (32768 up): a port the kernel handed
// out could be taken meanwhile as the local end of a client's connection
// (tests beside this one open thousands), and the server's bind would fail.
int unusedLoopbackPort() {
  thread_local std::mt19937 pick{std::random_device{}()};
  std::uniform_int_distribution<int> range(20000, 31999);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = range(pick);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (free) return port;
  }
  return 0;
}

}  // namespace testsupport
