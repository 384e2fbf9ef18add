// The 20-second tilt loop against the board simulator on a pseudo-terminal:
// readings go into the statistics, the alarm the speed module tests, and
// the three telemetry values, run after run as the scheduler would call it.
#include "config/config.h"
#include "devices/angle.h"
#include "devices/heartbeat.h"
#include "devices/sttydev.h"
#include "tests/evidence/shell_helpers.h"
#include "tools/boardsim/boardsim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

MultiValZ reported(const std::string& key) {
  for (const auto& e : heartbeatStore().extras())
    if (e.key == key) return e.value;
  return MultiValZ();
}

TEST(AngleLoop, ReadingsRaiseAndHoldTheAlarmAndReachTelemetry) {
  evtest::ScratchDir dir("angle-loop");
  const std::string link = dir.file("ttySS");
  boardsim::Simulator sim(boardsim::Options{.link = link});
  std::string error;
  ASSERT_TRUE(sim.start(error)) << error;
  // This process polls no status: every reading is an "ANGLE" exchange.
  ASSERT_GE(sttydev().open(link + ",9600"), 0);
  {
    kovira::ConfigWriteLock lock;
    angconf = AngleConf();
    angconf.enabled = 1;
    angconf.normal = 10;
    angconf.wu = 2;
    angconf.wd = 2;
    angconf.timenotify = 30;  // warn once out for longer than 30 s
  }
  const struct {
    const char* control;  // the board's next answer
    float current;
    int critical, warn;
    double diff, angle;  // telemetry; 0 for a run without a reading
  } runs[] = {
      {"set angle=10.50", 10.5f, 0, 0, 0.5, 10.5},  // in range
      {"set angle=13.00", 13, 1, 0, 3, 13},         // out: the alarm at once
      {"set angle=13.00", 13, 1, 1, 3, 13},         // out 40 s > 30 s: the warning too
      {"set angle=7.00", 7, 1, 1, -3, 7},           // out below
      {"set angle=10.00", 10, 1, 0, 0, 10},         // back 20 s: the alarm holds
      {"set angle=10.00", 10, 1, 0, 0, 10},         // back 40 s
      {"set angle=10.00", 10, 0, 0, 0, 10},         // back 60 s > 45 s: over
      {"set angle=13.00", 13, 1, 0, 3, 13},
      {"answer ANGLE => ERR", 0, 0, 0, 0, 0},       // no reading: no alarm, zeros
  };
  int n = 0;
  for (const auto& r : runs) {
    SCOPED_TRACE("run " + std::to_string(++n) + ": " + r.control);
    ASSERT_TRUE(sim.control(r.control));
    angleloop(20000);
    {
      kovira::ConfigReadLock lock;
      EXPECT_FLOAT_EQ(angconf.current, r.current);
      EXPECT_EQ(angconf.count, static_cast<std::uint32_t>(n));
    }
    EXPECT_EQ(kovira::config().anglecritical.load(), static_cast<std::uint32_t>(r.critical));
    EXPECT_TRUE(reported("anglewarn") == MultiValZ(r.warn)) << reported("anglewarn");
    if (r.angle == 0) {
      EXPECT_TRUE(reported("anglediff") == MultiValZ(0)) << reported("anglediff");
      EXPECT_TRUE(reported("angle") == MultiValZ(0)) << reported("angle");
    } else {
      EXPECT_TRUE(reported("anglediff") == MultiValZ(r.diff)) << reported("anglediff");
      EXPECT_TRUE(reported("angle") == MultiValZ(r.angle)) << reported("angle");
    }
  }
  kovira::ConfigReadLock lock;
  EXPECT_EQ(angconf.outtotal, 4 * 20);  // four runs out of range, 20 s each
  EXPECT_FLOAT_EQ(angconf.max, 13);
}

}  // namespace
