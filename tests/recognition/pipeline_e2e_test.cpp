// A generated one-vehicle scene through the real pieces: frames stored in a
// camera's frame store, handed on as decoded pictures (as the decode stage
// does for grey frames) to the unit's recognition stage over the stand-in
// libcnn.so, with the scene's own configuration; the result queue builds the
// plate group and the speed is measured from the stored frame times.
#include "capture/cam.h"
#include "config/config.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/scene_access.h"
#include "recognition/scene_binding.h"
#include "recognition/trackspeed.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <sys/wait.h>

namespace kovira {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kDeadline = 60s;        // only bounds a failing run
constexpr std::uint32_t kBackPressure = 25;  // what the decode stage allows to wait
constexpr std::uint64_t kStoreBytes = 128u << 20;

nlohmann::json load(const fs::path& p) {
  std::ifstream in(p);
  return nlohmann::json::parse(in);
}

// Groups handed to the module, with their speeds measured on the worker
// (as the speed modules do).
class Recorder {
 public:
  int operator()(MultiTrack& g) {
    std::vector<std::pair<Track, TrackSpeed>> measured;
    for (const Track& t : g.tracks) measured.emplace_back(t, TrackSpeed(t));
    std::lock_guard lock(mutex_);
    groups_.push_back(std::move(measured));
    cv_.notify_all();
    return 0;
  }
  bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kDeadline, [&] { return groups_.size() >= n; });
  }
  std::vector<std::vector<std::pair<Track, TrackSpeed>>> groups() {
    std::lock_guard lock(mutex_);
    return groups_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::vector<std::pair<Track, TrackSpeed>>> groups_;  // guarded by mutex_
};

template <class Pred>
bool waitUntil(Pred pred) {
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(RecognitionPipeline, OneVehicleSceneGivesOneGroupWithTheTruthPlateAndSpeed) {
  const fs::path out = fs::path(KOVIRA_BINARY_DIR) / "test-out" / "recognition-one-vehicle";
  fs::remove_all(out);
  const std::string cmd = std::string(KOVIRA_BINARY_DIR) + "/bin/scenegen " + KOVIRA_SOURCE_DIR +
                          "/tests/data/scenes/one-vehicle.json " + out.string() + " > /dev/null";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
  const nlohmann::json truth = load(out / "truth.json");
  const nlohmann::json& vehicle = truth["vehicles"][0];
  const double fps = truth["fps"].get<double>();

  ASSERT_TRUE(config().read((out / "kovira.json").string()));
  const int camid = load(out / "kovira.json")[0]["camid"].get<int>();
  // Reading the configuration registered the scene's camera with its store.
  Camera& cam = hasCamera(camid) ? camera(camid) : addCamera(camid, kStoreBytes);

  // A result queue over the process's scene, bound to the real zones and
  // frame stores before any pipeline thread starts, and the unit's stage
  // over it: libcnn.so, section "cnnconf".
  bindSceneAccess();
  ResQueue queue(sceneAccess(), [] { return static_cast<std::uint32_t>(std::time(nullptr)); });
  CnnProc recogniser(queue);
  Recorder rec;
  queue.addProcModule("recorder", [&rec](MultiTrack& g) { return rec(g); });
  std::thread recognition(std::ref(recogniser));

  cv::VideoCapture video((out / "scene.avi").string());
  ASSERT_TRUE(video.isOpened());
  cv::Mat bgr, grey;
  std::uint32_t frames = 0;
  const std::uint64_t start = 1700000000ull * 1000000;
  while (video.read(bgr)) {
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    ASSERT_TRUE(grey.isContinuous());
    FrameMetadata& record = cam.cambuf->addFrame(grey.cols, grey.rows, FRAME_GRAY8, 0, grey.data, grey.total());
    const std::uint64_t at = start + static_cast<std::uint64_t>(frames * 1e6 / fps);
    record.sec = static_cast<std::uint32_t>(at / 1000000);
    record.usec = static_cast<std::uint32_t>(at % 1000000);
    record.setFlags(FRAME_DEC);
    const FrameBytes bytes = record.liveBytes();
    ASSERT_TRUE(bytes.present());
    DecodedFrame picture(camid, record.position, PixelGray8, grey.cols, grey.rows, bytes.data, 0);
    ASSERT_TRUE(waitUntil([&] { return recogniser.queueSize() <= kBackPressure; }));
    recogniser.queueFrame(picture);
    ++frames;
  }
  EXPECT_EQ(frames, truth["frames"].get<std::uint32_t>());
  ASSERT_TRUE(waitUntil([&] { return recogniser.queueSize() == 0; }));
  recogniser.stop = true;
  recognition.join();

  // Every reading is in; the decode stage took every frame, so the queue
  // finishes the track on its first pass.
  std::thread queueThread(std::ref(queue));
  ASSERT_TRUE(rec.waitFor(1));
  queue.stop();
  queueThread.join();

  const auto groups = rec.groups();
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].size(), 1u);
  const auto& [track, speed] = groups[0][0];
  EXPECT_EQ(track.text(), vehicle["plate"].get<std::string>());
  EXPECT_EQ(track.direction(), vehicle["direction"].get<unsigned>());
  ASSERT_TRUE(static_cast<bool>(speed)) << speed;
  const double kmh = vehicle["kmh"].get<double>();
  EXPECT_NEAR(speed.speed, kmh, kmh * 0.03) << speed;
  std::cout << "[SPD] " << speed << std::endl;

  // Readings were published into the frame records and the frames marked.
  const unsigned firstTruth = vehicle["frames"][0]["frame"].get<unsigned>() + 1;
  auto first = cam.cambuf->frame(firstTruth);
  ASSERT_TRUE(first.valid());
  EXPECT_TRUE(first->hasFlags(FRAME_CNN));
  EXPECT_GE(first->resultCount(), 1u);
}

}  // namespace
}  // namespace kovira
