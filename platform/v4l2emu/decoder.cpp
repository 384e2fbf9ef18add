// The emulated decoder engine: H.264 / H.265 through libavcodec, one thread,
// writing NM12 (a luma plane and an interleaved CbCr plane).
//
// It keeps the kernel's rules for a stateful V4L2 decoder, so that users
// written against it also work on the board's driver:
//  1. Once it has read the stream's first headers it raises
//     V4L2_EVENT_SOURCE_CHANGE and waits until the capture queue streams
//     buffers of the new format (before giving that input back). A later
//     change of coded size or of the reference frame count (the picture
//     buffer the stream needs) first gives out every picture of the old
//     format, then raises the event and ends the old capture buffers with
//     an empty one flagged V4L2_BUF_FLAG_LAST; it goes on once the capture
//     queue was set up again.
//  2. It consumes one input buffer at a time; pictures come out in
//     presentation order, after the stream's reorder delay plus
//     FaultPlan::reorderDepth more pictures.
//  3. A picture decoded with errors (concealed) comes back flagged
//     V4L2_BUF_FLAG_ERROR, as does every FaultPlan::errorPictureEvery-th
//     picture (with damaged content).
//  4. Timestamp copy: every picture's capture buffer carries the timestamp
//     of the input buffer it was decoded from (V4L2_BUF_FLAG_TIMESTAMP_COPY),
//     whenever it comes out.
//  5. Drain: V4L2_DEC_CMD_STOP starts one only while both queues stream
//     (otherwise it is accepted and does nothing, as the kernel's
//     compatibility rule has it). The queued input is consumed, every
//     picture still held comes out, then an empty capture buffer flagged
//     V4L2_BUF_FLAG_LAST; the decoder stays stopped (further capture
//     dequeues fail with EPIPE) until V4L2_DEC_CMD_START or a STREAMOFF.
//     Start or stop while the drain runs answers EBUSY; a STREAMOFF of
//     either queue ends it. V4L2_EVENT_EOS only when the fault plan asks.
#include "platform/v4l2emu/control_log.h"
#include "platform/v4l2emu/device.h"
#include "platform/v4l2emu/engines.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <deque>
#include <memory>

namespace v4l2emu {

namespace {

constexpr std::uint32_t kMinCaptureBuffers = 6;
constexpr std::uint32_t kDefaultCodedBytes = 4u << 20;

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

class Decoder final : public Device {
 public:
  using Device::Device;
  ~Decoder() override {
    shutdown();
    closeCodec();
    sws_freeContext(toNm12_);
  }

 protected:
  int acceptFormat(Queue& q, const v4l2_pix_format_mplane& req, Format& out) override {
    if (&q == &out_) {
      if (req.pixelformat != nvv4l2::kFmtH264 && req.pixelformat != nvv4l2::kFmtH265) return EINVAL;
      std::uint32_t size = req.plane_fmt[0].sizeimage ? req.plane_fmt[0].sizeimage : kDefaultCodedBytes;
      size = std::min(size, kMaxCodedBytes);
      if (faults_.grantInputBytes) size = std::min(size, faults_.grantInputBytes);
      out = Format{};
      out.pixfmt = req.pixelformat;
      out.numPlanes = 1;
      out.sizeimage[0] = size;
      codecFmt_ = req.pixelformat;
      return 0;
    }
    if (req.pixelformat != nvv4l2::kFmtNM12) return EINVAL;
    return rawLayout(req.pixelformat, req.width, req.height, out) ? 0 : EINVAL;
  }

  Format reportedFormat(const Queue& q) override {
    if (&q == &cap_ && streamW_ > 0) {
      Format f;
      rawLayout(nvv4l2::kFmtNM12, streamW_, streamH_, f);
      return f;
    }
    return q.fmt;
  }

