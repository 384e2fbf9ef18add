// The built scene generator and plate reader on the scene files of
// tests/data/scenes: what later end-to-end tests rely on.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kBin = std::string(KOVIRA_BINARY_DIR) + "/bin/";
const std::string kScenes = std::string(KOVIRA_SOURCE_DIR) + "/tests/data/scenes/";

int run(const std::string& cmd) {
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

json load(const fs::path& p) {
  std::ifstream in(p);
  return json::parse(in);
}

// The scene's outputs: made by the ctest fixture; generated here when the
// binary runs on its own.
fs::path generate(const std::string& scene) {
  const fs::path out = fs::path(KOVIRA_BINARY_DIR) / "test-out" / fs::path(scene).stem();
  if (!fs::exists(out / "truth.json") || !fs::exists(out / "scene.h264")) {
    EXPECT_EQ(run(kBin + "scenegen " + kScenes + scene + " " + out.string() + " --h264 > /dev/null"), 0);
  }
  return out;
}

std::string zoneDescription(const json& cfg) {
  const json& zone = cfg[1];
  return std::to_string(zone["zoneid"].get<int>()) + "," + std::to_string(zone["scale"].get<int>()) + "," +
         zone["coords"].get<std::string>();
}

// Distance by the unit's rule: k per row of a band, summed over the rows
// from the smaller to the larger point row.
double unitMetres(const json& zone, int ya, int yb) {
  std::vector<int> v;
  std::stringstream ss(zone["calpts"].get<std::string>());
  for (std::string f; std::getline(ss, f, ',');) v.push_back(std::stoi(f));
  std::vector<int> rows;
  for (std::size_t i = 1; i < v.size(); i += 2) rows.push_back(v[i]);
  std::sort(rows.begin(), rows.end());
  const float calcost = zone["calcost"].get<float>();
  double sum = 0;
  for (int y = std::min(ya, yb); y < std::max(ya, yb); ++y) {
    for (std::size_t i = 1; i < rows.size(); ++i) {
      if (rows[i - 1] < y && y <= rows[i]) {
        sum += static_cast<std::uint32_t>(static_cast<double>(calcost) * 1e6 / (rows[i] - rows[i - 1]));
        break;
      }
    }
  }
  return sum / 1e6;
}

// Distance from the scene's calibration directly: linear inside each band.
double sceneMetres(const json& cal, double y) {
  const std::vector<int> rows = cal["rows"];
  const double m = cal["metres"];
  std::size_t i = 0;
  while (i + 2 < rows.size() && y > rows[i + 1]) ++i;
  return m * (static_cast<double>(i) + (y - rows[i]) / (rows[i + 1] - rows[i]));
}

class SceneFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(SceneFiles, SpeedsRecomputedFromTruthAreExact) {
  const fs::path out = generate(GetParam());
  const json truth = load(out / "truth.json");
  const json cfg = load(out / "kovira.json");
  const json& cal = truth["calibration"];
  const int top = cal["rows"].front(), bottom = cal["rows"].back();
  const double fps = truth["fps"];
  for (const json& v : truth["vehicles"]) {
    std::vector<json> inStretch;
    for (const json& f : v["frames"]) {
      const int oy = f["point"][1];
      if (oy >= top && oy <= bottom) inStretch.push_back(f);
    }
    ASSERT_GE(inStretch.size(), 3u) << v["plate"];
    const json& a = inStretch.front();
    const json& b = inStretch.back();
    const double seconds = (b["frame"].get<int>() - a["frame"].get<int>()) / fps;
    const int ya = a["point"][1], yb = b["point"][1];
    const double kmh = v["kmh"];
    EXPECT_NEAR(std::abs(sceneMetres(cal, yb) - sceneMetres(cal, ya)) / seconds * 3.6, kmh, kmh * 0.005)
        << v["plate"];
    // The configuration's marks and step give the unit the same distances,
    // short of its one-row counting rule.
    EXPECT_NEAR(unitMetres(cfg[1], ya, yb) / seconds * 3.6, kmh, kmh * 0.01) << v["plate"];
  }
}

TEST_P(SceneFiles, ReaderFindsTruthTextInGreyAndH264Video) {
  const fs::path out = generate(GetParam());
  const std::string zone = zoneDescription(load(out / "kovira.json"));
  const std::string reader = kBin + "platereader --quiet --mode 6 --truth " + (out / "truth.json").string() + " ";
  EXPECT_EQ(run(reader + "--min-rate 0.98 " + (out / "scene.avi").string() + " " + zone), 0);
  EXPECT_EQ(run(reader + "--min-rate 0.90 " + (out / "scene.h264").string() + " " + zone), 0);
}

INSTANTIATE_TEST_SUITE_P(Scenes, SceneFiles, ::testing::Values("one-vehicle.json", "three-vehicles.json"));

TEST(SceneGenerator, WritesConfigurationWithAbsolutePaths) {
  const fs::path out = generate("one-vehicle.json");
  const json cfg = load(out / "kovira.json");
  EXPECT_EQ(cfg[0]["url"], fs::canonical(out / "scene.avi").string());
  EXPECT_EQ(cfg[2]["path"], fs::canonical(out).string() + "/evidence");
  EXPECT_TRUE(fs::is_directory(out / "evidence"));
}

TEST(SceneGenerator, RefusesAVehicleThatLeavesTooLate) {
  const fs::path dir = fs::path(KOVIRA_BINARY_DIR) / "test-out" / "late";
  fs::create_directories(dir);
  std::ofstream(dir / "scene.json") << R"({"width": 640, "height": 360, "fps": 25, "seconds": 4, "port": 1,
    "calibration": {"rows": [100, 300], "metres": 6.0}, "limit": 60, "threshold": 70,
    "vehicles": [{"plate": "A123BC77", "kmh": 20, "direction": 1, "start": 1.0, "x": 320}]})";
  EXPECT_EQ(run(kBin + "scenegen " + (dir / "scene.json").string() + " " + (dir / "out").string() + " 2>/dev/null"),
            1);
  EXPECT_FALSE(fs::exists(dir / "out" / "truth.json"));
}

}  // namespace
