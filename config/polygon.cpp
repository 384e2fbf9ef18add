#include "config/polygon.h"

#include <algorithm>
#include <cctype>
#include <locale>
#include <stdexcept>

namespace kovira {

void Polygon::getRect(int& x, int& y, int& w, int& h) const {
  int minx = points.front().x, maxx = minx;
  int miny = points.front().y, maxy = miny;
  for (const Point& p : points) {
    minx = std::min(minx, p.x);
    maxx = std::max(maxx, p.x);
    miny = std::min(miny, p.y);
    maxy = std::max(maxy, p.y);
  }
  x = minx;
  y = miny;
  // Coordinates come from int texts; a box wider than INT_MAX is clamped so
  // that it still counts as huge rather than wrapping negative.
  const long long lw = static_cast<long long>(maxx) - minx;
  const long long lh = static_cast<long long>(maxy) - miny;
  constexpr long long kIntMax = 0x7fffffff;
  w = static_cast<int>(std::min(lw, kIntMax));
  h = static_cast<int>(std::min(lh, kIntMax));
}

long long Polygon::boxArea() const {
  if (points.empty()) return 0;
  int x, y, w, h;
  getRect(x, y, w, h);
  return static_cast<long long>(w) * h;
}

Polygon::operator bool() const {
  if (points.size() < kMinValidPoints) return false;
  return boxArea() >= kMinValidArea;
}

bool Polygon::inside(int x, int y, int w, int h) const {
  if (points.empty()) return false;
  int px, py, pw, ph;
  getRect(px, py, pw, ph);
  return x <= px && y <= py && static_cast<long long>(px) + pw < static_cast<long long>(x) + w &&
         static_cast<long long>(py) + ph < static_cast<long long>(y) + h;
}

void Polygon::ysort() {
  std::sort(points.begin(), points.end(), [](const Point& a, const Point& b) { return a.y < b.y; });
}

bool isInPolygon(const Point& p, const Polygon& polygon) {
  const std::size_t n = polygon.size();
  bool in = false;
  for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
    const Point& a = polygon[i];
    const Point& b = polygon[j];
    if ((a.y >= p.y) == (b.y >= p.y)) continue;
    // 64-bit: the product of two image spans can exceed 32 bits.
    const long long cross = static_cast<long long>(a.x) +
                            (static_cast<long long>(p.y) - a.y) * (static_cast<long long>(b.x) - a.x) /
                                (static_cast<long long>(b.y) - a.y);
    if (cross < p.x) in = !in;
  }
  return in;
}

bool getCoord(const std::string& text, int& value) {
  const std::locale& classic = std::locale::classic();
  std::size_t first = 0, last = text.size();
  while (first < last && std::isspace(text[first], classic)) ++first;
  while (last > first && std::isspace(text[last - 1], classic)) --last;
  const std::string trimmed = text.substr(first, last - first);
  std::size_t used = 0;
  value = std::stoi(trimmed, &used);
  return used == trimmed.size();
}

bool fillpolygon(std::string text, Polygon& polygon) {
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }),
             text.end());
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    fields.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  polygon.clear();
  if (fields.size() % 2 != 0) return false;
  try {
    for (std::size_t i = 0; i < fields.size(); i += 2) {
      Point p;
      if (!getCoord(fields[i], p.x) || !getCoord(fields[i + 1], p.y)) {
        polygon.clear();
        return false;
      }
      polygon.push_back(p);
    }
  } catch (const std::logic_error&) {  // invalid_argument, out_of_range
    polygon.clear();
    return false;
  }
  return true;
}

}  // namespace kovira