  int setControl(std::uint32_t id, std::int64_t value) override {
    switch (id) {
      case nvv4l2::kCidDecDisableCompleteFrameInput:
      case nvv4l2::kCidDecDisableDpb:
      case nvv4l2::kCidDecEnableMetadataReporting:
      case nvv4l2::kCidDecSkipFrames:
        return Device::setControl(id, value);
      default:
        return EINVAL;
    }
  }

  int getControl(std::uint32_t id, std::int32_t& value) override {
    if (id != nvv4l2::kCidMinBuffersForCapture) return EINVAL;
    value = static_cast<std::int32_t>(kMinCaptureBuffers);
    return 0;
  }

  int decoderCommand(v4l2_decoder_cmd& cmd, bool tryOnly) override {
    if (faults_.noDrain) return ENOTTY;
    if (cmd.cmd != V4L2_DEC_CMD_STOP && cmd.cmd != V4L2_DEC_CMD_START) return EINVAL;
    cmd.flags = 0;
    if (tryOnly) return 0;
    forgetEndedDrain();
    if (inDrain_) return EBUSY;
    if (cmd.cmd == V4L2_DEC_CMD_STOP) {
      if (!out_.streaming || !cap_.streaming) return 0;
      inDrain_ = true;
      drainAsked_ = !faults_.drainNeverEnds;
      drainOutGeneration_ = out_.generation;
      drainCapGeneration_ = cap_.generation;
    } else {
      stopped_ = false;
      lastDequeued_ = false;
    }
    cv_.notify_all();
    return 0;
  }

  void engine() override {
    std::vector<std::uint8_t> input;
    for (;;) {
      std::unique_lock lk(mu_);
      cv_.wait(lk, [&] {
        forgetEndedDrain();
        return closing_ || (!faults_.hung && out_.streaming && !stopped_ && (!out_.queued.empty() || drainAsked_));
      });
      if (closing_) return;
      if (out_.queued.empty()) {
        // Every input before the stop command was consumed: drain.
        drainAsked_ = false;
        const std::uint64_t generation = out_.generation;
        const std::uint64_t capGeneration = cap_.generation;
        lk.unlock();
        drain(generation, capGeneration);
        continue;
      }
      const unsigned index = out_.queued.front();
      const std::uint64_t generation = out_.generation;
      Buffer& buf = out_.bufs[index];
      const timeval stamp = buf.timestamp;
      codecNow_ = codecFmt_;
      // Take a private copy of the coded bytes so the input buffer is never
      // read after a STREAMOFF handed it back.
      ++out_.inFlight;
      FdMapping keep;
      std::size_t len = 0;
      const std::uint8_t* src = planeData(out_, buf, 0, keep, len);
      const std::size_t used = std::min<std::size_t>(buf.planes[0].bytesused, len);
      lk.unlock();
      input.assign(src, src + (src ? used : 0));
      lk.lock();
      --out_.inFlight;
      cv_.notify_all();
      lk.unlock();

      consume(input, stamp, generation);

      lk.lock();
      if (out_.generation == generation && out_.bufs[index].state == BufState::Queued) {
        std::erase(out_.queued, index);
        complete(out_, index);
      }
    }
  }

 private:
  bool openCodec() {
    if (ctx_) return true;
    const AVCodec* codec = avcodec_find_decoder(codecNow_ == nvv4l2::kFmtH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!codec) return false;
    ctx_ = avcodec_alloc_context3(codec);
    parser_ = av_parser_init(codec->id);
    pkt_ = av_packet_alloc();
    if (!ctx_ || !parser_ || !pkt_) return closeCodec(), false;
    ctx_->thread_count = 1;
    if (avcodec_open2(ctx_, codec, nullptr) < 0) return closeCodec(), false;
    return true;
  }

  void closeCodec() {
    if (parser_) av_parser_close(parser_);
    parser_ = nullptr;
    av_packet_free(&pkt_);
    avcodec_free_context(&ctx_);
  }

  bool aborted(std::uint64_t generation) {
    std::lock_guard lk(mu_);
    return closing_ || out_.generation != generation;
  }

