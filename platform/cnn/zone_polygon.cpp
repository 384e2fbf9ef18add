#include "platform/cnn/zone_polygon.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace kovira::cnn {
namespace {

// Reads one decimal integer field and the comma after it (or the end).
bool nextField(std::string_view& rest, long long& value) {
  const char* begin = rest.data();
  const char* end = rest.data() + rest.size();
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr == begin) return false;
  if (ptr == end) {
    rest = {};
    return true;
  }
  if (*ptr != ',' || ptr + 1 == end) return false;  // a trailing comma is an empty field
  rest.remove_prefix(static_cast<std::size_t>(ptr + 1 - begin));
  return true;
}

bool fitsInt(long long v) {
  return v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max();
}

}  // namespace

std::optional<ZonePolygon> parseZonePolygon(std::string_view text) {
  if (text.empty() || text.size() > kMaxDescriptionLength) return std::nullopt;
  std::vector<long long> fields;
  std::string_view rest = text;
  while (!rest.empty()) {
    long long v = 0;
    if (!nextField(rest, v) || !fitsInt(v)) return std::nullopt;
    fields.push_back(v);
  }
  if (fields.size() < 2 + 2 * kMinPolygonPoints || fields.size() % 2 != 0) return std::nullopt;
  if (fields[0] < 0) return std::nullopt;

  ZonePolygon poly;
  poly.zoneid = static_cast<std::uint32_t>(fields[0]);
  poly.scale = static_cast<int>(fields[1]);
  for (std::size_t i = 2; i < fields.size(); i += 2) {
    poly.points.push_back({static_cast<int>(fields[i]), static_cast<int>(fields[i + 1])});
  }
  int minx = poly.points[0].x, maxx = minx, miny = poly.points[0].y, maxy = miny;
  for (const Point& p : poly.points) {
    minx = std::min(minx, p.x);
    maxx = std::max(maxx, p.x);
    miny = std::min(miny, p.y);
    maxy = std::max(maxy, p.y);
  }
  poly.bounds = {minx, miny, maxx - minx + 1, maxy - miny + 1};
  return poly;
}

bool contains(const ZonePolygon& polygon, Point p) {
  bool inside = false;
  const auto& pts = polygon.points;
  const std::size_t n = pts.size();
  for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
    const bool yi = pts[i].y >= p.y, yj = pts[j].y >= p.y;
    if (yi == yj) continue;
    // Column where the edge crosses row p.y, in 64 bits to stay exact.
    const long long dx = static_cast<long long>(pts[j].x) - pts[i].x;
    const long long dy = static_cast<long long>(pts[j].y) - pts[i].y;
    const long long cross = pts[i].x + (static_cast<long long>(p.y) - pts[i].y) * dx / dy;
    if (cross < p.x) inside = !inside;
  }
  return inside;
}

}  // namespace kovira::cnn
