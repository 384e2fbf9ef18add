// Image-plane geometry of the scene model: points, polygons typed by the
// operator as "x1,y1,x2,y2,...", their bounding boxes, the validity rule that
// decides whether a zone or a calibration is usable, box containment and
// point-in-polygon. Pure value types, no shared state: thread-safe as values.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kovira {

struct Point {
  int x = 0;  // column, to the right
  int y = 0;  // row, downwards
};

class Polygon {
 public:
  // A polygon is usable from this bounding-box area on (square pixels).
  static constexpr long long kMinValidArea = 2500;
  static constexpr std::size_t kMinValidPoints = 3;

  // Bounding box; needs at least one point (callers test validity first).
  void getRect(int& x, int& y, int& w, int& h) const;
  // At least 3 points and a bounding box of at least 2500 square pixels.
  explicit operator bool() const;
  // The bounding box lies inside (x, y, w, h): left and top edges may touch,
  // right and bottom edges must lie strictly inside.
  bool inside(int x, int y, int w, int h) const;
  // Ascending row; points on one row keep no particular order.
  void ysort();
  // Bounding-box width times height, 64-bit so that no box can overflow.
  long long boxArea() const;

  std::vector<Point> points;

  auto begin() const { return points.begin(); }
  auto end() const { return points.end(); }
  std::size_t size() const { return points.size(); }
  bool empty() const { return points.empty(); }
  const Point& operator[](std::size_t i) const { return points[i]; }
  void push_back(const Point& p) { points.push_back(p); }
  void clear() { points.clear(); }
};

// Even-odd crossing rule; an empty polygon contains nothing.
bool isInPolygon(const Point& p, const Polygon& polygon);

// One coordinate, std::stoi-style after trimming blanks: throws
// std::invalid_argument / std::out_of_range ("stoi") when no number starts
// the text or it does not fit an int; otherwise stores it and returns whether
// the number used the whole text.
bool getCoord(const std::string& text, int& value);

// Parses "x1,y1,x2,y2,..." (whitespace anywhere is dropped, also inside
// numbers). Returns false with an empty polygon for any text that is not a
// list of whole coordinate pairs, including fields that are empty or do not
// start with a number: a typo in the file must make the polygon unusable,
// never stop the configuration from loading.
bool fillpolygon(std::string text, Polygon& polygon);

}  // namespace kovira
