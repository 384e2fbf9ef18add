// The decode stage on grey cameras and its picture record, one pass at a
// time: turns, back-pressure, skipped sequences, unsupported kinds (the
// thread as main runs it is tested on H.264 and grey cameras together).
// A grey frame reaches recognition without a second copy: its picture shares
// the bytes the decode stage copied out of the frame store, and so keeps
// them when the store reuses the frame's place. Decoded pictures reuse the
// buffers of pictures that are gone, never one still in use.
#include "codec/decodeseq.h"
#include "core/clock.h"
#include "platform/nvv4l2_ext.h"
#include "tests/codec/decode_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <tuple>

namespace {

using decodetest::addGrey;
using decodetest::drain;
using decodetest::frameHas;
using decodetest::greyFrame;
using kovira::DecodedFrame;

constexpr int kW = 64;
constexpr int kH = 48;
constexpr std::uint64_t kRing = 8u << 20;
constexpr auto kNow = std::chrono::milliseconds(0);

class DecodeStage : public decodetest::StageTest {};

TEST_F(DecodeStage, GreyFramesReachRecognitionOnceInOrderWithTheirBytes) {
  kovira::Camera& cam = scope.add(701, kRing);
  for (unsigned n = 1; n <= 40; ++n) addGrey(cam, kW, kH, n);

  std::vector<DecodedFrame> got;
  for (int i = 0; i < 60; ++i) {
    decode.pass();
    for (auto& p : drain(rec.cnn)) got.push_back(p);
  }
  // The newest frame waits for the next one: only then is its sequence complete.
  ASSERT_EQ(got.size(), 39u);
  for (unsigned n = 1; n <= 39; ++n) {
    const DecodedFrame& p = got[n - 1];
    EXPECT_EQ(std::make_tuple(p.frame, p.camid, p.format), std::make_tuple(n, 701, kovira::PixelGray8));
    ASSERT_EQ(p.size, kW * kH);
    EXPECT_EQ(std::memcmp(p.pixels.get(), greyFrame(kW, kH, n).data(), kW * kH), 0) << "frame " << n;
    EXPECT_TRUE(frameHas(cam, n, FRAME_DEC));
    EXPECT_FALSE(frameHas(cam, n, FRAME_SKIP));
  }
  EXPECT_FALSE(frameHas(cam, 40, FRAME_DEC));
}

TEST_F(DecodeStage, TwentySixWaitingPicturesHoldTheStageBackTwentyFiveDoNot) {
  kovira::Camera& cam = scope.add(702, kRing);
  for (unsigned n = 1; n <= 5; ++n) addGrey(cam, kW, kH, n);
  const auto filler = greyFrame(4, 4, 0);
  for (int i = 0; i < 26; ++i) {
    DecodedFrame p(99, static_cast<unsigned>(i), kovira::PixelGray8, 4, 4, filler.data(), 0);
    rec.cnn.queueFrame(p);
  }
  EXPECT_EQ(decode.pass(), kovira::Decode::kBackPressurePause);
  EXPECT_FALSE(frameHas(cam, 1, FRAME_DEC));
  EXPECT_EQ(rec.cnn.queueSize(), 26u);

  auto waiting = drain(rec.cnn);
  waiting.pop_back();
  for (auto& p : waiting) rec.cnn.queueFrame(p);
  ASSERT_EQ(rec.cnn.queueSize(), 25u);
  EXPECT_EQ(decode.pass(), kNow);
  EXPECT_TRUE(frameHas(cam, 1, FRAME_DEC));
  EXPECT_EQ(rec.cnn.queueSize(), 26u);
}

TEST_F(DecodeStage, TheMostCongestedCameraKeepsItsTurnForTwentySixFrames) {
  kovira::Camera& a = scope.add(703, kRing);
  kovira::Camera& b = scope.add(704, kRing);
  for (unsigned n = 1; n <= 41; ++n) {
    addGrey(a, kW, kH, n);
    addGrey(b, kW, kH, n);
  }
  std::vector<int> order;
  while (order.size() < 52) {
    ASSERT_EQ(decode.pass(), kNow);
    for (auto& p : drain(rec.cnn)) order.push_back(p.camid);
  }
  // Equal congestion: the later camera first; after more than 25 frames the
  // other one, now the more congested, takes over.
  for (std::size_t i = 0; i < 26; ++i) EXPECT_EQ(order[i], 704) << i;
  for (std::size_t i = 26; i < 52; ++i) EXPECT_EQ(order[i], 703) << i;
}

TEST_F(DecodeStage, NothingPendingPausesAndNoCameraOnlyPauses) {
  EXPECT_EQ(decode.pass(), kovira::Decode::kIdlePause);  // no camera of ours holds frames
  kovira::Camera& cam = scope.add(705, kRing);
  addGrey(cam, kW, kH, 1);
  EXPECT_EQ(decode.pass(), kovira::Decode::kIdlePause);  // the only frame is still open
  addGrey(cam, kW, kH, 2);
  EXPECT_EQ(decode.pass(), kNow);
  EXPECT_EQ(rec.cnn.queueSize(), 1u);
}

TEST_F(DecodeStage, ASequenceWhoseBytesAreGoneIsSkippedNotQueued) {
  // A ring of ten frames: the first frames lose their bytes, their records stay.
  kovira::Camera& cam = scope.add(706, 10 * kW * kH);
  for (unsigned n = 1; n <= 30; ++n) addGrey(cam, kW, kH, n);
  ASSERT_FALSE(cam.cambuf->frame(1)->hasBytes());
  EXPECT_EQ(decode.pass(), kNow);
  EXPECT_TRUE(frameHas(cam, 1, FRAME_DEC | FRAME_SKIP));
  EXPECT_EQ(rec.cnn.queueSize(), 0u);
}

TEST_F(DecodeStage, AGreyRecordLargerThanItsBytesIsRefused) {
  kovira::Camera& cam = scope.add(707, kRing);
  const auto px = greyFrame(kW, kH, 1);
  cam.cambuf->addFrame(kW, kH, FRAME_GRAY8, 0, px.data(), 100);  // claims 64x48, holds 100 bytes
  addGrey(cam, kW, kH, 2);
  testing::internal::CaptureStdout();
  EXPECT_EQ(decode.pass(), kNow);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rec.cnn.queueSize(), 0u);
  EXPECT_TRUE(frameHas(cam, 1, FRAME_DEC | FRAME_SKIP));
  EXPECT_NE(out.find("[ERROR] cam 707: frames 1..1 not decoded"), std::string::npos) << out;
}

