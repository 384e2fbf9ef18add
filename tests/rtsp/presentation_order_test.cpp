// Presentation order of raw H.264 streams: the bookkeeping on its own, and
// the picture order counts of real x264 streams against the display number
// x264 gave each picture.
#include "rtsp/presentation_order.h"
#include "tests/codec/x264_fixture.h"

#include <gtest/gtest.h>

#include <span>
#include <vector>

namespace {

struct Unit {
  std::int64_t poc;
  bool idr;
  std::int64_t distance;  // expected
};

// Counts as the bookkeeping gets them, from decoding slot `first` on.
TEST(rtsp_presentation_order, CountsBecomeFramesFromTheLastIdr) {
  struct Case {
    const char* name;
    std::int64_t first;
    std::vector<Unit> units;
  };
  const Case cases[] = {
      {"two per frame, no reordering", 0, {{0, true, 0}, {2, false, 0}, {4, false, 0}, {6, false, 0}}},
      {"two per frame, B-frames", 0, {{0, true, 0}, {6, false, 2}, {2, false, -1}, {4, false, -1}, {8, false, 0}}},
      // The first odd difference shows one per frame.
      {"one per frame, B-frames", 0, {{0, true, 0}, {3, false, 2}, {1, false, -1}, {2, false, -1}}},
      // A play that begins mid-stream: its first unit stands in for an IDR
      // until the first one comes; each IDR is shown in its own slot.
      {"IDR later in the play", 5, {{40, false, 0}, {46, false, 2}, {42, false, -1}, {0, true, 0}, {4, false, 1},
                                    {2, false, -1}}},
      // Counts that do not step by frames: no distance beyond what a decoder
      // can hold.
      {"a count far off", 0, {{0, true, 0}, {2, false, 0}, {200, false, 0}, {6, false, 0}}},
  };
  for (const Case& c : cases) {
    PresentationOrder order;
    for (std::size_t i = 0; i < c.units.size(); ++i) {
      const Unit& u = c.units[i];
      EXPECT_EQ(order.Distance(c.first + static_cast<std::int64_t>(i), u.poc, u.idr), u.distance)
          << c.name << ", unit " << i;
    }
  }
}

// Every unit of an x264 stream, in decoding order, is shown number - slot
// frames from its slot: x264's display number is the truth. Long enough
// for the count to wrap (x264 sizes it to the key frame interval).
TEST(rtsp_presentation_order, X264StreamsShowEachPictureInItsPlace) {
  struct Case {
    const char* name;
    fixture::X264Options options;
  };
  const Case cases[] = {
      {"no B-frames", {.frames = 60, .keyint = 25}},
      {"one B-frame", {.frames = 60, .keyint = 25, .bframes = 1}},
      {"three B-frames, closed GOP", {.frames = 120, .keyint = 25, .bframes = 3}},
      {"three B-frames, open GOP", {.frames = 300, .keyint = 25, .bframes = 3, .openGop = true}},
      {"three B-frames, rare IDR", {.frames = 300, .keyint = 250, .bframes = 3}},
  };
  for (const Case& c : cases) {
    const fixture::X264Stream s = fixture::encodeX264(c.options);
    H264PresentationOrder order;
    int reordered = 0;
    for (std::size_t i = 0; i < s.units.size(); ++i) {
      const auto unit = std::span(s.bytes).subspan(s.units[i].offset, s.units[i].size);
      const auto slot = static_cast<std::int64_t>(i);
      EXPECT_EQ(order.Distance(unit, slot), s.units[i].number - slot) << c.name << ", unit " << i;
      reordered += s.units[i].number != slot;
    }
    EXPECT_EQ(reordered > 0, c.options.bframes > 0) << c.name;
  }
}

}  // namespace
