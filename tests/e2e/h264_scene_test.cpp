// A generated scene's H.264 stream, delivered access unit by access unit to
// the frame sink as a network camera's receiver delivers it, goes through
// the real decode stage (emulated hardware decoder) and the real recognition
// stage (stand-in recogniser): the truth plate is read and tracked.
#include "capture/cam.h"
#include "capture/camstart.h"
#include "config/config.h"
#include "recognition/resqueue.h"
#include "support/h264_units.h"
#include "support/road_stages.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testsupport::AccessUnit;
using testsupport::splitAccessUnits;

TEST(H264Scene, TheTruthPlateIsReadAndTrackedThroughTheDecodeAndRecognitionStages) {
  const fs::path out = fs::path(KOVIRA_BINARY_DIR) / "test-out" / "h264-scene";
  fs::remove_all(out);
  const std::string cmd = std::string(KOVIRA_BINARY_DIR) + "/bin/scenegen " + KOVIRA_SOURCE_DIR +
                          "/tests/data/scenes/one-vehicle.json " + out.string() + " --h264 > /dev/null";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;

  std::ifstream truthFile(out / "truth.json");
  const nlohmann::json truth = nlohmann::json::parse(truthFile);
  const std::string plate = truth["vehicles"][0]["plate"];
  const int width = truth["width"], height = truth["height"];

  // The scene's configuration registers its camera with a frame store and
  // the zone the recogniser reads.
  ASSERT_TRUE(kovira::config().read((out / "kovira.json").string()));
  ASSERT_TRUE(kovira::hasCamera(1));

  std::ifstream in(out / "scene.h264", std::ios::binary);
  std::vector<std::uint8_t> stream(std::istreambuf_iterator<char>(in), {});
  const std::vector<AccessUnit> units = splitAccessUnits(stream);
  ASSERT_EQ(units.size(), truth["frames"].get<std::size_t>());
  ASSERT_TRUE(units.front().key);

  std::optional<testsupport::RoadStages> road(std::in_place);

  // Delivered at about four times the scene's pace, as a receiver would.
  for (const AccessUnit& u : units) {
    frames::catchrtsp(1, u.key ? FRAME_I : FRAME_P, 1, width, height, 0, stream.data() + u.offset, u.size);
    std::this_thread::sleep_for(10ms);
  }

  // Tracks of H.264 cameras finish only 5000 frames later: look at the
  // current tracks.
  bool found = false;
  for (auto end = std::chrono::steady_clock::now() + 60s; !found && std::chrono::steady_clock::now() < end;) {
    for (const kovira::Track& t : resproc.unfinished())
      if (t.text() == plate && t.points.size() >= 5) found = true;
    if (!found) std::this_thread::sleep_for(50ms);
  }

  road.reset();
  EXPECT_TRUE(found) << "no track with the plate " << plate;

  // The readings sit on the frames they were read on.
  int readings = 0;
  kovira::CamBuf& store = *kovira::camera(1).cambuf;
  for (auto it = store.meta().oldest(); it.valid(); it.go_forward())
    for (const CNN_RESULT& r : it->results())
      if (plate == r.text) ++readings;
  EXPECT_GE(readings, 5);
}

}  // namespace
