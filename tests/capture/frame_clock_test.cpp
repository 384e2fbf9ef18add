// Capture times from the RTP clock: the camera's spacing is kept through
// arrival jitter, and a stamp too far from the wall clock re-anchors.
#include "capture/camstart.h"

#include <gtest/gtest.h>

namespace {

TEST(RtpFrameClock, KeepsTheCamerasSpacingAndReanchorsWhenItDrifts) {
  struct Step {
    std::uint32_t ts;
    std::int64_t nowUs;
    std::int64_t want;
  };
  const std::int64_t t0 = 1'700'000'000'000'000;
  const Step steps[] = {
      {4'294'960'000u, t0, t0},                        // anchors (close to the wrap)
      {4'294'963'600u, t0 + 90'000, t0 + 40'000},      // late arrival: 3600 ticks = 40 ms
      {2'304u, t0 + 81'000, t0 + 106'666},             // wrapped: 9600 ticks after the anchor
      {90'000u * 5, t0 + 5'000'000 + 1'500'000, t0 + 6'500'000},  // 1.5 s off: re-anchored
      {90'000u * 5 + 9'000, t0 + 6'500'000, t0 + 6'600'000},
      {90'000u * 5 - 90'000, t0 + 6'400'000, t0 + 5'500'000},     // 0.9 s behind: still within
  };
  frames::RtpFrameClock clock;
  for (const auto& s : steps) EXPECT_EQ(clock.stamp(s.ts, s.nowUs), s.want) << s.ts;
}

}  // namespace
