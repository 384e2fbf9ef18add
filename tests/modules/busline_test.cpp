// The bus-lane modules: the lane report with its fixed texts, the
// allow-list's parse and its updater on an injected clock, and the
// exemption of listed buses.
#include "modules/busline.h"
#include "tests/modules/module_fixture.h"

#include <utility>
#include <vector>

namespace {

using busline_kormelino::BusListKormelino;
using evtest::EvidenceScene;
using evtest::field;
using evtest::members;

class BuslineTest : public modtest::ModuleTest {};

// A control character in a configured text (set behind the pages' back, as
// an older unit's file could hold it) never reaches the report: the archive's
// angel.xml stays readable by any XML reader.
TEST_F(BuslineTest, ControlCharactersOfConfiguredTextsNeverReachTheReport) {
  std::string address, devname;
  {
    kovira::ConfigWriteLock lock;
    address = std::exchange(kovira::config().address, "\x01ул. Ленина\x1f, 5\x0b");
    devname = std::exchange(kovira::config().devname, "KV\x02-1\xef\xbf\xbe");
  }
  EvidenceScene scene;
  action.method = "busline";
  action.extra = "angelsign";
  const int verdict = judge(busline::processtrack, scene.track());
  {
    kovira::ConfigWriteLock lock;
    kovira::config().address = address;
    kovira::config().devname = devname;
  }
  ASSERT_EQ(verdict, 1) << out;
  const auto archive = archives().at(0);
  modtest::expectFields(member(archive, "angel.xml"), {{"tSensorName", "ул. Ленина, 5"}, {"tRadarName", "KV-1"}});
  const auto lint = evtest::run("tar -xOf '" + archive.string() + "' angel.xml | xmllint --noout -");
  EXPECT_EQ(lint.status, 0) << lint.output;
}

TEST_F(BuslineTest, LaneVehicleGetsTheFixedTextReportWithoutSpeedFields) {
  EvidenceScene scene;
  action.method = "busline";
  action.extra = "angelsign";  // never signed
  EXPECT_EQ(judge(busline::processtrack, scene.track()), 1) << out;
  const auto archive = archives().at(0);
  EXPECT_EQ(members(archive), (std::vector<std::string>{"m.jpg", "big.jpg", "angel.xml", "kovira.json"}));
  modtest::expectFields(member(archive, "angel.xml"), {{"tCertificateNumber", "RR-2001"},
                                                       {"tApprovalCertificateNumber", " RU-2002"},
                                                       {"tApprovalCertificateExpDate", "2020-12-31"},
                                                       {"nWrongLine", "1"},
                                                       {"nDisplaySpeed", "<absent>"},
                                                       {"nSpeedThreshold", "<absent>"}});
  modtest::expectKeys(metadata(archive), {{"type", "busline"}, {"spd", nullptr}});
  EXPECT_EQ(webtickets().newest(1).at(0).cnt, 11u);  // plate readings

  EXPECT_EQ(judge(busline::processtrack, scene.track(3)), -1);
  EXPECT_EQ(out, "[ERR] слишком мало годных элементов: A123BC77, 3\n");
  action.direction = 2;  // the scene's vehicle drives down (1)
  EXPECT_EQ(judge(busline::processtrack, scene.track()), 0);
  EXPECT_EQ(archives().size(), 1u);
}

TEST(BusList, LinesAreTrimmedAndBlankLinesSkipped) {
  struct Row {
    const char* body;
    std::vector<std::string> entries;
  };
  const Row rows[] = {
      {"AB123\r\n\n  CD456  \n", {"AB123", "CD456"}},
      {"", {}},
      {"\n\r\n \t\n", {}},
      {"ab123", {"ab123"}},  // no case folding, no final line end needed
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body);
    EXPECT_EQ(busline_kormelino::parseBusList(row.body), row.entries);
  }
  EXPECT_EQ(busline_kormelino::parseBusList(std::string_view("X1\0Y\nZ2", 7)),
            (std::vector<std::string>{std::string("X1\0Y", 4), "Z2"}));
}

