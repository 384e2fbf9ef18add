// Network and file cameras end to end in the receiver: GStreamer's RTSP
// server (tests/fixtures/rtsp_server.py) without authentication, with Basic
// and with Digest, and the playback of MP4 and MKV files. Frames must reach
// the subscribed callback decodable: JPEG pictures that OpenCV reads,
// H.264 key frames in Annex-B with a parameter set giving the size.
#include "http/server.h"
#include "rtsp/assembly.h"
#include "rtsp/network_receiver.h"
#include "rtsp/rtsp_pages.h"
#include "rtsp/rtsp_session.h"
#include "tests/capture/start_fixture.h"
#include "tests/evidence/shell_helpers.h"
#include "tests/support/page_call.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <algorithm>

namespace {

using kovira::testing::configuredCamera;
using testsupport::ChildProcess;

struct Seen {
  std::mutex mutex;
  std::condition_variable grew;
  unsigned decodable = 0;  // guarded by mutex
  unsigned frames = 0;     // guarded by mutex
  unsigned width = 0;      // guarded by mutex
  std::vector<unsigned> stamps;  // guarded by mutex
};
Seen seen;

void countFrame(int /*camid*/, FrameType type, int /*chroma*/, int width, int /*height*/, unsigned ts,
                unsigned char* data, unsigned long size) {
  bool good = false;
  unsigned w = 0;
  if (type == FRAME_MJPEG) {
    const cv::Mat picture = cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8U, data), cv::IMREAD_GRAYSCALE);
    good = !picture.empty();
    w = static_cast<unsigned>(picture.cols);
  } else if (type == FRAME_I) {
    unsigned h = 0, chroma = 0;
    good = size > 4 && data[0] == 0 && data[1] == 0 &&
           FindSpsPictureSize(std::span<const std::uint8_t>(data, size), w, h, chroma) &&
           static_cast<int>(w) == width;
  }
  std::lock_guard lock(seen.mutex);
  ++seen.frames;
  seen.stamps.push_back(ts);
  if (good) {
    ++seen.decodable;
    seen.width = w;
  }
  seen.grew.notify_all();
}

class LiveTest : public kovira::testing::CameraStartTest {
 protected:
  void SetUp() override {
    CameraStartTest::SetUp();
    forget();
  }
  static void forget() {
    std::lock_guard lock(seen.mutex);
    seen.decodable = seen.frames = seen.width = 0;
    seen.stamps.clear();
  }
  void TearDown() override {
    rtsp::shutdownReceiver();
    server.reset();
    CameraStartTest::TearDown();
  }
  std::string video(const std::string& name) {
    const std::string path = (dir / name).string();
    const auto made = evtest::run("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 6 "
                                  "-c:v libx264 -g 25 -pix_fmt yuv420p -y " + path);
    EXPECT_EQ(made.status, 0) << made.output;
    return path;
  }
  RtspNetworkReceiver& receiver(int camid, const std::string& source, const std::string& url) {
    configuredCamera(camid, {{"source", source}, {"url", url}, {"enabled", 1}});
    rtsp::replaceReceiverFactory({});
    auto* r = dynamic_cast<RtspNetworkReceiver*>(&getrtsp());
    EXPECT_NE(r, nullptr);
    r->AddSession(camid);
    r->SimpleSubscribe(countFrame);
    return *r;
  }
  // Serves with extra arguments; the camera URL.
  std::string serve(std::vector<std::string> extra, const std::string& credentials = "") {
    std::vector<std::string> argv{"/usr/bin/python3", std::string(KOVIRA_SOURCE_DIR) + "/tests/fixtures/rtsp_server.py"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server = std::make_unique<ChildProcess>(argv);
    EXPECT_TRUE(server->waitForOutput("ready ", std::chrono::seconds(30))) << server->err();
    const std::string out = server->out();
    const std::string port = out.substr(out.find("ready ") + 6, out.find('\n') - out.find("ready ") - 6);
    return "rtsp://" + credentials + "127.0.0.1:" + port + "/test";
  }
  bool decodable(unsigned count) {
    std::unique_lock lock(seen.mutex);
    return seen.grew.wait_for(lock, std::chrono::seconds(40), [&] { return seen.decodable >= count; });
  }
  std::unique_ptr<ChildProcess> server;
};

struct ServerCase {
  const char* name;
  std::vector<std::string> args;  // "{mp4}" stands for a made video
  std::string credentials;
  unsigned width;
};

class LiveServerTest : public LiveTest, public ::testing::WithParamInterface<int> {};

TEST_P(LiveServerTest, FramesArriveDecodable) {
  const ServerCase cases[] = {
      {"jpeg, no authentication", {}, "", 320},
      {"h264, Basic", {"--file", "{mp4}", "--basic", "admin:admin"}, "admin:admin@", 320},
      {"h264, Digest", {"--file", "{mp4}", "--digest", "admin:secret_1"}, "admin:secret_1@", 320},
  };
  const ServerCase& c = cases[GetParam()];
  std::vector<std::string> args = c.args;
  for (auto& a : args)
    if (a == "{mp4}") a = video("scene.mp4");
  const std::string url = serve(args, c.credentials);
  RtspNetworkReceiver& r = receiver(1, "rtsp", url);
  EXPECT_TRUE(r.Connect(1, url)) << c.name;
  ASSERT_TRUE(decodable(3)) << c.name << ": " << seen.frames << " frames\n" << RtspSession::CommunicationLogOf(1);
  {
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.width, c.width) << c.name;
  }
  HttpServer pages;
  rtsp_pages::subscribe(pages);
  const std::string buffers = testsupport::callPage(pages, "GET", "/debug/rtsp/buffer/").body;
  EXPECT_NE(buffers.find("Total buffers: 1<br>"), std::string::npos) << buffers;
  EXPECT_NE(buffers.find("camid: 1, frames count: "), std::string::npos) << buffers;
  EXPECT_NE(buffers.find(", url: " + url + ", mem: "), std::string::npos) << buffers;
}