  // Decodes one input buffer; its pictures carry its timestamp.
  void consume(const std::vector<std::uint8_t>& input, timeval stamp, std::uint64_t generation) {
    if (input.empty() || !openCodec()) return;
    const std::int64_t pts = static_cast<std::int64_t>(stamp.tv_sec) * 1000000 + stamp.tv_usec;
    const std::uint8_t* data = input.data();
    int left = static_cast<int>(input.size());
    // The parser keeps the tail of the buffer until more data arrives; the
    // final call without data closes the buffer's last access unit, so each
    // input buffer is decoded on its own.
    for (bool last = false; !last && !aborted(generation);) {
      std::uint8_t* out = nullptr;
      int outSize = 0;
      last = left == 0;
      const int used = av_parser_parse2(parser_, ctx_, &out, &outSize, last ? nullptr : data, left,
                                        AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (used < 0) break;
      data += used;
      left -= used;
      if (outSize > 0) {
        // An IDR picture outputs every picture before it (the H.264 rule
        // for no_output_of_prior_pics_flag 0), which libavcodec leaves in
        // its delay buffer until later pictures come.
        if (codecNow_ == nvv4l2::kFmtH264 && holdsIdr(out, outSize)) {
          avcodec_send_packet(ctx_, nullptr);
          receive(generation);
          avcodec_flush_buffers(ctx_);
        }
        pkt_->data = out;
        pkt_->size = outSize;
        pkt_->pts = pts;
        pkt_->dts = AV_NOPTS_VALUE;
        if (avcodec_send_packet(ctx_, pkt_) >= 0 && noticeFormat(generation)) receive(generation);
      }
    }
  }

  // True when the access unit holds a slice of an IDR picture (NAL type 5).
  static bool holdsIdr(const std::uint8_t* p, int size) {
    for (int i = 0; i + 3 < size; ++i)
      if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && (p[i + 3] & 0x1F) == 5) return true;
    return false;
  }

  // A STREAMOFF of either queue ends a drain and the stop after it.
  void forgetEndedDrain() {  // called with mu_ held
    if (out_.generation != drainOutGeneration_ || cap_.generation != drainCapGeneration_)
      inDrain_ = drainAsked_ = stopped_ = false;
  }

  // Drain: every picture still held, then the empty buffer flagged LAST;
  // the engine then waits for the start command.
  void drain(std::uint64_t generation, std::uint64_t capGeneration) {
    if (ctx_) {
      avcodec_send_packet(ctx_, nullptr);
      receive(generation);
    }
    while (!pending_.empty()) publishFront(generation);
    if (ctx_) avcodec_flush_buffers(ctx_);
    publish(nullptr, generation, capGeneration, /*endsDrain=*/true);
  }

  void receive(std::uint64_t generation) {
    for (;;) {
      FramePtr f(av_frame_alloc());
      if (!f || avcodec_receive_frame(ctx_, f.get()) < 0) return;
      onPicture(std::move(f), generation);
    }
  }

  void onPicture(FramePtr f, std::uint64_t generation) {
    const auto w = static_cast<std::uint32_t>(f->width);
    const auto h = static_cast<std::uint32_t>(f->height);
    // Pictures of a size announced before are the rule; one of another size
    // (its headers went by unnoticed) announces it now.
    if ((w != streamW_ || h != streamH_) && !announce(w, h, streamRefs_, generation)) return;
    pending_.push_back(std::move(f));
    while (pending_.size() > faults_.reorderDepth) publishFront(generation);
  }

  // The format the codec found in the headers it has just read: coded
  // size and reference frames. A change is announced at once, as a
  // driver does on parsing the headers, before any picture of it.
  bool noticeFormat(std::uint64_t generation) {
    if (ctx_->width <= 0 || ctx_->height <= 0) return true;
    const auto w = static_cast<std::uint32_t>(ctx_->width);
    const auto h = static_cast<std::uint32_t>(ctx_->height);
    const auto refs = static_cast<std::uint32_t>(std::max(ctx_->refs, 0));
    if (w == streamW_ && h == streamH_ && refs == streamRefs_) return true;
    return announce(w, h, refs, generation);
  }

