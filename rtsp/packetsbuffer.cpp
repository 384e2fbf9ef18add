#include "rtsp/packetsbuffer.h"


#include "capture/cam.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/threads.h"
#include "rtsp/points.h"
#include "rtsp/rtsp_session.h"
#include "rtsp/session.h"
#include "rtsp/util.h"

#include <cstdlib>

namespace {
constexpr std::chrono::milliseconds kAssemblyPeriod{50};
// A frame may be stamped from a sender report this far away (90 s at the
// 90 kHz video clock).
constexpr std::int64_t kMaxSenderReportDistance = 8100000;
}  // namespace

void PacketsBuffer::ListBuffer::AddPacket(std::unique_ptr<RtspPacket> packet) {
  {
    std::lock_guard lock(mutex_);
    packets_.push_back(std::move(packet));
  }
  ready_.notify_all();
}

std::deque<std::unique_ptr<RtspPacket>> PacketsBuffer::ListBuffer::Take(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout, [this] { return !packets_.empty(); });
  std::deque<std::unique_ptr<RtspPacket>> out;
  out.swap(packets_);
  return out;
}

void PacketsBuffer::ListBuffer::Clear() {
  std::lock_guard lock(mutex_);
  packets_.clear();
}

PacketsBuffer::PacketsBuffer(ReceiverPoint* owner)
    : owner_(owner),
      assembler_(FrameAssembler::Sink{
          [this](const void* o, const AssembledFrame& f) { deliver(o, f); },
          [this](const void* o, unsigned packets, FrameAssembler::Drop why, unsigned frames) {
            dropped(o, packets, why, frames);
          }}) {
  rtpThread_ = std::thread(&PacketsBuffer::rtpLoop, this);
  thread_name(rtpThread_, "rtp-assembly");
}

PacketsBuffer::~PacketsBuffer() {
  // Control sessions first: their response and TCP threads use this buffer.
  std::vector<std::function<void()>> stops;
  {
    std::lock_guard lock(rtspMutex_);
    for (auto& [session, slot] : rtsp_)
      if (slot.stop) stops.push_back(slot.stop);
  }
  for (const auto& stop : stops) stop();
  {
    std::lock_guard lock(stopMutex_);
    stop_ = true;
  }
  stopWake_.notify_all();
  if (rtpThread_.joinable()) rtpThread_.join();
}

PacketsBuffer::ListBuffer& PacketsBuffer::AddRtspBuffer(RtspSession* session, std::function<void()> stop) {
  std::lock_guard lock(rtspMutex_);
  RtspSlot& slot = rtsp_[session];
  if (stop) slot.stop = std::move(stop);
  return slot.replies;
}

void PacketsBuffer::WriteRtspBuffer(const std::uint8_t* data, unsigned size, RtspSession* session) {
  std::lock_guard lock(rtspMutex_);
  const auto it = rtsp_.find(session);
  if (it == rtsp_.end()) return;
  RtspSlot& slot = it->second;
  std::vector<std::unique_ptr<RtspPacket>> replies;
  if (!slot.cutter.Write(std::string_view(reinterpret_cast<const char*>(data), size), replies) &&
      !slot.overflowReported) {
    log_warning("RTSP receiver: control bytes without a complete reply filled the buffer; cleared");
    slot.overflowReported = true;
  }
  for (auto& reply : replies) slot.replies.AddPacket(std::move(reply));
}

void PacketsBuffer::ClearRtspBuffer(RtspSession* session) {
  std::lock_guard lock(rtspMutex_);
  const auto it = rtsp_.find(session);
  if (it == rtsp_.end()) return;
  it->second.cutter.Clear();
  it->second.replies.Clear();
}

void PacketsBuffer::AddRtcpBuffer(RtcpSession* session) {
  std::lock_guard lock(rtcpMutex_);
  rtcp_[session] = true;
}

void PacketsBuffer::WriteRtcpBuffer(unsigned char* data, unsigned size, UdpSession* session) {
  auto* rtcp = dynamic_cast<RtcpSession*>(session);
  if (rtcp == nullptr) return;
  {
    std::lock_guard lock(rtcpMutex_);
    if (!rtcp_.contains(rtcp)) return;
  }
  // A compound datagram: packets until one does not parse.
  std::vector<std::unique_ptr<RtcpPacket>> packets;
  std::span<const std::uint8_t> rest(data, size);
  while (!rest.empty()) {
    unsigned used = 0;
    auto packet = RtcpPacket::CreatePacket(rest, used);
    if (!packet) break;
    packets.push_back(std::move(packet));
    rest = rest.subspan(used);
  }
  if (!packets.empty()) rtcp->Deliver(std::move(packets));
}

