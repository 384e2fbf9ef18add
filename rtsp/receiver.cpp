#include "capture/receiver.h"

#include "capture/cam.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <mutex>
#include <system_error>

namespace {

// A bound UDP socket, closed with its owner.
class UdpPort {
 public:
  // Throws std::system_error naming the port when the socket cannot be
  // made or bound.
  explicit UdpPort(unsigned short port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "udp socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      const int err = errno;
      ::close(fd_);
      throw std::system_error(err, std::generic_category(), "bind udp port " + std::to_string(port));
    }
  }
  ~UdpPort() { ::close(fd_); }
  UdpPort(const UdpPort&) = delete;
  UdpPort& operator=(const UdpPort&) = delete;

 private:
  int fd_;
};

// The receiver until the network cameras are built: it holds the receiver's
// ports (so a port conflict shows at start-up, as it will with the real
// receiver), accepts subscriptions and sessions, and refuses to connect or
// play, saying so once.
class PendingReceiver final : public RtspReceiver {
 public:
  PendingReceiver() : rtp_(kRtpPort), rtcp_(kRtcpPort) {}

  void AddSession(int camid) override { kovira::camera(camid); }  // unknown ids throw
  bool Connect(int /*camid*/, const std::string& /*url*/) override { return refuse(); }
  bool PlayFile(int /*camid*/, const std::string& /*path*/, unsigned /*fps*/) override { return refuse(); }
  bool Disconnect(int /*camid*/) override { return false; }
  void SimpleSubscribe(SimpleFrameCallback /*callback*/) override {}

 private:
  bool refuse() {
    std::call_once(reported_, [] {
      std::cout << "[WARNING] network cameras and file playback are not available yet: "
                   "cameras of source rtsp and file get no frames"
                << std::endl;
    });
    return false;
  }

  UdpPort rtp_;
  UdpPort rtcp_;
  std::once_flag reported_;
};

std::unique_ptr<RtspReceiver> buildPending() { return std::make_unique<PendingReceiver>(); }

struct Slot {
  std::mutex mutex;
  rtsp::ReceiverFactory factory = buildPending;  // guarded by mutex
  std::unique_ptr<RtspReceiver> receiver;         // guarded by mutex
};

// Never destroyed: receiver threads may still call in while the process
// exits.
Slot& slot() {
  static Slot* s = new Slot;
  return *s;
}

}  // namespace

RtspReceiver& getrtsp() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  if (!s.receiver) s.receiver = s.factory();
  return *s.receiver;
}

namespace rtsp {

void replaceReceiverFactory(ReceiverFactory factory) {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  s.receiver.reset();
  s.factory = factory ? std::move(factory) : ReceiverFactory(buildPending);
}

}  // namespace rtsp
