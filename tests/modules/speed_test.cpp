// The speed module: processtrack's decisions in their order, with the
// boundaries of threshold, upper limit and measured time, and the
// dispatcher over the action registry.
#include "modules/speed.h"

#include "recognition/multitrack.h"
#include "recognition/trackspeed.h"
#include "tests/modules/module_fixture.h"

namespace {

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

// 11 frames 0.1 s apart over 20 m: exactly 72 km/h; the boundaries of the
// threshold, the upper limit, the measured time (0.25 s) and the direction.
TEST_F(SpeedModuleTest, ThresholdIsReachedAtExactlyTheSpeed) {
  struct Row {
    const char* what;
    std::uint64_t step;
    bool up;
    std::uint32_t threshold, uplimit, direction;
    int result;
  };
  const Row rows[] = {
      {"below the threshold", 100000, false, 73, 0, 0, 0},
      {"at the threshold", 100000, false, 72, 0, 0, 1},
      {"above the upper limit", 100000, false, 70, 71, 0, 0},
      {"at the upper limit", 100000, false, 70, 72, 0, 1},
      {"measured for a quarter second", 25000, false, 100, 0, 0, 1},
      {"measured for less", 24900, false, 100, 0, 0, 0},
      {"driving up, any direction", 100000, true, 70, 0, 0, 1},
      {"driving up, direction 1 named", 100000, true, 70, 0, 1, 0},
      {"driving up, direction 2 named", 100000, true, 70, 0, 2, 1},
  };
  std::size_t stored = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EvidenceScene scene(1, 11, row.step);
    action.threshold = row.threshold;
    action.uplimit = row.uplimit;
    action.direction = row.direction;
    const kovira::Track t = scene.track(0, row.up);
    ASSERT_EQ(t.direction(), row.up ? 2u : 1u);
    EXPECT_EQ(judge(t), row.result) << out;
    stored += row.result == 1;
    EXPECT_EQ(archives(), stored);
    if (&row == rows) {
      EXPECT_EQ(out.rfind("[SPD] (speed) [num=A123BC77, speed=72.000000, ", 0), 0u) << out;
    }
  }
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
  const auto files = ModuleTest::archives();
  ASSERT_EQ(files.size(), 1u);
  modtest::expectKeys(metadata(files[0]), {{"spd", 72}, {"spdlim", 60}, {"spdtext", kovira::TrackSpeed(t).text()}});
  EXPECT_EQ(evtest::field(member(files[0], "angel.xml"), "nOverSpeed"), "1");
}

TEST_F(SpeedModuleTest, DispatcherRunsEveryEnabledSpeedActionOfTheZone) {
  EvidenceScene scene;
  kovira::MultiTrack group;
  ASSERT_TRUE(group.addTrack(scene.track()));
  addAction(1, "wrongdir");
  addAction(2, "speed", {{"enabled", 0}});
  int result = -1;
  testsupport::stdoutOf([&] { result = speed::funnyt3(group); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(group.counter, 0u);

  addAction(3, "speed");
  addAction(4, "speed");
  testsupport::stdoutOf([&] { result = speed::funnyt3(group); });
  EXPECT_EQ(result, speed::kHandled);
  EXPECT_EQ(group.counter, 2u);
  EXPECT_EQ(archives(), 2u);

  // A group without a track of the zone: skipped, the result unchanged.
  kovira::MultiTrack other;
  EXPECT_EQ(speed::funnyt3(other), speed::kHandled);
  EXPECT_EQ(other.counter, 0u);
}

}  // namespace
