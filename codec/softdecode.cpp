#include "codec/softdecode.h"

#include "capture/cam.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <memory>

namespace kovira {

namespace {

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

constexpr int kNoKeyFrame = -1;
constexpr int kNoBytes = -2;
constexpr int kDecoderError = -4;
constexpr int kNoPicture = -5;

// Copies the frame's bytes into a packet; false when the record has no
// bytes or lost them while they were copied.
bool packetOf(const SmartBufferIterator& rec, AVPacket& pkt) {
  const FrameBytes before = rec->liveBytes();
  if (!before.present() || before.size > static_cast<std::uint64_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
    return false;
  av_packet_unref(&pkt);
  if (av_new_packet(&pkt, static_cast<int>(before.size)) < 0) return false;
  std::memcpy(pkt.data, before.data, before.size);
  const FrameBytes after = rec->liveBytes();
  return after.present() && after.data == before.data && after.size == before.size;
}

}  // namespace

SmartBufferIterator findmeta(int camera, std::uint32_t frame) {
  return storedRecord(camera, frame);
}

int software_decode_frame(int camera, std::uint32_t frame, std::vector<std::uint8_t>& out) {
  // 1. The key frame.
  SmartBufferIterator key;
  for (std::uint32_t back = 0; back < kSoftDecodeKeySearch && back < frame; ++back) {
    SmartBufferIterator rec = findmeta(camera, frame - back);
    if (rec.valid() && rec->type == FRAME_I) {
      key = rec;
      break;
    }
  }
  if (!key.valid()) return kNoKeyFrame;
  if (!key->hasBytes()) return kNoBytes;
  const std::uint32_t keyPosition = key->position;

  // 2. The decoder, as the key frame describes the picture.
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return kDecoderError;
  std::unique_ptr<AVCodecContext, CodecContextFree> ctx(avcodec_alloc_context3(codec));
  std::unique_ptr<AVFrame, FrameFree> picture(av_frame_alloc());
  std::unique_ptr<AVFrame, FrameFree> next(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
  if (!ctx || !picture || !next || !pkt) return kDecoderError;
  ctx->width = key->width.load();
  ctx->height = key->height.load();
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->thread_count = 1;
  ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;  // the wanted picture comes out with its own packet
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return kDecoderError;

  // 3. Every frame from the key frame up to the wanted one.
  bool got = false;
  for (std::uint32_t n = keyPosition; n <= frame; ++n) {
    SmartBufferIterator rec = findmeta(camera, n);
    if (!rec.valid() || !packetOf(rec, *pkt)) return kNoBytes;
    if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) return kDecoderError;
    got = false;
    for (;;) {
      const int r = avcodec_receive_frame(ctx.get(), next.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
      if (r < 0) return kDecoderError;
      av_frame_unref(picture.get());
      av_frame_move_ref(picture.get(), next.get());
      got = true;
    }
  }
  if (!got) return kNoPicture;

  // 4. The picture as packed RGB24, converted from what the decoder gave.
  const int w = picture->width;
  const int h = picture->height;
  const int bytes = av_image_get_buffer_size(AV_PIX_FMT_RGB24, w, h, 1);
  if (w <= 0 || h <= 0 || bytes <= 0) return kNoPicture;
  std::unique_ptr<SwsContext, ScalerFree> scaler(sws_getContext(w, h, static_cast<AVPixelFormat>(picture->format), w,
                                                                 h, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr,
                                                                 nullptr));
  if (!scaler) return kDecoderError;
  out.assign(static_cast<std::size_t>(bytes), 0);
  std::uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {w * 3, 0, 0, 0};
  sws_scale(scaler.get(), picture->data, picture->linesize, 0, h, dst, dstStride);
  return bytes;
}

}  // namespace kovira
