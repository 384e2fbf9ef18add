// A bus daemon that hangs (stopped with SIGSTOP) before it ever finishes the
// connection handshake: the clock query gives up at its own limit instead of
// the bus library's long handshake and call time-outs (25 s and more), so
// neither start-up nor the scheduler thread sits it out.
#include "config/config.h"
#include "devices/ntpsync.h"
#include "tests/devices/timebus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

TEST(NtpSyncFrozenBus, QueryAndTaskEndWellBeforeTheLibraryTimeOuts) {
  testsupport::TimeBus bus("true");
  ASSERT_TRUE(bus.ok());
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
  ASSERT_TRUE(bus.freeze());
  kovira::config().ntpsync = 0;

  // Generous bounds: the fault this guards against waits 25 s or longer.
  for (int run = 0; run < 2; ++run) {
    const char* step = "";
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_LT(NTPSynchronized(&step), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);
    EXPECT_STREQ(step, "sd_bus_call");
  }
  testing::internal::CaptureStdout();
  const auto t0 = std::chrono::steady_clock::now();
  timesyncloop(30000);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(kovira::config().ntpsync, 0u);

  // Once the daemon runs again, the next period gets the answer.
  ASSERT_TRUE(bus.freeze(false));
  timesyncloop(30000);
  EXPECT_EQ(kovira::config().ntpsync, 1u);
  kovira::config().ntpsync = 0;
}

}  // namespace
