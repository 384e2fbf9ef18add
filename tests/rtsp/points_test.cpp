// Delivery points: subscription rules of ClientPoint, and the decoder and
// file consumers on real encoded frames.
#include "rtsp/consumers.h"
#include "rtsp/points.h"
#include "tests/codec/h264_fixture.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>

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
