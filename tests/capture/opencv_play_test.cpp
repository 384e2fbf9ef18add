// File playback with OpenCV: pace, grey frames, replay after the end of the
// file, a file that cannot be opened, the thread's name.
#include "capture/opencv_play.h"
#include "core/clock.h"
#include "tests/capture/start_fixture.h"
#include "tests/support/wait.h"

#include <pthread.h>

#include <chrono>
#include <future>
#include <thread>

namespace kovira {
namespace {

using testing::CameraStartTest;
using Clock = std::chrono::steady_clock;

// Capture time of a record in milliseconds.
double msOf(const SmartBufferIterator& rec) { return rec->sec.load() * 1000.0 + rec->usec.load() / 1000.0; }

// Waits until the camera holds `frames` records (a playback thread fills it).
bool waitForFrames(const Camera& cam, std::uint64_t frames) {
  return testsupport::waitUntil([&] { return cam.cambuf->meta().size() >= frames; }, std::chrono::seconds(30));
}

TEST(PlaybackPace, FramePeriodFollowsTheCameraFrameRate) {
  for (const auto& [fps, ms] : std::vector<std::pair<unsigned, unsigned>>{{25, 40}, {0, 40}, {10, 100}, {3, 333}})
    EXPECT_EQ(camreadcv::framePeriodMs(fps), ms) << fps;
}

TEST(PlaybackThreadName, SevenCharactersOfTheLastPathElement) {
  EXPECT_EQ(camreadcv::playbackThreadName("/data/video/road-camera.mp4"), "opencv: road-ca");
  EXPECT_EQ(camreadcv::playbackThreadName("abcdefghijk"), "opencv: abcdefg");
  EXPECT_EQ(camreadcv::playbackThreadName("rtsp://h/a.mp4"), "opencv: a.mp4");
  EXPECT_EQ(camreadcv::playbackThreadName("dir/"), "opencv: ");
}

// Colour pictures are stored as their grey level: pure blue in BGR weighs
// 0.114, grey level 29 (within a few levels after the codec).
TEST_F(CameraStartTest, OnePlayStoresGreyFramesAtTheConfiguredPace) {
  const std::string video = makeVideo("blue.avi", 6, "0x0000FF");
  Camera& cam = testing::configuredCamera(3, {{"source", "opencv"}, {"url", video}, {"fps", 10}, {"enabled", 1}});
  unsigned sec = 0;
  unsigned usec = 0;
  high_clock(sec, usec);
  const double started = sec * 1000.0 + usec / 1000.0;

  ::testing::internal::CaptureStdout();
  const auto t0 = Clock::now();
  EXPECT_EQ(camreadcv::opencv_play_once(3), 6);
  // Each of the six reads takes at least its period; a loaded machine only
  // makes it longer (the upper bound is generous).
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(600));
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(10 * 600));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[OPENCV] Cannot read the frame from video file\n");

  ASSERT_EQ(cam.cambuf->meta().size(), 6u);
  double previous = started;
  for (std::uint32_t i = 1; i <= 6; ++i) {
    auto rec = cam.find(i);
    ASSERT_TRUE(rec.valid());
    EXPECT_EQ(std::make_tuple(rec->type, rec->ts, rec->width.load(), rec->height.load()),
              std::make_tuple(FRAME_GRAY8, 0u, 64, 48));
    const FrameBytes b = rec->liveBytes();
    ASSERT_EQ(b.size, 64u * 48u);
    EXPECT_NEAR(b.data[0], 29, 6);
    EXPECT_NEAR(b.data[64 * 24 + 32], 29, 6);
    // The first frame is stamped when read, the others one period apart,
    // however late a loaded machine delivers them.
    const double at = msOf(rec);
    if (i == 1)
      EXPECT_GE(at, previous - 1.0);
    else
      EXPECT_NEAR(at - previous, 100.0, 0.01) << "frame " << i;
    previous = at;
  }
}

TEST_F(CameraStartTest, FileIsPlayedAgainThreeSecondsAfterItsEnd) {
  const std::string video = makeVideo("short.avi", 3);
  Camera& cam = testing::configuredCamera(3, {{"source", "opencv"}, {"url", video}, {"fps", 25}, {"enabled", 1}});
  ::testing::internal::CaptureStdout();
  std::thread player(camreadcv::opencv_play_file, 3);
  const bool replayed = waitForFrames(cam, 4);
  working = 0;
  player.join();
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(replayed);
  EXPECT_EQ(out.find("[OPENCV] Cannot read the frame from video file\n"), 0u) << out;
  const double pause = msOf(cam.find(4)) - msOf(cam.find(3));
  EXPECT_GE(pause, 3000.0);
  EXPECT_LT(pause, 20000.0);  // generous for a loaded machine
}

TEST_F(CameraStartTest, FileThatCannotBeOpenedEndsItsThreadWithTheErrorLine) {
  const std::string missing = (dir / "missing.mp4").string();
  testing::configuredCamera(3, {{"source", "opencv"}, {"url", missing}, {"enabled", 1}});
  ::testing::internal::CaptureStderr();
  std::promise<std::string> name;
  std::thread player([&name] {
    camreadcv::opencv_play_file(3);  // returns: nothing to play again
    char buf[16] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    name.set_value(buf);
  });
  auto named = name.get_future();
  ASSERT_EQ(named.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  player.join();
  EXPECT_EQ(named.get(), "opencv: missing");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[OPENCV] Error when reading: " + missing + "\n");
  EXPECT_EQ(camreadcv::opencv_play_once(3), -1);
}

TEST_F(CameraStartTest, StartUpPlaysEveryEnabledOpencvCameraUntilTheUnitStops) {
  const std::string video = makeVideo("road.avi", 50);
  Camera& on = testing::configuredCamera(3, {{"source", "opencv"}, {"url", video}, {"fps", 25}, {"enabled", 1}});
  Camera& off = testing::configuredCamera(4, {{"source", "opencv"}, {"url", video}, {"enabled", 0}});
  Camera& other = testing::configuredCamera(5, {{"source", "file"}, {"url", video}, {"enabled", 1}});
  camreadcv::opencv_read_init();
  EXPECT_TRUE(waitForFrames(on, 3));
  working = 0;
  camreadcv::stopPlayback();
  EXPECT_TRUE(off.empty());
  EXPECT_TRUE(other.empty());
  const auto held = on.cambuf->meta().size();
  EXPECT_LT(held, 50u);  // stopped within a frame period, not at the end of the file
}

}  // namespace
}  // namespace kovira