TEST_F(DecodeStage, UnsupportedFirstFramesArePrintedAndNeverDecoded) {
  kovira::Camera& cam = scope.add(708, kRing);
  const std::vector<std::uint8_t> junk(300, 0x55);
  // A group whose key frame was taken already: the next sequence starts
  // with a P frame.
  cam.cambuf->addFrame(kW, kH, FRAME_I, 0, junk.data(), junk.size());
  cam.cambuf->addFrame(kW, kH, FRAME_P, 0, junk.data(), junk.size());
  cam.cambuf->addFrame(kW, kH, FRAME_P, 0, junk.data(), junk.size());
  cam.cambuf->frame(1)->setFlags(FRAME_DEC);
  cam.cambuf->addFrame(kW, kH, FRAME_MJPEG, 0, junk.data(), junk.size());
  cam.cambuf->addFrame(kW, kH, FRAME_MJPEG, 0, junk.data(), junk.size());
  testing::internal::CaptureStdout();
  EXPECT_EQ(decode.pass(), kNow);
  EXPECT_EQ(decode.pass(), kNow);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "[ERROR] cam 708: P-frame - unsupported frame type\n"
            "[ERROR] cam 708: MJPEG - unsupported frame type\n");
  EXPECT_EQ(rec.cnn.queueSize(), 0u);
  for (unsigned n = 2; n <= 4; ++n) {
    EXPECT_TRUE(frameHas(cam, n, FRAME_DEC)) << n;
    EXPECT_FALSE(frameHas(cam, n, FRAME_SKIP)) << n;
  }
}

