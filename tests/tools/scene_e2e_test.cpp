// The built scene generator and plate reader on the scene files of
// tests/data/scenes: what later end-to-end tests rely on.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

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

class SceneFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(SceneFiles, ReaderFindsTruthTextInGreyAndH264Video) {
  const fs::path out = generate(GetParam());
  const std::string zone = zoneDescription(load(out / "kovira.json"));
  const std::string reader = kBin + "platereader --quiet --mode 6 --truth " + (out / "truth.json").string() + " ";
  EXPECT_EQ(run(reader + "--min-rate 0.98 " + (out / "scene.avi").string() + " " + zone), 0);
  EXPECT_EQ(run(reader + "--min-rate 0.90 " + (out / "scene.h264").string() + " " + zone), 0);
}

INSTANTIATE_TEST_SUITE_P(Scenes, SceneFiles, ::testing::Values("one-vehicle.json", "three-vehicles.json"));

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