void PacketsBuffer::WriteRtpBuffer(unsigned char* data, unsigned size, UdpSession* session, std::int64_t arrivalMs) {
  auto* rtp = dynamic_cast<RtpSession*>(session);
  if (rtp == nullptr) return;
  // Sequence pauses are measured on arrival: a reading thread held back on
  // a busy machine reads a burst at once, which the network never paused.
  const std::int64_t arrived = arrivalMs != 0 ? arrivalMs : NowMs();
  rtp->datagrams++;
  rtp->lastDatagram = NowSec();
  if (rtp->session != nullptr && rtp->session->camera != nullptr) {
    rtp->session->camera->packets++;
    rtp->session->camera->bytes += size;
  }
  // Large JPEG pictures: the size the description gave (see JpegRtpPacket).
  const bool jpeg = rtp->codec == CodecJpeg && rtp->session != nullptr;
  auto read = ReadRtpDatagram(std::span<const std::uint8_t>(data, size), rtp->payloadType,
                              static_cast<CodecType>(rtp->codec.load()), jpeg ? rtp->session->width.load() : 0u,
                              jpeg ? rtp->session->height.load() : 0u);
  if (read.skipped) {
    // Left out on purpose: its sequence number is no loss.
    std::lock_guard lock(rtpMutex_);
    assembler_.Skip(rtp, read.skipped->ssrc, read.skipped->sequence, read.skipped->timestamp, read.skipped->marker,
                    arrived);
    return;
  }
  if (!read.packet) return;
  auto& packet = read.packet;
  const std::uint32_t ssrc = packet->ssrc;
  bool stored = false;
  {
    std::lock_guard lock(rtpMutex_);
    stored = assembler_.Add(rtp, std::move(packet), arrived);
  }
  if (stored) {
    rtp->packetsStored++;
    rtp->remoteSsrc = ssrc;
  }
}

bool PacketsBuffer::ParseRtpBuffer() {
  std::lock_guard lock(rtpMutex_);
  return assembler_.Collect(NowMs());
}

void PacketsBuffer::rtpLoop() {
  std::unique_lock lock(stopMutex_);
  while (!stop_) {
    stopWake_.wait_for(lock, kAssemblyPeriod, [this] { return stop_; });
    if (stop_) break;
    lock.unlock();
    try {
      while (ParseRtpBuffer()) {
      }
    } catch (const std::exception& e) {
      log_error_format("RTP assembly: %s", e.what());
    }
    lock.lock();
  }
}

void PacketsBuffer::dropped(const void* owner, unsigned packets, FrameAssembler::Drop why, unsigned frames) {
  auto* rtp = static_cast<RtpSession*>(const_cast<void*>(owner));
  // Refused frames arrived whole, late packets belong to frames judged
  // already: the camera's drop counter is for frames that did not arrive
  // whole (in part, or not at all).
  if (why == FrameAssembler::Drop::AfterLoss) {
    rtp->framesAfterLoss++;
    return;
  }
  if (why == FrameAssembler::Drop::Late) {
    rtp->packetsLate++;
    return;
  }
  if (why == FrameAssembler::Drop::Gap) rtp->packetsDropped += packets;
  if (why == FrameAssembler::Drop::Oversize && rtp->framesOversize++ == 0)
    log_warning_format("Camera (camid=%u) sends frames over %zu MiB: they are dropped",
                       rtp->session != nullptr ? rtp->session->camid : 0u, FrameAssembler::kMaxFrameBytes >> 20);
  if (rtp->session != nullptr && rtp->session->camera != nullptr) rtp->session->camera->dropframes += frames;
}

// Called with the RTP mutex held.
void PacketsBuffer::deliver(const void* owner, const AssembledFrame& frame) {
  auto* rtp = static_cast<RtpSession*>(const_cast<void*>(owner));
  Session* session = rtp->session;
  if (session == nullptr || owner_ == nullptr) return;
  std::vector<unsigned char>& bytes = const_cast<std::vector<unsigned char>&>(*frame.bytes);

  if (frame.type == FRAME_I) {
    unsigned w = 0, h = 0, chroma = session->chroma_format_idc;
    if (FindSpsPictureSize(bytes, w, h, chroma)) {
      session->width = w;
      session->height = h;
      session->chroma_format_idc = chroma;
    }
  }
  unsigned width = frame.width;
  unsigned height = frame.height;
  if (session->width != 0 && session->height != 0) {
    width = session->width;
    height = session->height;
  }
  const unsigned chroma = kovira::isH264(frame.type) ? session->chroma_format_idc.load() : 0;

  double ntp = 0.0;
  const RtcpSession::SenderReport sr = session->rtcp().senderReport();
  if (sr.ntp != 0.0) {
    const auto d = static_cast<std::int32_t>(frame.timestamp - sr.rtpTimestamp);
    if (std::llabs(d) < kMaxSenderReportDistance) ntp = sr.ntp + d / 90000.0;
  }
  owner_->DeliverFrame(session->camid, frame.type, chroma, width, height, frame.timestamp, ntp, bytes.data(),
                       static_cast<unsigned>(bytes.size()));
}

std::vector<FrameAssembler::StreamView> PacketsBuffer::Snapshot() {
  std::lock_guard lock(rtpMutex_);
  return assembler_.Snapshot();
}
