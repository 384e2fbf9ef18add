// RtcpSession: one camera's RTCP end. Every 5 s it sends a receiver report
// with a source description to the camera's RTCP port, which keeps the
// camera sending; it takes the camera's sender reports so that frames can
// be stamped with the camera's NTP time.
//
// Threads: the session thread runs between Start and Stop (or destruction)
// and is joined by both; its waits end at the report deadline or when Stop
// or an arriving RTCP packet wakes it. The sender-report pair is read by the
// assembly thread and is published together under its own mutex.
#pragma once

#include "rtsp/packets.h"
#include "rtsp/sockets.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RtcpSession : public UdpSession {
 public:
  static constexpr std::chrono::seconds kReportPeriod{5};

  RtcpSession(PacketsBuffer* buffer, RtpSession* rtp, UdpSocket* socket);
  ~RtcpSession() override;

  // Starts the thread; the first report is due 5 s later.
  void Start();
  void Stop();
  // An empty datagram to the camera's RTCP port (opens the path); on
  // success the next report moves 5 s later.
  void SendEmptyReport();
  void SendReport();

  // Packets cut from a datagram of this session's camera (RTCP socket
  // thread); the session thread takes them.
  void Deliver(std::vector<std::unique_ptr<RtcpPacket>> packets);

  struct SenderReport {
    double ntp = 0.0;  // seconds; 0.0 before the first sender report
    std::uint32_t rtpTimestamp = 0;
  };
  SenderReport senderReport() const;
  std::uint32_t lastReceipt() const { return lastReceipt_; }

  const std::uint32_t ownSsrc;

 private:
  void run();
  void drain();

  RtpSession* rtp_;
  std::atomic<std::uint32_t> lastReceipt_{0};
  mutable std::mutex srMutex_;
  SenderReport sr_;  // guarded by srMutex_

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = true;  // guarded by mutex_
  std::deque<std::unique_ptr<RtcpPacket>> inbox_;  // guarded by mutex_
  std::chrono::system_clock::time_point deadline_;  // guarded by mutex_
  std::thread thread_;  // started and joined by the controlling thread
};
