// A reload that changes an "opencv" camera's URL while its playback starts
// over: the playback reads the camera under the configuration lock (this
// test also runs under ThreadSanitizer) and plays the new file.
#include "capture/opencv_play.h"
#include "config/config.h"
#include "tests/capture/start_fixture.h"

#include <atomic>
#include <fstream>
#include <thread>

namespace kovira {
namespace {

using testing::CameraStartTest;

std::string cameraFile(const std::string& url) {
  return R"([{"type": "camera", "camid": 3, "bufsize": 1, "source": "opencv", "fps": 200, "enabled": 1, "url": ")" +
         url + "\"}]";
}

TEST_F(CameraStartTest, ReloadChangingTheUrlWhilePlaybackStartsOverIsSeenByTheNextPlay) {
  const std::string light = makeVideo("light.avi", 2, "0xC0C0C0");
  const std::string dark = makeVideo("dark.avi", 2, "0x202020");
  const std::string path = (dir / "kovira.json").string();
  std::ofstream(path) << cameraFile(light);
  GlobalConfig cfg(IdentityPaths{"/nonexistent/kovira.conf", "/nonexistent/skygateway.conf"});
  ASSERT_TRUE(cfg.read(path));

  // The playback starts over and over (as after every end of file) while
  // the main thread reloads the file with the other URL each time.
  std::atomic<bool> sawDark{false};
  std::atomic<int> plays{0};
  ::testing::internal::CaptureStdout();
  std::thread player([&] {
    for (int i = 0; i < 400 && !sawDark; ++i) {
      camreadcv::opencv_play_once(3);
      ++plays;
      auto newest = camera(3).cambuf->meta().newest();
      if (newest.valid() && newest->liveBytes().size > 0 && newest->liveBytes().data[0] < 0x60) sawDark = true;
    }
  });
  for (int reloads = 0; !sawDark && plays < 400; ++reloads) {
    std::ofstream(path) << cameraFile(reloads % 2 == 0 ? dark : light);
    ASSERT_TRUE(cfg.read(path));
  }
  player.join();
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(sawDark) << plays << " plays";
}

}  // namespace
}  // namespace kovira
