// Control frames: the slot table, file names across midnight, the capture
// from a camera's store and the settings page.
#include "capture/cam.h"
#include "config/config.h"
#include "http/server.h"
#include "modules/control_frames.h"
#include "support/page_call.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using saveframe::mconf;
using testsupport::callPage;

TEST(ControlFrames, SlotsFollowTheTimepadAndSkipTheFirstMidnight) {
  for (const std::uint32_t timepad : {30u, 7u}) {
    SCOPED_TRACE(timepad);
    std::uint32_t last = 0;
    std::vector<std::uint32_t> taken;
    for (int day = 0; day < 2; ++day)
      for (std::uint32_t minute = 0; minute < 1440; ++minute)
        for (int run = 0; run < 6; ++run)  // six runs a minute
          if (saveframe::slotDue(minute, last, timepad)) taken.push_back(last = minute);
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(taken.front(), timepad);  // minute 0 of the first day equals the initial slot
    const std::size_t perDay = (1440 + timepad - 1) / timepad;
    EXPECT_EQ(taken.size(), 2 * perDay - 1);
    EXPECT_EQ(taken[perDay - 1], 0u);  // midnight of the second day
  }
  EXPECT_FALSE(saveframe::slotDue(30, 0, 0));
}

TEST(ControlFrames, SectionValuesOutOfRangeKeepTheOldSettings) {
  saveframe::TolvekConf c;
  c.fromjson(nlohmann::json::parse(R"({"enabled": 1, "quality": 4294967297, "timepad": 1441, "label": "x"})"));
  EXPECT_EQ(std::make_tuple(c.enabled, c.quality, c.timepad, c.label), std::make_tuple(1u, 90u, 30u, std::string("x")));
  c.fromjson(nlohmann::json::parse(R"({"enabled": -1, "quality": 0, "timepad": -30})"));
  EXPECT_EQ(std::make_tuple(c.enabled, c.quality, c.timepad), std::make_tuple(1u, 90u, 30u));
  c.fromjson(nlohmann::json::parse(R"({"enabled": 2})"));  // a switch: non-zero is on, kept as given
  EXPECT_EQ(c.enabled, 2u);
}

TEST(ControlFrames, FileNamesUseTheZoneDateAcrossMidnight) {
  const std::int64_t utc = 1798752605;  // 2026-12-31 21:30:05 UTC
  const auto place = saveframe::framePlace("/home/x", utc, 3);
  EXPECT_EQ(place.folder, "/home/x/tolvek/uploadftp/2027/01/01");
  EXPECT_EQ(place.file, "2027_01_01_00_30_05.jpg");
}

class ControlFramePage : public testing::Test {
 protected:
  void SetUp() override {
    setenv("HOME", home.c_str(), 1);
    mconf = saveframe::TolvekConf{};
    kovira::cameras().clear();
    server.subscribe("^/special-tolvek/.*", saveframe::http_tolvek_hook);
  }
  void TearDown() override { kovira::cameras().clear(); }
  void addCamera(int id, const std::string& source) {
    auto& cam = kovira::addCamera(id, 4 << 20);
    cam.source = source;
    cam.enabled = 1;
    std::vector<std::uint8_t> grey(1280 * 720);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<std::uint8_t>(i % 1280 / 5);
    cam.cambuf->addFrame(1280, 720, FRAME_GRAY8, 0, grey.data(), grey.size()).sec = 1798752605;
  }
  std::vector<fs::path> saved() const {
    std::vector<fs::path> files;
    if (fs::exists(home / "tolvek"))
      for (const auto& e : fs::recursive_directory_iterator(home / "tolvek"))
        if (e.is_regular_file()) files.push_back(e.path());
    return files;
  }
  evtest::ScratchDir dir{"tolvek"};
  const fs::path& home = dir.path();
  HttpServer server;
};

TEST_F(ControlFramePage, CaptureSavesTheSameJpegThePageServes) {
  const auto before = callPage(server, "GET", "/special-tolvek/last.jpg");
  EXPECT_EQ(before.status, 200);
  EXPECT_EQ(before.headers.at("Content-Type"), "image/jpeg");
  EXPECT_TRUE(before.body.empty());

  addCamera(4, "rtsp");  // no raw frames: passed over
  addCamera(7, "opencv");
  kovira::config().ntpsync = 1;
  mconf.enabled = 1;
  mconf.timepad = 1;
  mconf.lastslot = 1440;  // no minute of the day: the next run takes a slot
  saveframe::loop(0);
  kovira::config().ntpsync = 0;

  const auto files = saved();
  ASSERT_EQ(files.size(), 1u);
  const std::string bytes = evtest::readBytes(files[0]);
  EXPECT_EQ(callPage(server, "GET", "/special-tolvek/last.jpg").body, bytes);
  const cv::Mat picture = cv::imdecode(std::vector<char>(bytes.begin(), bytes.end()), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(picture.cols, saveframe::kWidth);
  EXPECT_EQ(picture.rows, saveframe::kHeight);

  testing::internal::CaptureStderr();
  saveframe::tolvek_oneframe_capture(99);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERR] camid = 99 not found\n");
  EXPECT_EQ(saved().size(), 1u);
}

TEST_F(ControlFramePage, FormAppliesGoodValuesAndRefusesBadOnes) {
  struct Case {
    const char* body;
    int status;
    std::uint32_t enabled, quality, timepad;
  };
  const Case cases[] = {
      {"enabled=1&quality=85", 302, 1, 85, 30},
      {"timepad=%207%20", 302, 0, 85, 7},  // no "enabled": off
      {"enabled=1&quality=abc", 400, 0, 85, 7},
      {"enabled=1&quality=101", 400, 0, 85, 7},
      {"enabled=1&quality=0", 400, 0, 85, 7},
      {"enabled=1&timepad=-1", 400, 0, 85, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(callPage(server, "POST", "/special-tolvek/", c.body).status, c.status);
    EXPECT_EQ(mconf.enabled, c.enabled);
    EXPECT_EQ(mconf.quality, c.quality);
    EXPECT_EQ(mconf.timepad, c.timepad);
  }
  ASSERT_EQ(callPage(server, "POST", "/special-tolvek/", "label=%3Cscript%3Ex%3C%2Fscript%3E").status, 302);
  const auto page = callPage(server, "GET", "/special-tolvek/");
  EXPECT_EQ(page.body.find("<script>"), std::string::npos);
  EXPECT_NE(page.body.find("&lt;script&gt;x"), std::string::npos);
}

}  // namespace
