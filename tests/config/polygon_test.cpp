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

TEST(Polygon, ParsingAndValidity) {
  EXPECT_TRUE(parse("10,10,110,10,110,35"));   // three points and an area of 2500
  EXPECT_FALSE(parse("10,10,110,10,110,34"));  // 2400
  EXPECT_FALSE(parse("0,0,1000,1000"));        // two points whatever the box
  EXPECT_TRUE(parse("0,0,2000000000,0,2000000000,2000000000"));  // an area beyond 32 bits
  // Bad texts give an empty polygon instead of throwing.
  for (const char* text : {"1,2,3,4,5", "1,2,3,", "a10,20", "10a,20", "10,20,a", "", "99999999999,1"}) {
    Polygon p;
    p.push_back({1, 1});
    EXPECT_FALSE(fillpolygon(text, p)) << text;
    EXPECT_TRUE(p.empty()) << text;
  }
  // Whitespace vanishes, even inside numbers.
  const Polygon p = parse(" 1 0,2 0,\t30 ,40\n");
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(std::vector<int>({p[0].x, p[0].y, p[1].x, p[1].y}), std::vector<int>({10, 20, 30, 40}));
  int v = 0;
  EXPECT_TRUE(getCoord("  -42 ", v));
  EXPECT_EQ(v, -42);
  EXPECT_FALSE(getCoord("10a", v));  // trailing characters are reported
  EXPECT_EQ(v, 10);
  EXPECT_THROW(getCoord("a10", v), std::invalid_argument);
  EXPECT_THROW(getCoord("3000000000", v), std::out_of_range);
}

TEST(Polygon, InsideABoxAndEvenOddPointInPolygon) {
  // The box must lie strictly inside on the right and bottom; edge sums near the int limits never wrap.
  EXPECT_TRUE(parse("0,0,1919,0,1919,1079").inside(0, 0, 1920, 1080));
  EXPECT_FALSE(parse("0,0,1920,0,1920,1079").inside(0, 0, 1920, 1080));
  EXPECT_FALSE(parse("0,0,1919,0,1919,1080").inside(0, 0, 1920, 1080));
  EXPECT_FALSE(parse("-1,0,100,0,100,100").inside(0, 0, 1920, 1080));
  EXPECT_TRUE(parse("2147483000,0,2147483646,0,2147483646,100").inside(2147483000, 0, 1000, 1000));

  const Polygon square = parse("0,0,10,0,10,10,0,10"), triangle = parse("0,0,20,20,0,20");
  const Polygon big = parse("0,0,100000,0,100000,100000,0,100000");  // the crossing product needs 64 bits
  EXPECT_TRUE(isInPolygon({5, 5}, square));
  EXPECT_FALSE(isInPolygon({15, 5}, square));
  EXPECT_TRUE(isInPolygon({5, 10}, triangle));
  EXPECT_FALSE(isInPolygon({15, 10}, triangle));
  EXPECT_FALSE(isInPolygon({0, 0}, Polygon{}));
  EXPECT_TRUE(isInPolygon({99999, 50000}, big));
  EXPECT_FALSE(isInPolygon({100001, 50000}, big));
}

}  // namespace
}  // namespace kovira
