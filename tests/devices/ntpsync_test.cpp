// The clock state against the stand-in time daemon on a private bus.
#include "config/config.h"
#include "devices/ntpsync.h"
#include "tests/devices/timebus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::TimeBus;

class NtpSyncTest : public testing::Test {
 protected:
  void SetUp() override { kovira::config().ntpsync = 0; }
  void TearDown() override { kovira::config().ntpsync = 0; }

  // Starts the bus with the daemon in `state` and points sd-bus at it.
  bool useBus(TimeBus& bus) {
    if (!bus.ok()) return false;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    return true;
  }

  std::string timesyncOutput() {
    testing::internal::CaptureStdout();
    timesync();
    return testing::internal::GetCapturedStdout();
  }
};

#define REQUIRE_BUS(bus)                                              \
  if (bus.unavailable()) GTEST_SKIP() << "dbus-daemon is not installed"; \
  ASSERT_TRUE(useBus(bus))

TEST_F(NtpSyncTest, SynchronisedClockRaisesTheFlagOnceWithOneLine) {
  TimeBus bus("true");
  REQUIRE_BUS(bus);
  const char* step = "unset";
  EXPECT_EQ(NTPSynchronized(&step), 1);
  EXPECT_STREQ(step, "");

  EXPECT_EQ(timesyncOutput(), "[DBG] ntpsync flag obtained\n");
  EXPECT_EQ(kovira::config().ntpsync, 1u);
  EXPECT_TRUE(kovira::config().timesync());

  // Once raised, the bus is not asked again: even a hung daemon costs nothing.
  bus.setState("silent");
  const auto t0 = Clock::now();
  EXPECT_EQ(timesyncOutput(), "");
  EXPECT_LT(Clock::now() - t0, ntpsync::kCallLimit);
  EXPECT_EQ(kovira::config().ntpsync, 1u);
}

TEST_F(NtpSyncTest, UnsynchronisedClockLeavesTheFlagUntilTheDaemonSaysTrue) {
  TimeBus bus("false");
  REQUIRE_BUS(bus);
  EXPECT_EQ(NTPSynchronized(nullptr), 0);
  EXPECT_EQ(timesyncOutput(), "");
  EXPECT_EQ(kovira::config().ntpsync, 0u);
  bus.setState("true");
  timesyncloop(30000);
  EXPECT_EQ(kovira::config().ntpsync, 1u);
}

TEST_F(NtpSyncTest, NoBusIsSilentAndQuick) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kovira-test-bus", 1);
  const char* step = "";
  const auto t0 = Clock::now();
  EXPECT_LT(NTPSynchronized(&step), 0);
  EXPECT_STRNE(step, "");
  EXPECT_EQ(timesyncOutput(), "");
  EXPECT_LT(Clock::now() - t0, ntpsync::kCallLimit);
  EXPECT_EQ(kovira::config().ntpsync, 0u);
}

TEST_F(NtpSyncTest, BusWithoutTheDaemonFailsAtTheCall) {
  TimeBus bus("none");
  REQUIRE_BUS(bus);
  const char* step = "";
  EXPECT_LT(NTPSynchronized(&step), 0);
  EXPECT_STREQ(step, "sd_bus_call");
  EXPECT_EQ(timesyncOutput(), "");
}

TEST_F(NtpSyncTest, HungDaemonCostsNoMoreThanTheCallLimit) {
  TimeBus bus("silent");
  REQUIRE_BUS(bus);
  const char* step = "";
  const auto t0 = Clock::now();
  EXPECT_LT(NTPSynchronized(&step), 0);
  const auto took = Clock::now() - t0;
  EXPECT_STREQ(step, "sd_bus_call");
  EXPECT_GE(took, ntpsync::kCallLimit - std::chrono::milliseconds(100));
  EXPECT_LT(took, ntpsync::kCallLimit + std::chrono::seconds(10));  // a loaded machine; the library's own is 25 s
  EXPECT_EQ(kovira::config().ntpsync, 0u);
}

}  // namespace
