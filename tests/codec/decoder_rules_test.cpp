// The hardware parser over decoders that keep the kernel's rules for
// stateful decoders, plainly and with the fault switches a board's decoder
// may show: slow and without the drain command, the deprecated end-of-stream
// event and pictures held back, pictures flagged as failed. Each rule a real
// device would break the parser on: a one-frame parse on a fresh parser (the
// drain must wait for the capture side), a parse right after set-up, source
// changes between parses of one parser (a LAST that is not a drain's end),
// pictures flagged V4L2_BUF_FLAG_ERROR, and a frame larger than any earlier.
#include "codec/v4tvideoparser.h"
#include "platform/nvv4l2_ext.h"
#include "platform/v4l2emu/v4l2emu.h"
#include "tests/codec/h264_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

namespace {

struct Device {
  const char* name;
  v4l2emu::FaultPlan plan;
};

void PrintTo(const Device& d, std::ostream* os) { *os << d.name; }

const Device kDevices[] = {
    {"KernelRules", {}},
    {"SlowWithoutDrain", {.device = "nvdec", .pictureDelayMs = 20, .noDrain = true}},
    {"EosEventAndHeldPictures", {.device = "nvdec", .reorderDepth = 2, .eosEvent = true}},
};

// What one parse gave: barcode by place, and the parser's counts.
struct Parsed {
  int result = 0;
  std::map<int, int> barcodes;  // place -> barcode read from the picture
  std::uint64_t flagged = 0;
};

// Parses units [first, last) of s, with the bytes after them up to `next`
// (the next group's key frame, as the frame store cuts a group).
Parsed parseUnits(V4TVideoParser& parser, const fixture::Stream& s, std::size_t first, std::size_t last,
                  std::size_t next) {
  Parsed out;
  const std::size_t base = s.units[first].offset;
  std::vector<V4TVideoParser::Unit> units;
  for (std::size_t i = first; i < last; ++i) units.push_back({s.units[i].offset - base, s.units[i].size});
  const std::size_t end = next < s.units.size() ? s.units[next].offset + s.units[next].size
                                                : s.units[last - 1].offset + s.units[last - 1].size;
  std::lock_guard lk(parser.mutex);
  parser.callback = [&](int place, int, V4TVideoParserPlane* planes, int n) {
    ASSERT_GE(n, 1);
    const auto& p = planes[0];
    out.barcodes[place] = fixture::readBarcode(p.data, static_cast<int>(p.width), static_cast<int>(p.height),
                                               static_cast<int>(p.stride));
  };
  out.result = parser.parse(s.bytes.data() + base, end - base, static_cast<int>(nvv4l2::kFmtNM12), units);
  out.flagged = parser.lastFlagged();
  parser.callback = nullptr;
  return out;
}

// Every unit of [first, last) gave its own picture once.
void expectWholeGroup(const Parsed& got, const fixture::Stream& s, std::size_t first, std::size_t last) {
  EXPECT_GT(got.result, 0);
  ASSERT_EQ(got.barcodes.size(), last - first);
  for (const auto& [place, barcode] : got.barcodes)
    EXPECT_EQ(barcode, s.units[first + static_cast<std::size_t>(place)].number) << "place " << place;
}

class DecoderRules : public ::testing::TestWithParam<Device> {
 protected:
  void SetUp() override { v4l2emu::setFaults(GetParam().plan); }
  void TearDown() override { v4l2emu::clearFaults(); }
};

TEST_P(DecoderRules, OneFrameOnAFreshParserGivesItsPicture) {
  const fixture::Stream s = fixture::encode(320, 240, 1, 10);
  V4TVideoParser parser;
  expectWholeGroup(parseUnits(parser, s, 0, 1, 1), s, 0, 1);
  EXPECT_FALSE(parser.broken());
  // And again: the decoder was resumed after its drain.
  expectWholeGroup(parseUnits(parser, s, 0, 1, 1), s, 0, 1);
}

// Built and used at once, with eight B frames between references: every
// picture of the group arrives, whatever the decoder's delay.
TEST_P(DecoderRules, AParseRightAfterSetUpGetsEveryPictureOfItsGroup) {
  const fixture::Stream s = fixture::encode(320, 240, 37, 18, 0, 8);
  V4TVideoParser parser;
  expectWholeGroup(parseUnits(parser, s, 0, 18, 18), s, 0, 18);
  expectWholeGroup(parseUnits(parser, s, 18, 36, 36), s, 18, 36);
}

// Cameras of one picture size share a parser; their streams differ in the
// picture buffer they need (B frames), and another size comes in between.
TEST_P(DecoderRules, SourceChangesBetweenParsesOfOneParser) {
  const fixture::Stream plain = fixture::encode(320, 240, 11, 10, 0);
  const fixture::Stream bframes = fixture::encode(320, 240, 11, 10, 100, 3);
  const fixture::Stream larger = fixture::encode(480, 272, 11, 10, 200);
  V4TVideoParser parser;
  for (const fixture::Stream* s : {&plain, &bframes, &plain, &larger, &bframes}) {
    SCOPED_TRACE(s->units[0].number);
    expectWholeGroup(parseUnits(parser, *s, 0, 10, 10), *s, 0, 10);
  }
  EXPECT_FALSE(parser.broken());
}

// A picture the decoder flags as failed carries damaged content: it never
// reaches the callback and is counted; every other picture is its own.
TEST_P(DecoderRules, PicturesFlaggedAsFailedAreNoPictures) {
  v4l2emu::FaultPlan plan = GetParam().plan;
  plan.device = "nvdec";
  plan.errorPictureEvery = 4;
  v4l2emu::setFaults(plan);
  const fixture::Stream s = fixture::encode(320, 240, 21, 10);
  V4TVideoParser parser;
  for (std::size_t first : {0u, 10u}) {
    const Parsed got = parseUnits(parser, s, first, first + 10, first + 10);
    EXPECT_GT(got.result, 0);
    EXPECT_GE(got.flagged, 2u);
    EXPECT_EQ(got.barcodes.size() + got.flagged, 10u);
    for (const auto& [place, barcode] : got.barcodes)
      EXPECT_EQ(barcode, s.units[first + static_cast<std::size_t>(place)].number) << "place " << place;
  }
}

// A frame far larger than the input buffers so far (a key frame padded with
// the zero bytes a byte stream may carry) is decoded, as is the next group.
TEST_P(DecoderRules, AFrameLargerThanAnyBeforeIsDecoded) {
  const fixture::Stream s = fixture::encode(320, 240, 21, 10);
  fixture::Stream big = s;
  big.bytes.insert(big.bytes.begin() + static_cast<std::ptrdiff_t>(s.units[0].size), 9u << 20, 0);
  big.units[0].size += 9u << 20;
  for (std::size_t i = 1; i < big.units.size(); ++i) big.units[i].offset += 9u << 20;
  V4TVideoParser parser;
  expectWholeGroup(parseUnits(parser, s, 10, 20, 20), s, 10, 20);
  expectWholeGroup(parseUnits(parser, big, 0, 10, 10), big, 0, 10);
  expectWholeGroup(parseUnits(parser, s, 10, 20, 20), s, 10, 20);
}

INSTANTIATE_TEST_SUITE_P(Devices, DecoderRules, ::testing::ValuesIn(kDevices),
                         [](const ::testing::TestParamInfo<Device>& i) { return std::string(i.param.name); });

}  // namespace
