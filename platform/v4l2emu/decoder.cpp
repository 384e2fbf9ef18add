// The emulated decoder engine: H.264 / H.265 through libavcodec, one thread,
// writing NM12 (a luma plane and an interleaved CbCr plane).
//
// Behaviour its users rely on, as a stateful V4L2 decoder's:
//  1. Before the first picture, and whenever the coded size changes, it
//     raises the resolution-change event and waits until the capture queue
//     streams buffers of the new size.
//  2. It consumes one input buffer at a time; pictures come out in
//     presentation order, after the stream's reorder delay plus
//     FaultPlan::reorderDepth more pictures.
//  3. Timestamp copy: every picture's capture buffer carries the timestamp
//     of the input buffer it was decoded from (V4L2_BUF_FLAG_TIMESTAMP_COPY),
//     whenever it comes out.
//  4. Drain: V4L2_DEC_CMD_STOP lets the queued input be consumed, then every
//     picture still held comes out, then an empty capture buffer flagged
//     V4L2_BUF_FLAG_LAST and the V4L2_EVENT_EOS event; the decoder stays
//     stopped (further capture dequeues fail with EPIPE) until
//     V4L2_DEC_CMD_START or a capture STREAMOFF.
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
    if (cmd.cmd == V4L2_DEC_CMD_STOP) {
      if (!faults_.drainNeverEnds) {
        drainAsked_ = true;
        drainGeneration_ = out_.generation;
      }
    } else {
      stopped_ = false;
      lastDequeued_ = false;
    }
    cv_.notify_all();
    return 0;
  }

  int getExtControl(v4l2_ext_control& ctrl) override {
    if (ctrl.id != nvv4l2::kCidDecOutputMetadata || !ctrl.ptr || ctrl.size < sizeof(nvv4l2::MetadataRequest))
      return EINVAL;
    const auto* req = static_cast<const nvv4l2::MetadataRequest*>(ctrl.ptr);
    if (req->bufferIndex >= cap_.bufs.size() || !req->decoderMetadata) return EINVAL;
    std::memcpy(reinterpret_cast<void*>(req->decoderMetadata), &cap_.bufs[req->bufferIndex].meta,
                sizeof(nvv4l2::DecoderMetadata));
    return 0;
  }

  void engine() override {
    std::vector<std::uint8_t> input;
    for (;;) {
      std::unique_lock lk(mu_);
      cv_.wait(lk, [&] {
        // A STREAMOFF of the input queue ends a drain or a stop.
        if (drainGeneration_ != out_.generation) drainAsked_ = stopped_ = false;
        return closing_ || (!faults_.hung && out_.streaming && !stopped_ && (!out_.queued.empty() || drainAsked_));
      });
      if (closing_) return;
      if (out_.queued.empty()) {
        // Every input before the stop command was consumed: drain.
        drainAsked_ = false;
        const std::uint64_t generation = out_.generation;
        lk.unlock();
        drain(generation);
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
        pkt_->data = out;
        pkt_->size = outSize;
        pkt_->pts = pts;
        pkt_->dts = AV_NOPTS_VALUE;
        if (avcodec_send_packet(ctx_, pkt_) >= 0) receive(generation);
      }
    }
  }

  // Drain: every picture still held, then the empty buffer flagged LAST and
  // the end-of-stream event; the engine then waits for the start command.
  void drain(std::uint64_t generation) {
    if (ctx_) {
      avcodec_send_packet(ctx_, nullptr);
      receive(generation);
    }
    while (!pending_.empty()) publishFront(generation);
    if (ctx_) avcodec_flush_buffers(ctx_);
    {
      // Without a picture size there is no capture queue to carry the mark.
      std::lock_guard lk(mu_);
      if (streamW_ == 0) {
        stopped_ = true;
        postEvent(V4L2_EVENT_EOS);
        return;
      }
    }
    publish(nullptr, generation);
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
    if (w != streamW_ || h != streamH_) {
      // Pictures of the old size leave first; then the size change is
      // announced and the user rebuilds the capture queue.
      while (!pending_.empty()) publishFront(generation);
      std::unique_lock lk(mu_);
      streamW_ = w;
      streamH_ = h;
      postEvent(nvv4l2::kEventResolutionChange);
      Format want;
      rawLayout(nvv4l2::kFmtNM12, w, h, want);
      cv_.wait(lk, [&] {
        return closing_ || out_.generation != generation ||
               (cap_.streaming && cap_.fmt.width == w && cap_.fmt.height == h && !cap_.bufs.empty() &&
                cap_.bufs[0].planes[1].length >= want.sizeimage[1] &&
                cap_.bufs[0].planes[0].length >= want.sizeimage[0]);
      });
      if (closing_ || out_.generation != generation) return;
    }
    pending_.push_back(std::move(f));
    while (pending_.size() > faults_.reorderDepth) publishFront(generation);
  }

  void publishFront(std::uint64_t generation) {
    FramePtr f = std::move(pending_.front());
    pending_.pop_front();
    publish(f.get(), generation);
  }

  // Completes one capture buffer with picture f (null: the empty buffer
  // that ends a drain). False when it could not (closing, input taken back).
  bool publish(const AVFrame* f, std::uint64_t generation) {
    if (f) delayPicture();
    std::unique_lock lk(mu_);
    auto fits = [&] {
      if (!cap_.streaming || cap_.queued.empty()) return false;
      if (!f) return true;
      return cap_.fmt.width == static_cast<std::uint32_t>(f->width) &&
             cap_.fmt.height == static_cast<std::uint32_t>(f->height);
    };
    cv_.wait(lk, [&] { return closing_ || out_.generation != generation || fits(); });
    if (!fits()) return false;  // closing or the input was taken back: the picture is lost
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
    lk.lock();
    --cap_.inFlight;
    buf.meta = nvv4l2::DecoderMetadata{};
    buf.meta.magic = nvv4l2::kMetadataMagic;
    buf.meta.flags = f ? nvv4l2::kMetaPicture : 0;
    buf.meta.width = fmt.width;
    buf.meta.height = fmt.height;
    buf.meta.pictureSerial = f ? serial_++ : serial_;
    buf.planes[0].bytesused = f ? fmt.sizeimage[0] : 0;
    buf.planes[1].bytesused = f ? fmt.sizeimage[1] : 0;
    // Timestamp copy: the picture names the input it was decoded from.
    timeval stamp{};
    if (f && f->pts != AV_NOPTS_VALUE) {
      stamp.tv_sec = static_cast<time_t>(f->pts / 1000000);
      stamp.tv_usec = static_cast<suseconds_t>(f->pts % 1000000);
    }
    buf.meta.inputSec = stamp.tv_sec;
    buf.meta.inputUsec = stamp.tv_usec;
    buf.timestamp = stamp;
    buf.flags = (ok ? 0 : V4L2_BUF_FLAG_ERROR) | (f ? 0 : V4L2_BUF_FLAG_LAST);
    complete(cap_, index);
    if (!f) {
      // Stopped before anyone can see the LAST buffer and answer it with
      // the start command.
      stopped_ = true;
      postEvent(V4L2_EVENT_EOS);
    }
    return true;
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
  std::uint32_t serial_ = 0;
  std::uint32_t codecFmt_ = nvv4l2::kFmtH264;  // guarded by mu_ (read by the engine after S_FMT)
  std::uint32_t streamW_ = 0;                  // guarded by mu_
  std::uint32_t streamH_ = 0;                  // guarded by mu_
  bool drainAsked_ = false;                    // guarded by mu_: a stop command waits for the input to run out
  bool stopped_ = false;                       // guarded by mu_: drained, waiting for the start command
  std::uint64_t drainGeneration_ = 0;          // guarded by mu_: input queue generation of the stop command
};

}  // namespace

std::shared_ptr<Device> makeDecoder(const std::string& path, int flags, const FaultPlan& faults) {
  return std::make_shared<Decoder>(path, flags, faults);
}

}  // namespace v4l2emu