  // Pictures of the old format leave first; then the change is announced,
  // the old capture buffers end with LAST and the user rebuilds the capture
  // queue. False when the input was taken back or the device closes.
  bool announce(std::uint32_t w, std::uint32_t h, std::uint32_t refs, std::uint64_t generation) {
    while (!pending_.empty()) publishFront(generation);
    std::unique_lock lk(mu_);
    const bool hadFormat = streamW_ != 0;
    streamW_ = w;
    streamH_ = h;
    streamRefs_ = refs;
    postEvent(nvv4l2::kEventResolutionChange);
    const std::uint64_t capGeneration = cap_.generation;
    if (hadFormat) {
      lk.unlock();
      publish(nullptr, generation, capGeneration);
      lk.lock();
    }
    Format want;
    rawLayout(nvv4l2::kFmtNM12, w, h, want);
    cv_.wait(lk, [&] {
      return closing_ || out_.generation != generation ||
             (cap_.generation != capGeneration && cap_.streaming && cap_.fmt.width == w && cap_.fmt.height == h &&
              !cap_.bufs.empty() && cap_.bufs[0].planes[1].length >= want.sizeimage[1] &&
              cap_.bufs[0].planes[0].length >= want.sizeimage[0]);
    });
    return !closing_ && out_.generation == generation;
  }

  void publishFront(std::uint64_t generation) {
    FramePtr f = std::move(pending_.front());
    pending_.pop_front();
    publish(f.get(), generation, 0);
  }

  // Completes one capture buffer with picture f, or (f null) the empty
  // buffer flagged LAST that ends a drain or the buffers of an old format,
  // as long as the capture queue is still the one of capGeneration. False
  // when it could not (closing, input taken back, capture queue restarted).
  bool publish(const AVFrame* f, std::uint64_t generation, std::uint64_t capGeneration, bool endsDrain = false) {
    if (f) delayPicture();
    const bool damaged = f && faults_.errorPictureEvery != 0 && ++pictures_ % faults_.errorPictureEvery == 0;
    // A picture the codec could not decode whole (concealed) is reported
    // as the board's engine reports one.
    const bool concealed = f && ((f->flags & AV_FRAME_FLAG_CORRUPT) != 0 || f->decode_error_flags != 0);
    std::unique_lock lk(mu_);
    auto restarted = [&] { return !f && (cap_.generation != capGeneration || (endsDrain && !inDrain_)); };
    auto fits = [&] {
      if (restarted()) return false;
      if (!cap_.streaming || cap_.queued.empty()) return false;
      if (!f) return true;
      return cap_.fmt.width == static_cast<std::uint32_t>(f->width) &&
             cap_.fmt.height == static_cast<std::uint32_t>(f->height);
    };
    cv_.wait(lk, [&] { return closing_ || out_.generation != generation || restarted() || fits(); });
    if (!fits()) return false;  // closing, input taken back or capture restarted: lost
    const unsigned index = cap_.queued.front();
    cap_.queued.pop_front();
    ++cap_.inFlight;
    Buffer& buf = cap_.bufs[index];
    const Format fmt = cap_.fmt;
    FdMapping keep0, keep1;
    std::size_t len0 = 0, len1 = 0;
    std::uint8_t* y = planeData(cap_, buf, 0, keep0, len0);
    std::uint8_t* uv = planeData(cap_, buf, 1, keep1, len1);
    lk.unlock();
    bool ok = true;
    if (f) ok = writeNm12(*f, fmt, y, len0, uv, len1);
    if (ok && damaged) damage(y, fmt);
    lk.lock();
    --cap_.inFlight;
    buf.planes[0].bytesused = f ? fmt.sizeimage[0] : 0;
    buf.planes[1].bytesused = f ? fmt.sizeimage[1] : 0;
    // Timestamp copy: the picture names the input it was decoded from.
    timeval stamp{};
    if (f && f->pts != AV_NOPTS_VALUE) {
      stamp.tv_sec = static_cast<time_t>(f->pts / 1000000);
      stamp.tv_usec = static_cast<suseconds_t>(f->pts % 1000000);
    }
    buf.timestamp = stamp;
    buf.flags = (ok && !damaged && !concealed ? 0 : V4L2_BUF_FLAG_ERROR) | (f ? 0 : V4L2_BUF_FLAG_LAST);
    if (endsDrain) {
      // Stopped before anyone can see the mark and answer it with the
      // start command.
      inDrain_ = false;
      stopped_ = true;
      if (faults_.eosEvent) postEvent(V4L2_EVENT_EOS);
    }
    complete(cap_, index);
    return true;
  }

