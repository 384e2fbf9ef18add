// Session: one network camera inside the receiver. It holds the camera's
// RTP and RTCP ends and the stream's picture size, which the control
// connection learns from the SDP and the assembly from in-band sequence
// parameter sets.
//
// Lifetime: created once per camera and kept for the receiver's life; the
// sessions are destroyed in reverse order (RTSP, RTCP, RTP). Fields written after
// construction are atomics: the picture size by the control and assembly
// threads, the camera record's counters by the socket and assembly threads.
#pragma once

#include "rtsp/rtcp.h"
#include "rtsp/sockets.h"

#include <atomic>
#include <memory>
#include <string>

namespace kovira {
class Camera;
}
class ReceiverPoint;
class PacketsBuffer;
class RtspSession;

class Session {
 public:
  // Throws the std::logic_error of kovira::camera for an unknown camera id
  // before anything is created.
  // watchdogSeconds: see RtspSession.
  Session(unsigned camid, PacketsBuffer* buffer, ReceiverPoint* receiver, UdpSocket& rtp, UdpSocket& rtcp,
          std::int64_t watchdogSeconds = kDefaultWatchdogSeconds);
  static constexpr std::int64_t kDefaultWatchdogSeconds = 61;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const unsigned camid;
  ReceiverPoint* const receiver;
  kovira::Camera* const camera;

  RtpSession& rtp() { return *rtp_; }
  RtcpSession& rtcp() { return *rtcp_; }
  RtspSession& rtsp() { return *rtsp_; }

  // The camera's control connection (see RtspSession).
  bool Connect(const std::string& url);
  bool Play();
  bool Pause() { return true; }  // no PAUSE is sent
  // Disconnected (and the RTCP reports stop) when connecting or connected;
  // in any other state nothing happens. No TEARDOWN is sent. Always true.
  bool Disconnect();
  // Stops and joins the session's threads for good: the control session's
  // (with its TCP reader), then the RTCP reports. Nothing is sent through
  // the shared sockets afterwards; the receiver calls it before it frees
  // them.
  void Stop();

  std::atomic<unsigned> width{0};
  std::atomic<unsigned> height{0};
  std::atomic<unsigned> chroma_format_idc{0};

 private:
  std::unique_ptr<RtpSession> rtp_;
  std::unique_ptr<RtcpSession> rtcp_;
  std::unique_ptr<RtspSession> rtsp_;
};
