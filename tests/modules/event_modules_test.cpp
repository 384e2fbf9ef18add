// The event modules beside "speed": their decisions at the boundaries, the
// archive each one builds through the shared composition, and the one
// dispatcher's rules (counting, "skipworked", a module that throws).
#include "modules/dispatch.h"
#include "modules/spd_kormelino.h"
#include "modules/wrongdir.h"
#include "recognition/multitrack.h"
#include "recognition/trackspeed.h"
#include "tests/modules/module_fixture.h"

#include <stdexcept>
#include <vector>

namespace {

using evtest::EvidenceScene;
using evtest::field;
using evtest::members;

class EventModulesTest : public modtest::ModuleTest {};

// 11 frames over 20 m: step 479990 us is just above 15 km/h, 483221 us just below.
TEST_F(EventModulesTest, WrongDirectionNeedsAMovingVehicleInTheNamedDirection) {
  struct Row {
    const char* what;
    std::uint64_t step;
    bool up;
    std::size_t points;
    int direction;
    int result;
  };
  const Row rows[] = {
      {"15 km/h, any direction", 479990, false, 0, 0, 1},
      {"just below 15 km/h", 483221, false, 0, 0, 0},
      {"driving up, direction 2 named", 479990, true, 0, 2, 1},
      {"driving down, direction 2 named", 479990, false, 0, 2, 0},
      {"three plate readings", 479990, true, 3, 0, -1},
  };
  int stored = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EvidenceScene scene(1, 11, row.step);  // a scene binds zone 1 to its own camera
    action.direction = row.direction;
    EXPECT_EQ(judge(wrongdir::processtrack, scene.track(row.points, row.up)), row.result) << out;
    stored += row.result == 1;
  }
  const auto files = archives();
  ASSERT_EQ(files.size(), static_cast<std::size_t>(stored));
  for (const auto& archive : files) {
    EXPECT_EQ(members(archive), (std::vector<std::string>{"m.jpg", "angel.xml", "kovira.json"}));
    modtest::expectFields(member(archive, "angel.xml"),
                          {{"nWrongDirection", "1"}, {"nDisplaySpeed", "15"}, {"nSpeedThreshold", "60"}});
    EXPECT_EQ(metadata(archive)["type"], "wrongdir");
  }
  kovira::config().ntpsync = 0;
  EvidenceScene scene;
  EXPECT_EQ(judge(wrongdir::processtrack, scene.track()), -2);
  EXPECT_EQ(out, "[TRACK] A123BC77: time not synced\n");
}

TEST_F(EventModulesTest, ThreePhotoSpeedArchiveAndReport) {
  EvidenceScene scene;  // 72 km/h
  action.method = "speed-kormelino";
  action.extra = "redbox fullframe angelsign crosshair";
  kovira::config().signkey = "/nonexistent";  // a key that would sign stays unused either way
  struct Row {
    int timezone;
    const char* offset;
  };
  for (const Row row : {Row{-3, "+-3.00"}, Row{3, "+3.00"}, Row{0, "+0.00"}}) {
    kovira::config().timezone = row.timezone;
    ASSERT_EQ(judge(spd_kormelino::processtrack, scene.track()), 1) << out;
    EXPECT_EQ(out.rfind("[SPD] [num=A123BC77, speed=72.000000, ", 0), 0u) << out;
    const auto files = archives();
    ASSERT_FALSE(files.empty());
    const auto& archive = files.back();
    EXPECT_EQ(field(member(archive, "angel.xml"), "nTZOffset"), row.offset);
    std::filesystem::remove(archive);
  }
  kovira::config().signkey.clear();
  ASSERT_EQ(judge(spd_kormelino::processtrack, scene.track()), 1) << out;
  const auto archive = archives().at(0);
  EXPECT_EQ(members(archive), (std::vector<std::string>{"m.jpg", "plate.jpg", "big.jpg", "angel.xml", "kovira.json"}));
  const std::string xml = member(archive, "angel.xml");
  modtest::expectFields(xml, {{"tRadarName", "СВФ Ковира"},
                              {"tGpsPos", "(" + kovira::config().gps() + ")"},
                              {"nOverSpeed", "1"},
                              {"nSpeedThreshold", "60"}});
  EXPECT_NE(xml.find("<tCertificateNumber/>"), std::string::npos) << xml;  // present, empty
  modtest::expectKeys(metadata(archive), {{"type", "speed"}, {"spdlim", 60}, {"spdtext", nullptr}});
  const ticket_t ticket = webtickets().newest(1).at(0);
  EXPECT_EQ(ticket.type, "speed");
  EXPECT_EQ(ticket.vclass, 0u);
}

TEST_F(EventModulesTest, ThreePhotoSpeedFollowsTheSpeedDecision) {
  action.method = "speed-kormelino";
  struct Row {
    const char* what;
    std::uint64_t step;  // 100000: 72 km/h; 24900: measured for less than 0.25 s
    std::size_t points;
    std::uint32_t threshold;
    int result;
  };
  const Row rows[] = {
      {"at the threshold", 100000, 0, 72, 1},
      {"below the threshold", 100000, 0, 73, 0},
      {"measured too briefly", 24900, 0, 70, 0},
      {"three points", 100000, 3, 70, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EvidenceScene scene(1, 11, row.step);
    action.threshold = row.threshold;
    EXPECT_EQ(judge(spd_kormelino::processtrack, scene.track(row.points)), row.result) << out;
  }
  EvidenceScene scene;
  kovira::config().ntpsync = 0;
  EXPECT_EQ(judge(spd_kormelino::processtrack, scene.track()), -2);
  EXPECT_EQ(out, "");  // silent, unlike "speed"
}

// The dispatcher: every enabled action of the method, a thrown exception
// reported for its action only, "skipworked" against the group's counter.
int throwOnFirst(kovira::Track& track, kovira::Action& action) {
  if (action.actid == 1) throw std::runtime_error("zone configuration was not found [id=9]");
  return track.id == 7 ? 1 : 0;
}

TEST_F(EventModulesTest, DispatcherRulesAndAThrowingAction) {
  EvidenceScene scene;
  kovira::MultiTrack group;
  ASSERT_TRUE(group.addTrack(scene.track()));
  addAction(1, "probe");
  addAction(2, "probe", {{"extra", "skipworked"}});
  addAction(3, "probe", {{"enabled", 0}, {"zoneA", 0}});
  int result = -1;
  const auto dispatch = [&](const modules::DispatchRules& rules) {
    return testsupport::stdoutOf([&] { result = modules::dispatch(group, rules, throwOnFirst); });
  };
  EXPECT_EQ(dispatch({.method = "probe"}), "[ERR] (probe) A123BC77: zone configuration was not found [id=9]\n");
  EXPECT_EQ(result, modules::kHandled);
  EXPECT_EQ(group.counter, 1u);  // the action after the throwing one ran

  // With evidence in the group, "skipworked" skips; results not counted.
  const modules::DispatchRules flow{.method = "probe", .handled = 30, .countResults = false, .skipWorked = true};
  dispatch(flow);
  EXPECT_EQ(result, 30);
  EXPECT_EQ(group.counter, 1u);
  group.counter = 0;
  dispatch(flow);
  EXPECT_EQ(result, 30);
  EXPECT_EQ(group.counter, 0u);

  // The last enabled action's zone decides the result.
  addAction(4, "probe", {{"zoneA", 0}});
  dispatch({.method = "probe"});
  EXPECT_EQ(result, 0);
}

}  // namespace
