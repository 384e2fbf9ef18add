// A scene's own zone polygon: read with its bounds checked, written into the
// unit's configuration, and each vehicle told whether it drove through it.
#include "tools/scenegen/scene.h"
#include "tools/scenegen/scene_outputs.h"
#include "tools/scenegen/scene_render.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <vector>

namespace kovira::scenegen {
namespace {

std::string withZone(const std::string& zone) {
  return R"({"width": 640, "height": 360, "fps": 25, "seconds": 8, "port": 18080,
    "calibration": {"rows": [100, 300], "metres": 4.0}, "limit": 60, "threshold": 70, "module": 2)" + zone + R"(,
    "vehicles": [{"plate": "A123BC77", "kmh": 57.3, "direction": 1, "start": 0.5, "x": 150},
                 {"plate": "K456MH199", "kmh": 71.0, "direction": 2, "start": 1.0, "x": 490}]})";
}

// The truth of a scene rendered whole.
nlohmann::json truthOf(const Scene& s) {
  SceneRenderer renderer(s);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(s.width) * s.height);
  for (int k = 0; k < s.frameCount(); ++k) renderer.render(k, {pixels.data(), s.width, s.height, s.width});
  return nlohmann::json::parse(truthJson(s, renderer));
}

TEST(SceneZone, BoundsAndEachVehiclesZones) {
  for (const char* bad : {R"(, "zone": [1, 1, 2, 2])", R"(, "zone": [1, 1, 2, 2, 3])", R"(, "zone": [0, 0, 640, 0, 0, 5])",
                          R"(, "zone": [0, 0, 9, -1, 0, 5])", R"(, "zone": "0,0,9,9,0,5")"})
    EXPECT_FALSE(parseScene(withZone(bad)).scene) << bad;

  // A triangle wider at the top than x = 150 and never reaching x = 490.
  const nlohmann::json truth = truthOf(*parseScene(withZone(R"(, "zone": [4, 4, 320, 4, 4, 355])")).scene);
  EXPECT_EQ(truth["zone"]["coords"], "4,4,320,4,4,355");
  EXPECT_EQ(truth["vehicles"][0]["zones"], nlohmann::json::array({1}));
  EXPECT_EQ(truth["vehicles"][1]["zones"], nlohmann::json::array());
  EXPECT_EQ(truthOf(*parseScene(withZone("")).scene)["vehicles"][1]["zones"], nlohmann::json::array({1}));
}

}  // namespace
}  // namespace kovira::scenegen
