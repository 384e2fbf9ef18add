#include "config/zones.h"

#include "tests/config/config_fixture.h"

#include <nlohmann/json.hpp>

#include <array>
#include <sstream>

namespace kovira {
namespace {

using Json = nlohmann::json;

class ZoneTest : public testing::ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    ConfigWriteLock lock;
    camera_sections::add(1, 0);
  }
  Zone& make(int id, const Json& section) {
    ConfigWriteLock lock;
    Zone& z = hasZone(id) ? zone(id) : addZone(id);
    z.updConfig(section);
    updZonesParent();
    return z;
  }
};

TEST_F(ZoneTest, ScaleWindowAndRangeCheck) {
  // scale, then enabled, minscale, maxscale: the window never reaches 9.
  for (const auto& [scale, enabled, lo, hi] : {std::array{4, 1, 4, 7}, {6, 1, 4, 8}, {10, 0, 7, 8}}) {
    const Zone& z = make(1, {{"camid", 1}, {"enabled", 1}, {"coords", "0,0,100,0,100,100"}, {"scale", scale}});
    EXPECT_EQ((std::array{z.enabled, z.minscale, z.maxscale}), (std::array{enabled, lo, hi})) << scale;
  }
}

TEST_F(ZoneTest, DisabledWithoutItsCameraOrWithAnUnusablePolygon) {
  EXPECT_EQ(make(1, {{"camid", 2}, {"enabled", 1}, {"scale", 6}, {"coords", "0,0,100,0,100,100"}}).enabled, 0);
  // A typo in the coordinates disables the zone but is kept for the operator.
  for (const char* coords : {"1,2,3,", "10,20,a", "0,0,100,0,100"}) {
    Zone& z = make(2, {{"camid", 1}, {"enabled", 1}, {"scale", 6}, {"coords", coords}});
    EXPECT_EQ(z.enabled, 0) << coords;
    EXPECT_TRUE(z.polygon.empty()) << coords;
    EXPECT_EQ(z.coords, coords);
  }
}

// Marks at rows 100, 100 and 400, 12 units apart: a track from the row of
// one mark to the row of the next measures exactly 12 units.
TEST_F(ZoneTest, CalibrationBandsMeasureTheDistanceBetweenMarksExactly) {
  Zone& z = make(1, {{"camid", 1}, {"enabled", 1}, {"scale", 6}, {"coords", "0,0,500,0,500,500"},
                     {"calpts", "100,100,300,100,100,400"}, {"calcost", 12}});
  ASSERT_EQ(z.segments.size(), 2u);
  EXPECT_EQ(z.segments[0].k, 0u);  // two marks on one row: an empty band
  EXPECT_EQ(z.segments[1].k, 40000u);
  EXPECT_TRUE(z.calibrated());
  std::uint64_t sum = 0;
  for (int y = 100; y < 400; ++y) sum += z.findseg(y).k;
  EXPECT_EQ(sum, 12000000u);
  EXPECT_EQ(z.findseg(99).k, 0u);
  EXPECT_EQ(z.findseg(400).k, 0u);
}

TEST_F(ZoneTest, CalibrationNeedsAUsableMarkPolygonAndACost) {
  Zone& z = make(1, {{"camid", 1}, {"scale", 6}, {"coords", "0,0,500,0,500,500"}, {"calpts", "0,100,0,400"},
                     {"calcost", 12}});
  EXPECT_TRUE(z.segments.empty());  // two marks only
  make(1, {{"calpts", "0,100,100,200,200,300"}});
  EXPECT_EQ(z.segments.size(), 2u);  // slanted line, box 200 x 200
  make(1, {{"calpts", "0,100,50,100,100,100"}});
  EXPECT_FALSE(z.calibrated());  // one row
  make(1, {{"calpts", "1,2,3,"}});
  EXPECT_FALSE(z.calibrated());
  make(1, {{"calpts", "0,100,100,200,200,300"}, {"calcost", 0}});
  EXPECT_EQ(z.segments.size(), 2u);
  EXPECT_FALSE(z.calibrated());
  EXPECT_EQ(z.segments[0].k, 0u);
  make(1, {{"calpts", "0,100,100,101,200,300"}, {"calcost", 1e7}});
  EXPECT_EQ(z.segments[0].k, 0xffffffffu);  // a huge cost is clamped, not wrapped
}

