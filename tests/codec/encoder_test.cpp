// The encoder element's controls against the emulated device's log, and
// the encoder wrapper end to end: grey barcoded pictures in, an H.264
// stream out that libavcodec decodes back to the same pictures.
#include "codec/nvdevice.h"
#include "codec/nvvideoencoder.h"
#include "codec/v4tvideoenc.h"
#include "platform/nvv4l2_ext.h"
#include "platform/v4l2emu/v4l2emu.h"
#include "tests/codec/h264_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

std::vector<v4l2emu::ControlRecord> encoderControls() {
  std::vector<v4l2emu::ControlRecord> out;
  for (auto& r : v4l2emu::controlLog())
    if (r.device == nvv4l2::kEncoderPath) out.push_back(r);
  return out;
}

class EncoderElement : public testing::Test {
 protected:
  void SetUp() override {
    v4l2emu::clearFaults();
    enc.reset(NvVideoEncoder::createVideoEncoder("enc"));
    ASSERT_TRUE(enc);
    v4l2emu::clearControlLog();
  }
  std::unique_ptr<NvVideoEncoder> enc;
};

TEST_F(EncoderElement, ControlsGoOutWithTheirIdsValuesAndRecords) {
  EXPECT_EQ(enc->setBitrate(1000000), -1);  // P1: no formats yet
  EXPECT_EQ(enc->setOutputPlaneFormat(nvv4l2::kFmtNM12, 640, 480), -1);
  EXPECT_EQ(enc->setFrameRate(30, 1), -1);  // the refused format was not recorded
  EXPECT_TRUE(encoderControls().empty());

  ASSERT_EQ(enc->setCapturePlaneFormat(nvv4l2::kFmtH264, 640, 480, 2 << 20), 0);
  ASSERT_EQ(enc->setOutputPlaneFormat(nvv4l2::kFmtYM12, 640, 480), 0);
  ASSERT_EQ(enc->setFrameRate(30, 1), 0);
  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE;
  ASSERT_EQ(devIoctl(enc->getFd(), VIDIOC_G_PARM, &parm), 0);
  EXPECT_EQ(std::make_pair(parm.parm.output.timeperframe.numerator, parm.parm.output.timeperframe.denominator),
            std::make_pair(1u, 30u));

  testing::internal::CaptureStdout();  // it prints both formats' codes
  EXPECT_EQ(enc->setBitrate(4000000), 0);
  testing::internal::GetCapturedStdout();

  struct Row {
    int result;
    std::uint32_t id;
    std::int64_t value;
    std::vector<std::uint32_t> record;  // words of the payload, when a record goes out
  };
  const Row rows[] = {
      {enc->setProfile(4), nvv4l2::kCidEncH264Profile, 4, {}},
      {enc->setLevel(V4L2_MPEG_VIDEO_H264_LEVEL_5_1), nvv4l2::kCidEncH264Level, 15, {}},
      {enc->setSliceLength(V4L2_ENC_SLICE_LENGTH_TYPE_MBLK, 40), nvv4l2::kCidEncSliceLength, 0, {1, 40}},
      {enc->setVirtualBufferSize(9000), nvv4l2::kCidEncVirtualBufferSize, 0, {9000}},
      {enc->setNumReferenceFrames(2), nvv4l2::kCidEncNumReferenceFrames, 0, {2}},
      {enc->setSliceIntrarefresh(15), nvv4l2::kCidEncSliceIntrarefresh, 0, {15}},
      {enc->setQpRange(10, 40, 12, 42, 14, 44), nvv4l2::kCidEncQpRange, 0, {10, 40, 12, 42, 14, 44}},
  };
  auto log = encoderControls();
  ASSERT_EQ(log.size(), std::size(rows) + 1);
  EXPECT_EQ(log[0].id, nvv4l2::kCidEncBitrate);
  EXPECT_EQ(log[0].value, 4000000);
  for (std::size_t k = 0; k < std::size(rows); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(rows[k].result, 0);
    EXPECT_EQ(log[k + 1].id, rows[k].id);
    if (rows[k].record.empty()) {
      EXPECT_EQ(log[k + 1].value, rows[k].value);
    } else {
      ASSERT_EQ(log[k + 1].payload.size(), rows[k].record.size() * 4);
      EXPECT_EQ(std::memcmp(log[k + 1].payload.data(), rows[k].record.data(), log[k + 1].payload.size()), 0);
    }
  }

  // P3: per-buffer controls need buffers on both planes, and say nothing before.
  v4l2_enc_frame_ROI_params_ roi{};
  v4l2_ctrl_videoenc_outputbuf_metadata_ meta{};
  ASSERT_EQ(enc->capture_plane.setupPlane(V4L2_MEMORY_MMAP, 1, true, false), 0);
  EXPECT_EQ(enc->setProfile(1), 0);  // one plane with buffers does not refuse
  EXPECT_EQ(enc->getMetadata(0, meta), -1);
  EXPECT_EQ(enc->setROIParams(0, roi), -1);
  ASSERT_EQ(enc->output_plane.setupPlane(V4L2_MEMORY_DMABUF, 1, false, false), 0);
  EXPECT_EQ(enc->setProfile(1), -1);  // P2: both planes have buffers
  v4l2emu::clearControlLog();
  EXPECT_EQ(enc->setROIParams(0, roi), 0);
  EXPECT_EQ(enc->getMetadata(0, meta), 0);
  log = encoderControls();
  ASSERT_EQ(log.size(), 1u);
  ASSERT_EQ(log[0].payload.size(), sizeof roi);
  std::uint32_t index = 99;
  std::memcpy(&index, log[0].payload.data() + nvv4l2::kRoiBufferIndexOffset, 4);
  EXPECT_EQ(index, 0u);
}

