// The emulated encoder engine: YM12 pictures in, H.264 access units out,
// coded by libavcodec's libx264 on the engine thread. It runs as a live
// low-latency hardware encoder does: one thread, the fastest preset, no
// look-ahead and no B-frames (one picture in, one access unit out), with
// SPS and PPS in front of every IDR picture so a stream can be joined at
// any key frame.
//
// Controls map onto the encoder when it is (re)opened: bitrate and mode
// (CBR caps the rate, VBR aims at it; no bitrate: constant quality),
// profile, level, GOP and IDR interval (the shorter wins). Force-IDR makes
// the next picture an IDR picture. An empty input buffer flushes the
// encoder and is answered with an empty capture buffer; the next picture
// starts a new stream. The first byte of each buffer's metadata record is
// the key-frame flag.
#include "platform/nvv4l2_enc.h"
#include "platform/v4l2emu/control_log.h"
#include "platform/v4l2emu/device.h"
#include "platform/v4l2emu/engines.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace v4l2emu {

namespace {

// H.264 level as a number (level_idc) from the standard level control value.
int levelIdc(std::int64_t v4l2Level) {
  static constexpr int kIdc[] = {10, 9, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52};
  return v4l2Level >= 0 && v4l2Level < static_cast<std::int64_t>(std::size(kIdc)) ? kIdc[v4l2Level] : 0;
}

const char* profileName(std::int64_t v4l2Profile) {
  switch (v4l2Profile) {
    case 0:
    case 1: return "baseline";
    case 2: return "main";
    case 4: return "high";
    default: return nullptr;
  }
}

// Settings taken from the controls; read when the encoder opens.
struct EncSettings {
  std::int64_t bitrate = 0;
  std::int64_t mode = nvv4l2::kBitrateModeVbr;
  std::int64_t profile = -1;
  std::int64_t level = -1;
  std::int64_t gop = 0;
  std::int64_t idr = 0;
  bool operator==(const EncSettings&) const = default;
};

class Encoder final : public Device {
 public:
  using Device::Device;
  ~Encoder() override {
    shutdown();
    closeCodec();
    av_packet_free(&packet_);
    av_frame_free(&frame_);
  }

 protected:
  int acceptFormat(Queue& q, const v4l2_pix_format_mplane& req, Format& out) override {
    if (&q == &cap_) {
      if (req.pixelformat != nvv4l2::kFmtH264 && req.pixelformat != nvv4l2::kFmtH265) return EINVAL;
      if (req.width == 0 || req.height == 0 || req.width > 8192 || req.height > 8192) return EINVAL;
      out = Format{};
      out.pixfmt = req.pixelformat;
      out.width = req.width;
      out.height = req.height;
      out.numPlanes = 1;
      const std::uint32_t asked = req.plane_fmt[0].sizeimage ? req.plane_fmt[0].sizeimage : (2u << 20);
      out.sizeimage[0] = std::min(asked, kMaxCodedBytes);
      return 0;
    }
    if (req.pixelformat != nvv4l2::kFmtYM12) return EINVAL;
    return rawLayout(req.pixelformat, req.width, req.height, out) ? 0 : EINVAL;
  }

  int setControl(std::uint32_t id, std::int64_t value) override {
    switch (id) {
      case nvv4l2::kCidEncBitrate: settings_.bitrate = value; break;
      case nvv4l2::kCidEncBitrateMode: settings_.mode = value; break;
      case nvv4l2::kCidEncH264Profile: settings_.profile = value; break;
      case nvv4l2::kCidEncH264Level: settings_.level = value; break;
      case nvv4l2::kCidEncGopSize: settings_.gop = value; break;
      case nvv4l2::kCidEncIdrInterval: settings_.idr = value; break;
      case nvv4l2::kCidEncForceFrameType: forceIdr_ = true; break;
      case nvv4l2::kCidEncNumBFrames:
      case nvv4l2::kCidEncSpsPpsAtIdr:
      case nvv4l2::kCidEncH265Profile:
      case nvv4l2::kCidEncTemporalTradeoff:
      case nvv4l2::kCidEncMotionVectorReporting: break;  // accepted; the engine behaves as set up above
      default: return EINVAL;
    }
    return Device::setControl(id, value);
  }

  int setExtControl(const v4l2_ext_control& ctrl) override {
    if (ctrl.size == 0 || !ctrl.ptr) return setControl(ctrl.id, ctrl.value);
    switch (ctrl.id) {
      case nvv4l2::kCidEncSliceLength:
      case nvv4l2::kCidEncRoiParams:
      case nvv4l2::kCidEncVirtualBufferSize:
      case nvv4l2::kCidEncNumReferenceFrames:
      case nvv4l2::kCidEncSliceIntrarefresh:
      case nvv4l2::kCidEncQpRange: break;
      default: return EINVAL;
    }
    if (ctrl.size > 4096) return EINVAL;
    const auto* p = static_cast<const std::uint8_t*>(ctrl.ptr);
    recordControl(path_, ctrl.id, 0, std::vector<std::uint8_t>(p, p + ctrl.size));
    return 0;
  }

