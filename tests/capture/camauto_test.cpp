// The frame-rate step of the automatic camera control: faster while the
// decode stage keeps up with the store, slower while frames wait, within
// the day or night limits, only on the runs that decide.
#include "capture/cam.h"
#include "capture/camauto.h"
#include "capture/usbcam_config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr std::uint64_t kFrames = 1200;

// A camera whose store holds kFrames small frames, the newest `waiting` of
// them not yet taken by the decode stage. Cameras live for the process:
// each call takes an id of its own.
kovira::Camera& cameraWaiting(std::uint64_t waiting, std::uint64_t frames = kFrames) {
  static int next = 9100;
  kovira::Camera& cam = kovira::addCamera(next++, 4u << 20);
  const std::vector<std::uint8_t> px(64, 100);
  for (std::uint64_t i = 0; i < frames; ++i) {
    kovira::FrameMetadata& rec = cam.cambuf->addFrame(8, 8, FRAME_GRAY8, 0, px.data(), px.size());
    if (i + waiting < frames) rec.setFlags(FRAME_DEC);
  }
  return cam;
}

TEST(CameraAutoFps, StepsTheRateByTheStoreCongestion) {
  BaslerConfig config;
  CameraAuto control;
  control.config = &config;
  // Day limits 4..40, night 18. The order matters: the slow check compares
  // with the congestion of the previous slow check (tick a multiple of 30).
  const struct {
    const char* what;
    std::uint64_t tick, waiting;
    unsigned curfps, night;
    unsigned expected;  // 0: a run that only sets the congestion the next slow check compares with
    std::uint64_t frames = kFrames;
    unsigned maxfps = 40;  // 0: no upper limit, the step is off
  } runs[] = {
      {"decode keeps up: faster", 10, 0, 25, 0, 26},
      {"at the day limit", 10, 0, 40, 0, 40},
      {"at night the limit is 18", 20, 0, 18, 1, 18},
      {"frames wait: slower", 10, 600, 25, 0, 24},
      {"at the lowest rate", 10, 600, 4, 0, 4},
      {"no deciding run", 11, 600, 25, 0, 25},
      {"too few records to judge", 10, 600, 25, 0, 25, 900},
      {"slow check: remembers 0.1", 30, 120, 25, 0, 0},
      {"slow check, 0.1 again: no change", 60, 120, 25, 0, 25},
      {"slow check, lower and under 0.15: faster", 90, 60, 25, 0, 26},
      {"slow check, higher and over 0.15: slower", 120, 240, 25, 0, 24},
      {"slow check, lower but over 0.15: no change", 150, 200, 25, 0, 25},
      {"no upper limit", 10, 0, 25, 0, 25, kFrames, 0},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.what);
    kovira::Camera& cam = cameraWaiting(r.waiting, r.frames);
    config.maxfps = r.maxfps;
    config.curfps = r.curfps;
    config.night = r.night;
    control.tick = r.tick;
    control.fpsmodify(cam);
    if (r.expected != 0) {
      EXPECT_EQ(config.curfps.load(), r.expected) << "congestion " << cam.cambuf->congestion();
    }
  }
}

}  // namespace
