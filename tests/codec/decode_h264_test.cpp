// The decode stage on H.264 cameras through the emulated codec devices:
// the thread end to end with cameras of several sizes, groups the decoder
// cannot number, on-demand pictures, the software decoder and frame images.
#include "codec/softdecode.h"
#include "evidence/imgframe.h"
#include "tests/codec/decode_test_support.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>

namespace {

using decodetest::addGrey;
using decodetest::addUnits;
using decodetest::drain;
using decodetest::frameHas;
using kovira::DecodedFrame;

constexpr std::uint64_t kRing = 32u << 20;

// Frames numbered from 1, as the store numbers them; ends on a key frame so
// that every group but that last key frame's is complete.
const fixture::Stream& small() {
  static const fixture::Stream s = fixture::encode(320, 240, 101, 10, 1);
  return s;
}
const fixture::Stream& medium() {
  static const fixture::Stream s = fixture::encode(640, 480, 76, 25, 1);
  return s;
}

using decodetest::barcodeOf;

class DecodeH264 : public decodetest::StageTest {};

TEST_F(DecodeH264, EveryFrameOfEveryCompleteGroupIsQueuedOnceWithItsOwnPicture) {
  kovira::Camera& camSmall = scope.add(801, kRing);
  kovira::Camera& camMedium = scope.add(802, kRing);
  kovira::Camera& camGrey = scope.add(803, kRing);
  const auto& s = small();
  const auto& m = medium();

  std::thread worker(std::ref(decode));
  // One writer per camera, as capture threads are.
  std::thread w1([&] { addUnits(camSmall, s, 0, s.units.size()); });
  std::thread w2([&] { addUnits(camMedium, m, 0, m.units.size()); });
  std::thread w3([&] {
    for (unsigned n = 1; n <= 61; ++n) addGrey(camGrey, 64, 48, n);
  });
  // A page thread viewing frames of the small camera meanwhile: it shares
  // that camera's parser with the decode thread.
  std::atomic<bool> viewing{true};
  int views = 0;
  int wrongViews = 0;
  std::thread viewer([&] {
    for (unsigned id = 1; viewing; id = id % 90 + 1) {
      const DecodedFrame v = kovira::decodedFrame(camSmall, id);
      if (!v.isValid()) continue;
      ++views;
      if (barcodeOf(v) != static_cast<int>(id)) ++wrongViews;
    }
  });
  w1.join();
  w2.join();
  w3.join();

  const std::size_t expected = 100 + 75 + 60;
  std::map<int, std::vector<DecodedFrame>> got;
  std::size_t total = 0;
  const bool all = testsupport::waitUntil(
      [&] {
        for (auto& p : drain(rec.cnn)) {
          got[p.camid].push_back(p);
          ++total;
        }
        return total >= expected;
      },
      std::chrono::seconds(120));
  decode.stop = true;
  worker.join();
  viewing = false;
  viewer.join();
  for (auto& p : drain(rec.cnn)) got[p.camid].push_back(p), ++total;
  EXPECT_GT(views, 0);
  EXPECT_EQ(wrongViews, 0);
  ASSERT_TRUE(all) << total << " of " << expected;
  EXPECT_EQ(total, expected);

  auto check = [&](int camid, kovira::Camera& cam, unsigned frames, int width, int height, bool h264) {
    const auto& pics = got[camid];
    ASSERT_EQ(pics.size(), frames) << "camera " << camid;
    for (unsigned i = 0; i < frames; ++i) {
      const DecodedFrame& p = pics[i];
      EXPECT_EQ(std::make_tuple(p.frame, p.width, p.height, p.format),
                std::make_tuple(i + 1, width, height, kovira::PixelGray8))
          << "camera " << camid;
      if (h264) {
        EXPECT_EQ(barcodeOf(p), static_cast<int>(p.frame)) << "camera " << camid;
      }
      EXPECT_TRUE(frameHas(cam, i + 1, FRAME_DEC));
      EXPECT_FALSE(frameHas(cam, i + 1, FRAME_SKIP));
    }
  };
  check(801, camSmall, 100, 320, 240, true);
  check(802, camMedium, 75, 640, 480, true);
  check(803, camGrey, 60, 64, 48, false);
}

TEST_F(DecodeH264, AFrameWithoutAPictureIsSkippedAloneAndTheRestOfItsGroupIsQueued) {
  kovira::Camera& cam = scope.add(804, kRing);
  const auto& s = small();
  // Frames 1..10 intact; frame 15 (in the group 11..20) stored without its
  // picture: the decoder gives nine pictures for ten frames.
  addUnits(cam, s, 0, 14);
  const std::uint8_t delimiter[] = {0, 0, 0, 1, 0x09, 0xf0};
  cam.cambuf->addFrame(s.width, s.height, FRAME_P, 0, delimiter, sizeof delimiter);
  addUnits(cam, s, 15, 31);

  std::vector<DecodedFrame> got;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(decode.pass(), std::chrono::milliseconds(0));
    for (auto& p : drain(rec.cnn)) got.push_back(p);
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[ERROR] cam 804: frame 15 not decoded"), std::string::npos) << out;
  EXPECT_EQ(out.find("[ERROR]", out.find("[ERROR]") + 1), std::string::npos) << "one line per group: " << out;
  ASSERT_EQ(got.size(), 29u);
  for (unsigned i = 0; i < 29; ++i) {
    const unsigned n = i < 14 ? i + 1 : i + 2;  // 1..14, then 16..30
    EXPECT_EQ(got[i].frame, n);
    // 16..20 follow the lost frame: a decoder conceals, their content is its guess.
    if (n < 16 || n > 20) {
      EXPECT_EQ(barcodeOf(got[i]), static_cast<int>(n));
    }
  }
  for (unsigned n = 1; n <= 30; ++n) EXPECT_EQ(frameHas(cam, n, FRAME_SKIP), n == 15) << n;
  EXPECT_TRUE(frameHas(cam, 15, FRAME_DEC));
  // On demand the frame has no picture either, and its neighbour its own.
  EXPECT_FALSE(kovira::decodedFrame(cam, 15).isValid());
  const DecodedFrame before = kovira::decodedFrame(cam, 14);
  ASSERT_TRUE(before.isValid());
  EXPECT_EQ(barcodeOf(before), 14);
}

TEST_F(DecodeH264, OnDemandPicturesAlternateWithTheThreadWithoutLeakingDescriptors) {
  static const fixture::Stream s = fixture::encode(320, 240, 1021, 10, 1);
  kovira::Camera& cam = scope.add(805, kRing);
  addUnits(cam, s, 0, s.units.size());

  auto alternate = [&](int i) {
    ASSERT_EQ(decode.pass(), std::chrono::milliseconds(0));
    const auto queued = drain(rec.cnn);
    ASSERT_EQ(queued.size(), 10u);
    EXPECT_EQ(barcodeOf(queued.back()), static_cast<int>(queued.back().frame));
    // A frame of a later group, viewed while the thread works through the store.
    const unsigned id = static_cast<unsigned>(500 + i * 5 % 500);
    const DecodedFrame view = kovira::decodedFrame(cam, id);
    ASSERT_TRUE(view.isValid()) << "frame " << id;
    EXPECT_EQ(view.format, kovira::PixelAR24);
    EXPECT_EQ(view.size, 320 * 240 * 4);
    EXPECT_EQ(barcodeOf(view), static_cast<int>(id));
  };
  alternate(0);  // the parser and its buffers exist from here on
  const int before = fixture::openDescriptors();
  for (int i = 1; i <= 100; ++i) {
    alternate(i);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(fixture::openDescriptors(), before);
}

TEST_F(DecodeH264, OnDemandMissesGiveTheInvalidPicture) {
  kovira::Camera& cam = scope.add(806, kRing);
  const auto& s = small();
  addUnits(cam, s, 0, 25);  // groups 1..10, 11..20 and the open group from 21
  EXPECT_TRUE(kovira::decodedFrame(cam, 7).isValid());
  // The open group: the decoder holds its last copied frame back, one picture less is enough.
  const DecodedFrame open = kovira::decodedFrame(cam, 23);
  ASSERT_TRUE(open.isValid());
  EXPECT_EQ(barcodeOf(open), 23);
  EXPECT_FALSE(kovira::decodedFrame(cam, 25).isValid());  // the newest frame lies outside its sequence
  EXPECT_FALSE(kovira::decodedFrame(cam, 26).isValid());  // not stored yet
  EXPECT_FALSE(kovira::decodedFrame(cam, 0).isValid());

  kovira::Camera& grey = scope.add(807, kRing);
  addGrey(grey, 64, 48, 1);
  addGrey(grey, 64, 48, 2);
  const DecodedFrame g = kovira::decodedFrame(grey, 1);
  ASSERT_TRUE(g.isValid());
  EXPECT_EQ(g.format, kovira::PixelGray8);
  EXPECT_EQ(std::memcmp(g.pixels.get(), decodetest::greyFrame(64, 48, 1).data(), 64 * 48), 0);
}

TEST_F(DecodeH264, TheSoftwareDecoderGivesTheFramesOwnPicture) {
  kovira::Camera& cam = scope.add(808, kRing);
  const auto& s = small();
  addUnits(cam, s, 0, 30);
  std::vector<std::uint8_t> rgb;
  ASSERT_EQ(kovira::software_decode_frame(808, 17, rgb), 320 * 240 * 3);
  std::vector<std::uint8_t> green(320 * 240);
  for (std::size_t i = 0; i < green.size(); ++i) green[i] = rgb[i * 3 + 1];
  EXPECT_EQ(fixture::readBarcode(green.data(), 320, 240, 320), 17);

  kovira::Camera& grey = scope.add(809, kRing);
  addGrey(grey, 64, 48, 1);
  EXPECT_EQ(kovira::software_decode_frame(809, 1, rgb), -1);  // no key frame
  EXPECT_FALSE(kovira::findmeta(808, 31).valid());
}

TEST_F(DecodeH264, FrameImagesOfEveryKind) {
  kovira::Camera& cam = scope.add(810, kRing);
  addUnits(cam, small(), 0, 21);
  cv::Mat img;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(imgframe(810, 13, img));
  ASSERT_EQ(img.type(), CV_8UC3);
  cv::Mat grey;
  cv::cvtColor(img, grey, cv::COLOR_BGR2GRAY);
  EXPECT_EQ(fixture::readBarcode(grey.data, grey.cols, grey.rows, static_cast<int>(grey.step)), 13);

  kovira::Camera& other = scope.add(811, kRing);
  addGrey(other, 64, 48, 1);
  const std::uint8_t rgb[2 * 1 * 3] = {10, 20, 30, 40, 50, 60};
  other.cambuf->addFrame(2, 1, FRAME_RGB24, 0, rgb, sizeof rgb);
  cv::Mat colour(8, 8, CV_8UC3, cv::Scalar(200, 100, 50));
  std::vector<std::uint8_t> jpeg;
  cv::imencode(".jpg", colour, jpeg);
  other.cambuf->addFrame(8, 8, FRAME_MJPEG, 0, jpeg.data(), jpeg.size());
  other.cambuf->addFrame(8, 8, FRAME_RAW, 0, jpeg.data(), jpeg.size());

  ASSERT_TRUE(imgframe(811, 1, img));
  ASSERT_EQ(img.type(), CV_8UC1);
  EXPECT_EQ(std::memcmp(img.data, decodetest::greyFrame(64, 48, 1).data(), 64 * 48), 0);
  ASSERT_TRUE(imgframe(811, 2, img));
  ASSERT_EQ(img.type(), CV_8UC3);
  EXPECT_EQ(img.at<cv::Vec3b>(0, 0), cv::Vec3b(30, 20, 10));
  EXPECT_EQ(img.at<cv::Vec3b>(0, 1), cv::Vec3b(60, 50, 40));
  ASSERT_TRUE(imgframe(811, 3, img));
  EXPECT_EQ(img.cols, 8);
  EXPECT_NEAR(img.at<cv::Vec3b>(4, 4)[0], 200, 8);
  EXPECT_FALSE(imgframe(811, 4, img));   // other raw data
  EXPECT_FALSE(imgframe(811, 9, img));   // not stored
  EXPECT_FALSE(imgframe(899, 1, img));   // no such camera

  EXPECT_FALSE(imgframe(810, 21, img));  // the newest frame: its group is still open
  testing::internal::GetCapturedStdout();
}

}  // namespace
