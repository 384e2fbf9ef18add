#include "capture/receiver.h"

#include "core/clock.h"
#include "core/fs.h"
#include "core/log.h"
#include "core/threads.h"
#include "rtsp/network_receiver.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/presentation_order.h"
#include "rtsp/rtsp_session.h"
#include "rtsp/session.h"
#include "rtsp/sockets.h"
#include "rtsp/util.h"

extern "C" {
#include <cerrno>
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <system_error>

namespace {

constexpr unsigned kMaxPlays = 100;
constexpr std::int64_t kReplayPauseMs = 5000;
constexpr std::int64_t kFrameStepWithoutTimesMs = 40;
// A play more than this far behind its schedule (a stall) starts the
// schedule again instead of sending the missed packets in a burst.
constexpr std::int64_t kFileCatchUpMs = 250;

// libavformat and libavcodec handles, freed with their owner.
struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct BsfFree {
  void operator()(AVBSFContext* c) const { av_bsf_free(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;
using Bsf = std::unique_ptr<AVBSFContext, BsfFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// A file's packets are filed as the network path files access units: the
// slice header tells B-frames from P-frames; the container's key flag
// decides only where no slice header can be read.
FrameType FileFrameType(AVCodecID codec, const AVPacket& p) {
  if (codec == AV_CODEC_ID_MJPEG) return FRAME_MJPEG;
  return H264FrameType(std::span<const std::uint8_t>(p.data, static_cast<std::size_t>(p.size)),
                       (p.flags & AV_PKT_FLAG_KEY) ? FRAME_I : FRAME_P);
}

// How long after its decoding time a packet's picture is shown: B-frames
// come before the pictures they are shown after, and a frame is stamped
// with the time of its picture. Zero without both times.
std::int64_t PresentationOffsetMs(const AVPacket& p, AVRational timeBase) {
  if (p.pts == AV_NOPTS_VALUE || p.dts == AV_NOPTS_VALUE) return 0;
  return av_rescale_q(p.pts - p.dts, timeBase, AVRational{1, 1000});
}

std::unique_ptr<RtspReceiver> buildProduct() { return std::make_unique<RtspNetworkReceiver>(); }

struct Slot {
  std::mutex mutex;
  rtsp::ReceiverFactory factory = buildProduct;  // guarded by mutex
  std::unique_ptr<RtspReceiver> receiver;        // guarded by mutex
};

// Never destroyed: the exit path drops the receiver (rtsp::shutdownReceiver)
// while the slot itself stays for late callers.
Slot& slot() {
  static Slot* s = new Slot;
  return *s;
}

}  // namespace

RtspNetworkReceiver::RtspNetworkReceiver(std::int64_t watchdogSeconds)
    : buffer_(std::make_unique<PacketsBuffer>(this)),
      rtpSocket_(std::make_unique<UdpSocket>(buffer_.get(), [b = buffer_.get()](unsigned char* d, unsigned n, UdpSession* s, std::int64_t at) {
        b->WriteRtpBuffer(d, n, s, at);
      })),
      rtcpSocket_(std::make_unique<UdpSocket>(buffer_.get(), [b = buffer_.get()](unsigned char* d, unsigned n, UdpSession* s, std::int64_t) {
        b->WriteRtcpBuffer(d, n, s);
      })),
      watchdogSeconds_(watchdogSeconds) {
  log_info("Starting RTSP receiver");
  const bool bound = rtpSocket_->Bind(kRtpPort) && rtcpSocket_->Bind(kRtcpPort);
  const int cause = bound ? 0 : (errno != 0 ? errno : EADDRINUSE);  // before the clean-up changes it
  if (!bound) {
    rtcpSocket_.reset();
    rtpSocket_.reset();
    buffer_.reset();
    throw std::system_error(cause, std::system_category(),
                            "RTSP receiver: UDP ports " + std::to_string(kRtpPort) + " and " +
                                std::to_string(kRtcpPort) + " cannot be bound");
  }
}

RtspNetworkReceiver::~RtspNetworkReceiver() {
  log_info("Stopping RTSP receiver");
  stop_ = true;
  // 1. File threads first: they deliver frames without the buffer.
  {
    std::lock_guard lock(filesMutex_);
    for (auto& [id, entry] : files_) {
      entry->stop = true;
      std::lock_guard wake(entry->wakeMutex);
      entry->wake.notify_all();
    }
  }
  for (auto& [id, entry] : files_)
    if (entry->thread.joinable()) entry->thread.join();
  // 2. Every session's own threads (control, TCP reader, RTCP reports):
  // they send through the shared sockets, which must outlive them.
  for (const auto& s : sessions_) s->Stop();
  // 3. The sockets that write into the buffer, then the buffer (its
  // assembly thread), then the sessions its frames referred to.
  rtcpSocket_.reset();
  rtpSocket_.reset();
  buffer_.reset();
  sessions_.clear();
}

void RtspNetworkReceiver::AddSession(int camid) {
  if (FindSession(static_cast<unsigned>(camid)) != nullptr) return;
  auto session = std::make_unique<Session>(static_cast<unsigned>(camid), buffer_.get(), this, *rtpSocket_, *rtcpSocket_,
                                            watchdogSeconds_);
  std::lock_guard lock(sessionsMutex_);
  sessions_.push_back(std::move(session));
}

Session* RtspNetworkReceiver::FindSession(unsigned camid) {
  std::lock_guard lock(sessionsMutex_);
  for (const auto& s : sessions_)
    if (s->camid == camid) return s.get();
  return nullptr;
}

std::vector<Session*> RtspNetworkReceiver::Sessions() {
  std::lock_guard lock(sessionsMutex_);
  std::vector<Session*> out;
  for (const auto& s : sessions_) out.push_back(s.get());
  return out;
}

void RtspNetworkReceiver::DisconnectAll() {
  for (Session* s : Sessions()) s->Disconnect();
}

Session* RtspNetworkReceiver::GetSessionBySsrc(std::uint32_t ssrc) {
  std::lock_guard lock(sessionsMutex_);
  for (const auto& s : sessions_)
    if (s->rtp().remoteSsrc == ssrc) return s.get();
  return nullptr;
}

bool RtspNetworkReceiver::Connect(int camid, const std::string& url) {
  Session* s = FindSession(static_cast<unsigned>(camid));
  return s != nullptr && s->Connect(url);
}

bool RtspNetworkReceiver::Play(unsigned camid) {
  Session* s = FindSession(camid);
  return s != nullptr && s->Play();
}

bool RtspNetworkReceiver::Pause(unsigned camid) {
  Session* s = FindSession(camid);
  return s != nullptr && s->Pause();
}

bool RtspNetworkReceiver::Disconnect(int camid) {
  Session* s = FindSession(static_cast<unsigned>(camid));
  return s != nullptr && s->Disconnect();
}

std::string RtspNetworkReceiver::FilePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  return GetCurrentPath() + "../" + path;
}

std::int64_t RtspNetworkReceiver::FileStepMs(std::int64_t previousMs, std::int64_t positionMs) {
  return std::clamp<std::int64_t>(positionMs - previousMs, 0, kMaxFileStepMs);
}

bool RtspNetworkReceiver::PlayFile(int camid, const std::string& path, unsigned fps) {
  if (FindSession(static_cast<unsigned>(camid)) == nullptr) return false;
  std::lock_guard lock(filesMutex_);
  auto& entry = files_[static_cast<unsigned>(camid)];
  if (entry) return false;
  entry = std::make_unique<PlayingFile>();
  entry->thread = std::thread(&RtspNetworkReceiver::PlayFileThread, this, static_cast<unsigned>(camid), FilePath(path),
                              fps, entry.get());
  thread_name(entry->thread, "rtsp-file");
  return true;
}

bool RtspNetworkReceiver::StopFile(unsigned camid) {
  if (FindSession(camid) == nullptr) return false;
  PlayingFile* entry = nullptr;
  {
    std::lock_guard lock(filesMutex_);
    const auto it = files_.find(camid);
    if (it == files_.end()) return false;
    entry = it->second.get();
    entry->stop = true;
    std::lock_guard wake(entry->wakeMutex);
    entry->wake.notify_all();
  }
  // Joined outside the table's mutex; entries are never removed.
  if (entry->thread.joinable() && entry->thread.get_id() != std::this_thread::get_id()) entry->thread.join();
  return true;
}

bool RtspNetworkReceiver::pause(PlayingFile* entry, std::int64_t ms) {
  std::unique_lock lock(entry->wakeMutex);
  return !entry->wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopped(entry); });
}

void RtspNetworkReceiver::PlayFileThread(unsigned camid, std::string path, unsigned fps, PlayingFile* entry) {
  try {
    for (unsigned play = 1; play <= kMaxPlays && !stopped(entry); ++play) {
      if (play > 1 && !pause(entry, kReplayPauseMs)) break;
      if (!PlayFileOnce(camid, path, fps, play, entry)) break;
    }
  } catch (const std::exception& e) {
    log_error_format("Client FileStream: %s", e.what());
  }
}

bool RtspNetworkReceiver::PlayFileOnce(unsigned camid, const std::string& path, unsigned fps, unsigned play,
                                       PlayingFile* entry) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) != 0) {
    log_error_format("Client FileStream: Error opening file: %s", path.c_str());
    return false;
  }
  Input input(raw);
  const int index = avformat_find_stream_info(input.get(), nullptr) < 0
                        ? -1
                        : av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    log_error("Client FileStream: Could not find video stream");
    return false;
  }
  AVStream* stream = input->streams[index];
  const AVCodecID codec = stream->codecpar->codec_id;
  if ((codec != AV_CODEC_ID_H264 && codec != AV_CODEC_ID_MJPEG) || avcodec_find_decoder(codec) == nullptr) {
    log_error("Client FileStream: Cannot find codec");
    return false;
  }
  // MP4 and MKV store H.264 length-prefixed; the decode stage reads
  // Annex-B. The filter passes streams that already are Annex-B through.
  Bsf bsf;
  if (codec == AV_CODEC_ID_H264) {
    AVBSFContext* b = nullptr;
    const AVBitStreamFilter* filter = av_bsf_get_by_name("h264_mp4toannexb");
    if (filter == nullptr || av_bsf_alloc(filter, &b) < 0) {
      log_error("Client FileStream: Cannot open codec");
      return false;
    }
    bsf.reset(b);
    bsf->time_base_in = stream->time_base;
    if (avcodec_parameters_copy(bsf->par_in, stream->codecpar) < 0 || av_bsf_init(bsf.get()) < 0) {
      log_error("Client FileStream: Cannot open codec");
      return false;
    }
  }
  if (play == 1) av_dump_format(input.get(), index, path.c_str(), 0);
  const unsigned width = static_cast<unsigned>(std::max(0, stream->codecpar->width));
  const unsigned height = static_cast<unsigned>(std::max(0, stream->codecpar->height));

  PacketPtr packet(av_packet_alloc());
  if (!packet) return false;
  Session* const session = FindSession(camid);
  // Each play starts like a stream after a loss: a file cut anywhere begins
  // with frames that refer to pictures before its start, and the frame store
  // would file them into the previous play's last group. They are refused,
  // and the first frame stored of a play always starts a group.
  bool keyed = codec != AV_CODEC_ID_H264;
  // A raw stream has no container times; when its pictures are reordered
  // (B-frames: the decoder found a delay), each frame is stamped with its
  // picture's slot in presentation order instead of its decoding slot.
  const bool containerTimes = (input->iformat->flags & AVFMT_NOTIMESTAMPS) == 0;
  std::optional<H264PresentationOrder> order;
  if (codec == AV_CODEC_ID_H264 && stream->codecpar->video_delay > 0) order.emplace();
  const std::int64_t slotMs = fps != 0 ? 1000 / fps : kFrameStepWithoutTimesMs;
  std::int64_t decodeIndex = 0;
  // Packets are due on the play's own schedule, each one step after the
  // previous one's due time: pacing from the previous delivery would add
  // every late wake-up to all later frames, and a busy machine measured
  // every vehicle slower. Each frame also carries its due time as a 90 kHz
  // stamp, so the frame store times it by the schedule, not by when a late
  // wake-up delivered it (one 20 ms late frame put a 118 km/h vehicle 5% off).
  std::int64_t due = NowMs();
  const std::int64_t start = due;
  std::int64_t previousPosition = -1;
  bool first = true;
  auto deliver = [&](AVPacket* p) {
    std::int64_t step = kFrameStepWithoutTimesMs;
    if (fps != 0) {
      step = 1000 / fps;
    } else {
      // Decoding times: packets come in decoding order (with B-frames the
      // presentation times go back and forth).
      const std::int64_t ts = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
      if (ts != AV_NOPTS_VALUE) {
        const std::int64_t position = av_rescale_q(ts, stream->time_base, AVRational{1, 1000});
        step = previousPosition < 0 ? 0 : FileStepMs(previousPosition, position);
        previousPosition = position;
      }
    }
    if (first) step = 0;
    first = false;
    due += step;
    const std::int64_t now = NowMs();
    if (now - due > kFileCatchUpMs) due = now;
    const std::int64_t wait = due - now;
    if (wait > 0 && !pause(entry, std::min(wait, kMaxFileStepMs))) return false;
    const FrameType type = FileFrameType(codec, *p);
    const std::span<const std::uint8_t> unit(p->data, static_cast<std::size_t>(p->size));
    // Whether the file has times is decided once, by its first packet: the
    // parser must see every unit from the play's start.
    if (order && decodeIndex == 0 && containerTimes && p->pts != AV_NOPTS_VALUE) order.reset();
    const std::int64_t laterMs =
        order ? order->Distance(unit, decodeIndex) * slotMs : PresentationOffsetMs(*p, stream->time_base);
    ++decodeIndex;
    if (!keyed && type != FRAME_I) {
      if (session != nullptr) session->rtp().framesAfterLoss++;
      return true;
    }
    keyed = true;
    std::vector<unsigned char> bytes(unit.begin(), unit.end());
    // Zero means "no stamp" to the frame store. The stamp is the picture's
    // time: its packet's due time plus how much later it is shown.
    const std::int64_t shown = due - start + laterMs;
    const std::uint32_t ts =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>(90 * std::max<std::int64_t>(0, shown)));
    DeliverFrame(camid, type, 0, width, height, ts, 0.0, bytes.data(), static_cast<unsigned>(bytes.size()));
    return true;
  };
  while (!stopped(entry) && av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index != index || packet->size <= 0) {
      av_packet_unref(packet.get());
      continue;
    }
    if (!bsf) {
      const bool going = deliver(packet.get());
      av_packet_unref(packet.get());
      if (!going) break;
      continue;
    }
    if (av_bsf_send_packet(bsf.get(), packet.get()) < 0) {
      av_packet_unref(packet.get());
      continue;
    }
    bool going = true;
    while (going && av_bsf_receive_packet(bsf.get(), packet.get()) == 0) {
      going = deliver(packet.get());
      av_packet_unref(packet.get());
    }
    if (!going) break;
  }
  return true;
}

