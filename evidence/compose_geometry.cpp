#include "evidence/compose_geometry.h"

#include "evidence/collage.h"

#include <algorithm>

namespace evidence {

int clampCollageSide(std::uint32_t side) {
  return static_cast<int>(std::clamp<std::uint32_t>(side, kMinCollageSide, Collage::kMaxSide));
}

std::string clampedSettings(std::uint32_t imgw, std::uint32_t imgh, std::uint32_t quality) {
  std::string note;
  const auto add = [&note](const char* name, std::uint32_t was, long long used) {
    if (static_cast<long long>(was) == used) return;
    note += (note.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(was) + " -> " + std::to_string(used);
  };
  add("imgw", imgw, clampCollageSide(imgw));
  add("imgh", imgh, clampCollageSide(imgh));
  add("quality", quality, std::min(quality, kMaxJpegQuality));
  return note;
}

EvidenceGeometry evidenceGeometry(const kovira::TrackPoint& p, int frameWidth, int frameHeight) {
  EvidenceGeometry g;
  // 64-bit sums: the recogniser's numbers are not trusted to be small.
  const long long x = p.x, y = p.y, w = p.w, h = p.h;
  g.markX[0] = p.x;
  g.markY[0] = p.y;
  g.markX[1] = p.x;
  g.markY[1] = static_cast<int>(std::clamp(y + h, -(1ll << 30), 1ll << 30));
  g.markX[2] = static_cast<int>(std::clamp(x + w, -(1ll << 30), 1ll << 30));
  g.markY[2] = p.y;

  long long left = std::min(x, x + w), top = std::min(y, y + h);
  long long width = std::max(x, x + w) - left, height = std::max(y, y + h) - top;
  if (left > kPlateBoxGrowFrom && top > kPlateBoxGrowFrom) {
    left -= kPlateBoxGrowth;
    top -= kPlateBoxGrowth;
    width += 2 * kPlateBoxGrowth;
    height += 2 * kPlateBoxGrowth;
  }
  const auto fit = [](long long v) { return static_cast<int>(std::clamp(v, -(1ll << 30), 1ll << 30)); };
  g.plateBox = {fit(left), fit(top), fit(width), fit(height)};

  const long long x0 = std::max(left, 0ll), y0 = std::max(top, 0ll);
  const long long cw = std::min(left + width, static_cast<long long>(frameWidth)) - x0;
  const long long ch = std::min(top + height, static_cast<long long>(frameHeight)) - y0;
  if (cw > 0 && ch > 0) g.plateCrop = {fit(x0), fit(y0), fit(cw), fit(ch)};

  g.vehicle = kovira::carRect(p.w, p.ox, p.oy, frameWidth, frameHeight, 1.0f);
  g.crossX = p.ox;
  g.crossY = fit(static_cast<long long>(p.oy) + kCrosshairDrop);
  return g;
}

}  // namespace evidence