// A stream whose groups run past the frame limit: intra refresh (one key
// frame, then P frames only) and a key-frame interval of 250 frames that
// closed while the stage was busy. Either gets one console line, its frames
// are taken and skipped as they come, and the grey camera beside it is
// still served although the long one stays the most congested.
TEST_F(DecodeStage, GroupsPastTheFrameLimitAreReportedOnceAndDoNotHoldOtherCamerasBack) {
  const struct {
    const char* name;
    int camid;
    unsigned frames;  // after the key frame
    bool closed;      // a key frame follows them
  } cases[] = {{"intra refresh", 709, 260, false}, {"interval of 250", 710, 249, true}};
  const std::vector<std::uint8_t> junk(300, 0x55);
  for (const auto& c : cases) {
    kovira::Camera& cam = scope.add(c.camid, kRing);
    kovira::Camera& grey = scope.add(c.camid + 100, kRing);
    cam.cambuf->addFrame(kW, kH, FRAME_I, 0, junk.data(), junk.size());
    for (unsigned n = 0; n < c.frames; ++n) cam.cambuf->addFrame(kW, kH, FRAME_P, 0, junk.data(), junk.size());
    if (c.closed) cam.cambuf->addFrame(kW, kH, FRAME_I, 0, junk.data(), junk.size());
    for (unsigned n = 1; n <= 5; ++n) addGrey(grey, kW, kH, n);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 20; ++i) decode.pass();
    // The group goes on: its new frames are skipped without a new line
    // (once the camera is again the most congested).
    for (unsigned n = 0; n < 100; ++n) cam.cambuf->addFrame(kW, kH, FRAME_P, 0, junk.data(), junk.size());
    for (int i = 0; i < 20; ++i) decode.pass();
    const std::string out = testing::internal::GetCapturedStdout();
    // The closed one is reported by the sequence that could not be copied.
    const std::string line = c.closed ? "too long to decode"
                                      : "[WARNING] camera " + std::to_string(c.camid) + ": " +
                                            kovira::longGroupText(kovira::FrameSequence::kMaxFrames);
    EXPECT_EQ(out.find("[WARNING] camera " + std::to_string(c.camid)), 0u) << c.name << ": " << out;
    EXPECT_NE(out.find(line), std::string::npos) << c.name << ": " << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << c.name << ": " << out;
    // The key frame that closed the long group starts a group of its own.
    const unsigned last = c.closed ? c.frames + 1 : c.frames + 1 + 100;
    for (unsigned n = 1; n <= last; ++n)
      ASSERT_TRUE(frameHas(cam, n, FRAME_DEC | FRAME_SKIP)) << c.name << ", frame " << n;
    if (c.closed) {
      EXPECT_FALSE(frameHas(cam, last + 1, FRAME_DEC)) << c.name;
    }
    EXPECT_EQ(drain(rec.cnn).size(), 4u) << c.name;
    EXPECT_TRUE(cam.cambuf->decodeState.longGroups) << c.name;
    EXPECT_NE(kovira::decodeStateLines(cam.cambuf->decodeState, 200, true, ::now(), ::now())
                  .find("decode: " + kovira::longGroupText(200)),
              std::string::npos)
        << c.name;
    EXPECT_NE(grey.cambuf->decodeState.lastPictureSec, 0) << c.name;
  }
}

TEST(DecodedPicture, CopiesRowsByStrideAndChecksItsFormat) {
  const std::uint8_t src[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  DecodedFrame p(1, 5, kovira::PixelGray8, 4, 2, src, 6);
  ASSERT_EQ(p.size, 8);
  const std::uint8_t want[8] = {0, 1, 2, 3, 6, 7, 8, 9};
  EXPECT_EQ(std::memcmp(p.pixels.get(), want, 8), 0);
  EXPECT_TRUE(p.isValid());
  // A stride shorter than the row reads packed rows.
  DecodedFrame packed(1, 5, kovira::PixelGray8, 4, 2, src, 2);
  EXPECT_EQ(std::memcmp(packed.pixels.get(), src, 8), 0);

  EXPECT_FALSE(DecodedFrame(1, 5, kovira::PixelGray8, 4, 2, nullptr, 0).isValid());
  EXPECT_FALSE(DecodedFrame(0, 5, kovira::PixelGray8, 4, 2, src, 0).isValid());
  EXPECT_FALSE(DecodedFrame().isValid());
  EXPECT_THROW(DecodedFrame::getBpp(static_cast<kovira::PixelFormat>(4)), std::logic_error);

  // A shared buffer is taken, not copied, only when it covers the picture.
  const auto buffer = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[64 * 48 * 4]);
  const std::tuple<kovira::PixelFormat, std::uint64_t, bool> shares[] = {
      {kovira::PixelGray8, 64 * 48, true},
      {kovira::PixelGray8, 64 * 48 - 1, false},
      {kovira::PixelAR24, 64 * 48 * 4, true},
      {kovira::PixelAR24, 64 * 48, false},
  };
  for (const auto& [format, bytes, valid] : shares) {
    const DecodedFrame shared(5, 9, format, 64, 48, buffer, bytes);
    ASSERT_EQ(shared.isValid(), valid) << bytes;
    if (valid) {
      EXPECT_EQ(shared.pixels.get(), buffer.get());
      EXPECT_EQ(shared.size, static_cast<std::int64_t>(bytes));
    }
  }
  EXPECT_FALSE(DecodedFrame(5, 9, kovira::PixelGray8, 64, 48, nullptr, 64 * 48).isValid());
}