TEST_F(ZoneTest, RecogniserDescriptions) {
  Zone& z = make(3, {{"camid", 1}, {"enabled", 1}, {"scale", 6}, {"coords", "10, 20, 300,20,300, 200"}});
  EXPECT_EQ(z.cnnPolygon(0), "3,6,10,20,300,20,300,200");
  EXPECT_EQ(z.cnnPolygon(9), "");
  const std::list<std::string> all = z.cnnPolygons();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all.front(), "3,4,10,20,300,20,300,200");
  z.enabled = 0;
  EXPECT_TRUE(z.cnnPolygons().empty());
  EXPECT_EQ(z.cnnPolygon(0), "");
  // A zone fits a frame only when its box lies inside.
  Zone& f = make(1, {{"camid", 1}, {"enabled", 1}, {"scale", 6}, {"coords", "0,0,1919,0,1919,1079"}});
  EXPECT_TRUE(f.corresponds(1920, 1080));
  EXPECT_FALSE(f.corresponds(1919, 1080));
}

TEST_F(ZoneTest, ParentIsTheFirstEnabledZoneWhoseBoxEnclosesIt) {
  const Json outer = {{"camid", 1}, {"enabled", 1}, {"scale", 6}, {"coords", "0,0,1000,0,1000,1000"}};
  const Json middle = {{"camid", 1}, {"enabled", 1}, {"scale", 6}, {"coords", "100,100,800,100,800,800"}};
  const Json inner = {{"camid", 1}, {"enabled", 1}, {"scale", 6}, {"coords", "200,200,300,200,300,300"}};
  make(1, inner);
  make(2, middle);
  make(3, outer);
  EXPECT_EQ(zone(1).freecnn, 2);
  EXPECT_EQ(zone(2).freecnn, 3);
  EXPECT_EQ(zone(3).freecnn, 0);
  // A disabled zone is nobody's parent.
  make(2, {{"enabled", 0}});
  EXPECT_EQ(zone(1).freecnn, 3);
  std::ostringstream text;
  text << zone(1);
  EXPECT_EQ(text.str(), "[zoneid=1, enabled=1, x=200, y=200, w=100, h=100, freecnn=3]");
}

TEST_F(ZoneTest, CalibrationLookupFollowsParentsAndAlwaysEnds) {
  const Json box = {{"camid", 1}, {"enabled", 1}, {"scale", 6}, {"coords", "0,0,500,0,500,500"}};
  make(1, box);
  make(2, box);  // the same box: neither encloses the other
  EXPECT_EQ(zone(1).freecnn, 0);
  EXPECT_EQ(zone(2).freecnn, 0);
  // Even links that loop (set by hand) end the walk.
  zone(1).freecnn = 2;
  zone(2).freecnn = 1;
  ConfigReadLock lock;
  EXPECT_NE(calibrationZone(1), nullptr);
  EXPECT_EQ(calibrationZone(7), nullptr);
}

TEST_F(ZoneTest, CalibrationCostIsWrittenInShortestFormAndTheZonePrintsItsState) {
  Zone& z = make(5, {{"camid", 1}, {"enabled", 0}, {"scale", 6}, {"coords", "0,0,100,0,100,100"}});
  make(5, {{"calcost", 0.1}, {"calpts", "0,100,100,200,200,300"}});
  EXPECT_NE(z.tojson(0).find("\"calcost\": 0.1,"), std::string::npos) << z.tojson(0);
  std::ostringstream text;
  text << z;
  EXPECT_EQ(text.str(), "[zoneid=5, enabled=0]");
  // A value of the wrong type keeps the old one (with a warning).
  EXPECT_EQ(make(5, {{"scale", "six"}}).scale, 6);
  EXPECT_THROW(zone(99), std::logic_error);
}

}  // namespace
}  // namespace kovira
