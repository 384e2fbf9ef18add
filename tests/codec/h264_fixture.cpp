#include "tests/codec/h264_fixture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <dirent.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace fixture {

namespace {

constexpr int kBits = 16;
constexpr std::uint8_t kDark = 16;
constexpr std::uint8_t kLight = 235;

void drawFrame(AVFrame* f, int number) {
  const int w = f->width, h = f->height;
  drawGrey(f->data[0], w, h, f->linesize[0], number);
  for (int p = 1; p < 3; ++p)
    for (int y = 0; y < (h + 1) / 2; ++y)
      std::memset(f->data[p] + y * f->linesize[p], 128 + (p == 1 ? (number % 16) : 0), (w + 1) / 2);
}

int readCells(int width, int height, auto&& sample) {
  const int band = height / 4;
  const int cell = width / kBits;
  int value = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    long sum = 0, n = 0;
    for (int y = band / 4; y < band * 3 / 4; ++y)
      for (int x = bit * cell + cell / 4; x < bit * cell + cell * 3 / 4; ++x, ++n) sum += sample(x, y);
    if (n == 0) return -1;
    const long avg = sum / n;
    if (avg > 90 && avg < 160) return -1;  // neither dark nor light: not a barcode
    value = (value << 1) | (avg >= 128 ? 1 : 0);
  }
  return value;
}

}  // namespace

void drawGrey(std::uint8_t* luma, int w, int h, int stride, int number) {
  const int band = h / 4;
  const int cell = w / kBits;
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = luma + y * stride;
    for (int x = 0; x < w; ++x) {
      if (y < band) {
        const int bit = x / cell;
        row[x] = bit < kBits && ((number >> (kBits - 1 - bit)) & 1) ? kLight : kDark;
      } else {
        // Moving texture so that P frames carry real residuals.
        row[x] = static_cast<std::uint8_t>(64 + ((x + y + number * 3) % 96) + ((x / 8 + number) % 2) * 16);
      }
    }
  }
}

std::vector<std::uint8_t> Stream::slice(std::size_t first, std::size_t last) const {
  const std::size_t begin = units.at(first).offset;
  const std::size_t end = units.at(last).offset + units.at(last).size;
  return {bytes.begin() + static_cast<std::ptrdiff_t>(begin), bytes.begin() + static_cast<std::ptrdiff_t>(end)};
}

void Stream::append(const Stream& other) {
  const std::size_t base = bytes.size();
  bytes.insert(bytes.end(), other.bytes.begin(), other.bytes.end());
  for (auto u : other.units) {
    u.offset += base;
    units.push_back(u);
  }
}

Stream encode(int width, int height, int frames, int gop, int firstNumber, int bframes) {
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) throw std::runtime_error("libx264 encoder missing");
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = width;
  ctx->height = height;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = AVRational{1, 25};
  ctx->framerate = AVRational{25, 1};
  ctx->gop_size = gop;
  ctx->max_b_frames = bframes;
  ctx->thread_count = 1;
  av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
  if (bframes == 0) av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  std::string params = "scenecut=0:keyint=" + std::to_string(gop) + ":min-keyint=" + std::to_string(gop);
  if (bframes > 0) params += ":bframes=" + std::to_string(bframes) + ":b-adapt=0:b-pyramid=normal";
  av_opt_set(ctx->priv_data, "x264-params", params.c_str(), 0);
  if (avcodec_open2(ctx, codec, nullptr) < 0) throw std::runtime_error("cannot open libx264");
  AVFrame* f = av_frame_alloc();
  f->width = width;
  f->height = height;
  f->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(f, 0);
  AVPacket* pkt = av_packet_alloc();
  Stream s;
  s.width = width;
  s.height = height;
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      s.units.push_back(AccessUnit{s.bytes.size(), static_cast<std::size_t>(pkt->size),
                                   (pkt->flags & AV_PKT_FLAG_KEY) != 0, firstNumber + static_cast<int>(pkt->pts)});
      s.bytes.insert(s.bytes.end(), pkt->data, pkt->data + pkt->size);
      av_packet_unref(pkt);
    }
  };
  for (int i = 0; i < frames; ++i) {
    av_frame_make_writable(f);
    drawFrame(f, firstNumber + i);
    f->pts = i;
    avcodec_send_frame(ctx, f);
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  if (static_cast<int>(s.units.size()) != frames) throw std::runtime_error("encoder lost frames");
  return s;
}

