// Frame pictures of a long-running camera through the real server and curl:
// a frame the ring no longer holds, or never held, is answered with the
// error page (404), never with the picture of whatever frame is there now.
#include "capture/cam.h"
#include "capture/camera_pages.h"
#include "config/config_lock.h"
#include "evidence/imgframe.h"
#include "http/server.h"
#include "tests/http/http_test_client.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The grey level frame n is filled with.
std::uint8_t levelOf(std::uint32_t n) { return static_cast<std::uint8_t>(n * 37 % 251); }

struct Answer {
  int status = 0;
  std::string body;
  cv::Mat picture;  // empty unless a picture came
};

class FramePagesOverHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    campages::subscribe(server_, imgframe);
    ASSERT_TRUE(server_.start(0));
    kovira::ConfigWriteLock lock;
    kovira::Camera& cam = kovira::addCamera(21, 1 << 20);
    cam.source = "opencv";
    cam.enabled = 1;
    // 128-byte frames: the ring holds the bytes of some thousands, the
    // store the records of 20000; the first records are gone.
    std::vector<std::uint8_t> bytes(16 * 8);
    for (std::uint32_t n = 1; n <= kFrames; ++n) {
      std::fill(bytes.begin(), bytes.end(), levelOf(n));
      cam.cambuf->addFrame(16, 8, FRAME_GRAY8, 0, bytes.data(), bytes.size());
    }
  }

  Answer get(const std::string& path) const {
    const std::string file = ::testing::TempDir() + "frame-page-answer";
    std::remove(file.c_str());
    const std::string code = httptest::run("curl -s -m 20 -o " + file + " -w '%{http_code}' http://127.0.0.1:" +
                                           std::to_string(server_.boundPort()) + path);
    Answer a;
    a.status = std::atoi(code.c_str());
    std::ifstream in(file, std::ios::binary);
    a.body.assign(std::istreambuf_iterator<char>(in), {});
    if (a.status == 200) a.picture = cv::imread(file, cv::IMREAD_GRAYSCALE);
    return a;
  }

  static constexpr std::uint32_t kFrames = 25000;
  HttpServer server_;
};

TEST_F(FramePagesOverHttp, AFrameIsShownOnlyWhileItsRecordIsHeld) {
  const kovira::CamBuf& store = *kovira::camera(21).cambuf;
  const std::uint32_t oldest = store.meta().oldest()->position;
  ASSERT_GT(oldest, 1u);
  ASSERT_EQ(store.meta().newest()->position, kFrames);
  struct Case {
    std::string path;
    int status;
    std::uint32_t shows;  // the frame whose picture comes (0: a text)
  };
  const Case cases[] = {
      {"/debug/cam21/frame1.png", 404, 0},                       // evicted long ago
      {"/debug/cam21/frame" + std::to_string(oldest - 1) + ".png", 404, 0},
      {"/debug/cam21/frame" + std::to_string(oldest) + ".png", 200, 0},  // record held, bytes gone
      {"/debug/cam21/frame" + std::to_string(kFrames - 1) + ".png", 200, kFrames - 1},
      {"/debug/cam21/frame" + std::to_string(kFrames) + ".png", 200, kFrames},
      {"/debug/cam21/frame" + std::to_string(kFrames + 1) + ".png", 404, 0},  // not yet stored
      {"/debug/cam21/frame4294967295.png", 404, 0},
      {"/debug/cam21/frame4294967296.png", 404, 0},             // beyond 32 bits
      {"/debug/cam21/frame99999999999999999999.png", 404, 0},
      {"/debug/cam21/frame0.png", 200, kFrames - 1},             // the second-newest
      {"/debug/cam21/frame00.png", 200, kFrames - 1},
      {"/debug/cam21/frame-last.png", 200, kFrames - 1},
      {"/debug/cam22/frame0.png", 404, 0},                       // no such camera
  };
  for (const Case& c : cases) {
    const Answer a = get(c.path);
    EXPECT_EQ(a.status, c.status) << c.path;
    if (c.status != 200 || a.status != 200) continue;
    if (c.shows == 0) {
      EXPECT_EQ(a.body, "фрейм устарел") << c.path;
      continue;
    }
    ASSERT_FALSE(a.picture.empty()) << c.path;
    EXPECT_EQ(a.picture.at<std::uint8_t>(4, 8), levelOf(c.shows)) << c.path;
  }
}

}  // namespace