  int getExtControl(v4l2_ext_control& ctrl) override {
    if ((ctrl.id != nvv4l2::kCidEncOutputMetadata && ctrl.id != nvv4l2::kCidEncOutputMvMetadata) || !ctrl.ptr ||
        ctrl.size < sizeof(nvv4l2::MetadataRequest))
      return EINVAL;
    const auto* req = static_cast<const nvv4l2::MetadataRequest*>(ctrl.ptr);
    if (req->bufferIndex >= cap_.bufs.size()) return EINVAL;
    if (ctrl.id == nvv4l2::kCidEncOutputMvMetadata) {
      if (!req->encoderMvMetadata) return EINVAL;
      v4l2_ctrl_videoenc_outputbuf_metadata_MV_ none{};  // no motion vectors are kept
      std::memcpy(reinterpret_cast<void*>(req->encoderMvMetadata), &none, sizeof none);
      return 0;
    }
    if (!req->encoderMetadata) return EINVAL;
    meta_.resize(cap_.bufs.size());
    std::memcpy(reinterpret_cast<void*>(req->encoderMetadata), &meta_[req->bufferIndex], sizeof meta_[0]);
    return 0;
  }

  void engine() override {
    for (;;) {
      std::unique_lock lk(mu_);
      unsigned in = 0;
      unsigned outIdx = 0;
      if (!takePair(lk, in, outIdx)) return;
      const Format src = out_.fmt;
      const Format dst = cap_.fmt;
      const bool eos = out_.bufs[in].planes[0].bytesused == 0;
      FdMapping keepIn[kMaxPlanes], keepOut;
      const std::uint8_t* sp[kMaxPlanes] = {};
      std::size_t len = 0;
      bool ok = dst.pixfmt == nvv4l2::kFmtH264;  // only H.264 is emulated
      for (unsigned p = 0; !eos && p < src.numPlanes; ++p) {
        sp[p] = out_.memory == V4L2_MEMORY_DMABUF ? mapped(out_.bufs[in].planes[p].dmafd, len)
                                                  : planeData(out_, out_.bufs[in], p, keepIn[p], len);
        ok = ok && sp[p] && len >= src.sizeimage[p];
      }
      std::uint8_t* dp = planeData(cap_, cap_.bufs[outIdx], 0, keepOut, len);
      const std::size_t room = dp ? std::min<std::size_t>(len, dst.sizeimage[0]) : 0;
      const timeval stamp = out_.bufs[in].timestamp;
      const EncSettings settings = settings_;
      const v4l2_fract tpf = timePerFrame_;
      const bool idr = forceIdr_;
      forceIdr_ = false;
      lk.unlock();

      delayPicture();
      std::size_t coded = 0;
      bool key = false;
      if (eos) {
        drain();
      } else if (ok) {
        ok = encode(src, sp, dst, settings, tpf, idr, dp, room, coded, key);
      }

      lk.lock();
      --out_.inFlight;
      --cap_.inFlight;
      meta_.resize(cap_.bufs.size());
      Buffer& ob = cap_.bufs[outIdx];
      ob.planes[0].bytesused = ok && !eos ? static_cast<std::uint32_t>(coded) : 0;
      ob.timestamp = stamp;
      ob.flags = eos ? V4L2_BUF_FLAG_LAST : (ok ? (key ? V4L2_BUF_FLAG_KEYFRAME : 0) : V4L2_BUF_FLAG_ERROR);
      meta_[outIdx] = v4l2_ctrl_videoenc_outputbuf_metadata_{};
      meta_[outIdx].KeyFrame = key ? 1 : 0;
      meta_[outIdx].FrameNumber = frames_;
      meta_[outIdx].EncodedBytes = ob.planes[0].bytesused;
      complete(cap_, outIdx);
      complete(out_, in);
    }
  }

 private:
  // The converter hands the same few buffers over and over, each time under
  // a fresh descriptor: mapping each picture anew would cost more than
  // coding it. A held mapping keeps its memory (and so its inode number)
  // alive, so the inode names the buffer safely. Engine thread only.
  static constexpr std::size_t kMaxMappings = 16;
  const std::uint8_t* mapped(int fd, std::size_t& len) {
    struct stat st {};
    len = 0;
    if (fd < 0 || fstat(fd, &st) != 0) return nullptr;
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    auto it = mappings_.find(key);
    if (it == mappings_.end()) {
      if (mappings_.size() >= kMaxMappings) mappings_.clear();
      it = mappings_.emplace(key, std::make_unique<FdMapping>(fd)).first;
    }
    len = it->second->size();
    return it->second->data();
  }

