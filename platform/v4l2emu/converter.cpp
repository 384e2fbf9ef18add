// The emulated converter engine: one input picture and one free output
// buffer in, the picture converted and scaled by libswscale out. Input and
// output formats: NM12, YM12, GREY and AR24 (B, G, R, A in memory). Layout
// controls (block-linear or pitch-linear) are accepted and recorded; the
// emulated memory is always pitch-linear.
#include "platform/v4l2emu/device.h"
#include "platform/v4l2emu/engines.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace v4l2emu {

namespace {

AVPixelFormat avFormat(std::uint32_t fourcc) {
  switch (fourcc) {
    case nvv4l2::kFmtNM12: return AV_PIX_FMT_NV12;
    case nvv4l2::kFmtYM12: return AV_PIX_FMT_YUV420P;
    case nvv4l2::kFmtGREY: return AV_PIX_FMT_GRAY8;
    case nvv4l2::kFmtAR24: return AV_PIX_FMT_BGRA;
    default: return AV_PIX_FMT_NONE;
  }
}

class Converter final : public Device {
 public:
  using Device::Device;
  ~Converter() override {
    shutdown();
    sws_freeContext(sws_);
  }

 protected:
  int acceptFormat(Queue&, const v4l2_pix_format_mplane& req, Format& out) override {
    if (avFormat(req.pixelformat) == AV_PIX_FMT_NONE) return EINVAL;
    return rawLayout(req.pixelformat, req.width, req.height, out) ? 0 : EINVAL;
  }

  int setControl(std::uint32_t id, std::int64_t value) override {
    if (id < nvv4l2::kCidConvOutputBufferLayout || id > nvv4l2::kCidConvTnrAlgorithm) return EINVAL;
    return Device::setControl(id, value);
  }

  void engine() override {
    for (;;) {
      std::unique_lock lk(mu_);
      unsigned in = 0;
      unsigned outIdx = 0;
      if (!takePair(lk, in, outIdx)) return;
      const Format src = out_.fmt;
      const Format dst = cap_.fmt;
      FdMapping keepIn[kMaxPlanes], keepOut[kMaxPlanes];
      const std::uint8_t* sp[4] = {};
      std::uint8_t* dp[4] = {};
      std::size_t len = 0;
      bool ok = true;
      for (unsigned p = 0; p < src.numPlanes; ++p) {
        sp[p] = planeData(out_, out_.bufs[in], p, keepIn[p], len);
        ok = ok && sp[p] && len >= src.sizeimage[p];
      }
      for (unsigned p = 0; p < dst.numPlanes; ++p) {
        dp[p] = planeData(cap_, cap_.bufs[outIdx], p, keepOut[p], len);
        ok = ok && dp[p] && len >= dst.sizeimage[p];
      }
      const timeval stamp = out_.bufs[in].timestamp;
      lk.unlock();

      delayPicture();
      if (ok) ok = convert(src, sp, dst, dp);

      lk.lock();
      --out_.inFlight;
      --cap_.inFlight;
      Buffer& ob = cap_.bufs[outIdx];
      for (unsigned p = 0; p < dst.numPlanes; ++p) ob.planes[p].bytesused = ok ? dst.sizeimage[p] : 0;
      ob.timestamp = stamp;
      ob.flags = ok ? 0 : V4L2_BUF_FLAG_ERROR;
      complete(cap_, outIdx);
      complete(out_, in);
    }
  }

 private:
  bool convert(const Format& src, const std::uint8_t* const sp[4], const Format& dst, std::uint8_t* const dp[4]) {
    const AVPixelFormat sf = avFormat(src.pixfmt), df = avFormat(dst.pixfmt);
    sws_ = sws_getCachedContext(sws_, static_cast<int>(src.width), static_cast<int>(src.height), sf,
                                static_cast<int>(dst.width), static_cast<int>(dst.height), df, SWS_BILINEAR, nullptr,
                                nullptr, nullptr);
    if (!sws_) return false;
    int ss[4] = {}, ds[4] = {};
    for (unsigned p = 0; p < src.numPlanes; ++p) ss[p] = static_cast<int>(src.bytesperline[p]);
    for (unsigned p = 0; p < dst.numPlanes; ++p) ds[p] = static_cast<int>(dst.bytesperline[p]);
    return sws_scale(sws_, sp, ss, 0, static_cast<int>(src.height), dp, ds) == static_cast<int>(dst.height);
  }

  SwsContext* sws_ = nullptr;  // engine thread only
};

}  // namespace

std::shared_ptr<Device> makeConverter(const std::string& path, int flags, const FaultPlan& faults) {
  return std::make_shared<Converter>(path, flags, faults);
}

}  // namespace v4l2emu
