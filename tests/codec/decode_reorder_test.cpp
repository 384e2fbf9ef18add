// Pictures that belong to their frames whatever the decoder's output order
// and delay: streams with and without B frames, decoders that hold 0 to 3
// pictures back, page requests in the middle of the stage's work, and a
// decoder that cannot drain (pictures of an earlier parse left in it).
#include "tests/codec/decode_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ostream>
#include <string>
#include <thread>

namespace {

using decodetest::addUnits;
using decodetest::barcodeOf;
using decodetest::drain;
using decodetest::frameHas;
using kovira::DecodedFrame;

constexpr std::uint64_t kRing = 32u << 20;

struct Kind {
  const char* name;
  int bframes;
};
const Kind kKinds[] = {{"Baseline", 0}, {"TwoB", 2}, {"ThreeBPyramid", 3}};
void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

// Three groups of 12 and the key frame of a fourth, frames numbered from 1
// in display order; stored frames are in decode order. A picture size per
// case: the registry keeps each size's parser, opened with the device
// faults of the case that first used it.
struct Coded {
  fixture::Stream stream;
  std::vector<fixture::Picture> reference;  // libavcodec's picture of each unit
};

Coded codedOf(int width, int bframes) {
  Coded c{fixture::encode(width, 240, 37, 12, 1, bframes), {}};
  c.reference = fixture::referenceByUnit(c.stream, true);
  return c;
}

// Stored frame n's own picture: the number it shows and libavcodec's decode.
void expectOwnPicture(const DecodedFrame& p, const Coded& c) {
  ASSERT_TRUE(p.isValid() && p.frame >= 1 && p.frame <= c.stream.units.size()) << p.frame;
  const std::size_t unit = p.frame - 1;
  EXPECT_EQ(barcodeOf(p), c.stream.units[unit].number) << "frame " << p.frame;
  const auto& ref = c.reference[unit];
  const auto& want = p.format == kovira::PixelAR24 ? ref.bgra : ref.luma;
  const std::vector<std::uint8_t> got(p.pixels.get(), p.pixels.get() + p.size);
  EXPECT_GE(fixture::psnr(got, want), 40.0) << "frame " << p.frame;
}

class DecodeReorder : public decodetest::StageTest, public ::testing::WithParamInterface<std::tuple<Kind, unsigned>> {
 protected:
  void SetUp() override {
    static int cases = 0;
    v4l2emu::setFaults({.device = "nvdec", .reorderDepth = std::get<1>(GetParam())});
    c = codedOf(256 + 16 * cases++, std::get<0>(GetParam()).bframes);
  }
  Coded c;
};

// The stage decodes the three complete groups while a page thread asks for
// frames of every group, the open one included, in the middle of its work.
TEST_P(DecodeReorder, EveryPictureOfTheStageAndOfPagesIsItsFramesOwn) {
  const auto& s = c.stream;
  kovira::Camera& cam = scope.add(900, kRing);
  addUnits(cam, s, 0, s.units.size());

  std::atomic<bool> viewing{true};
  std::atomic<int> views{0};
  std::thread pages([&] {
    for (unsigned id = 1; viewing; id = id % 36 + 1) {
      const DecodedFrame view = kovira::decodedFrame(cam, id);
      ASSERT_EQ(view.format, kovira::PixelAR24) << "frame " << id;
      expectOwnPicture(view, c);
      ++views;
    }
  });
  std::vector<DecodedFrame> got;
  while (decode.pass() == std::chrono::milliseconds(0))
    for (auto& p : drain(rec.cnn)) got.push_back(p);
  ASSERT_TRUE(testsupport::waitUntil([&] { return views > 12; }, std::chrono::seconds(60)));
  viewing = false;
  pages.join();

  ASSERT_EQ(got.size(), 36u);
  for (unsigned i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].frame, i + 1);
    EXPECT_EQ(got[i].format, kovira::PixelGray8);
    expectOwnPicture(got[i], c);
    EXPECT_FALSE(frameHas(cam, i + 1, FRAME_SKIP)) << "frame " << i + 1;
  }
  // A live camera's open group (frames 25..30; 31 is the newest): the drain
  // hands over the pictures the decoder still holds.
  kovira::Camera& live = scope.add(901, kRing);
  addUnits(live, s, 0, 31);
  for (unsigned id = 25; id <= 30; ++id) expectOwnPicture(kovira::decodedFrame(live, id), c);
}

INSTANTIATE_TEST_SUITE_P(Depths, DecodeReorder, ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Values(0u, 1u, 2u, 3u)),
                         [](const auto& i) {
                           return std::string(std::get<0>(i.param).name) + "Depth" +
                                  std::to_string(std::get<1>(i.param));
                         });

class DecodeFaults : public decodetest::StageTest {};

// A decoder without the drain command keeps pictures between parses (the
// next group's key frame and what it holds back); they come out at the head
// of the next parse, which must not take them for its own.
TEST_F(DecodeFaults, PicturesLeftFromAnotherParseAreNotTaken) {
  for (const int bframes : {0, 2}) {
    SCOPED_TRACE(bframes);
    v4l2emu::setFaults({.device = "nvdec", .reorderDepth = 1, .noDrain = true});
    const Coded c = codedOf(464 + 16 * bframes, bframes);
    const auto& s = c.stream;
    kovira::Camera& cam = scope.add(910 + bframes, kRing);
    addUnits(cam, s, 0, s.units.size());
    std::vector<DecodedFrame> got;
    while (decode.pass() == std::chrono::milliseconds(0)) {
      for (auto& p : drain(rec.cnn)) got.push_back(p);
      // A page between the stage's groups: its parse starts with what the
      // stage's parse left in the decoder.
      const DecodedFrame view = kovira::decodedFrame(cam, 13);
      if (view.isValid()) expectOwnPicture(view, c);
    }
    // Every picture taken is its frame's own; frames whose pictures the
    // decoder still held when its pipeline went idle are skipped, never
    // filled with another frame's picture.
    ASSERT_GE(got.size(), 24u);
    for (const auto& p : got) expectOwnPicture(p, c);
    for (unsigned n = 1; n <= 36; ++n) {
      const bool queued = std::any_of(got.begin(), got.end(), [&](const DecodedFrame& p) { return p.frame == n; });
      EXPECT_NE(queued, frameHas(cam, n, FRAME_SKIP)) << "frame " << n;
    }
  }
}

}  // namespace
