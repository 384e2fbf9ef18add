// The board's sensors and GPIO read through sysfs/procfs, run by
// sensors_ns.sh in a namespace whose files are fixtures ("good" and "bad").
#include "config/config.h"
#include "devices/sensors.h"

#include <gtest/gtest.h>

namespace {

TEST(Sensors_good, VoltageThermalZonesAndMemory) {
  EXPECT_FLOAT_EQ(tegraVoltage(), 12.15f);
  EXPECT_FLOAT_EQ(tegraThermal(), 41.0f);  // zones 0 and 2 only
  EXPECT_EQ(memfreeram(), 2048u * 1024u);
  EXPECT_EQ(kovira::GlobalConfig::memfree(), memfreeram());
}

TEST(Sensors_good, GpioOnABoundValueFile) {
  EXPECT_EQ(gpioread(216), 1);
  EXPECT_EQ(gpiowrite(216, 0), 0);
  EXPECT_EQ(gpioread(216), 0);
  EXPECT_EQ(gpiowrite(216, 7), 0);
  EXPECT_EQ(gpioread(216), 1);
  EXPECT_EQ(gpioread(217), -1);
  EXPECT_EQ(gpiowrite(217, 1), -1);
}

TEST(Sensors_bad, UnreadableValuesGiveZero) {
  EXPECT_EQ(tegraVoltage(), 0.0f);  // not a number
  EXPECT_EQ(tegraThermal(), 0.0f);  // one zone, not a number: counted, adds 0
  EXPECT_EQ(memfreeram(), 0u);      // no MemAvailable line
}

}  // namespace