TEST_F(EncoderElement, LevelOnlyForH264AndProfileOnlyForKnownCodecs) {
  ASSERT_EQ(enc->setCapturePlaneFormat(nvv4l2::kFmtH265, 320, 240, 1 << 20), 0);
  ASSERT_EQ(enc->setOutputPlaneFormat(nvv4l2::kFmtYM12, 320, 240), 0);
  EXPECT_EQ(enc->setLevel(V4L2_MPEG_VIDEO_H264_LEVEL_4_0), -1);
  EXPECT_EQ(enc->setProfile(1), 0);
  EXPECT_EQ(enc->setCapturePlaneFormat(nvv4l2::kFmtNM12, 320, 240, 1 << 20), -1);
  const auto log = encoderControls();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].id, nvv4l2::kCidEncH265Profile);
}

// Encodes `frames` barcoded grey pictures and gathers the coded stream.
struct EncodedRun {
  std::vector<std::uint8_t> stream;
  std::vector<unsigned> keyFlags;
  int failures = 0;
};

EncodedRun runEncoder(int inW, int inH, int outW, int outH, int frames) {
  EncodedRun run;
  std::mutex mu;
  {
    V4TVideoEnc enc(static_cast<unsigned>(inW), static_cast<unsigned>(inH), static_cast<unsigned>(outW),
                    static_cast<unsigned>(outH));
    enc.outputCallback = [&](unsigned key, unsigned char* data, unsigned long n) {
      std::lock_guard lk(mu);
      run.stream.insert(run.stream.end(), data, data + n);
      run.keyFlags.push_back(key);
    };
    std::vector<std::uint8_t> grey(static_cast<std::size_t>(inW) * inH);
    for (int k = 0; k < frames; ++k) {
      fixture::drawGrey(grey.data(), inW, inH, inW, k);
      if (enc.encode(grey.data()) != 0) ++run.failures;
    }
  }  // the end of stream drains the last coded buffer before destruction returns
  return run;
}

double lumaPsnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double se = 0;
  for (std::size_t i = 0; i < a.size(); ++i) se += (a[i] - b[i]) * double(a[i] - b[i]);
  return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

// Scaled or not, each picture decodes back to its barcode and close luma;
// chroma stays neutral: grey pixels come back with B == G == R (within
// rounding) only when U and V are 128.
TEST(EncoderWrapper, GreyPicturesComeBackDecodableAtBothSizes) {
  for (const auto& [w, h] : {std::pair{320, 240}, std::pair{640, 480}}) {
    SCOPED_TRACE(w);
    constexpr int kFrames = 30;
    const EncodedRun run = runEncoder(640, 480, w, h, kFrames);
    EXPECT_EQ(run.failures, 0);
    ASSERT_EQ(run.keyFlags.size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(run.keyFlags.front(), 1u);  // the stream opens with a key frame
    const auto pictures = fixture::referenceDecode(run.stream, true);
    ASSERT_EQ(pictures.size(), static_cast<std::size_t>(kFrames));
    std::vector<std::uint8_t> reference(static_cast<std::size_t>(w) * h);
    for (int k = 0; k < kFrames; ++k) {
      const auto& p = pictures[static_cast<std::size_t>(k)];
      ASSERT_EQ(p.width, w);
      EXPECT_EQ(fixture::readBarcode(p.luma.data(), p.width, p.height, p.width), k);
      fixture::drawGrey(reference.data(), w, h, w, k);
      if (w == 640) {
        EXPECT_GT(lumaPsnr(p.luma, reference), 30.0);
      }
      int worst = 0;
      for (std::size_t i = 0; i + 3 < p.bgra.size(); i += 4)
        worst = std::max({worst, std::abs(p.bgra[i] - p.bgra[i + 1]), std::abs(p.bgra[i + 2] - p.bgra[i + 1])});
      EXPECT_LE(worst, 6) << k;
    }
  }
}

TEST(EncoderWrapper, FaultsEndInMinusOneNotInAHang) {
  {
    V4TVideoEnc idle(320, 240, 320, 240);  // destroyed before any picture
  }
  // A refused hand-over to the encoder, an engine that never answers, no
  // usable device at all.
  std::vector<v4l2emu::FaultPlan> plans(3);
  plans[0].failRequest = VIDIOC_QBUF;
  plans[0].failNth = 2;  // the first picture's hand-over
  plans[1].hung = true;
  plans[2].noM2M = true;
  for (auto& plan : plans) {
    plan.device = "msenc";
    v4l2emu::setFaults(plan);
    V4TVideoEnc enc(320, 240, 320, 240);
    std::vector<std::uint8_t> grey(320 * 240, 100);
    EXPECT_EQ(enc.encode(grey.data()), -1);
  }
  v4l2emu::clearFaults();
  EXPECT_EQ(v4l2emu::openInstances(), 0);
}

}  // namespace
