// The board's line protocol without a line: which reply answers, status
// fields, the status history, RMC positions, coordinates and the tilt
// decisions.
#include "devices/angle.h"
#include "devices/board_reply.h"
#include "devices/nmea.h"
#include "devices/sttydev.h"
#include "core/startup_functions.h"
#include "http/server.h"
#include "support/page_call.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>
#include <tuple>

namespace {

TEST(sttyReply, LastLineAnswersWithTheCommandOrOk) {
  struct Case {
    const char* reply;
    const char* command;
    bool complete;
    const char* line;
  };
  const Case cases[] = {
      {"OK\n", "CAMF 100", true, "OK"},
      {"ERR\n", "CAMF 100", false, "ERR"},
      {"CAMF 100 done\n", "CAMF 100", true, "CAMF 100 done"},
      {"CAMF 100\r\n", "CAMF 100", true, "CAMF 100"},
      {"junk\nEXT V=1\n", "EXT", true, "EXT V=1"},
      {"EXT V=1\njunk\n", "EXT", false, "junk"},
      {"CAMI 1\n", "CAMI 12", false, "CAMI 1"},
      {"CAMI 120", "CAMI 120", false, "CAMI 120"},  // no line feed yet
      {"\n", "EXT", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(board::complete(c.reply, c.command), c.complete);
    EXPECT_EQ(board::lastLine(c.reply), c.line);
  }
}

TEST(sttyReply, StatusFieldsAreReadOneTokenAtATime) {
  struct Case {
    const char* line;
    board::Status expected;
  };
  const Case cases[] = {
      {"EXT V=20190430 U=3600 V1=1215 V2=1302 S=1 O=0 P=12 F=340 CF=4100 CI=200 G=9 A=1250 T1=38",
       {.V = 20190430, .U = 3600, .V1 = 1215, .V2 = 1302, .S = 1, .P = 12, .F = 340, .CF = 4100, .CI = 200, .G = 9,
        .A = 1250, .T1 = 38}},
      {"EXT V=abc U=5", {.U = 5}},
      {"EXT", {}},
      {"EXT A=-1", {.A = 4294967295u}},
      {"EXT  V=2  U= X=9 =4 U U=3", {.V = 2, .U = 3}},  // empty tokens, empty values, unknown keys
      {"EXT V=2 V=99999999999 U=3", {.V = 2, .U = 3}},  // out of range keeps the earlier value
      {"EXT v=7 u=8", {}},                              // keys are case-sensitive
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(board::parseStatus(c.line), c.expected);
  }
}

TEST(sttyHistory, NearestRecordWithinTwentyFiveSecondsAndBlockTrimming) {
  const std::uint32_t t = 100000;
  struct Case {
    std::vector<std::uint32_t> times;
    std::uint32_t expected;  // time of the answer, 0 for none
  };
  const Case cases[] = {
      {{t - 25, t + 25}, t - 25},  // equally near: the older one
      {{t - 26}, 0},
      {{t + 30, t + 3, t - 3}, t + 3},
      {{}, 0},
  };
  for (const auto& c : cases) {
    SttyDev dev;
    for (auto time : c.times) dev.emplace(board::Status{.time = time});
    EXPECT_EQ(dev.status(t).time, c.expected);
  }
  SttyDev dev;
  for (std::uint32_t i = 1; i <= 4097; ++i) dev.emplace(board::Status{.time = i});
  EXPECT_EQ(dev.historySize(), 4097u);
  dev.emplace(board::Status{.time = 5000});
  EXPECT_EQ(dev.historySize(), 3074u);
  EXPECT_EQ(dev.status(1030).time, 1030u);
  EXPECT_EQ(dev.status(1000).time, 1025u);  // 1..1024 are gone
  EXPECT_EQ(dev.statuslast().time, 5000u);
}

TEST(Nmea, PositionOfRmcSentences) {
  struct Case {
    const char* sentence;
    const char* pos;
  };
  const std::string longText(10000, 'x');
  const Case cases[] = {
      {"$GPRMC,123519.00,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A", "4807.038N 1131.000E"},
      {"$GNRMC,123519,A,5507.4000,N,03730.2000,E,,,", "5507.4000N 3730.2000E"},
      {"$GPRMC,123519.00,V,4807.038,N,01131.000,E,", "NO SIGNAL 123519"},
      {"$GPRMC,123519.00,V,,,,,,,,,,N*53", "NO SIGNAL"},
      {"$GPGGA,123519,4807.038,N,01131.000,E,1,08", "NO SIGNAL"},
      {"GPRMC,1.,A,1.0,N,1.0,E GPRMC,2,A,0.5,S,00.5,W", "0.5S 0.5W"},  // first form broken, second read
      {"$GPRMC,,A,4807.038,N,01131.000,E", "NO SIGNAL"},
      {longText.c_str(), "NO SIGNAL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sentence);
    EXPECT_EQ(nmea::position(c.sentence), c.pos);
  }
}

TEST(Nmea, DecimalDegrees) {
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  };
  const Case cases[] = {
      {"5530.1234,N,03730.5678,E", true, "55.5021,37.5095"},
      {"4807.038,N,01131.000,W", true, "48.1173,-11.5167"},
      {"$GPRMC,123519,A,4807.038,S,01131.000,E,", true, "-48.1173,11.5167"},
      {"4807.038,N,1131.000,E", false, "untouched"},
      {"", false, "untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string out = "untouched";
    EXPECT_EQ(NmeaToDecimal(c.in, out), c.ok);
    EXPECT_EQ(out, c.out);
  }
}

// normal 10, thresholds 2: a sequence of readings and the alarm after each.
TEST(Angle, CriticalFollowsRangeRestAndWarmUp) {
  struct Case {
    const char* name;
    std::uint32_t enabledFrom;  // reading index from which tracking is on
    std::vector<float> readings;
    std::vector<std::uint32_t> critical;
  };
  const Case cases[] = {
      {"threshold itself is in range", 0, {10, 12, 12.5}, {0, 0, 1}},
      {"holds two readings after coming back", 0, {10, 10, 10, 10, 13, 10, 10, 10}, {0, 0, 0, 0, 1, 1, 1, 0}},
      {"switched on late alarms twice", 5, {10, 10, 10, 10, 10, 10, 10, 10}, {0, 0, 0, 0, 0, 1, 1, 0}},
      {"negative readings count by size", 0, {-10, -12.5, 7.9}, {0, 1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AngleConf conf;
    conf.normal = 10, conf.wu = 2, conf.wd = 2;
    for (std::size_t i = 0; i < c.readings.size(); ++i) {
      conf.enabled = i >= c.enabledFrom ? 1 : 0;
      conf.update(c.readings[i]);
      EXPECT_EQ(conf.judge().critical, c.critical[i]) << "reading " << i;
    }
  }
}

TEST(Angle, WarningLevelsAndOneSidedRange) {
  AngleConf conf;
  conf.enabled = 1, conf.normal = 10, conf.wd = 0, conf.wu = 3, conf.timenotify = 30;
  for (float a : {1.0f, 10.0f, 20.0f}) {
    conf.update(a);
    EXPECT_EQ(conf.judge().warn, 2);
  }
  EXPECT_FALSE(conf.outOfRange(1.0f));
  conf.wd = 3;
  conf.update(20);
  conf.update(20);
  EXPECT_EQ(conf.judge().warn, 1);  // out for 60 s > 30 s
  EXPECT_DOUBLE_EQ(conf.judge().diff, 10.0);
}

TEST(Angle, SectionReadingAndWriting) {
  struct Case {
    const char* section;
    float wd, wu;
    std::uint32_t adxlfix;
  };
  const Case cases[] = {
      {R"({"crit": 1.5, "wd": 3})", 1.5f, 1.5f, 0},
      {R"({"normal": 9})", 0, 0, 0},  // wd/wu reset when absent
      {R"({"adxl313": 1, "wd": 2, "wu": "x"})", 2, 7, 1},  // a refused value keeps the old one
      {R"({"adxl313": 0})", 0, 0, 0},  // read by value: full-mode output reads back off
      {R"({"adxl313": true})", 0, 0, 1},
      {R"({"wd": -2, "wu": 1e30, "crit": 181})", 7, 7, 0},  // out of range: not taken
      {R"({"adxl313": "1", "enabled": 2})", 0, 0, 0},  // a switch is a number
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.section);
    AngleConf conf;
    conf.wd = conf.wu = 7;
    conf.fromjson(nlohmann::json::parse(c.section));
    EXPECT_FLOAT_EQ(conf.wd, c.wd);
    EXPECT_FLOAT_EQ(conf.wu, c.wu);
    EXPECT_EQ(conf.adxlfix, c.adxlfix);
  }
  AngleConf conf;
  conf.enabled = 1, conf.normal = 10.5f;
  nlohmann::json brief, full, kept = {{"enabled", 5}};
  conf.tojson(brief, 0);
  conf.tojson(full, 1);
  conf.tojson(kept, 0);
  EXPECT_EQ(brief, nlohmann::json::parse(R"({"enabled":1,"normal":10.5,"timenotify":300})"));
  EXPECT_EQ(full.size(), 6u);
  EXPECT_EQ(kept["enabled"], 5);
  AngleConf back;
  back.fromjson(full);
  EXPECT_EQ(back.adxlfix, 0u);
  EXPECT_EQ(back.enabled, 1u);
}

TEST(Angle, PageFormRefusesWhatDoesNotParseWholeAndUnchecksBoxes) {
  angle::modinit();
  angconf.enabled = 1, angconf.adxlfix = 1, angconf.normal = 10, angconf.wd = 1, angconf.wu = 0, angconf.current = 13;
  // One refused value refuses the form: nothing changes, the boxes included.
  for (const char* form : {"normal=nan&wu=2", "wu=2&wd=inf", "wu=2&timenotify=x", "wu=2&timenotify=-1", "wu=181"}) {
    const auto r = testsupport::callPage(webserver(), "POST", "/config/angle/", form);
    EXPECT_EQ(r.status, 400) << form;
    EXPECT_EQ(
        std::make_tuple(angconf.normal, angconf.wu, angconf.wd, angconf.timenotify, angconf.enabled, angconf.adxlfix),
        std::make_tuple(10.0f, 0.0f, 1.0f, 300, 1u, 1u));
  }
  auto r = testsupport::callPage(webserver(), "POST", "/config/angle/", "wu=2");
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.headers.at("Location"), "/config/angle/");
  EXPECT_FLOAT_EQ(angconf.wu, 2);
  EXPECT_EQ(angconf.enabled, 0u);  // unchecked boxes switch off
  EXPECT_EQ(angconf.adxlfix, 0u);
  r = testsupport::callPage(webserver(), "POST", "/config/angle/", "enabled=1");
  EXPECT_EQ(r.status, 302);
  const auto page = testsupport::callPage(webserver(), "GET", "/config/angle/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("padding: 2px 6px;'>3.00</span>"), std::string::npos) << page.body;
}

}  // namespace
