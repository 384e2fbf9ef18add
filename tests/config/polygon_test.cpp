#include "config/polygon.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kovira {
namespace {

Polygon parse(const std::string& text) {
  Polygon p;
  EXPECT_TRUE(fillpolygon(text, p)) << text;
  return p;
}

TEST(Polygon, ValidFromThreePointsAndAnAreaOf2500) {
  EXPECT_TRUE(parse("10,10,110,10,110,35"));
  EXPECT_FALSE(parse("10,10,110,10,110,34"));  // 2400
  EXPECT_FALSE(parse("0,0,1000,1000"));        // two points whatever the box
  // Boxes whose area needs more than 32 bits still count as valid.
  EXPECT_TRUE(parse("0,0,2000000000,0,2000000000,2000000000"));
}

TEST(Polygon, BadTextsGiveAnEmptyPolygonInsteadOfThrowing) {
  for (const char* text : {"1,2,3,4,5", "1,2,3,", "a10,20", "10a,20", "10,20,a", "", "99999999999,1"}) {
    Polygon p;
    p.push_back({1, 1});
    EXPECT_FALSE(fillpolygon(text, p)) << text;
    EXPECT_TRUE(p.empty()) << text;
  }
}

TEST(Polygon, WhitespaceVanishesEvenInsideNumbers) {
  const Polygon p = parse(" 1 0,2 0,\t30 ,40\n");
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].x, 10);
  EXPECT_EQ(p[0].y, 20);
  EXPECT_EQ(p[1].x, 30);
  EXPECT_EQ(p[1].y, 40);
}

TEST(Polygon, GetCoordReportsTrailingCharactersAndThrowsWithoutDigits) {
  int v = 0;
  EXPECT_TRUE(getCoord("  -42 ", v));
  EXPECT_EQ(v, -42);
  EXPECT_FALSE(getCoord("10a", v));
  EXPECT_EQ(v, 10);
  EXPECT_THROW(getCoord("a10", v), std::invalid_argument);
  EXPECT_THROW(getCoord("", v), std::invalid_argument);
  EXPECT_THROW(getCoord("3000000000", v), std::out_of_range);
}

TEST(Polygon, BoxMustLieStrictlyInsideOnTheRightAndBottom) {
  EXPECT_TRUE(parse("0,0,1919,0,1919,1079").inside(0, 0, 1920, 1080));
  EXPECT_FALSE(parse("0,0,1920,0,1920,1079").inside(0, 0, 1920, 1080));
  EXPECT_FALSE(parse("0,0,1919,0,1919,1080").inside(0, 0, 1920, 1080));
  EXPECT_FALSE(parse("-1,0,100,0,100,100").inside(0, 0, 1920, 1080));
  // Near the int limits the edge sums must not wrap.
  EXPECT_TRUE(parse("2147483000,0,2147483646,0,2147483646,100").inside(2147483000, 0, 1000, 1000));
}

TEST(Polygon, EvenOddPointInPolygon) {
  const Polygon square = parse("0,0,10,0,10,10,0,10");
  EXPECT_TRUE(isInPolygon({5, 5}, square));
  EXPECT_FALSE(isInPolygon({15, 5}, square));
  const Polygon triangle = parse("0,0,20,20,0,20");
  EXPECT_TRUE(isInPolygon({5, 10}, triangle));
  EXPECT_FALSE(isInPolygon({15, 10}, triangle));
  EXPECT_FALSE(isInPolygon({0, 0}, Polygon{}));
  // Spans of 100000 pixels: the crossing product needs 64 bits.
  const Polygon big = parse("0,0,100000,0,100000,100000,0,100000");
  EXPECT_TRUE(isInPolygon({99999, 50000}, big));
  EXPECT_FALSE(isInPolygon({100001, 50000}, big));
}

}  // namespace
}  // namespace kovira
