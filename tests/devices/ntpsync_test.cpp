// The clock state against the stand-in time daemon on a private bus, and a
// bus daemon that hangs (stopped with SIGSTOP) before it finishes the
// handshake: the query gives up at its own limit instead of the bus
// library's time-outs (25 s and more), so neither start-up nor the
// scheduler thread sits it out.
#include "config/config.h"
#include "devices/ntpsync.h"
#include "tests/devices/timebus.h"
#include "tests/support/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::TimeBus;
using testsupport::stdoutOf;

class NtpSyncTest : public testing::Test {
 protected:
  void SetUp() override { kovira::config().ntpsync = 0; }
  void TearDown() override { kovira::config().ntpsync = 0; }
};

TEST_F(NtpSyncTest, SynchronisedClockRaisesTheFlagOnceWithOneLine) {
  TimeBus bus("true");
  ASSERT_TRUE(bus.ok());
  const char* step = "unset";
  EXPECT_EQ(NTPSynchronized(&step), 1);
  EXPECT_STREQ(step, "");
  EXPECT_EQ(stdoutOf(timesync), "[DBG] ntpsync flag obtained\n");
  EXPECT_EQ(kovira::config().ntpsync, 1u);
  EXPECT_TRUE(kovira::config().timesync());
  // Once raised, the bus is not asked again: even a hung daemon costs nothing.
  bus.setState("silent");
  const auto t0 = Clock::now();
  EXPECT_EQ(stdoutOf(timesync), "");
  EXPECT_LT(Clock::now() - t0, ntpsync::kCallLimit);
  EXPECT_EQ(kovira::config().ntpsync, 1u);
}

TEST_F(NtpSyncTest, UnsynchronisedClockLeavesTheFlagUntilTheDaemonSaysTrue) {
  TimeBus bus("false");
  ASSERT_TRUE(bus.ok());
  EXPECT_EQ(NTPSynchronized(nullptr), 0);
  EXPECT_EQ(stdoutOf(timesync), "");
  EXPECT_EQ(kovira::config().ntpsync, 0u);
  bus.setState("true");
  timesyncloop(30000);
  EXPECT_EQ(kovira::config().ntpsync, 1u);
}

// No bus, a bus without the daemon and a hung daemon: the call fails within
// its limit (generous: a loaded machine), says which step failed, prints
// nothing and raises no flag.
TEST_F(NtpSyncTest, FailuresAreSilentAndBounded) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kovira-test-bus", 1);
  const char* step = "";
  auto t0 = Clock::now();
  EXPECT_LT(NTPSynchronized(&step), 0);
  EXPECT_LT(Clock::now() - t0, ntpsync::kCallLimit);
  EXPECT_STRNE(step, "");
  for (const char* state : {"none", "silent"}) {
    SCOPED_TRACE(state);
    TimeBus bus(state);
    ASSERT_TRUE(bus.ok());
    t0 = Clock::now();
    EXPECT_LT(NTPSynchronized(&step), 0);
    EXPECT_LT(Clock::now() - t0, ntpsync::kCallLimit + 10s);
    EXPECT_STREQ(step, "sd_bus_call");
    EXPECT_EQ(stdoutOf(timesync), "");
  }
  EXPECT_EQ(kovira::config().ntpsync, 0u);
}

TEST(NtpSyncFrozenBus, QueryAndTaskEndWellBeforeTheLibraryTimeOuts) {
  TimeBus bus("true");
  ASSERT_TRUE(bus.ok());
  ASSERT_TRUE(bus.freeze());
  kovira::config().ntpsync = 0;
  // Generous bounds: the fault this guards against waits 25 s or longer.
  for (int run = 0; run < 2; ++run) {
    const char* step = "";
    const auto t0 = Clock::now();
    EXPECT_LT(NTPSynchronized(&step), 0);
    EXPECT_LT(Clock::now() - t0, 15s);
    EXPECT_STREQ(step, "sd_bus_call");
  }
  const auto t0 = Clock::now();
  EXPECT_EQ(stdoutOf([] { timesyncloop(30000); }), "");
  EXPECT_LT(Clock::now() - t0, 15s);
  EXPECT_EQ(kovira::config().ntpsync, 0u);
  // Once the daemon runs again, the next period gets the answer.
  ASSERT_TRUE(bus.freeze(false));
  timesyncloop(30000);
  EXPECT_EQ(kovira::config().ntpsync, 1u);
  kovira::config().ntpsync = 0;
}

}  // namespace