INSTANTIATE_TEST_SUITE_P(Servers, LiveServerTest, ::testing::Range(0, 3));

TEST_F(LiveTest, FileCamerasPlayMp4AndMkvAsAnnexB) {
  int camid = 2;
  for (const std::string name : {"a.mp4", "b.mkv"}) {
    forget();
    const std::string path = video(name);
    RtspNetworkReceiver& r = receiver(camid, "file", path);
    EXPECT_TRUE(r.PlayFile(camid, path, 25));
    ASSERT_TRUE(decodable(2)) << name << ": " << seen.frames << " frames";
    EXPECT_TRUE(r.StopFile(camid));
    rtsp::shutdownReceiver();
    ++camid;
  }
}

// x264's default B-frames: packets come in decoding order, and each frame is
// stamped with its picture's time, so the stamps follow the packets'
// presentation times (speeds are measured between these stamps).
TEST_F(LiveTest, FileFramesAreStampedWithTheTimesOfTheirPictures) {
  const std::string path = video("stamps.mp4");
  const auto probed = evtest::run("ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 " + path);
  ASSERT_EQ(probed.status, 0) << probed.output;
  std::vector<long> pts;
  std::istringstream lines(probed.output);
  for (std::string line; std::getline(lines, line) && pts.size() < 40;) pts.push_back(std::stol(line));
  ASSERT_EQ(pts.size(), 40u);
  ASSERT_FALSE(std::is_sorted(pts.begin(), pts.end()));  // B-frames are there
  RtspNetworkReceiver& r = receiver(4, "file", path);
  EXPECT_TRUE(r.PlayFile(4, path, 25));
  std::vector<unsigned> stamps;
  {
    std::unique_lock lock(seen.mutex);
    seen.grew.wait_for(lock, std::chrono::seconds(30), [] { return seen.stamps.size() >= 40; });
    const std::size_t n = std::min<std::size_t>(40, seen.stamps.size());
    stamps.assign(seen.stamps.begin(), seen.stamps.begin() + static_cast<std::ptrdiff_t>(n));
  }
  EXPECT_TRUE(r.StopFile(4));
  ASSERT_EQ(stamps.size(), 40u);
  for (std::size_t i = 1; i < stamps.size(); ++i)
    EXPECT_EQ(static_cast<std::int32_t>(stamps[i] - stamps[i - 1]) > 0, pts[i] > pts[i - 1]) << "frame " << i;
}

}  // namespace