TEST(BusList, UpdaterFetchesOncePerPeriodAndKeepsTheListOnFailure) {
  std::vector<std::pair<int, std::string>> answers = {
      {5, "AB123\r\n\n  CD456  \n"}, {-1, ""}, {0, ""}, {0, std::string(busline_kormelino::kMaxListBytes + 1, 'A')}};
  std::size_t calls = 0;
  std::string asked;
  BusListKormelino list([&](const std::string& url, std::string& body) {
    asked = url;
    const auto& [result, text] = answers.at(calls++);
    body = text;
    return result;
  });
  list.setServer("127.0.0.89");
  EXPECT_FALSE(list.tick(1000));  // inactive: never fetches
  list.setActive(true);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(list.tick(1000));  // the first attempt at once
  EXPECT_EQ(asked, "http://127.0.0.89:8889/mts.txt");
  EXPECT_TRUE(list.contains("AB123"));
  EXPECT_TRUE(list.contains("CD456"));
  EXPECT_FALSE(list.contains("ab123"));
  EXPECT_FALSE(list.tick(1300));  // not more than the period yet
  EXPECT_TRUE(list.tick(1301));   // fails: the list stays
  EXPECT_TRUE(list.contains("AB123"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[DBG] fail read from http://127.0.0.89:8889/mts.txt\n");
  EXPECT_TRUE(list.tick(1602));  // an empty file empties it
  EXPECT_TRUE(list.empty());
  testing::internal::CaptureStdout();
  EXPECT_TRUE(list.tick(1903));  // an oversized body is a failed fetch
  EXPECT_NE(testing::internal::GetCapturedStdout().find("fail read"), std::string::npos);
  EXPECT_EQ(calls, 4u);

  BusListKormelino unnamed([&](const std::string&, std::string&) { return ++calls, 0; });
  unnamed.setServer("lists.example");  // not an IPv4 address
  unnamed.setActive(true);
  EXPECT_FALSE(unnamed.tick(1000));
  EXPECT_EQ(calls, 4u);
}

TEST_F(BuslineTest, AllowListExemptsBusesAndStoredEventsAreNotCounted) {
  EvidenceScene scene;
  action.method = "busline-kormelino";
  BusListKormelino& list = busline_kormelino::updbus();
  list.setServer("127.0.0.89");
  EXPECT_EQ(judge(busline_kormelino::processtrack, scene.track()), -2);  // no list yet
  list.setFetch([](const std::string&, std::string& body) {
    body = "A123BC77\n";
    return 9;
  });
  list.setActive(true);
  ASSERT_TRUE(list.tick(1));
  EXPECT_EQ(judge(busline_kormelino::processtrack, scene.track()), -2);  // a listed bus
  EXPECT_EQ(out, "");
  ASSERT_FALSE(list.contains("B456CE77"));
  kovira::Track other(8, 1, static_cast<std::uint32_t>(scene.camid));
  for (std::size_t i = 0; i < scene.nums.size(); ++i)
    other.join(EvidenceScene::point(scene.nums[i], 1, EvidenceScene::rowOf(static_cast<int>(i), 11), "B456CE77"));
  EXPECT_EQ(judge(busline_kormelino::processtrack, other), 0) << out;  // stored, yet 0
  const auto files = archives();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(members(files[0]), (std::vector<std::string>{"m.jpg", "plate.jpg", "big.jpg", "kovira.json"}));
  modtest::expectKeys(metadata(files[0]), {{"type", "busline"}, {"spdlim", 60}, {"spd", 72}});
  list.setFetch([](const std::string&, std::string&) { return 0; });
  ASSERT_TRUE(list.tick(2));  // back to an empty list
  list.setActive(false);
}

}  // namespace
