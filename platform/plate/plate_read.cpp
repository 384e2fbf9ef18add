#include "platform/plate/plate_read.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>

namespace kovira::plate {
namespace {

// Accepted deviation of the white field's shape from 66 x 13 modules; video
// coding moves its edges by about a pixel.
constexpr double kMinAspectRatio = 0.8;
constexpr double kMaxAspectRatio = 1.25;
// Share of the field's box that is white: the glyphs take 10..30 %.
constexpr double kMinFill = 0.5;
constexpr double kMaxFill = 0.985;

struct FontTable {
  std::array<GlyphMask, kAlphabet.size()> masks{};
  FontTable() {
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) masks[i] = *glyphOf(kAlphabet[i]);
  }
};

const FontTable& font() {
  static const FontTable table;
  return table;
}

// Samples the plate in module coordinates: (0, 0) is the top-left corner of
// the border, (68, 15) the bottom-right one.
class PlateSampler {
 public:
  PlateSampler(GreyView frame, double left, double top, double ux, double uy)
      : frame_(frame), left_(left), top_(top), ux_(ux), uy_(uy),
        radius_(std::max(0, static_cast<int>(std::min(ux, uy) / 4))) {}

  // Mean brightness of a small window around the point; the caller keeps the
  // point inside the plate, which lies inside the frame.
  int at(double mx, double my) const {
    const int cx = std::clamp(static_cast<int>(left_ + mx * ux_), 0, frame_.width - 1);
    const int cy = std::clamp(static_cast<int>(top_ + my * uy_), 0, frame_.height - 1);
    const int x0 = std::max(cx - radius_, 0), x1 = std::min(cx + radius_, frame_.width - 1);
    const int y0 = std::max(cy - radius_, 0), y1 = std::min(cy + radius_, frame_.height - 1);
    int sum = 0, n = 0;
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) {
        sum += frame_.at(x, y);
        ++n;
      }
    }
    return sum / n;
  }

 private:
  GreyView frame_;
  double left_, top_, ux_, uy_;
  int radius_;
};

int median(std::vector<int> v) {
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Reads the plate around one white field (box of the bright component).
std::optional<PlateFound> readField(GreyView frame, Box field) {
  const double ux = static_cast<double>(field.w) / kFieldWidthModules;
  const double uy = static_cast<double>(field.h) / kFieldHeightModules;
  const double left = field.x - ux * kBorderModules;
  const double top = field.y - uy * kBorderModules;
  Box box{static_cast<int>(std::lround(left)), static_cast<int>(std::lround(top)),
          static_cast<int>(std::lround(ux * kWidthModules)),
          static_cast<int>(std::lround(uy * kHeightModules))};
  // The whole plate, border included, must be in the picture.
  if (box.x < 0 || box.y < 0 || box.x + box.w > frame.width || box.y + box.h > frame.height) {
    return std::nullopt;
  }
  const PlateSampler s(frame, left, top, ux, uy);

  std::vector<int> border;
  for (double mx = 2.5; mx < kWidthModules - 2; mx += 4) {
    border.push_back(s.at(mx, 0.5));
    border.push_back(s.at(mx, kHeightModules - 0.5));
  }
  for (double my = 3.5; my < kHeightModules - 2; my += 2) {
    border.push_back(s.at(0.5, my));
    border.push_back(s.at(kWidthModules - 0.5, my));
  }
  std::vector<int> paper;
  for (double mx = 2.5; mx < kClassColumn - 2; mx += 3) {
    paper.push_back(s.at(mx, 2.5));
    paper.push_back(s.at(mx, 12.5));
  }
  const int ink = median(border);
  const int white = median(paper);
  if (white - ink < kMinContrast) return std::nullopt;
  const int threshold = (white + ink) / 2;
  const auto dark = std::count_if(border.begin(), border.end(), [&](int v) { return v < threshold; });
  if (dark * 10 < static_cast<long>(border.size()) * 9) return std::nullopt;

  PlateFound found;
  found.box = box;
  found.ox = box.x + box.w / 2;
  found.oy = box.y + box.h / 2;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    GlyphMask mask = 0;
    for (int r = 0; r < kGlyphRows; ++r) {
      for (int c = 0; c < kGlyphCols; ++c) {
        const double mx = kSlotLeft + slot * kSlotPitch + c + 0.5;
        const double my = kSlotTop + r + 0.5;
        if (s.at(mx, my) < threshold) mask |= GlyphMask{1} << (r * kGlyphCols + c);
      }
    }
    if (std::popcount(mask) <= kMaxBlankCells) break;
    found.text.push_back(matchGlyph(mask));
  }
  if (found.text.empty()) return std::nullopt;
  for (int i = 0; i < kMaxClass; ++i) {
    if (s.at(kClassColumn + 0.5, kClassTop + i * kClassPitch + 0.5) < threshold) ++found.cls;
  }
  return found;
}

