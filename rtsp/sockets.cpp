#include "rtsp/sockets.h"

#include "core/clock.h"
#include "core/log.h"
#include "core/threads.h"
#include "rtsp/packets.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kTcpPollMs = 1000;
constexpr std::size_t kTcpReadSize = 1500;

// The kernel's receive time of the datagram recvmsg read (SO_TIMESTAMPNS,
// the system clock NowMs() reads), never after now: now when there is none.
std::int64_t arrivalMs(msghdr& msg, std::int64_t now) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS || c->cmsg_len < CMSG_LEN(sizeof(timespec)))
      continue;
    timespec ts{};
    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
    return std::min(now, std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000);
  }
  return now;
}

bool setTimeout(int fd, int option, long micros) {
  timeval tv{};
  tv.tv_sec = micros / 1000000;
  tv.tv_usec = micros % 1000000;
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

}  // namespace

TcpSocket::TcpSocket(PacketsBuffer* buffer, RtspSession* session) : buffer_(buffer), session_(session) {}

TcpSocket::~TcpSocket() { Disconnect(); }

bool TcpSocket::Connect(const std::string& host, int port) {
  Disconnect();
  sockaddr_in addr{};
  if (port <= 0 || port > 65535 || !GetAddress(host, static_cast<unsigned>(port), addr)) return false;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return false;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, kConnectTimeoutMs) != 1) return false;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
  }
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  if (!setTimeout(fd_, SO_SNDTIMEO, 1000000)) return false;
  connected_ = true;
  stop_ = false;
  reader_ = std::thread(&TcpSocket::readLoop, this);
  thread_name(reader_, "rtsp-tcp");
  return true;
}

bool TcpSocket::Disconnect() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  connected_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return true;
}

bool TcpSocket::Send(const std::string& text) { return Send(text.data(), static_cast<int>(text.size())); }

bool TcpSocket::Send(const std::vector<unsigned char>& bytes) {
  return Send(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

bool TcpSocket::Send(const char* data, int size) {
  if (!connected_ || size < 0) return false;
  return ::send(fd_, data, static_cast<std::size_t>(size), MSG_NOSIGNAL) >= 0;
}

void TcpSocket::readLoop() {
  std::array<std::uint8_t, kTcpReadSize> buf{};
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, kTcpPollMs);
    if (ready == 0) continue;
    const ssize_t n = ready < 0 ? -1 : ::recv(fd_, buf.data(), buf.size(), 0);
    if (n <= 0) {
      // Peer closed or failed: the control session's watchdog reconnects.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    try {
      if (buffer_ != nullptr) buffer_->WriteRtspBuffer(buf.data(), static_cast<unsigned>(n), session_);
    } catch (const std::exception& e) {
      log_error_format("RTSP receiver: control bytes lost: %s", e.what());
    }
  }
}

UdpSocket::UdpSocket(PacketsBuffer* buffer, DatagramCallback callback)
    : buffer_(buffer), callback_(std::move(callback)) {}

UdpSocket::~UdpSocket() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  if (fd_ >= 0) ::close(fd_);
}

bool UdpSocket::Bind(int port) {
  if (fd_ >= 0) return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const int on = 1;
  // A key frame arrives as one burst of datagrams: room for the largest
  // frame the assembly takes. Forced past the system's cap when we may.
  const int rcvbuf = 16 << 20;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 || !setTimeout(fd, SO_SNDTIMEO, 1000000) ||
      !setTimeout(fd, SO_RCVTIMEO, 100000)) {
    ::close(fd);
    return false;
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);  // a smaller buffer still works
  // Without receive times, datagrams are timed when they are read.
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  fd_ = fd;
  reader_ = std::thread(&UdpSocket::readLoop, this);
  thread_name(reader_, "rtsp-udp");
  return true;
}

unsigned UdpSocket::LocalPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

void UdpSocket::AddUdpSession(const std::string& host, unsigned port, UdpSession* session) {
  std::vector<sockaddr_in> addrs;
  GetAddresses(host, port, addrs);
  std::lock_guard lock(mapMutex_);
  for (const sockaddr_in& a : addrs) sessions_.emplace(SocketAddr{a.sin_addr.s_addr, a.sin_port}, session);
}

void UdpSocket::RemoveUdpSession(const std::string& host, unsigned port) {
  sockaddr_in a{};
  if (!GetAddress(host, port, a)) return;
  std::lock_guard lock(mapMutex_);
  sessions_.erase(SocketAddr{a.sin_addr.s_addr, a.sin_port});
}

bool UdpSocket::Send(const char* data, int size, const std::string& host, unsigned port) {
  sockaddr_in to{};
  if (fd_ < 0 || size < 0 || !GetAddress(host, port, to)) return false;
  return ::sendto(fd_, data, static_cast<std::size_t>(size), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >=
         0;
}

bool UdpSocket::Send(const std::string& body, const std::string& host, unsigned port) {
  return Send(body.data(), static_cast<int>(body.size()), host, port);
}

bool UdpSocket::Send(const std::vector<unsigned char>& body, const std::string& host, unsigned port) {
  return Send(reinterpret_cast<const char*>(body.data()), static_cast<int>(body.size()), host, port);
}

UdpSession* UdpSocket::lookup(const sockaddr_in& from) {
  std::lock_guard lock(mapMutex_);
  const auto it = sessions_.find(SocketAddr{from.sin_addr.s_addr, from.sin_port});
  return it == sessions_.end() ? nullptr : it->second;
}

void UdpSocket::readLoop() {
  // One byte more than a datagram may have, so that MSG_TRUNC shows a longer
  // one: it is dropped, never stored cut.
  std::array<unsigned char, kMaxDatagram + 1> buf{};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
  while (!stop_) {
    sockaddr_in from{};
    iovec iov{buf.data(), buf.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(fd_, &msg, MSG_TRUNC);
    if (n <= 0 || static_cast<std::size_t>(n) > kMaxDatagram) continue;
    if (msg.msg_namelen < sizeof from || from.sin_family != AF_INET) continue;
    UdpSession* session = lookup(from);
    if (session == nullptr) continue;
    try {
      callback_(buf.data(), static_cast<unsigned>(n), session, arrivalMs(msg, NowMs()));
    } catch (const std::exception& e) {
      log_error_format("RTSP receiver: datagram handler failed: %s", e.what());
    }
  }
}

UdpSession::UdpSession(PacketsBuffer* buffer, UdpSocket* socket) : buffer_(buffer), socket_(socket) {}

void UdpSession::SetRemoteAddress(const std::string& host, unsigned port) {
  {
    std::lock_guard lock(remoteMutex_);
    remoteHost_ = host;
    remotePort_ = port;
  }
  socket_->AddUdpSession(host, port, this);
}

bool UdpSession::Send(const std::vector<unsigned char>& bytes) {
  return socket_->Send(bytes, remoteHost(), remotePort());
}

bool UdpSession::Send(const std::string& bytes) { return socket_->Send(bytes, remoteHost(), remotePort()); }

std::string UdpSession::remoteHost() const {
  std::lock_guard lock(remoteMutex_);
  return remoteHost_;
}

unsigned UdpSession::remotePort() const {
  std::lock_guard lock(remoteMutex_);
  return remotePort_;
}

RtpSession::RtpSession(PacketsBuffer* buffer, UdpSocket* socket, Session* owner)
    : UdpSession(buffer, socket), session(owner), lastDatagram(NowSec()) {}
