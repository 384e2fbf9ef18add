// The start page: the mode form and its post, the sensor blocks over a fake
// sysfs tree, and the carrier block from the board's values, from the board
// simulator and with no board.
#include "config/config.h"
#include "devices/index_page.h"
#include "devices/sttydev.h"
#include "http/server.h"
#include "support/page_call.h"
#include "tools/boardsim/boardsim.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using testsupport::callPage;

class TempTree : public ::testing::Test {
 protected:
  void put(const std::string& path, const std::string& text) {
    fs::create_directories((root / path).parent_path());
    std::ofstream(root / path) << text;
  }
  evtest::ScratchDir dir{"index"};
  const fs::path& root = dir.path();
};

using pagesIndexSensors = TempTree;

TEST_F(pagesIndexSensors, ReadableZonesAndAWholePowerMonitorOnly) {
  const std::string thermal = "sys/devices/virtual/thermal/thermal_zone";
  const std::string power = "sys/devices/3160000.i2c/i2c-0/0-0041/iio_device/";
  EXPECT_EQ(indexpage::sensorBlocks(root.string()), "<h2>Temperature</h2>\n");
  put(thermal + "0/type", " CPU-therm \n");
  put(thermal + "0/temp", "45500\n");
  put(thermal + "1/type", "GPU-therm\n");  // no temperature: left out
  put(thermal + "2/type", "AO-therm");
  put(thermal + "2/temp", "-3000");
  put(thermal + "5/temp", "1000");  // no type: left out
  put(power + "in_voltage0_input", "12000\n");
  const std::string zones = "<h2>Temperature</h2>\n<b>CPU-therm:</b> 45.5<br>\n<b>AO-therm:</b> -3<br>\n";
  EXPECT_EQ(indexpage::sensorBlocks(root.string()), zones);
  put(power + "in_power0_input", "5250\n");
  EXPECT_EQ(indexpage::sensorBlocks(root.string()),
            zones + "<h2>Power monitor</h2>\n<b>Voltage:</b> 12.00 V<br><b>Power:</b> 5.25 W<br>");
}

TEST(pagesIndexCarrierRows, FollowTheBoardsValues) {
  const std::string head = "<table class=bordertable><tr><td>Parameter</td><td>Value</td></tr>";
  auto st = [](std::uint32_t u, std::uint32_t v1, std::uint32_t v2, std::uint32_t a, std::uint32_t g) {
    return board::Status{.time = 1, .U = u, .V1 = v1, .V2 = v2, .G = g, .A = a};
  };
  const struct {
    std::uint32_t version;
    board::Status status;
    const char* coords;
    std::string rows;
  } cases[] = {
      {20180727, st(3600, 1234, 0, 0, 7), "",
       "<tr><td>HWVer</td><td>20180727</td></tr><tr><td>Uptime</td><td>3600</td></tr>"
       "<tr><td>Coords</td><td>-</td></tr><tr><td>Satellites</td><td>7</td></tr>"
       "<tr><td>Vmain</td><td>12.34</td></tr>"},
      {20180726, st(3601, 0, 1200, 150, 7), "55.1,37.2",
       "<tr><td>HWVer</td><td>20180726</td></tr><tr><td>Uptime</td><td>1h</td></tr>"
       "<tr><td>Coords</td><td>55.1,37.2</td></tr><tr><td>Vbatt</td><td>12.00</td></tr>"
       "<tr><td>Angle</td><td>1.50</td></tr>"},
      {20190101, st(90000, 0, 0, 0, 0), "<x>",
       "<tr><td>HWVer</td><td>20190101</td></tr><tr><td>Uptime</td><td>1d</td></tr>"
       "<tr><td>Coords</td><td>&lt;x&gt;</td></tr><tr><td>Satellites</td><td>0</td></tr>"},
      {20180727, st(86400, 0, 0, 0, 0), "", "<tr><td>HWVer</td><td>20180727</td></tr><tr><td>Uptime</td><td>24h</td></tr>"
       "<tr><td>Coords</td><td>-</td></tr><tr><td>Satellites</td><td>0</td></tr>"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(indexpage::carrierRows(c.version, c.status, c.coords), head + c.rows + "</table>") << c.status.U;
}

using pagesIndexCarrier = TempTree;

TEST_F(pagesIndexCarrier, NoBoardAndSimulatedBoards) {
  SttyDev none;
  EXPECT_EQ(indexpage::carrierBlock(none), "<h2>Carrier status</h2>\nno connection to carrier");

  const std::string link = (root / "ttySS").string();
  boardsim::Simulator sim(boardsim::Options{.link = link});
  std::string error;
  ASSERT_TRUE(sim.start(error)) << error;
  for (const char* version : {"20180726", "20180727"}) {
    ASSERT_TRUE(sim.control(std::string("set V=") + version + " U=3601 V1=1234 G=5 coords=55.1,37.2 rmc=$GPRMC,1"));
    SttyDev board;
    ASSERT_GE(board.open(link + ",9600"), 0);
    // Open but never polled: not connected yet.
    EXPECT_NE(indexpage::carrierBlock(board).find("no connection to carrier"), std::string::npos);
    const board::Status st = board.status();
    board.emplace(st);
    board.version = st.V;
    const std::string block = indexpage::carrierBlock(board);
    EXPECT_NE(block.find("<tr><td>Uptime</td><td>1h</td></tr>"), std::string::npos) << block;
    EXPECT_NE(block.find("<tr><td>Vmain</td><td>12.34</td></tr>"), std::string::npos) << block;
    const bool old = std::string(version) == "20180726";
    EXPECT_EQ(block.find("Satellites") == std::string::npos, old) << block;
    EXPECT_EQ(block.find("<b>GPRMC:</b> $GPRMC,1<br>") != std::string::npos, old) << block;
  }
  std::size_t gnss = 0;
  for (const auto& r : sim.received()) gnss += r.command == "GNSS";
  EXPECT_EQ(gnss, 1u);
}

TEST(pagesIndexMode, ModeFormAndItsPost) {
  HttpServer server;
  indexpage::subscribe(server);
  kovira::config().suspended = 0;
  const std::string page = callPage(server, "GET", "/").body;
  EXPECT_EQ(callPage(server, "GET", "/debug/").body, page);
  EXPECT_NE(page.find("<option SELECTED value=0>"), std::string::npos);

  testsupport::PageReply r = callPage(server, "POST", "/", "suspended=1");
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.headers.at("Location"), "/");
  EXPECT_EQ(kovira::config().suspended, 1);
  const std::string one = callPage(server, "GET", "/").body;
  EXPECT_NE(one.find("<option SELECTED value=1>"), std::string::npos);
  EXPECT_EQ(one.find("SELECTED"), one.rfind("SELECTED"));

  for (const char* bad : {"suspended=", "suspended=abc", "suspended=99999999999"}) {
    r = callPage(server, "POST", "/", bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_EQ(r.body.rfind("error: suspended: ", 0), 0u) << r.body;
  }
  EXPECT_EQ(kovira::config().suspended, 1);
  kovira::config().suspended = 3;
  EXPECT_EQ(callPage(server, "GET", "/").body.find("SELECTED"), std::string::npos);
  // A post without the field is a plain view.
  EXPECT_EQ(callPage(server, "POST", "/", "other=1").status, 200);
  kovira::config().suspended = 0;
}

}  // namespace