// A decoded frame's luma, and its BGRA conversion when asked for.
static Picture pictureOf(const AVFrame* f, SwsContext*& sws, bool withBgra) {
  Picture p{f->width, f->height, {}, {}};
  p.luma.resize(static_cast<std::size_t>(f->width) * f->height);
  for (int y = 0; y < f->height; ++y)
    std::memcpy(p.luma.data() + static_cast<std::size_t>(y) * f->width, f->data[0] + y * f->linesize[0], f->width);
  if (withBgra) {
    sws = sws_getCachedContext(sws, f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width, f->height,
                               AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    p.bgra.resize(static_cast<std::size_t>(f->width) * f->height * 4);
    std::uint8_t* dst[4] = {p.bgra.data()};
    int ds[4] = {f->width * 4};
    sws_scale(sws, f->data, f->linesize, 0, f->height, dst, ds);
  }
  return p;
}

std::vector<Picture> referenceByUnit(const Stream& s, bool withBgra) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->thread_count = 1;
  avcodec_open2(ctx, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* f = av_frame_alloc();
  SwsContext* sws = nullptr;
  std::vector<Picture> out(s.units.size());
  auto receive = [&] {
    while (avcodec_receive_frame(ctx, f) == 0) {
      const auto unit = static_cast<std::size_t>(f->pts);
      if (f->pts < 0 || unit >= out.size()) continue;
      out[unit] = pictureOf(f, sws, withBgra);
    }
  };
  for (std::size_t i = 0; i < s.units.size(); ++i) {
    if (av_new_packet(pkt, static_cast<int>(s.units[i].size)) != 0) break;  // padded: the decoder reads past the end
    std::memcpy(pkt->data, s.bytes.data() + s.units[i].offset, s.units[i].size);
    pkt->pts = static_cast<std::int64_t>(i);
    if (avcodec_send_packet(ctx, pkt) >= 0) receive();
    av_packet_unref(pkt);
  }
  avcodec_send_packet(ctx, nullptr);
  receive();
  sws_freeContext(sws);
  av_frame_free(&f);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  return out;
}

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * double(a[i] - b[i]);
  return sum == 0 ? 1000 : 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

int openDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

int readBarcode(const std::uint8_t* luma, int width, int height, int stride) {
  return readCells(width, height, [&](int x, int y) { return luma[static_cast<std::size_t>(y) * stride + x]; });
}

int readBarcodeBgra(const std::uint8_t* bgra, int width, int height, int stride) {
  return readCells(width, height, [&](int x, int y) { return bgra[static_cast<std::size_t>(y) * stride + x * 4 + 1]; });
}

std::vector<Picture> referenceDecode(std::span<const std::uint8_t> bytes, bool withBgra) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->thread_count = 1;
  ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  avcodec_open2(ctx, codec, nullptr);
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* f = av_frame_alloc();
  SwsContext* sws = nullptr;
  std::vector<Picture> out;
  auto receive = [&] {
    while (avcodec_receive_frame(ctx, f) == 0) {
      out.push_back(pictureOf(f, sws, withBgra));
    }
  };
  const std::uint8_t* data = bytes.data();
  int left = static_cast<int>(bytes.size());
  for (bool last = false; !last;) {
    std::uint8_t* o = nullptr;
    int os = 0;
    last = left == 0;
    const int used = av_parser_parse2(parser, ctx, &o, &os, last ? nullptr : data, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    data += used;
    left -= used;
    if (os > 0) {
      pkt->data = o;
      pkt->size = os;
      if (avcodec_send_packet(ctx, pkt) >= 0) receive();
    }
  }
  avcodec_send_packet(ctx, nullptr);
  receive();
  sws_freeContext(sws);
  av_frame_free(&f);
  av_packet_free(&pkt);
  av_parser_close(parser);
  avcodec_free_context(&ctx);
  return out;
}

}  // namespace fixture
