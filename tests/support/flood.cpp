#include "tests/support/flood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace testsupport {

std::string requestFrom(int client, int port, const std::string& text) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(0x7f000100u + static_cast<unsigned>(client) + 1);  // 127.0.1.x
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(port));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool sent = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                    ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
                    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  char buf[4096];
  std::string answer;
  for (ssize_t n; sent && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return sent ? answer : std::string();
}

}  // namespace testsupport