  bool open(const Format& fmt, const EncSettings& s, const v4l2_fract& tpf) {
    closeCodec();
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return false;
    ctx_ = avcodec_alloc_context3(codec);
    if (!ctx_) return false;
    ctx_->width = static_cast<int>(fmt.width);
    ctx_->height = static_cast<int>(fmt.height);
    ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx_->time_base = AVRational{static_cast<int>(tpf.numerator ? tpf.numerator : 1),
                                 static_cast<int>(tpf.denominator ? tpf.denominator : 30)};
    ctx_->framerate = AVRational{ctx_->time_base.den, ctx_->time_base.num};
    ctx_->thread_count = 1;
    ctx_->max_b_frames = 0;
    const std::int64_t gop = s.gop > 0 && s.idr > 0 ? std::min(s.gop, s.idr) : std::max(s.gop, s.idr);
    if (gop > 0) ctx_->gop_size = static_cast<int>(gop);
    if (s.bitrate > 0) {
      ctx_->bit_rate = s.bitrate;
      if (s.mode == nvv4l2::kBitrateModeCbr) {
        ctx_->rc_max_rate = s.bitrate;
        ctx_->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(s.bitrate, 1 << 30));
      }
    }
    if (const int idc = levelIdc(s.level)) ctx_->level = idc;
    av_opt_set(ctx_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx_->priv_data, "tune", "zerolatency", 0);
    av_opt_set_int(ctx_->priv_data, "forced-idr", 1, 0);
    if (const char* profile = profileName(s.profile)) av_opt_set(ctx_->priv_data, "profile", profile, 0);
    if (avcodec_open2(ctx_, codec, nullptr) < 0) {
      closeCodec();
      return false;
    }
    opened_ = s;
    openedFmt_ = fmt;
    return true;
  }

  void closeCodec() { avcodec_free_context(&ctx_); }

  // End of stream: whatever the encoder still holds is dropped with it (with
  // no look-ahead nothing is held), and the next picture opens a new stream.
  void drain() {
    if (!ctx_) return;
    if (avcodec_send_frame(ctx_, nullptr) >= 0)
      while (avcodec_receive_packet(ctx_, packet_) >= 0) av_packet_unref(packet_);
    closeCodec();
  }

  bool encode(const Format& src, const std::uint8_t* const sp[kMaxPlanes], const Format& dst, const EncSettings& s,
              const v4l2_fract& tpf, bool idr, std::uint8_t* out, std::size_t room, std::size_t& coded, bool& key) {
    if (!out || src.width != dst.width || src.height != dst.height) return false;
    if ((!ctx_ || !(opened_ == s) || openedFmt_.width != src.width || openedFmt_.height != src.height) &&
        !open(src, s, tpf))
      return false;
    if (!frame_) frame_ = av_frame_alloc();
    if (!packet_) packet_ = av_packet_alloc();
    if (!frame_ || !packet_) return false;
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = static_cast<int>(src.width);
    frame_->height = static_cast<int>(src.height);
    for (unsigned p = 0; p < 3; ++p) {
      frame_->data[p] = const_cast<std::uint8_t*>(sp[p]);
      frame_->linesize[p] = static_cast<int>(src.bytesperline[p]);
    }
    frame_->pts = frames_++;
    frame_->pict_type = idr ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(ctx_, frame_) < 0) return false;
    coded = 0;
    key = false;
    int r;
    while ((r = avcodec_receive_packet(ctx_, packet_)) >= 0) {
      const auto n = static_cast<std::size_t>(packet_->size);
      const bool fits = coded + n <= room;
      if (fits) std::memcpy(out + coded, packet_->data, n);
      key = key || (packet_->flags & AV_PKT_FLAG_KEY) != 0;
      av_packet_unref(packet_);
      if (!fits) return false;  // a coded picture larger than the buffer is lost, not cut
      coded += n;
    }
    return r == AVERROR(EAGAIN) || r == AVERROR_EOF;
  }

  // Engine thread only.
  AVCodecContext* ctx_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  EncSettings opened_;
  Format openedFmt_;
  std::uint32_t frames_ = 0;
  std::map<std::pair<dev_t, ino_t>, std::unique_ptr<FdMapping>> mappings_;

  // Guarded by mu_.
  EncSettings settings_;
  bool forceIdr_ = false;
  std::vector<v4l2_ctrl_videoenc_outputbuf_metadata_> meta_;  // one per capture buffer
};

}  // namespace

std::shared_ptr<Device> makeEncoder(const std::string& path, int flags, const FaultPlan& faults) {
  return std::make_shared<Encoder>(path, flags, faults);
}

}  // namespace v4l2emu
