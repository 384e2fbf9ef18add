// Delivery points: subscription rules of ClientPoint, and the decoder and
// file consumers on real encoded frames.
#include "rtsp/consumers.h"
#include "rtsp/points.h"
#include "tests/codec/h264_fixture.h"
#include "tests/evidence/shell_helpers.h"
#include "tests/support/h264_units.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// Records what reaches it, as "camid:type" and "state camid".
class Probe : public ClientPoint {
 public:
  explicit Probe(unsigned id, std::vector<std::string>& log) : ClientPoint(id), log_(log) {}
  void FramesCallback(unsigned camid, FrameType type, unsigned, unsigned, unsigned, double, unsigned char*,
                      unsigned) override {
    log_.push_back(std::to_string(id()) + "<" + std::to_string(camid) + ":" + std::to_string(type));
  }
  void StatesCallback(const State& s) override {
    log_.push_back(std::to_string(id()) + "<state " + std::to_string(s.camid));
  }

 private:
  std::vector<std::string>& log_;
};

TEST(rtsp_points, SubscriptionsByCameraAllCamerasAndLifetime) {
  std::vector<std::string> log;
  ReceiverPoint receiver;
  Probe one(3, log);
  auto all = std::make_unique<Probe>(8, log);
  one.SubscribeFrames(&receiver, 2);
  one.SubscribeFrames(&receiver, 2);  // duplicate: still one entry
  one.SubscribeStates(&receiver, 2);
  all->SubscribeFrames(&receiver, ClientPoint::kAllCameras);
  all->SubscribeStates(&receiver, ClientPoint::kAllCameras);
  // A second callback for the same (client, camera) does not replace the first.
  receiver.SubscribeFrames(3, 2, [&](auto...) { log.push_back("replaced"); });

  unsigned char byte = 0;
  receiver.DeliverFrame(2, FRAME_I, 1, 640, 480, 1, 0.0, &byte, 1);
  receiver.DeliverFrame(7, FRAME_P, 1, 640, 480, 2, 0.0, &byte, 1);
  receiver.PublishReceiverState({ReceiverStateConnected, ReceiverErrorNone, 0, 2});
  receiver.PublishReceiverState({ReceiverStateConnected, ReceiverErrorNone, 0, 7});
  EXPECT_EQ(log, (std::vector<std::string>{"3<2:1", "8<2:1", "8<7:2", "3<state 2"}));

  log.clear();
  all.reset();                              // leaves every publisher
  one.UnsubscribeFrames(&receiver, 2);
  one.UnsubscribeFrames(&receiver, 5);      // no such entry: nothing changes
  receiver.DeliverFrame(2, FRAME_I, 1, 640, 480, 3, 0.0, &byte, 1);
  receiver.PublishReceiverState({ReceiverStateDisconnected, ReceiverErrorNone, 0, 2});
  EXPECT_EQ(log, (std::vector<std::string>{"3<state 2"}));
}

// Republished RGB pictures of the decoder.
struct Pictures : ClientPoint {
  Pictures() : ClientPoint(20) {}
  void FramesCallback(unsigned, FrameType type, unsigned w, unsigned h, unsigned, double, unsigned char* data,
                      unsigned size) override {
    got.push_back({type, w, h, std::vector<unsigned char>(data, data + size)});
  }
  struct Picture {
    FrameType type;
    unsigned w, h;
    std::vector<unsigned char> rgb;
  };
  std::vector<Picture> got;
};

