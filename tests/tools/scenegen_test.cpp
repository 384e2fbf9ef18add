// Scene model and renderer of the scene generator, in memory.
#include "platform/plate/plate_layout.h"
#include "platform/scene/road_map.h"
#include "platform/scene/scene.h"
#include "platform/scene/scene_render.h"
#include "tools/scenegen/scene_outputs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

namespace kovira::scenegen {
namespace {

const char* kScene = R"({"width": 640, "height": 360, "fps": 25, "seconds": 8, "port": 18080,
  "calibration": {"rows": [100, 160, 300], "metres": 4.0}, "limit": 60, "threshold": 70, "module": 2,
  "vehicles": [{"plate": "A123BC77", "class": 2, "kmh": 57.3, "direction": 1, "start": 0.5, "x": 150},
               {"plate": "K456MH199", "kmh": 71.0, "direction": 2, "start": 1.0, "x": 490, "misread": 3}]})";

Scene scene() { return *parseScene(kScene).scene; }

// The unit's own distance rule: marks sorted by row, k = calcost * 10^6 /
// rows per band (truncated), summed over the rows between two points.
double unitDistance(const std::string& calpts, double calcost, int ya, int yb) {
  std::vector<int> v;
  std::stringstream ss(calpts);
  for (std::string f; std::getline(ss, f, ',');) v.push_back(std::stoi(f));
  std::vector<int> rows;
  for (std::size_t i = 1; i < v.size(); i += 2) rows.push_back(v[i]);
  std::sort(rows.begin(), rows.end());
  double sum = 0;
  for (int y = std::min(ya, yb); y < std::max(ya, yb); ++y) {
    for (std::size_t i = 1; i < rows.size(); ++i) {
      if (rows[i - 1] < y && y <= rows[i]) {
        sum += static_cast<std::uint32_t>(calcost * 1e6 / (rows[i] - rows[i - 1]));
        break;
      }
    }
  }
  return sum / 1e6;
}

// The marks realise the rows under the unit's own distance rule, and the plates
// move at the scene's exact speed: the speed checks downstream rely on both.
TEST(SceneGenerator, Contract) {
  Scene s = scene();
  const std::string marks = calibrationMarks(s);
  EXPECT_EQ(marks, "220,100,420,160,220,300");
  // The unit counts the rows after the first point up to the second.
  EXPECT_NEAR(unitDistance(marks, s.metres, 100, 301), 8.0, 1e-4);
  s.rows = {100, 120};
  const std::string two = calibrationMarks(s);
  EXPECT_EQ(two, "220,100,420,120,420,100");  // bounding box 200 x 20 = 4000 square pixels
  EXPECT_NEAR(unitDistance(two, s.metres, 100, 121), 4.0, 1e-4);

  s = scene();
  SceneRenderer r(s);
  std::vector<std::uint8_t> px(static_cast<std::size_t>(s.width) * s.height);
  for (int k = 0; k < s.frameCount(); ++k) r.render(k, {px.data(), s.width, s.height, s.width});

  for (std::size_t v = 0; v < s.vehicles.size(); ++v) {
    const auto& frames = r.truth()[v];
    ASSERT_GE(frames.size(), 5u);
    const PlateTruth& a = frames.front();
    const PlateTruth& b = frames.back();
    const double metres = std::abs(r.road().metresAt(b.oy) - r.road().metresAt(a.oy));
    const double kmh = metres / ((b.frame - a.frame) / static_cast<double>(s.fps)) * 3.6;
    EXPECT_NEAR(kmh, s.vehicles[v].kmh, s.vehicles[v].kmh * 0.005);
    EXPECT_EQ(a.ox, s.vehicles[v].x);
    EXPECT_LT(r.exitSecond(v), s.seconds - kEmptyTailSeconds);
    // Consecutive frames, moving the right way.
    for (std::size_t i = 1; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].frame, frames[i - 1].frame + 1);
      EXPECT_EQ(frames[i].oy > frames[i - 1].oy, s.vehicles[v].direction == 1);
    }
  }
  // Every third reading of the second plate shows one '?', walking along the text.
  const auto& m = r.truth()[1];
  ASSERT_GE(m.size(), 6u);
  EXPECT_EQ(m[0].text, "K456MH199");
  EXPECT_EQ(m[2].text, "?456MH199");
  EXPECT_EQ(m[5].text, "K?56MH199");
  EXPECT_EQ(std::count_if(r.truth()[0].begin(), r.truth()[0].end(),
                          [](const PlateTruth& p) { return p.text != "A123BC77"; }),
            0);
}

}  // namespace
}  // namespace kovira::scenegen
