// The car-flow module: its acceptance rules and class texts, and what a
// counted vehicle leaves behind: a passage always, an archive (metadata
// before the report, the quality-30 default) only when accepted.
#include "modules/carflow.h"
#include "tests/modules/module_fixture.h"

#include <vector>

namespace {

using evtest::EvidenceScene;
using evtest::field;
using evtest::members;

TEST(Carflow, AcceptanceRules) {
  struct Row {
    std::size_t points;
    float accuracy;
    bool mask;
    std::size_t plateBytes;
    bool accepted;
  };
  // The action's accuracy is 7.5 throughout.
  const Row rows[] = {
      {5, 7.5f, true, 8, true},    // first rule, accuracy exactly the action's
      {4, 7.5f, true, 8, false},   // too few points for the first rule
      {5, 7.4f, true, 8, false},
      {9, 5.0f, false, 6, true},   // second rule: unmasked, long enough
      {9, 5.0f, false, 5, false},  // a 5-byte text is not enough
      {8, 9.0f, false, 8, false},  // the second rule needs more than 8 points
      {9, 4.9f, false, 8, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.points << " points, " << r.accuracy << ", mask " << r.mask);
    EXPECT_EQ(carflow::accepted(r.points, r.accuracy, r.mask, r.plateBytes, 7.5), r.accepted);
  }
}

class CarflowTest : public modtest::ModuleTest {};

TEST_F(CarflowTest, AcceptedVehicleGetsTheFlowArchiveOthersOnlyAPassage) {
  EvidenceScene scene;
  action.method = "carflow";
  action.speed = 0;
  kovira::config().ntpsync = 0;  // counted whatever the clock
  EXPECT_EQ(judge(carflow::processtrack, scene.track()), 1) << out;
  auto files = archives();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(members(files[0]), (std::vector<std::string>{"m.jpg", "plate.jpg", "kovira.json", "angel.xml"}));
  // The action's speed is 0: no threshold.
  modtest::expectFields(member(files[0], "angel.xml"), {{"nSpeedThreshold", "<absent>"}, {"nOverSpeed", "<absent>"}});
  modtest::expectKeys(metadata(files[0]), {{"type", "carflow"}, {"timesync", 0}, {"spd", 72}});
  const ticket_t counted = webtickets().newest(1).at(0);
  EXPECT_EQ(counted.vclass, 2u);
  EXPECT_EQ(counted.alert, 0u);
  EXPECT_EQ(counted.highlight, 0u);

  // Quality 0 is quality 30: the same collage bytes as an explicit 30.
  const std::string defaultQuality = member(files[0], "m.jpg");
  std::filesystem::remove(files[0]);
  action.quality = 30;
  EXPECT_EQ(judge(carflow::processtrack, scene.track()), 1);
  files = archives();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(member(files[0], "m.jpg"), defaultQuality);

  // Four points: a passage, no archive.
  std::filesystem::remove(files[0]);
  const std::size_t before = webtickets().newest(1000).size();
  EXPECT_EQ(judge(carflow::processtrack, scene.track(4)), 1);
  EXPECT_TRUE(archives().empty());
  EXPECT_EQ(webtickets().newest(1000).size(), before + 1);
}

}  // namespace
