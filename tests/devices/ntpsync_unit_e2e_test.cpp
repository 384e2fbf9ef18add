// The unit's program against the stand-in time daemon: the clock state is
// read during start-up, printed once, and a hung daemon delays start-up by
// no more than the call limit.
#include "devices/ntpsync.h"
#include "support/process.h"
#include "tests/devices/timebus.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::TimeBus;

const std::string kLine = "[DBG] ntpsync flag obtained";
const std::string kReady = "Press \"Ctrl-C\" to quit...";

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class UnitClockTest : public testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("kovira-ntp-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "cfg.json") << R"([{"type": "global", "webserver": 0}])";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::filesystem::path dir;
};

TEST_F(UnitClockTest, SynchronisedClockIsReportedOnceDuringStartUp) {
  TimeBus bus("true");
  if (bus.unavailable()) GTEST_SKIP() << "dbus-daemon is not installed";
  ASSERT_TRUE(bus.ok());
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
  ChildProcess unit({testsupport::binaryPath("kovira"), "--cfg", (dir / "cfg.json").string()});
  ASSERT_TRUE(unit.waitForOutput(kReady, 20s)) << unit.out();
  const std::string out = unit.out();
  EXPECT_EQ(count(out, kLine), 1u) << out;
  EXPECT_LT(out.find(kLine), out.find(kReady));
  unit.signal(SIGINT);
  EXPECT_EQ(unit.wait(20s), 0);
  EXPECT_EQ(count(unit.out(), kLine), 1u);
}

TEST_F(UnitClockTest, HungDaemonDelaysStartUpByTheCallLimitAtMost) {
  TimeBus bus("silent");
  if (bus.unavailable()) GTEST_SKIP() << "dbus-daemon is not installed";
  ASSERT_TRUE(bus.ok());
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
  const auto t0 = std::chrono::steady_clock::now();
  ChildProcess unit({testsupport::binaryPath("kovira"), "--cfg", (dir / "cfg.json").string()});
  ASSERT_TRUE(unit.waitForOutput(kReady, 20s)) << unit.out();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ntpsync::kCallLimit + 12s);  // generous: the library waits 25 s
  EXPECT_EQ(count(unit.out(), kLine), 0u);
  unit.signal(SIGINT);
  EXPECT_EQ(unit.wait(20s), 0);
}

}  // namespace
