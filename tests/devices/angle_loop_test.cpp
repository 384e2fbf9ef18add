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
#include <nlohmann/json.hpp>

#include <string>
#include <utility>

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
    // Warn once out for longer than 30 s.
    angconf.fromjson(nlohmann::json{{"enabled", 1}, {"normal", 10}, {"crit", 2}, {"timenotify", 30}});
  }
  const struct {
    const char* control;  // the board's next answer
    float current;
    int critical, warn;
    MultiValZ diff, angle;  // telemetry: doubles of the reading, integer zeros without one
  } runs[] = {
      {"set angle=10.50", 10.5f, 0, 0, 0.5, 10.5},   // in range
      {"set angle=13.00", 13, 1, 0, 3.0, 13.0},      // out: the alarm at once
      {"set angle=13.00", 13, 1, 1, 3.0, 13.0},      // out 40 s > 30 s: the warning too
      {"set angle=7.00", 7, 1, 1, -3.0, 7.0},        // out below
      {"answer ANGLE => ERR", 0, 0, 0, 0, 0},        // no reading: no alarm (not even the held one), zeros
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
    for (const auto& [key, want] : {std::pair<const char*, MultiValZ>{"anglewarn", r.warn}, {"anglediff", r.diff},
                                    {"angle", r.angle}})
      EXPECT_TRUE(reported(key) == want) << key << " " << reported(key);
  }
  kovira::ConfigReadLock lock;
  EXPECT_EQ(angconf.outtotal, 3 * 20);  // three runs out of range, 20 s each
  EXPECT_FLOAT_EQ(angconf.max, 13);
}

}  // namespace
