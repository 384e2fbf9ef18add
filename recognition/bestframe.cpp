#include "recognition/bestframe.h"

#include "recognition/scene_access.h"

#include <algorithm>

namespace kovira {

namespace {
constexpr double kHalfWidth = 3.0;  // plate widths either side of the point
constexpr double kAbove = 3.5;
constexpr double kBelow = 1.5;
constexpr unsigned kDownTheImage = 1;
}  // namespace

IntRect carRect(int a, int cx, int cy, int maxw, int maxh, float k) {
  const double ak = static_cast<double>(a) * static_cast<double>(k);
  const int x1 = static_cast<int>(cx - kHalfWidth * ak);
  const int x2 = static_cast<int>(cx + kHalfWidth * ak);
  const int y1 = static_cast<int>(cy - kAbove * ak);
  const int y2 = static_cast<int>(cy + kBelow * ak);
  int left = std::min(x1, x2);
  int top = std::min(y1, y2);
  if (maxw + maxh > 0) {
    left = std::max(left, 0);
    top = std::max(top, 0);
    const int width = std::min(std::max(x1, x2), maxw) - left;
    const int height = std::min(std::max(y1, y2), maxh) - top;
    if (width < 1 || height < 1) return {};
    return {left, top, width, height};
  }
  return {left, top, std::max(x1, x2) - left, std::max(y1, y2) - top};
}

unsigned findBestFrame(Track& track, int /*unused*/) {
  const SceneAccess& scene = sceneAccess();
  const unsigned camid = scene.cameraOfZone(track.zone);
  if (camid == 0) return 0;
  const auto valid = track.onlyValidPoints();
  if (valid.empty()) return 0;
  const unsigned direction = track.direction();

  unsigned best = 0;
  float bestRatio = 0.0f;
  for (const auto& p : valid) {
    const auto frame = scene.frame(camid, p.num);
    if (!frame) continue;
    const IntRect full = carRect(p.w, p.ox, p.oy, 0, 0, 1.0f);
    const long long fullArea = static_cast<long long>(full.width) * full.height;
    // A reading without a plate width has no vehicle area to compare.
    if (fullArea <= 0) continue;
    const IntRect inside = carRect(p.w, p.ox, p.oy, frame->width, frame->height, 1.0f);
    const float ratio = static_cast<float>(static_cast<long long>(inside.width) * inside.height) /
                        static_cast<float>(fullArea);
    // Wholly inside: a vehicle moving down the image is largest in its last
    // such frame, one moving up in its first.
    const bool take = (ratio == 1.0f && direction == kDownTheImage) ? true : ratio > bestRatio;
    if (take) {
      best = p.num;
      bestRatio = ratio;
    }
  }
  return best;
}

}  // namespace kovira
