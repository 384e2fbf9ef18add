#include "config/config.h"
#include "config/globals.h"

#include "tests/config/config_fixture.h"

#include "tests/support/json_keys.h"

#include <nlohmann/json.hpp>

namespace kovira {
namespace {

using Json = nlohmann::json;

using testsupport::keysOf;

class GlobalSectionTest : public testing::ConfigTest {};

TEST_F(GlobalSectionTest, PortIsTakenOnlyInRange) {
  GlobalConfig cfg(identity);
  cfg.updConfig({{"webserver", 0}});
  EXPECT_EQ(cfg.webserver, 1025);
  cfg.updConfig({{"webserver", 8080}});
  EXPECT_EQ(cfg.webserver, 8080);
  testing::StdoutCapture out;
  for (const Json& bad : {Json(-1), Json("80"), Json(65536), Json(4294967297.0)}) cfg.updConfig({{"webserver", bad}});
  EXPECT_EQ(cfg.webserver, 8080);
  EXPECT_NE(out.text().find("[WARNING] global: webserver=65536"), std::string::npos);
  // Numbers, strings and wrong types.
  cfg.updConfig({{"timezone", "3"}, {"suspended", 1.9}, {"address", 5}, {"devname", "Камера-1"}});
  EXPECT_EQ(cfg.timezone, 0);
  EXPECT_EQ(cfg.suspended, 1);
  EXPECT_EQ(cfg.address, "");
  EXPECT_EQ(cfg.devname, "Камера-1");
  cfg.updConfig({{"timezone", 3.7}, {"serial", 12345}, {"spd-mindist", -5}, {"spd-mintrack", 7}});
  EXPECT_EQ(cfg.timezone, 3);
  EXPECT_EQ(cfg.serial, "12345");
  EXPECT_EQ(cfg.spdMindist, 0u);
  EXPECT_EQ(cfg.spdMintrack, 7u);
  cfg.updConfig({{"startup", 5}, {"ntpsync", 1}, {"codeloc", "x"}});  // status keys are never read
  EXPECT_NE(cfg.startup, 5u);
  EXPECT_EQ(cfg.ntpsync, 0u);
  EXPECT_EQ(cfg.codeloc, "");
  const std::vector<std::string> keys = keysOf(cfg.tojson(0));
  EXPECT_NE(std::find(keys.begin(), keys.end(), "spd-mindist"), keys.end());  // the three go together
  EXPECT_NE(std::find(keys.begin(), keys.end(), "suspended"), keys.end());
}

TEST_F(GlobalSectionTest, PlateposAndRedptsRebuildTheirParts) {
  GlobalConfig cfg(identity);
  cfg.updConfig({{"platepos", "300,120,80"}});
  EXPECT_EQ(cfg.posc, 300u);
  EXPECT_EQ(cfg.posa, 120u);
  EXPECT_EQ(cfg.posb, 80u);
  EXPECT_NE(cfg.tojson(0).find("\"platepos\": \"300,120,80\""), std::string::npos);
  cfg.updConfig({{"platepos", "300,120"}});
  EXPECT_EQ(cfg.posc + cfg.posa + cfg.posb, 0u);
  EXPECT_EQ(cfg.tojson(0).find("platepos"), std::string::npos);
  // redpts rebuilds the polygon; a bad text leaves it empty.
  cfg.updConfig({{"redpts", "10,20,30,40"}});
  EXPECT_EQ(cfg.redpoly.size(), 2u);
  cfg.updConfig({{"redpts", "1,2,3,"}});
  EXPECT_TRUE(cfg.redpoly.empty());
  EXPECT_EQ(cfg.redpts, "1,2,3,");
}

TEST_F(GlobalSectionTest, CoordinatesCertificateAndTokenParts) {
  GlobalConfig cfg(identity);
  const auto parts = [&] { return cfg.latlon() + "|" + cfg.lat() + "|" + cfg.lon() + "|" + cfg.lonlat(); };
  cfg.coords = "1,2";
  cfg.setAcoords("54.3,48.4");  // the receiver's position wins over the configured one
  EXPECT_EQ(parts(), "54.3,48.4|54.3|48.4|48.4,54.3");
  EXPECT_EQ(cfg.gps(), cfg.latlon());
  cfg.setAcoords("");
  EXPECT_EQ(cfg.latlon(), "1,2");
  cfg.coords = "54.3";
  EXPECT_EQ(parts(), "54.3|||");
  cfg.certificate = "2025-01-31 AB123";
  EXPECT_EQ(cfg.certExp() + "|" + cfg.certNum(), "2025-01-31|AB123");
  cfg.certificate = "2025-01-31 A";  // 12 characters
  EXPECT_EQ(cfg.certNum(), "");
  cfg.verification = "2024";
  EXPECT_EQ(cfg.verifyExp(), "");
  cfg.devtoken = "abcdef";
  EXPECT_EQ(cfg.token(3) + "|" + cfg.token(10) + "|" + cfg.token(0), "abc|abcdef|abcdef");
}

TEST_F(GlobalSectionTest, CaptionVariablesInOrder) {
  struct Label {
    std::vector<std::string> ways{"-", "встречное", "попутное"};
    std::vector<std::pair<std::string, std::string>> vars;
    void emplace(const std::string& k, const std::string& v) { vars.emplace_back(k, v); }
  } label;
  GlobalConfig cfg(identity);
  cfg.updConfig({{"way2", "от камеры"}, {"coords", "55.75,37.61"}, {"address", "A"}, {"devname", "D"}, {"serial", "S"}});
  cfg.fillfmt(label);
  EXPECT_EQ(label.ways[1], "встречное");
  EXPECT_EQ(label.ways[2], "от камеры");
  EXPECT_EQ(label.vars, (std::vector<std::pair<std::string, std::string>>{
                            {"g", "55.75,37.61"}, {"a", "A"}, {"d", "D"}, {"s", "S"}}));
}

TEST_F(GlobalSectionTest, RunTimeValuesAreStickyAndTyped) {
  int& focus = getGlobalVal<int>("test-lensfocus", 0);
  focus = 17;
  EXPECT_EQ(getGlobalVal<int>("test-lensfocus", 99), 17);
  EXPECT_EQ(&getGlobalVal<int>("test-lensfocus", 5), &focus);
  EXPECT_EQ(getGlobalVal<std::string>("test-gnss", "x"), "x");
  EXPECT_THROW(getGlobalVal<unsigned int>("test-lensfocus", 0u), boost::bad_any_cast);
}

TEST_F(GlobalSectionTest, IdentityFilesGiveTokenDeviceIdAndServers) {
  {
    GlobalConfig cfg(identity);  // both files missing
    EXPECT_EQ(cfg.devtoken, "");
    EXPECT_EQ(cfg.devid, 0);
    EXPECT_EQ(cfg.endpoints.upload, "");
  }
  file("kovira.conf", R"({"token": "tok-1", "upload": "http://10.0.0.5:8080", "telemetry": "http://tm.example",
                          "backup": "ftp://x", "feedback": "http://h:0", "buslist": "192.168.1.7"})");
  file("skygateway.conf", R"({"devid": 5, "camid": 7})");
  testing::StdoutCapture out;
  GlobalConfig cfg(identity);
  EXPECT_EQ(cfg.devtoken, "tok-1");
  EXPECT_EQ(cfg.devid, 7);
  EXPECT_EQ(cfg.endpoints.upload, "http://10.0.0.5:8080");
  EXPECT_EQ(cfg.endpoints.telemetry, "http://tm.example");
  EXPECT_EQ(cfg.endpoints.backup, "");
  EXPECT_EQ(cfg.endpoints.feedback, "");
  EXPECT_EQ(cfg.endpoints.buslist, "192.168.1.7");
  const std::string text = out.text();
  EXPECT_NE(text.find("\"backup\" is not a base URL"), std::string::npos);
  EXPECT_NE(text.find("\"feedback\" is not a base URL"), std::string::npos);
  // Broken files are ignored.
  file("kovira.conf", R"({"token": 5)");
  file("skygateway.conf", R"({"devid": 5, "camid": "seven"})");
  GlobalConfig broken(identity);
  EXPECT_EQ(broken.devtoken, "");
  EXPECT_EQ(broken.devid, 5);
}

}  // namespace
}  // namespace kovira
