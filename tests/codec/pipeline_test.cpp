// The hardware decoder pipeline against the emulated devices: numbering,
// barcodes, exact luma, converted colour, resolution change, bad input and
// a slow (asynchronous) device.
#include "codec/v4tvideoparser.h"
#include "platform/nvv4l2_ext.h"
#include "platform/v4l2emu/v4l2emu.h"
#include "tests/codec/h264_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

struct Got {
  unsigned number;
  int barcode;
  int fourcc;
  int width;
  int height;
  std::vector<std::uint8_t> pixels;  // packed rows of plane 0
};

// Parses frames [first, last] (last: the next key frame) the way the decode
// stage does: numbers by delivery order from `first`, limit inclusive.
std::vector<Got> parseGroup(V4TVideoParser& parser, const fixture::Stream& s, std::size_t first, std::size_t last,
                            int fourcc, int* result = nullptr) {
  std::vector<Got> got;
  const auto bytes = s.slice(first, last);
  std::lock_guard lk(parser.mutex);
  unsigned count = 0;
  const unsigned limit = static_cast<unsigned>(last - first);
  parser.callback = [&](int, int code, V4TVideoParserPlane* planes, int n) {
    if (count > limit || n < 1) return;
    const auto& p = planes[0];
    Got g{static_cast<unsigned>(first) + count, -1, code, static_cast<int>(p.width), static_cast<int>(p.height), {}};
    const std::size_t row = static_cast<std::size_t>(p.width) * p.bytesperpixel;
    g.pixels.resize(row * p.height);
    for (std::uint32_t y = 0; y < p.height; ++y) std::memcpy(g.pixels.data() + y * row, p.data + y * p.stride, row);
    g.barcode = code == static_cast<int>(nvv4l2::kFmtAR24)
                    ? fixture::readBarcodeBgra(g.pixels.data(), g.width, g.height, static_cast<int>(row))
                    : fixture::readBarcode(g.pixels.data(), g.width, g.height, g.width);
    got.push_back(std::move(g));
    ++count;
  };
  const int r = parser.parse(bytes.data(), bytes.size(), fourcc);
  parser.callback = nullptr;
  if (result) *result = r;
  EXPECT_EQ(r, static_cast<int>(bytes.size()));
  return got;
}

// Checks that a group's pictures are exactly its frames, each carrying its number.
void expectGroup(const std::vector<Got>& got, std::size_t first, std::size_t frames) {
  ASSERT_EQ(got.size(), frames) << "group at " << first;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].number, first + i);
    EXPECT_EQ(got[i].barcode, static_cast<int>(got[i].number)) << "picture " << got[i].number;
  }
}

const fixture::Stream& gop10() {
  static const fixture::Stream s = fixture::encode(320, 240, 511, 10);
  return s;
}

class Pipeline : public ::testing::Test {
 protected:
  void TearDown() override { v4l2emu::clearFaults(); }
};

TEST_F(Pipeline, LongerGroupsAndLargerPicturesKeepTheirNumbers) {
  struct Case {
    int w, h, frames, gop;
  } cases[] = {{640, 480, 76, 25}, {320, 240, 501, 250}, {1920, 1080, 21, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " gop " + std::to_string(c.gop));
    const auto s = fixture::encode(c.w, c.h, c.frames, c.gop);
    V4TVideoParser parser;
    for (std::size_t first = 0; first + c.gop < s.units.size(); first += static_cast<std::size_t>(c.gop))
      expectGroup(parseGroup(parser, s, first, first + static_cast<std::size_t>(c.gop), nvv4l2::kFmtNM12), first,
                  static_cast<std::size_t>(c.gop));
  }
}

// Fifty consecutive parses: every picture numbered by its barcode, its luma
// bit-identical to a direct decode.
TEST_F(Pipeline, LumaIsBitIdenticalToADirectDecode) {
  const auto& s = gop10();
  const auto ref = fixture::referenceDecode(s.slice(0, s.units.size() - 1), false);
  V4TVideoParser parser;
  for (std::size_t first = 0; first + 10 < s.units.size(); first += 10) {
    const auto got = parseGroup(parser, s, first, first + 10, nvv4l2::kFmtNM12);
    expectGroup(got, first, 10);
    for (const auto& g : got) {
      ASSERT_EQ(g.fourcc, static_cast<int>(nvv4l2::kFmtNM12));
      ASSERT_LT(g.number, ref.size());
      EXPECT_EQ(g.pixels, ref[g.number].luma) << "picture " << g.number;
    }
  }
  EXPECT_FALSE(parser.broken());
}

