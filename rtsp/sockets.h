// Sockets of the network-camera receiver: the RTSP control connection of one
// camera (TcpSocket), the two UDP sockets shared by every camera
// (UdpSocket: RTP on local port 8000, RTCP on 8001), and UdpSession, which
// binds one camera's remote address to a shared UDP socket. Bytes read are
// handed unparsed to the packet buffer; a datagram with the time the kernel
// received it (SO_TIMESTAMPNS), so that pauses are the network's, not those
// of a reading thread held back on a busy machine.
//
// Threads: each connected TcpSocket and each bound UdpSocket runs one
// reading thread, started and joined by its owner object (joined before the
// descriptor is closed). Every wait is bounded (1 s TCP poll, 100 ms UDP
// receive time-out). Sends may come from any thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class PacketsBuffer;
class RtspSession;
class UdpSession;
class Session;

class TcpSocket {
 public:
  TcpSocket(PacketsBuffer* buffer, RtspSession* session);
  virtual ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Drops any previous connection, then connects with a 1-s deadline and
  // starts the reading thread; false when the host does not resolve or the
  // peer does not accept in time.
  bool Connect(const std::string& host, int port);
  // Stops and joins the reading thread and closes the connection; true.
  bool Disconnect();
  // One send with a 1-s time-out; false when not connected or it failed.
  bool Send(const std::string& text);
  bool Send(const std::vector<unsigned char>& bytes);
  bool Send(const char* data, int size);
  bool connected() const { return connected_; }

 private:
  void readLoop();

  std::atomic<bool> connected_{false};
  int fd_ = -1;  // -1: no socket; written only by Connect/Disconnect
  std::atomic<bool> stop_{false};
  std::thread reader_;
  PacketsBuffer* buffer_;
  RtspSession* session_;
};

class UdpSocket {
 public:
  // (data, size, session of the sender, NowMs() clock of its arrival)
  using DatagramCallback = std::function<void(unsigned char*, unsigned, UdpSession*, std::int64_t)>;

  UdpSocket(PacketsBuffer* buffer, DatagramCallback callback);
  virtual ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds the wildcard address at port (0: the kernel chooses) and starts
  // the reading thread; false when the socket cannot be made or bound.
  bool Bind(int port);
  // The bound port, 0 before Bind.
  unsigned LocalPort() const;

  // Registers session under every IPv4 address of host at port; a key that
  // is already registered keeps its session.
  void AddUdpSession(const std::string& host, unsigned port, UdpSession* session);
  void RemoveUdpSession(const std::string& host, unsigned port);

  bool Send(const char* data, int size, const std::string& host, unsigned port);
  bool Send(const std::string& body, const std::string& host, unsigned port);
  bool Send(const std::vector<unsigned char>& body, const std::string& host, unsigned port);

 private:
  // Network-order address and port, compared address first.
  using SocketAddr = std::pair<std::uint32_t, std::uint16_t>;

  void readLoop();
  UdpSession* lookup(const sockaddr_in& from);

  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  PacketsBuffer* buffer_;
  std::mutex mapMutex_;
  std::map<SocketAddr, UdpSession*> sessions_;  // guarded by mapMutex_
  DatagramCallback callback_;
};

// One camera's remote end on a shared UDP socket.
class UdpSession {
 public:
  UdpSession(PacketsBuffer* buffer, UdpSocket* socket);
  virtual ~UdpSession() = default;

  // Stores the remote end and registers this session with the socket.
  void SetRemoteAddress(const std::string& host, unsigned port);
  bool Send(const std::vector<unsigned char>& bytes);
  bool Send(const std::string& bytes);

  std::string remoteHost() const;
  unsigned remotePort() const;

 protected:
  PacketsBuffer* buffer_;
  UdpSocket* socket_;

 private:
  mutable std::mutex remoteMutex_;
  std::string remoteHost_;  // guarded by remoteMutex_
  unsigned remotePort_ = 0;  // guarded by remoteMutex_
};

// A camera's RTP stream. The counters are written by the RTP socket thread
// and the packet buffer and read by anyone.
class RtpSession : public UdpSession {
 public:
  RtpSession(PacketsBuffer* buffer, UdpSocket* socket, Session* session);

  Session* const session;
  std::atomic<std::uint32_t> datagrams{0};       // every datagram handed over for this camera
  std::atomic<std::uint32_t> packetsStored{0};   // datagrams placed into a frame
  std::atomic<std::uint32_t> packetsDropped{0};  // packets of frames dropped for gaps
  std::atomic<std::uint32_t> framesOversize{0};  // frames dropped for their size (FrameAssembler::kMaxFrameBytes)
  std::atomic<std::uint32_t> framesAfterLoss{0}; // whole frames refused after a loss, until the next key frame
  std::atomic<std::uint32_t> packetsLate{0};     // packets that came after their frame was judged
  std::atomic<std::uint32_t> remoteSsrc{0};      // SSRC of the last stored packet
  std::atomic<std::uint32_t> payloadType{0};     // expected payload type (SDP)
  std::atomic<std::uint32_t> codec{0};           // CodecType of the stream (SDP)
  std::atomic<std::int64_t> lastDatagram;        // NowSec() of the last datagram
};
