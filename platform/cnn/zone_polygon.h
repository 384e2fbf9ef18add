// Polygon descriptions handed to the recogniser: "zoneid,scale,x1,y1,...".
// Pure parsing and geometry; no state.
#pragma once

#include "platform/plate/grey_image.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kovira::cnn {

// Longest description read; longer text is refused, not cut.
inline constexpr std::size_t kMaxDescriptionLength = 16384;
inline constexpr int kMinPolygonPoints = 3;

struct Point {
  int x = 0;
  int y = 0;
};

struct ZonePolygon {
  std::uint32_t zoneid = 0;
  int scale = 0;
  std::vector<Point> points;
  plate::Box bounds;  // bounding box; right and bottom edges inclusive-exclusive
};

// Parses one description; nullopt when it is not a non-negative zone id, a
// scale and at least three whole x,y pairs of decimal integers.
std::optional<ZonePolygon> parseZonePolygon(std::string_view text);

// Even-odd rule; a point on the polygon's edge may fall either way.
bool contains(const ZonePolygon& polygon, Point p);

}  // namespace kovira::cnn