TEST(PictureHandler, NamesAPictureByItsPlaceAndDropsPlacesOutsideTheSequence) {
  std::uint8_t luma[8 * 4] = {};
  V4TVideoParserPlane plane{8, 4, 1, 8, luma, sizeof luma};
  std::vector<unsigned> kept;
  auto evenOnly = [](unsigned n) { return n % 2 == 0; };
  auto sink = [](std::vector<unsigned>& v, DecodedFrame& p) { v.push_back(p.isValid() ? p.frame : 0); };
  int count = 0;
  // Places in a decoder's output order; -1 and 3.. are no frame of a
  // three-frame sequence.
  for (const int place : {2, 0, -1, 3, 1, 5})
    kovira::_decodeSeqCb(evenOnly, sink, kept, 3, 100, count, 3, place, static_cast<int>(nvv4l2::kFmtNM12), &plane, 1);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(kept, (std::vector<unsigned>{102, 100}));

  // A plane too small for the rows it claims gives no picture but still counts.
  V4TVideoParserPlane shortPlane{8, 4, 1, 8, luma, 16};
  std::vector<unsigned> got;
  auto all = [](unsigned) { return true; };
  count = 0;
  kovira::_decodeSeqCb(all, sink, got, 3, 100, count, 3, 0, static_cast<int>(nvv4l2::kFmtNM12), &shortPlane, 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(got, (std::vector<unsigned>{0}));
}

TEST(PictureShare, CopiedPicturesNeverShareALiveBufferAndReuseAReturnedOne) {
  constexpr int kW = 1000, kH = 999;  // a size no other picture of this process has
  const auto a = decodetest::greyFrame(kW, kH, 1);
  const auto b = decodetest::greyFrame(kW, kH, 2);
  auto first = std::make_unique<DecodedFrame>(5, 1, kovira::PixelGray8, kW, kH, a.data(), 0);
  const DecodedFrame second(5, 2, kovira::PixelGray8, kW, kH, b.data(), 0);
  ASSERT_NE(first->pixels.get(), second.pixels.get());
  EXPECT_EQ(std::memcmp(first->pixels.get(), a.data(), a.size()), 0);
  EXPECT_EQ(std::memcmp(second.pixels.get(), b.data(), b.size()), 0);

  const std::uint8_t* returned = first->pixels.get();
  first.reset();
  const DecodedFrame third(5, 3, kovira::PixelGray8, kW, kH, b.data(), 0);
  EXPECT_EQ(third.pixels.get(), returned);
  EXPECT_EQ(std::memcmp(third.pixels.get(), b.data(), b.size()), 0);
  EXPECT_EQ(std::memcmp(second.pixels.get(), b.data(), b.size()), 0);
}

TEST(PictureShare, QueuedGreyPictureKeepsItsBytesWhenTheStoreOverwritesTheFrame) {
  constexpr int kW = 320, kH = 240;
  decodetest::Recognition rec;
  kovira::Decode decode(rec.cnn);
  decodetest::CameraScope scope;
  // Room for a few frames only, so later frames take the earlier ones' place.
  kovira::Camera& cam = scope.add(731, 6u * kW * kH);
  std::map<unsigned, unsigned> seedOf;  // frame number -> content seed
  auto store = [&](unsigned seed) {
    const auto px = decodetest::greyFrame(kW, kH, seed);
    seedOf[cam.cambuf->addFrame(kW, kH, FRAME_GRAY8, 0, px.data(), px.size()).position] = seed;
  };
  for (unsigned seed = 1; seed <= 3; ++seed) store(seed);
  std::vector<DecodedFrame> queued;
  for (int i = 0; i < 10 && queued.empty(); ++i) {
    decode.pass();
    queued = decodetest::drain(rec.cnn);
  }
  ASSERT_EQ(queued.size(), 1u);
  const unsigned number = queued[0].frame;
  ASSERT_EQ(seedOf.count(number), 1u);

  for (unsigned seed = 4; seed <= 20; ++seed) store(seed);
  auto stored = cam.cambuf->frame(number);
  ASSERT_FALSE(stored.valid() && stored->hasBytes()) << "the store still holds the frame";
  const auto want = decodetest::greyFrame(kW, kH, seedOf[number]);
  ASSERT_EQ(queued[0].size, static_cast<std::int64_t>(want.size()));
  EXPECT_EQ(std::memcmp(queued[0].pixels.get(), want.data(), want.size()), 0);
}

}  // namespace