TEST_F(Pipeline, Ar24MatchesLibswscaleWithinTolerance) {
  const auto& s = gop10();
  const auto ref = fixture::referenceDecode(s.slice(0, 20), true);
  V4TVideoParser parser;
  // NM12 first, then AR24: the converter is set up again between them.
  expectGroup(parseGroup(parser, s, 0, 10, nvv4l2::kFmtNM12), 0, 10);
  const auto got = parseGroup(parser, s, 10, 20, nvv4l2::kFmtAR24);
  ASSERT_EQ(got.size(), 10u);
  for (const auto& g : got) {
    ASSERT_EQ(g.fourcc, static_cast<int>(nvv4l2::kFmtAR24));
    EXPECT_EQ(g.barcode, static_cast<int>(g.number));
    const auto& r = ref[g.number].bgra;
    ASSERT_EQ(g.pixels.size(), r.size());
    long worst = 0;
    double sum = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
      const long d = std::labs(static_cast<long>(g.pixels[i]) - r[i]);
      worst = std::max(worst, d);
      sum += static_cast<double>(d);
    }
    EXPECT_LE(worst, 6) << "picture " << g.number;
    EXPECT_LT(sum / static_cast<double>(r.size()), 1.0) << "picture " << g.number;
  }
  // And back to grey pictures.
  expectGroup(parseGroup(parser, s, 20, 30, nvv4l2::kFmtNM12), 20, 10);
}

TEST_F(Pipeline, ResolutionChangeInsideAStreamKeepsNumbering) {
  auto s = fixture::encode(320, 240, 20, 10, 0);
  s.append(fixture::encode(640, 480, 21, 10, 20));
  V4TVideoParser parser;
  for (std::size_t first = 0; first + 10 < s.units.size(); first += 10) {
    const auto got = parseGroup(parser, s, first, first + 10, nvv4l2::kFmtNM12);
    expectGroup(got, first, 10);
    for (const auto& g : got) EXPECT_EQ(g.width, g.number < 20 ? 320 : 640) << "picture " << g.number;
  }
}

TEST_F(Pipeline, BadInputIsRefusedWithHwdecInputWrong) {
  // A device that grants a smaller input buffer than a frame needs fails
  // the parse (the group is skipped) without breaking the parser.
  v4l2emu::setFaults({.device = "nvdec", .grantInputBytes = 4096});
  V4TVideoParser small;
  v4l2emu::clearFaults();
  V4TVideoParser parser;
  const std::uint8_t byte = 0;
  const auto group = gop10().slice(0, 10);
  ASSERT_GT(gop10().units[0].size, 4096u);
  auto expectRefused = [](V4TVideoParser& p, const std::uint8_t* data, std::uint64_t len) {
    std::lock_guard lk(p.mutex);
    try {
      p.parse(data, len, static_cast<int>(nvv4l2::kFmtNM12));
      ADD_FAILURE() << "accepted length " << len;
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "HWDEC input wrong");
    }
  };
  expectRefused(parser, nullptr, 10);
  expectRefused(parser, &byte, 0);
  {
    std::lock_guard lk(small.mutex);
    EXPECT_EQ(small.parse(group.data(), group.size(), static_cast<int>(nvv4l2::kFmtNM12)), -1);
    EXPECT_FALSE(small.broken());
  }
  // Bytes that hold no picture end the parse once the decoder has taken
  // them, whatever their length.
  std::vector<std::uint8_t> junk(8388609, 0);
  std::lock_guard lk(parser.mutex);
  EXPECT_EQ(parser.parse(junk.data(), junk.size(), static_cast<int>(nvv4l2::kFmtNM12)), 8388609);
}

TEST_F(Pipeline, ASlowDeviceOrExtraBuffersNeverMisnumberAPicture) {
  v4l2emu::FaultPlan slow, extra;
  slow.pictureDelayMs = 15;
  extra.extraBuffers = 3;
  for (const auto& plan : {slow, extra}) {
    v4l2emu::setFaults(plan);
    V4TVideoParser parser;
    v4l2emu::clearFaults();
    for (std::size_t first = 0; first < 30; first += 10)
      expectGroup(parseGroup(parser, gop10(), first, first + 10, nvv4l2::kFmtNM12), first, 10);
  }
}

TEST_F(Pipeline, PicturesAfterParseReturnedReachNoCallback) {
  auto parser = std::make_unique<V4TVideoParser>();
  const auto& s = gop10();
  expectGroup(parseGroup(*parser, s, 0, 10, nvv4l2::kFmtNM12), 0, 10);
  // The held-back key frame comes out at end of stream, after parse
  // returned; a callback installed now must never see it.
  std::atomic<int> late{0};
  {
    std::lock_guard lk(parser->mutex);
    parser->callback = [&](int, int, V4TVideoParserPlane*, int) { ++late; };
  }
  parser.reset();  // destruction flushes the decoder (end of stream)
  EXPECT_EQ(late.load(), 0);
}

TEST_F(Pipeline, AHalfBuiltParserReleasesItsDecoder) {
  v4l2emu::FaultPlan plan;
  plan.device = "vic";
  plan.noM2M = true;
  v4l2emu::setFaults(plan);
  const int before = v4l2emu::openInstances();
  EXPECT_THROW(V4TVideoParser broken, std::logic_error);
  EXPECT_EQ(v4l2emu::openInstances(), before);
}

}  // namespace