// x264's open GOP from an MP4 file: parameter sets only before the one IDR
// frame, the later key frames are I frames with a recovery point (RTP
// payloaders do the same). Delivered, every group
// (key frame to key frame) decodes on its own; the other streams' units
// pass unchanged.
TEST(rtsp_points, KeyFramesWithoutParameterSetsGetTheCamerasLastOnes) {
  const std::string dir = std::string(KOVIRA_BINARY_DIR) + "/test-out/rtsp-points-sets";
  ASSERT_EQ(evtest::run("mkdir -p " + dir).status, 0);
  struct Case {
    const char* name;
    const char* options;
    bool repaired;  // later key frames lack their sets in the encoder's output
  };
  const Case cases[] = {
      {"open-gop", "-bf 2 -g 12 -sc_threshold 0 -x264-params open-gop=1", true},
      {"closed", "-bf 2 -g 12 -sc_threshold 0", false},
  };
  for (const Case& c : cases) {
    // Through MP4 (parameter sets in its header), back to Annex B as file
    // playback reads it: the filter puts the sets before IDR frames only.
    const std::string file = dir + "/" + c.name + ".h264";
    const std::string mp4 = dir + "/" + c.name + ".mp4";
    const auto made = evtest::run("ffmpeg -v error -f lavfi -i testsrc2=size=160x96:rate=25 -frames:v 48 "
                                  "-c:v libx264 " + std::string(c.options) + " -y " + mp4 + " && ffmpeg -v error -i " +
                                  mp4 + " -c copy -bsf:v h264_mp4toannexb -f h264 -y " + file);
    ASSERT_EQ(made.status, 0) << made.output;
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    const auto units = testsupport::splitAccessUnits(bytes);
    ASSERT_EQ(units.size(), 48u);

    ReceiverPoint receiver;
    std::vector<std::vector<std::uint8_t>> delivered;
    std::vector<FrameType> types;
    receiver.SubscribeFrames(3, 5, [&](unsigned, FrameType type, unsigned, unsigned, unsigned, double,
                                       unsigned char* data, unsigned size) {
      delivered.emplace_back(data, data + size);
      types.push_back(type);
    });
    std::size_t grown = 0;
    for (const auto& u : units) {
      std::vector<std::uint8_t> unit(bytes.begin() + static_cast<std::ptrdiff_t>(u.offset),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(u.offset + u.size));
      const FrameType type = H264FrameType(unit, FRAME_P);
      receiver.DeliverFrame(5, type, 1, 160, 96, 1, 0.0, unit.data(), static_cast<unsigned>(unit.size()));
      ASSERT_GE(delivered.back().size(), unit.size());
      grown += delivered.back().size() != unit.size();
      // The unit itself follows unchanged.
      EXPECT_TRUE(std::equal(unit.rbegin(), unit.rend(), delivered.back().rbegin())) << c.name;
    }
    EXPECT_EQ(grown > 0, c.repaired) << c.name;
    // Each group decodes on its own: a picture for every frame but at most
    // the two leading B-frames that refer to the group before.
    std::size_t groups = 0;
    for (std::size_t first = 0; first < delivered.size();) {
      std::size_t end = first + 1;
      while (end < delivered.size() && types[end] != FRAME_I) ++end;
      std::vector<std::uint8_t> group;
      for (std::size_t k = first; k < end; ++k) group.insert(group.end(), delivered[k].begin(), delivered[k].end());
      EXPECT_TRUE(H264LeadingParameterSets(delivered[first]).sps) << c.name << " group at " << first;
      EXPECT_GE(fixture::referenceDecode(group, false).size() + 2, end - first) << c.name << " group at " << first;
      ++groups;
      first = end;
    }
    EXPECT_EQ(groups, 4u) << c.name;
  }
}

TEST(rtsp_points, DecoderRepublishesRgbPicturesAndTheFileWriterStoresThem) {
  ReceiverPoint receiver;
  ClientDecoder decoder;
  Pictures pictures;
  decoder.Subscribe(&receiver, 1);
  pictures.SubscribeFrames(&decoder, 1);

  const auto stream = fixture::encode(320, 240, 3, 3);
  for (const auto& u : stream.units)
    receiver.DeliverFrame(1, u.key ? FRAME_I : FRAME_P, 1, 320, 240, 0, 0.0,
                          const_cast<unsigned char*>(stream.bytes.data() + u.offset), static_cast<unsigned>(u.size));
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", cv::Mat(48, 64, CV_8UC3, cv::Scalar(10, 200, 30)), jpeg);
  receiver.DeliverFrame(1, FRAME_MJPEG, 0, 64, 48, 0, 0.0, jpeg.data(), static_cast<unsigned>(jpeg.size()));
  receiver.DeliverFrame(1, FRAME_I, 1, 0, 0, 0, 0.0, jpeg.data(), 4);  // no size: ignored

  ASSERT_EQ(pictures.got.size(), 4u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(pictures.got[i].type, FRAME_RAW);
    EXPECT_EQ(pictures.got[i].rgb.size(), 320u * 240u * 3u);
  }
  const auto& last = pictures.got[3];
  ASSERT_EQ(last.rgb.size(), 64u * 48u * 3u);
  EXPECT_NEAR(last.rgb[0], 30, 6);  // R G B order
  EXPECT_NEAR(last.rgb[1], 200, 6);
  EXPECT_NEAR(last.rgb[2], 10, 6);

  // The file writer stores the RGB picture as a PPM that OpenCV reads.
  evtest::ScratchDir dir("rtsp-points");
  ClientFile file(dir.path().string());
  file.Subscribe(&decoder, 1);
  receiver.DeliverFrame(1, FRAME_MJPEG, 0, 64, 48, 77, 0.0, jpeg.data(), static_cast<unsigned>(jpeg.size()));
  const cv::Mat ppm = cv::imread(dir.path() / "frames/1/frame_77_0_0.ppm", cv::IMREAD_COLOR);
  ASSERT_FALSE(ppm.empty());
  EXPECT_EQ(ppm.cols, 64);
  EXPECT_EQ(ppm.rows, 48);
  EXPECT_NEAR(ppm.at<cv::Vec3b>(0, 0)[1], 200, 6);
}

}  // namespace
