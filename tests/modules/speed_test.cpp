// The speed module: processtrack's decisions in their order, with the
// boundaries of threshold, upper limit and measured time, and the
// dispatcher over the action registry.
#include "modules/speed.h"

#include "config/actions.h"
#include "config/config.h"
#include "core/fs.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "recognition/multitrack.h"
#include "recognition/trackspeed.h"
#include "tests/modules/module_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using evtest::EvidenceScene;

class SpeedModuleTest : public modtest::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    kovira::config().anglecritical = 0;
    action.method = "speed";
  }
  void TearDown() override {
    kovira::config().anglecritical = 0;
    ModuleTest::TearDown();
  }
  int judge(const kovira::Track& t) { return ModuleTest::judge(speed::processtrack, t); }
  std::size_t archives() const { return ModuleTest::archives().size(); }
};

// 11 frames 0.1 s apart, 20 m: exactly 72 km/h.
TEST_F(SpeedModuleTest, ThresholdIsReachedAtExactlyTheSpeed) {
  EvidenceScene scene;
  const kovira::Track t = scene.track();
  ASSERT_EQ(kovira::TrackSpeed(t).speed, 72.0f);
  action.threshold = 73;
  EXPECT_EQ(judge(t), 0);
  EXPECT_EQ(out.rfind("[SPD] (speed) [num=A123BC77, speed=72.000000, ", 0), 0u) << out;
  EXPECT_EQ(archives(), 0u);
  action.threshold = 72;
  EXPECT_EQ(judge(t), 1) << out;
  EXPECT_EQ(archives(), 1u);
}

TEST_F(SpeedModuleTest, UpperLimitAcceptsItsOwnSpeedOnly) {
  EvidenceScene scene;
  const kovira::Track t = scene.track();
  action.uplimit = 71;
  EXPECT_EQ(judge(t), 0);
  action.uplimit = 72;
  EXPECT_EQ(judge(t), 1);
  action.uplimit = 0;
  EXPECT_EQ(judge(t), 1);
  EXPECT_EQ(archives(), 2u);
}

TEST_F(SpeedModuleTest, MeasuredTimeOfAQuarterSecondIsEnough) {
  EvidenceScene quarter(1, 11, 25000);
  action.threshold = 100;
  EXPECT_EQ(judge(quarter.track()), 1) << out;
  EvidenceScene shorter(1, 11, 24900);
  EXPECT_EQ(judge(shorter.track()), 0) << out;
  EXPECT_EQ(archives(), 1u);
}

TEST_F(SpeedModuleTest, DirectionFilter) {
  EvidenceScene scene;
  const kovira::Track down = scene.track();
  const kovira::Track up = scene.track(0, true);
  ASSERT_EQ(down.direction(), 1u);
  ASSERT_EQ(up.direction(), 2u);
  action.direction = 0;
  EXPECT_EQ(judge(down), 1);
  EXPECT_EQ(judge(up), 1) << out;
  action.direction = 1;
  EXPECT_EQ(judge(up), 0);
  action.direction = 2;
  EXPECT_EQ(judge(up), 1);
  EXPECT_EQ(archives(), 3u);
}

TEST_F(SpeedModuleTest, TooLittleDataAndUntrustedClockOrCamera) {
  EvidenceScene scene;
  EXPECT_EQ(judge(scene.track(3)), -1);  // three readings, however fast
  EXPECT_EQ(out, "");
  // A plate standing still measures nothing: no evidence from it.
  kovira::Track still(7, 1, static_cast<std::uint32_t>(scene.camid));
  for (unsigned f : scene.nums) still.join(EvidenceScene::point(f, 1, 200));
  EXPECT_EQ(judge(still), -1);
  EXPECT_FALSE(kovira::TrackSpeed(still));

  const kovira::Track t = scene.track();
  kovira::config().ntpsync = 0;
  EXPECT_EQ(judge(t), -2);
  EXPECT_EQ(out, "[TRACK] A123BC77: time not synced\n");
  kovira::config().ntpsync = 1;
  kovira::config().anglecritical = 1;
  EXPECT_EQ(judge(t), -2);
  EXPECT_EQ(out, "[TRACK] A123BC77: angle is critical\n");
  kovira::config().anglecritical = 0;
  action.accuracy = 100;  // above any track's accuracy
  EXPECT_EQ(judge(t), 0);
  EXPECT_EQ(archives(), 0u);
}

TEST_F(SpeedModuleTest, PassageAndMetadataCarryTheMeasurement) {
  EvidenceScene scene;
  action.label = "%n %spd/%lim .%f %w";
  const kovira::Track t = scene.track();
  EXPECT_EQ(judge(t), 1);
  const ticket_t ticket = webtickets().newest(1).at(0);
  EXPECT_EQ(ticket.type, "speed");
  EXPECT_EQ(ticket.vclass, 2u);
  EXPECT_EQ(ticket.cnt, 11u);
  EXPECT_FLOAT_EQ(ticket.speed, 72.0f);
  const auto files = evtest::archivesIn(dir->path());
  ASSERT_EQ(files.size(), 1u);
  const auto meta = nlohmann::json::parse(evtest::run("tar -xOf '" + files[0].string() + "' kovira.json").output);
  EXPECT_EQ(meta["spd"], 72);
  EXPECT_EQ(meta["spdlim"], 60);
  EXPECT_EQ(meta["spdtext"], kovira::TrackSpeed(t).text());
  const std::string xml = evtest::run("tar -xOf '" + files[0].string() + "' angel.xml").output;
  EXPECT_NE(xml.find("<nOverSpeed>1</nOverSpeed>"), std::string::npos) << xml;
}

TEST_F(SpeedModuleTest, DispatcherRunsEveryEnabledSpeedActionOfTheZone) {
  EvidenceScene scene;
  kovira::MultiTrack group;
  ASSERT_TRUE(group.addTrack(scene.track()));
  const auto add = [&](int id, const std::string& method, int enabled) {
    ASSERT_TRUE(kovira::config().updSection("action", {{"type", "action"},
                                                       {"actid", id},
                                                       {"enabled", enabled},
                                                       {"method", method},
                                                       {"zoneA", 1},
                                                       {"threshold", 70},
                                                       {"path", dir->path().string()}}));
  };
  add(1, "wrongdir", 1);
  add(2, "speed", 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(speed::funnyt3(group), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(group.counter, 0u);

  add(3, "speed", 1);
  add(4, "speed", 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(speed::funnyt3(group), speed::kHandled);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(group.counter, 2u);
  EXPECT_EQ(archives(), 2u);

  // A group without a track of the zone: skipped, the result unchanged.
  kovira::MultiTrack other;
  EXPECT_EQ(speed::funnyt3(other), speed::kHandled);
  EXPECT_EQ(other.counter, 0u);
}

}  // namespace
