// hwdecode-demo <stream.h264> <outdir>: decodes an H.264 elementary stream
// through the hardware decoder pipeline, one group (a key frame and its
// frames) per parse, and writes every picture as <outdir>/<n>.png, n
// counting pictures in display order from 0, as other players number them.
// A parse drains the decoder, so a group's pictures all come out within its
// parse, in display order, whatever number of pictures the decoder holds
// back (streams with B frames hold several). The output folder is created
// when missing. Exits 1 when it wrote no picture.
#include "codec/accessunits.h"
#include "codec/v4tvideoparser.h"
#include "platform/nvv4l2_ext.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool writePng(const std::string& path, const V4TVideoParserPlane& p) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) return false;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = static_cast<int>(p.width);
  ctx->height = static_cast<int>(p.height);
  ctx->pix_fmt = AV_PIX_FMT_RGBA;
  ctx->time_base = AVRational{1, 25};
  bool ok = avcodec_open2(ctx, codec, nullptr) >= 0;
  AVFrame* f = av_frame_alloc();
  f->width = ctx->width;
  f->height = ctx->height;
  f->format = AV_PIX_FMT_RGBA;
  ok = ok && av_frame_get_buffer(f, 0) >= 0;
  AVPacket* pkt = av_packet_alloc();
  if (ok) {
    for (std::uint32_t y = 0; y < p.height; ++y) {
      const std::uint8_t* s = p.data + static_cast<std::size_t>(y) * p.stride;
      std::uint8_t* d = f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0];
      for (std::uint32_t x = 0; x < p.width; ++x) {  // B, G, R, A -> R, G, B, A
        d[4 * x] = s[4 * x + 2];
        d[4 * x + 1] = s[4 * x + 1];
        d[4 * x + 2] = s[4 * x];
        d[4 * x + 3] = 255;
      }
    }
    ok = avcodec_send_frame(ctx, f) >= 0 && avcodec_receive_packet(ctx, pkt) >= 0;
  }
  if (ok) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(pkt->data), pkt->size);
    ok = static_cast<bool>(out);
  }
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <stream.h264> <outdir>\n", argv[0]);
    return 2;
  }
  av_log_set_level(AV_LOG_ERROR);
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto units = kovira::splitAccessUnits(bytes.data(), bytes.size());
  std::vector<std::size_t> keys;
  for (std::size_t i = 0; i < units.size(); ++i)
    if (units[i].key) keys.push_back(i);
  if (keys.empty()) {
    std::fprintf(stderr, "no key frame in %s\n", argv[1]);
    return 1;
  }
  const std::string outdir = argv[2];
  std::error_code ec;
  std::filesystem::create_directories(outdir, ec);
  if (ec) {
    std::fprintf(stderr, "cannot create %s: %s\n", outdir.c_str(), ec.message().c_str());
    return 1;
  }
  int written = 0;
  try {
    V4TVideoParser parser;
    const int code = static_cast<int>(nvv4l2::kFmtAR24);
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const std::size_t first = keys[k];
      const std::size_t last = k + 1 == keys.size() ? units.size() - 1 : keys[k + 1] - 1;
      const std::size_t begin = units[first].offset;
      const std::size_t end = units[last].offset + units[last].size;
      std::vector<V4TVideoParser::Unit> group;
      for (std::size_t i = first; i <= last; ++i) group.push_back({units[i].offset - begin, units[i].size});
      std::lock_guard lk(parser.mutex);
      std::size_t count = 0;
      parser.callback = [&](int place, int, V4TVideoParserPlane* planes, int n) {
        if (n < 1 || place < 0 || static_cast<std::size_t>(place) >= group.size()) return;
        const std::string path = outdir + "/" + std::to_string(first + count) + ".png";
        if (writePng(path, planes[0])) ++written;
        ++count;
      };
      if (parser.parse(bytes.data() + begin, end - begin, code, group) < 0)
        std::fprintf(stderr, "group at frame %zu failed\n", first);
      parser.callback = nullptr;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("%d pictures written to %s\n", written, outdir.c_str());
  return written > 0 ? 0 : 1;
}
