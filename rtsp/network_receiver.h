// RtspNetworkReceiver: the product receiver behind getrtsp(). It owns the
// two shared UDP sockets (RTP on 8000, RTCP on 8001), the packet buffer
// that assembles frames, one Session per camera and the playback threads of
// file cameras, and delivers frames as the receiver point (identity 1).
//
// Threads: sessions are added at start-up; the socket, assembly, control
// and RTCP threads belong to their objects, each playback thread to its
// entry here. The destructor stops the file threads and every network
// thread and joins them all before anything is freed, so no frame reaches a
// callback after it returns. Order: file threads; each session's threads
// (control, TCP reader, RTCP reports), which send through the shared
// sockets; the sockets; the buffer's assembly thread; then the sessions.
#pragma once

#include "rtsp/points.h"
#include "rtsp/session.h"
#include "capture/receiver.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PacketsBuffer;
class UdpSocket;

class RtspNetworkReceiver final : public RtspReceiver, public ReceiverPoint {
 public:
  // Binds the two ports; throws std::system_error when either is taken.
  // watchdogSeconds: the sessions' reconnect period (shorter in tests,
  // through rtsp::replaceReceiverFactory).
  explicit RtspNetworkReceiver(std::int64_t watchdogSeconds = Session::kDefaultWatchdogSeconds);
  ~RtspNetworkReceiver() override;

  void AddSession(int camid) override;
  bool Connect(int camid, const std::string& url) override;
  bool PlayFile(int camid, const std::string& path, unsigned fps) override;
  bool Disconnect(int camid) override;
  void DisconnectAll() override;
  void SimpleSubscribe(SimpleFrameCallback callback) override { ReceiverPoint::SimpleSubscribe(callback); }

  bool Play(unsigned camid);
  bool Pause(unsigned camid);
  bool StopFile(unsigned camid);
  // The camera's session, or null: the one search by camera id.
  Session* FindSession(unsigned camid);
  Session* GetSession(unsigned camid) { return FindSession(camid); }
  Session* GetSessionBySsrc(std::uint32_t ssrc);
  // Every session, in creation order (they live as long as the receiver).
  std::vector<Session*> Sessions();
  PacketsBuffer& buffer() { return *buffer_; }

  // A full path for a configured file: absolute paths as given, relative
  // ones under the program directory's parent.
  static std::string FilePath(const std::string& path);
  // Milliseconds to wait before a packet played at its presentation time:
  // the step from the previous packet, capped to 0..kMaxFileStepMs so that
  // a jump in the file never stalls or races playback.
  static constexpr std::int64_t kMaxFileStepMs = 1000;
  static std::int64_t FileStepMs(std::int64_t previousMs, std::int64_t positionMs);

 private:
  struct PlayingFile {
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex wakeMutex;
    std::condition_variable wake;
  };

  void PlayFileThread(unsigned camid, std::string path, unsigned fps, PlayingFile* entry);
  bool PlayFileOnce(unsigned camid, const std::string& path, unsigned fps, unsigned play, PlayingFile* entry);
  bool stopped(const PlayingFile* entry) const { return stop_ || entry->stop; }
  // Sleeps ms or until a stop flag is set; false when stopped.
  bool pause(PlayingFile* entry, std::int64_t ms);

  std::unique_ptr<PacketsBuffer> buffer_;
  std::unique_ptr<UdpSocket> rtpSocket_;
  std::unique_ptr<UdpSocket> rtcpSocket_;
  const std::int64_t watchdogSeconds_;
  std::mutex sessionsMutex_;
  std::vector<std::unique_ptr<Session>> sessions_;  // guarded by sessionsMutex_; never shrinks until destruction
  std::atomic<bool> stop_{false};
  std::mutex filesMutex_;
  std::map<unsigned, std::unique_ptr<PlayingFile>> files_;  // guarded by filesMutex_
};
