// The decode stage over H.264 when the ring laps and when the codec devices
// fail: a group whose next key frame was stored at the ring's base, a
// capture thread that dies, a converter that never answers, the broken
// parser replaced, and a SIGINT while a parse waits (which is no decoder
// failure).
#include "core/working.h"
#include "tests/codec/decode_test_support.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <thread>

namespace {

using decodetest::addUnits;
using decodetest::drain;
using decodetest::frameHas;
using kovira::DecodedFrame;

using decodetest::barcodeOf;

class DecodeH264Faults : public decodetest::StageTest {};

TEST_F(DecodeH264Faults, EveryGroupOfARingAboutThreeGroupsLongIsDecodedLapAfterLap) {
  const fixture::Stream s = fixture::encode(320, 240, 301, 10, 1);
  std::uint64_t largest = 0;
  for (std::size_t first = 0; first + 10 <= s.units.size(); first += 10)
    largest = std::max<std::uint64_t>(largest, s.units[first + 9].offset + s.units[first + 9].size - s.units[first].offset);
  kovira::Camera& cam = scope.add(851, largest * 3);

  // Frames arrive one by one and the stage takes what is complete, as the
  // capture and decode threads do; the ring laps about ten times.
  std::map<unsigned, int> seen;  // frame -> pictures queued
  int wrong = 0;
  for (std::size_t i = 0; i < s.units.size(); ++i) {
    addUnits(cam, s, i, i + 1);
    while (decode.pass() == std::chrono::milliseconds(0)) {
    }
    for (const DecodedFrame& p : drain(rec.cnn)) {
      ++seen[p.frame];
      if (barcodeOf(p) != static_cast<int>(p.frame)) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0);
  // Every frame of a complete group (all but the last key frame) once.
  ASSERT_EQ(seen.size(), 300u);
  for (unsigned n = 1; n <= 300; ++n) {
    EXPECT_EQ(seen[n], 1) << "frame " << n;
    EXPECT_FALSE(frameHas(cam, n, FRAME_SKIP)) << "frame " << n;
  }
}

// Pictures the decoder flags as failed carry damaged content: their frames
// are skipped (never recognised) and reported, the rest of the group is
// recognised, each picture its own frame's.
TEST_F(DecodeH264Faults, PicturesFlaggedAsFailedSkipTheirFramesOnly) {
  v4l2emu::setFaults({.device = "nvdec", .errorPictureEvery = 3});
  const fixture::Stream s = fixture::encode(400, 240, 11, 10, 1);
  kovira::Camera& cam = scope.add(855, 8u << 20);
  addUnits(cam, s, 0, 11);
  testing::internal::CaptureStdout();
  ASSERT_EQ(decode.pass(), std::chrono::milliseconds(0));
  const std::string out = testing::internal::GetCapturedStdout();
  const auto pictures = drain(rec.cnn);
  EXPECT_GE(pictures.size(), 6u);
  EXPECT_LE(pictures.size(), 7u);
  for (const DecodedFrame& p : pictures) EXPECT_EQ(barcodeOf(p), static_cast<int>(p.frame));
  for (unsigned n = 1; n <= 10; ++n) {
    const bool queued = std::any_of(pictures.begin(), pictures.end(), [&](const DecodedFrame& p) { return p.frame == n; });
    EXPECT_NE(queued, frameHas(cam, n, FRAME_SKIP)) << "frame " << n;
  }
  EXPECT_NE(out.find("[ERROR] cam 855: frame "), std::string::npos) << out;
  EXPECT_NE(out.find(" flagged as failed by the decoder)"), std::string::npos) << out;
}

// Device faults, each on a picture size of its own so that its parser is
// built while the fault is switched on.
struct Fault {
  const char* name;
  int width;
  v4l2emu::FaultPlan plan;
};

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

const Fault kFaults[] = {
    // The converter cannot map its output: its set-up ends the capture thread.
    {"ReadOnlyExport", 336, {.device = "vic", .readOnlyExportIndex = 0}},
    // The decoder refuses the capture buffers (its third buffer request).
    {"FailingRequest", 352, {.device = "nvdec", .failRequest = VIDIOC_REQBUFS, .failNth = 3}},
    // The converter takes pictures and never gives them back.
    {"ConverterNeverAnswers", 368, {.device = "vic", .hung = true}},
    // The decoder takes the stop command and never ends the drain.
    {"DrainNeverEnds", 384, {.device = "nvdec", .drainNeverEnds = true}},
};

class DecodeH264DeviceFault : public DecodeH264Faults, public ::testing::WithParamInterface<Fault> {
 protected:
  kovira::Camera& cameraWithTwoGroups(int id) {
    streams_.push_back(fixture::encode(GetParam().width, 240, 21, 10, 1));
    kovira::Camera& cam = scope.add(id, 32u << 20);
    addUnits(cam, streams_.back(), 0, 21);
    return cam;
  }

 private:
  std::vector<fixture::Stream> streams_;
};

TEST_P(DecodeH264DeviceFault, TheGroupIsSkippedAndTheNextOneDecodesOnANewParser) {
  kovira::Camera& cam = cameraWithTwoGroups(860);
  v4l2emu::setFaults(GetParam().plan);
  testing::internal::CaptureStdout();
  ASSERT_EQ(decode.pass(), std::chrono::milliseconds(0));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[ERROR] cam 860: frames 1..10 not decoded (hardware decoder failed)"), std::string::npos)
      << out;
  EXPECT_TRUE(drain(rec.cnn).empty());
  for (unsigned n = 1; n <= 10; ++n) EXPECT_TRUE(frameHas(cam, n, FRAME_DEC | FRAME_SKIP)) << n;

  // The fault is gone: the broken parser (it would refuse every parse) is
  // dropped and a new one decodes.
  v4l2emu::clearFaults();
  ASSERT_EQ(decode.pass(), std::chrono::milliseconds(0));
  const auto pictures = drain(rec.cnn);
  ASSERT_EQ(pictures.size(), 10u);
  for (unsigned i = 0; i < 10; ++i) {
    EXPECT_EQ(pictures[i].frame, 11 + i);
    EXPECT_EQ(barcodeOf(pictures[i]), static_cast<int>(11 + i));
  }
}

TEST_P(DecodeH264DeviceFault, SigintWhileTheThreadDecodesEndsItAtOnce) {
  kovira::Camera& cam = cameraWithTwoGroups(870);
  v4l2emu::setFaults(GetParam().plan);
  std::signal(SIGINT, signalcallback);
  std::thread worker(std::ref(decode));
  // The thread has taken the first group: its parse runs or is about to.
  ASSERT_TRUE(testsupport::waitUntil([&] { return frameHas(cam, 1, FRAME_DEC); }, std::chrono::seconds(60)));
  const auto t0 = std::chrono::steady_clock::now();
  std::raise(SIGINT);
  decode.stop = true;  // as main does after the loop
  worker.join();
  const auto took = std::chrono::steady_clock::now() - t0;
  working = 1;
  // A parse waits up to 30 s and a converter 5 s; a SIGINT must not.
  EXPECT_LT(took, std::chrono::seconds(3));
}

// A SIGINT that cuts a parse short (here one waiting for a decoder that
// never takes its input) leaves the group undecoded, yet nothing failed: no
// error line may blame the decoder.
TEST_F(DecodeH264Faults, AGroupCutShortBySigintIsNotReportedAsADecoderFailure) {
  const fixture::Stream s = fixture::encode(416, 240, 11, 10, 1);
  kovira::Camera& cam = scope.add(875, 8u << 20);
  addUnits(cam, s, 0, 11);
  v4l2emu::setFaults({.device = "nvdec", .hung = true});
  std::signal(SIGINT, signalcallback);
  testing::internal::CaptureStdout();
  std::thread worker(std::ref(decode));
  const bool taken = testsupport::waitUntil([&] { return frameHas(cam, 1, FRAME_DEC); }, std::chrono::seconds(60));
  std::raise(SIGINT);
  decode.stop = true;
  worker.join();
  working = 1;
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(taken);
  EXPECT_EQ(out.find("not decoded"), std::string::npos) << out;
  EXPECT_TRUE(drain(rec.cnn).empty());
  for (unsigned n = 1; n <= 10; ++n) EXPECT_TRUE(frameHas(cam, n, FRAME_SKIP)) << n;
}

INSTANTIATE_TEST_SUITE_P(Faults, DecodeH264DeviceFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& i) { return std::string(i.param.name); });

}  // namespace
