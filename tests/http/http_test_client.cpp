#include "tests/http/http_test_client.h"
#include "tests/support/text.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <memory>

namespace httptest {

int connectTo(int port, int rcvbuf, const char* source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in addr{};
  if (source != nullptr) {
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source, &addr.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
      ::close(fd);
      return -1;
    }
    addr = {};
  }
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string readAll(int fd, int seconds) {
  std::string out;
  char buf[65536];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string roundTrip(int port, std::string_view request) {
  const int fd = connectTo(port);
  if (fd < 0) return {};
  std::string out;
  if (sendAll(fd, request)) out = readAll(fd);
  ::close(fd);
  return out;
}

const std::string* Reply::header(const std::string& name) const {
  for (const auto& [n, v] : headers)
    if (n == name) return &v;
  return nullptr;
}

Reply parseReply(const std::string& raw) {
  Reply r;
  const std::size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.complete = true;
  r.body = raw.substr(end + 4);
  std::size_t pos = 0;
  bool first = true;
  while (pos < end) {
    std::size_t eol = raw.find("\r\n", pos);
    if (eol > end) eol = end;
    const std::string line = raw.substr(pos, eol - pos);
    pos = eol + 2;
    if (first) {
      r.statusLine = line;
      first = false;
      continue;
    }
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos) r.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
  }
  return r;
}

std::string run(const std::string& command) { return testsupport::runCommand(command).output; }

std::string gunzip(std::string_view data) {
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return {};
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buf[65536];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END && z.avail_in == 0 ? out : std::string();
}

}  // namespace httptest
