#include "platform/cnn/zone_polygon.h"

#include <gtest/gtest.h>

namespace kovira::cnn {
namespace {

TEST(ZonePolygonParse, ReadsIdScaleAndPoints) {
  auto p = parseZonePolygon("3,6,10,20,300,20,300,200");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->zoneid, 3u);
  EXPECT_EQ(p->scale, 6);
  ASSERT_EQ(p->points.size(), 3u);
  EXPECT_EQ(p->points[2].x, 300);
  EXPECT_EQ(p->points[2].y, 200);
  EXPECT_EQ(p->bounds.x, 10);
  EXPECT_EQ(p->bounds.w, 291);
}

TEST(ZonePolygonParse, RefusesMalformedDescriptions) {
  for (const char* bad : {"", "3", "3,6", "3,6,0,0,10,10", "3,6,0,0,10,10,20", "3,6,0,0,10,10,20,", ",3,6,0,0,1,1,2,2",
                          "3,6,0,0,10,10,x,20", "3, 6,0,0,10,10,20,20", "-1,6,0,0,10,10,20,20",
                          "3,6,0,0,10,10,20,99999999999"}) {
    EXPECT_FALSE(parseZonePolygon(bad)) << bad;
  }
  EXPECT_FALSE(parseZonePolygon(std::string(kMaxDescriptionLength + 1, '1')));
}

TEST(ZonePolygonContains, EvenOddRule) {
  auto square = *parseZonePolygon("1,6,0,0,10,0,10,10,0,10");
  EXPECT_TRUE(contains(square, {5, 5}));
  EXPECT_FALSE(contains(square, {15, 5}));
  auto triangle = *parseZonePolygon("1,6,0,0,20,20,0,20");
  EXPECT_TRUE(contains(triangle, {5, 10}));
  EXPECT_FALSE(contains(triangle, {15, 10}));
}

}  // namespace
}  // namespace kovira::cnn