RtspReceiver& getrtsp() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  if (!s.receiver) s.receiver = s.factory();
  return *s.receiver;
}

namespace rtsp {

void replaceReceiverFactory(ReceiverFactory factory) {
  Slot& s = slot();
  std::unique_ptr<RtspReceiver> old;
  {
    std::lock_guard lock(s.mutex);
    old = std::move(s.receiver);
    s.factory = factory ? std::move(factory) : ReceiverFactory(buildProduct);
  }
}

void shutdownReceiver() {
  Slot& s = slot();
  std::unique_ptr<RtspReceiver> old;
  {
    std::lock_guard lock(s.mutex);
    old = std::move(s.receiver);
  }
}

bool disconnectAll() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  if (!s.receiver) return false;
  s.receiver->DisconnectAll();
  return true;
}

std::string refusalOf(int camid) {
  std::string out;
  withProductReceiver([&](RtspNetworkReceiver& r) {
    if (Session* s = r.FindSession(static_cast<unsigned>(camid)); s != nullptr) out = s->rtsp().refusal();
  });
  return out;
}

bool withProductReceiver(const std::function<void(RtspNetworkReceiver&)>& view) {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  auto* product = dynamic_cast<RtspNetworkReceiver*>(s.receiver.get());
  if (product == nullptr) return false;
  view(*product);
  return true;
}

}  // namespace rtsp
