// Real H.264 through the frame store: a stream made with the ffmpeg CLI
// (libx264, GOP 25, no B frames) is split into access units, stored as a
// camera would store them, and every sequence findUnprocSeq hands out must
// decode with libavcodec to exactly the pictures of its frames.
#include "capture/cam.h"
#include "capture/sequence.h"

#include <gtest/gtest.h>

#include <unistd.h>


extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace kovira {
namespace {

constexpr int kFrames = 300;
constexpr int kGop = 25;

struct AccessUnit {
  std::vector<std::uint8_t> bytes;
  bool key = false;
};

// Annex B: every access unit starts with an access unit delimiter (NAL 9),
// which the encoder was asked to write.
std::vector<AccessUnit> splitAccessUnits(const std::vector<std::uint8_t>& s) {
  std::vector<std::size_t> nalStarts;  // offsets of start codes
  for (std::size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && (s[i + 2] == 1 || (s[i + 2] == 0 && s[i + 3] == 1))) {
      nalStarts.push_back(i);
      i += 2;
    }
  }
  std::vector<AccessUnit> units;
  for (std::size_t n = 0; n < nalStarts.size(); ++n) {
    std::size_t header = nalStarts[n] + (s[nalStarts[n] + 2] == 1 ? 3 : 4);
    const int type = s[header] & 0x1f;
    if (type == 9 || units.empty()) units.emplace_back();
    const std::size_t end = n + 1 < nalStarts.size() ? nalStarts[n + 1] : s.size();
    units.back().bytes.insert(units.back().bytes.end(), s.begin() + static_cast<long>(nalStarts[n]),
                              s.begin() + static_cast<long>(end));
    if (type == 5) units.back().key = true;
  }
  return units;
}

// Decodes an Annex B buffer; returns a checksum of every picture, in order.
std::vector<std::uint64_t> decodeAll(const std::uint8_t* data, std::size_t size) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
      avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::unique_ptr<AVCodecParserContext, void (*)(AVCodecParserContext*)> parser(
      av_parser_init(AV_CODEC_ID_H264), av_parser_close);
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(),
                                                     [](AVPacket* p) { av_packet_free(&p); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  std::vector<std::uint64_t> sums;
  if (!codec || !ctx || avcodec_open2(ctx.get(), codec, nullptr) < 0) return sums;
  auto drain = [&] {
    while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
      std::uint64_t sum = 1469598103934665603ull;
      for (int y = 0; y < frame->height; ++y)
        for (int x = 0; x < frame->width; ++x)
          sum = (sum ^ frame->data[0][y * frame->linesize[0] + x]) * 1099511628211ull;
      sums.push_back(sum);
    }
  };
  std::vector<std::uint8_t> padded(data, data + size);
  padded.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  const std::uint8_t* p = padded.data();
  int left = static_cast<int>(size);
  while (left > 0) {
    const int used = av_parser_parse2(parser.get(), ctx.get(), &pkt->data, &pkt->size, p, left,
                                      AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) break;
    p += used;
    left -= used;
    if (pkt->size > 0 && avcodec_send_packet(ctx.get(), pkt.get()) == 0) drain();
  }
  av_parser_parse2(parser.get(), ctx.get(), &pkt->data, &pkt->size, nullptr, 0, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  if (pkt->size > 0 && avcodec_send_packet(ctx.get(), pkt.get()) == 0) drain();
  avcodec_send_packet(ctx.get(), nullptr);
  drain();
  return sums;
}

class H264Stream : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // ctest runs each test in its own process, several at once: one file each.
    const std::string path =
        std::string(KOVIRA_BINARY_DIR) + "/capture_h264_test." + std::to_string(getpid()) + ".h264";
    const std::string cmd =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
        "-frames:v " + std::to_string(kFrames) +
        " -c:v libx264 -preset veryfast -g 25 -keyint_min 25 -sc_threshold 0 -bf 0 "
        "-x264-params aud=1 -pix_fmt yuv420p -f h264 '" + path + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(path, std::ios::binary);
    stream_ = std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    std::remove(path.c_str());
    units_ = splitAccessUnits(stream_);
    reference_ = decodeAll(stream_.data(), stream_.size());
  }

  // Stores the stream in camera camId and decodes every handed-out
  // sequence; returns the groups decoded completely.
  int runThrough(int camId, std::uint64_t ringBytes) {
    Camera& cam = addCamera(camId, ringBytes);
    int groups = 0;
    for (std::size_t i = 0; i < units_.size(); ++i) {
      const auto& u = units_[i];
      cam.cambuf->addFrame(320, 240, u.key ? FRAME_I : FRAME_P, 0, u.bytes.data(), u.bytes.size());
      for (FrameSequence seq = findUnprocSeq(camId); seq.valid(); seq = findUnprocSeq(camId)) {
        seq.setFlags(FRAME_DEC);
        EXPECT_TRUE(seq.data) << "group [" << seq.first << ", " << seq.end << ") lost";
        if (!seq.data) continue;
        const auto sums = decodeAll(seq.data.get(), seq.size);
        EXPECT_GE(sums.size(), seq.frames());
        EXPECT_LE(sums.size(), seq.frames() + 1u) << "at most the next key frame along";
        for (std::uint32_t k = 0; k < seq.frames() && k < sums.size(); ++k)
          EXPECT_EQ(sums[k], reference_[seq.first - 1 + k]) << "frame " << seq.first + k;
        ++groups;
      }
    }
    return groups;
  }

  static std::vector<std::uint8_t> stream_;
  static std::vector<AccessUnit> units_;
  static std::vector<std::uint64_t> reference_;
};

std::vector<std::uint8_t> H264Stream::stream_;
std::vector<AccessUnit> H264Stream::units_;
std::vector<std::uint64_t> H264Stream::reference_;

TEST_F(H264Stream, IsSplitIntoOneAccessUnitPerFrame) {
  ASSERT_EQ(units_.size(), static_cast<std::size_t>(kFrames));
  ASSERT_EQ(reference_.size(), static_cast<std::size_t>(kFrames));
  for (std::size_t i = 0; i < units_.size(); ++i) EXPECT_EQ(units_[i].key, i % kGop == 0) << i;
}

TEST_F(H264Stream, EveryGroupDecodesToItsFramesInALargeRing) {
  EXPECT_EQ(runThrough(801, 16 << 20), kFrames / kGop - 1);  // the last group stays open
}

TEST_F(H264Stream, NoGroupIsLostInARingOfAFewGroups) {
  std::uint64_t largestGroup = 0, current = 0;
  for (const auto& u : units_) {
    if (u.key) current = 0;
    current += u.bytes.size();
    largestGroup = std::max(largestGroup, current);
  }
  // Room for about three groups: wraps and group moves happen many times.
  EXPECT_EQ(runThrough(802, largestGroup * 3), kFrames / kGop - 1);
  EXPECT_GT(camera(802).cambuf->moveGeneration(), 0u) << "groups were moved";
}

}  // namespace
}  // namespace kovira