bool plausibleField(int w, int h, int area) {
  if (h < kMinFieldHeight || w < kMinFieldHeight * 4) return false;
  const double ratio = (static_cast<double>(w) / kFieldWidthModules) /
                       (static_cast<double>(h) / kFieldHeightModules);
  if (ratio < kMinAspectRatio || ratio > kMaxAspectRatio) return false;
  const double fill = static_cast<double>(area) / (static_cast<double>(w) * h);
  return fill >= kMinFill && fill <= kMaxFill;
}

}  // namespace

int glyphDistance(GlyphMask a, GlyphMask b) { return std::popcount(a ^ b); }

char matchGlyph(GlyphMask mask) {
  const FontTable& f = font();
  int best = kGlyphCells + 1, second = kGlyphCells + 1;
  char bestChar = kUnreadable;
  for (std::size_t i = 0; i < f.masks.size(); ++i) {
    const int d = glyphDistance(mask, f.masks[i]);
    if (d < best) {
      second = best;
      best = d;
      bestChar = kAlphabet[i];
    } else if (d < second) {
      second = d;
    }
  }
  if (best > kMaxGlyphDistance || second - best < kMinGlyphMargin) return kUnreadable;
  return bestChar;
}

std::vector<PlateFound> readPlates(GreyView frame, Box area) {
  std::vector<PlateFound> out;
  if (frame.data == nullptr || frame.width <= 0 || frame.height <= 0 || frame.stride < frame.width) {
    return out;
  }
  const int x0 = std::max(area.x, 0), y0 = std::max(area.y, 0);
  const int x1 = std::min(area.x + area.w, frame.width), y1 = std::min(area.y + area.h, frame.height);
  if (x1 - x0 < kMinFieldHeight * 4 || y1 - y0 < kMinFieldHeight) return out;

  const cv::Mat whole(frame.height, frame.width, CV_8UC1, const_cast<std::uint8_t*>(frame.data),
                      static_cast<std::size_t>(frame.stride));
  const cv::Mat roi = whole(cv::Rect(x0, y0, x1 - x0, y1 - y0));
  // Scratch images kept per thread: allocating (and faulting in) a label
  // image of the frame's size on every call costs as much as the labelling.
  thread_local cv::Mat bright, labels, stats, centroids;
  cv::threshold(roi, bright, kBrightThreshold, 255, cv::THRESH_BINARY);
  const int n = cv::connectedComponentsWithStats(bright, labels, stats, centroids, 8, CV_32S);
  for (int i = 1; i < n; ++i) {
    const int* st = stats.ptr<int>(i);
    const int x = st[cv::CC_STAT_LEFT], y = st[cv::CC_STAT_TOP];
    const int w = st[cv::CC_STAT_WIDTH], h = st[cv::CC_STAT_HEIGHT];
    if (!plausibleField(w, h, st[cv::CC_STAT_AREA])) continue;
    // A field cut by the edge of the searched area is not wholly visible.
    if (x == 0 || y == 0 || x + w == roi.cols || y + h == roi.rows) continue;
    if (auto p = readField(frame, {x0 + x, y0 + y, w, h})) out.push_back(std::move(*p));
  }
  return out;
}

}  // namespace kovira::plate