  // What a failed decode leaves: every other band of eight luma rows
  // overwritten with mid grey, the rest kept.
  static void damage(std::uint8_t* y, const Format& fmt) {
    if (!y) return;
    for (std::uint32_t row = 0; row < fmt.height; ++row)
      if (row % 16 < 8) std::memset(y + static_cast<std::size_t>(row) * fmt.bytesperline[0], 128, fmt.width);
  }

  // libswscale's unscaled path copies the luma rows and interleaves the
  // chroma with vector code; other chroma layouts (4:2:2, 4:4:4, high bit
  // depth) are brought to NM12 the way the engine's output format demands.
  bool writeNm12(const AVFrame& f, const Format& fmt, std::uint8_t* y, std::size_t ylen, std::uint8_t* uv,
                 std::size_t uvlen) {
    if (!y || !uv || ylen < fmt.sizeimage[0] || uvlen < fmt.sizeimage[1]) return false;
    // Full-range pictures keep their sample values, as the engine passes them.
    const auto from = f.format == AV_PIX_FMT_YUVJ420P ? AV_PIX_FMT_YUV420P : static_cast<AVPixelFormat>(f.format);
    toNm12_ = sws_getCachedContext(toNm12_, f.width, f.height, from, f.width, f.height, AV_PIX_FMT_NV12,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!toNm12_) return false;
    std::uint8_t* dst[4] = {y, uv, nullptr, nullptr};
    const int ds[4] = {static_cast<int>(fmt.bytesperline[0]), static_cast<int>(fmt.bytesperline[1]), 0, 0};
    return sws_scale(toNm12_, f.data, f.linesize, 0, f.height, dst, ds) == f.height;
  }

  // Engine-thread state.
  AVCodecContext* ctx_ = nullptr;
  AVCodecParserContext* parser_ = nullptr;
  AVPacket* pkt_ = nullptr;
  std::deque<FramePtr> pending_;
  SwsContext* toNm12_ = nullptr;
  std::uint32_t codecNow_ = nvv4l2::kFmtH264;
  std::uint64_t pictures_ = 0;  // pictures given out (for errorPictureEvery)
  std::uint32_t codecFmt_ = nvv4l2::kFmtH264;  // guarded by mu_ (read by the engine after S_FMT)
  std::uint32_t streamW_ = 0;                  // guarded by mu_
  std::uint32_t streamH_ = 0;                  // guarded by mu_
  std::uint32_t streamRefs_ = 0;               // guarded by mu_: reference frames of the stream's format
  bool inDrain_ = false;                       // guarded by mu_: from the stop command to the LAST mark
  bool drainAsked_ = false;                    // guarded by mu_: a stop command waits for the input to run out
  bool stopped_ = false;                       // guarded by mu_: drained, waiting for the start command
  std::uint64_t drainOutGeneration_ = 0;       // guarded by mu_: queue generations at the stop command
  std::uint64_t drainCapGeneration_ = 0;       // guarded by mu_
};

}  // namespace

std::shared_ptr<Device> makeDecoder(const std::string& path, int flags, const FaultPlan& faults) {
  return std::make_shared<Decoder>(path, flags, faults);
}

}  // namespace v4l2emu
