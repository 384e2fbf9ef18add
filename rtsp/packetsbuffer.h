// PacketsBuffer: the receiver's data-plane hub. Socket reading threads write
// raw bytes into it:
//  - RTSP control bytes go into one contiguous 64 KiB buffer per session,
//    fed with the real read lengths, and are cut into replies on the
//    reading thread; replies queue on the session's reply list, whose reader
//    (the control session's thread) is woken. The reading thread never waits
//    on a reply handler.
//  - RTCP datagrams are cut into packets on the socket thread and handed to
//    their RtcpSession.
//  - RTP datagrams are sorted into frames (FrameAssembler); the assembly
//    thread judges quiet frames every 50 ms and delivers complete ones to
//    the owner, holding the RTP mutex, so frame subscribers must not call
//    back into the buffer.
//
// Lock order: a map mutex, then a reply list's mutex. Every counter of the
// camera record is an atomic. The assembly thread is joined by the
// destructor, after it has stopped every registered control session (their
// response and TCP threads). Tear-down order: the sockets that write into
// the buffer, then the buffer, then the sessions its frames refer to.
#pragma once

#include "rtsp/assembly.h"
#include "rtsp/packets.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class ReceiverPoint;
class RtcpSession;
class RtspSession;
class UdpSession;

class PacketsBuffer {
 public:
  // Replies of one control session, oldest first.
  class ListBuffer {
   public:
    void AddPacket(std::unique_ptr<RtspPacket> packet);
    // Waits until a reply is queued or the timeout passes; then takes all.
    std::deque<std::unique_ptr<RtspPacket>> Take(std::chrono::milliseconds timeout);
    void Clear();

   private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::unique_ptr<RtspPacket>> packets_;  // guarded by mutex_
  };

  explicit PacketsBuffer(ReceiverPoint* owner);
  ~PacketsBuffer();
  PacketsBuffer(const PacketsBuffer&) = delete;
  PacketsBuffer& operator=(const PacketsBuffer&) = delete;

  // Registers a control session's buffer and reply list (kept for the
  // buffer's life); returns the list. stop, when given, is called by the
  // destructor first: the session's threads must stop using the buffer.
  ListBuffer& AddRtspBuffer(RtspSession* session, std::function<void()> stop = {});
  void WriteRtspBuffer(const std::uint8_t* data, unsigned size, RtspSession* session);
  // Forgets buffered control bytes and queued replies (a reconnect).
  void ClearRtspBuffer(RtspSession* session);

  void AddRtcpBuffer(RtcpSession* session);
  void WriteRtcpBuffer(unsigned char* data, unsigned size, UdpSession* session);
  // arrivalMs: NowMs() clock of the datagram's arrival (0: now).
  void WriteRtpBuffer(unsigned char* data, unsigned size, UdpSession* session, std::int64_t arrivalMs = 0);

  // The open frames of every stream, copied under the RTP mutex.
  std::vector<FrameAssembler::StreamView> Snapshot();

  // One assembly pass (the thread runs it every 50 ms); true when a frame
  // was judged.
  bool ParseRtpBuffer();

 private:
  struct RtspSlot {
    RtspReplyCutter cutter;
    bool overflowReported = false;
    ListBuffer replies;
    std::function<void()> stop;
  };

  void deliver(const void* owner, const AssembledFrame& frame);
  void dropped(const void* owner, unsigned packets, FrameAssembler::Drop why, unsigned frames);
  void rtpLoop();

  ReceiverPoint* owner_;
  std::mutex rtspMutex_;
  std::map<RtspSession*, RtspSlot> rtsp_;  // guarded by rtspMutex_
  std::mutex rtcpMutex_;
  std::map<RtcpSession*, bool> rtcp_;  // guarded by rtcpMutex_ (registered sessions)
  std::mutex rtpMutex_;
  FrameAssembler assembler_;  // guarded by rtpMutex_

  std::mutex stopMutex_;
  std::condition_variable stopWake_;
  bool stop_ = false;  // guarded by stopMutex_
  std::thread rtpThread_;
};
