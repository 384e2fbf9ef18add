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

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

namespace {

using kovira::testing::configuredCamera;
using testsupport::ChildProcess;

struct Arrived {
  FrameType type;
  unsigned timestamp;
  unsigned long size;
  bool good;
};

struct Seen {
  std::mutex mutex;
  std::condition_variable grew;
  unsigned decodable = 0;  // guarded by mutex
  unsigned frames = 0;     // guarded by mutex
  unsigned width = 0;      // guarded by mutex
  std::vector<Arrived> log;  // guarded by mutex
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
  seen.log.push_back({type, ts, size, good});
  if (good) {
    ++seen.decodable;
    seen.width = w;
  }
  seen.grew.notify_all();
}

class rtsp_live : public kovira::testing::CameraStartTest {
 protected:
  void SetUp() override {
    CameraStartTest::SetUp();
    forget();
  }
  static void forget() {
    std::lock_guard lock(seen.mutex);
    seen.decodable = seen.frames = seen.width = 0;
    seen.log.clear();
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
  bool arrived(unsigned count, std::chrono::seconds limit) {
    std::unique_lock lock(seen.mutex);
    return seen.grew.wait_for(lock, limit, [&] { return seen.frames >= count; });
  }
  std::unique_ptr<ChildProcess> server;
};

struct ServerCase {
  const char* name;
  std::vector<std::string> args;  // "{mp4}" stands for a made video
  std::string credentials;
  unsigned width;
};

class rtsp_live_server : public rtsp_live, public ::testing::WithParamInterface<int> {};

TEST_P(rtsp_live_server, FramesArriveDecodable) {
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

INSTANTIATE_TEST_SUITE_P(Servers, rtsp_live_server, ::testing::Range(0, 3));

// Frames of thousands of packets: a 5-megapixel JPEG stream of noise at
// quality 95 (about 5 MB a picture; a side over 2040 pixels comes from the
// description, the RTP/JPEG header cannot say it) and an H.264 stream whose
// key frames are 2.6 MB. Every frame sent arrives whole: consecutive RTP
// times, nothing dropped.
struct LargeCase {
  const char* name;
  bool jpeg;
  unsigned frames;  // to wait for
  unsigned step;    // RTP time between frames
};

class rtsp_live_large_frame : public rtsp_live, public ::testing::WithParamInterface<int> {};

TEST_P(rtsp_live_large_frame, EveryFrameArrives) {
  const LargeCase cases[] = {{"jpeg 2592x2048 q95", true, 8, 45000}, {"h264 2.6 MB key frames", false, 30, 9000}};
  const LargeCase& c = cases[GetParam()];
  std::vector<std::string> args;
  if (c.jpeg) {
    args = {"--size", "2592x2048", "--quality", "95", "--pattern", "snow", "--fps", "2"};
  } else {
    // A still picture of noise, lossless: every key frame is the whole
    // picture's 1.9 MB of luma and more; the P frames are tiny.
    std::mt19937 random(7);
    std::string pgm = "P5 1600 1200 255\n";
    for (int i = 0; i < 1600 * 1200; ++i) pgm.push_back(static_cast<char>(random()));
    std::ofstream((dir / "noise.pgm").string(), std::ios::binary) << pgm;
    const auto made = evtest::run("ffmpeg -nostdin -v error -loop 1 -i " + (dir / "noise.pgm").string() +
                                  " -t 3 -r 10 -vf format=yuv420p -c:v libx264 -qp 0 -g 5 -bf 0 -y " +
                                  (dir / "big.mp4").string());
    ASSERT_EQ(made.status, 0) << made.output;
    args = {"--file", (dir / "big.mp4").string()};
  }
  const std::string url = serve(args);
  RtspNetworkReceiver& r = receiver(1, "rtsp", url);
  EXPECT_TRUE(r.Connect(1, url)) << c.name;
  ASSERT_TRUE(arrived(c.frames, std::chrono::seconds(90))) << c.name << ": " << seen.frames << " frames, "
                                                           << kovira::camera(1).dropframes << " dropped";
  std::lock_guard lock(seen.mutex);
  EXPECT_EQ(kovira::camera(1).dropframes, 0u) << c.name;
  unsigned large = 0;
  for (std::size_t i = 0; i < seen.log.size(); ++i) {
    const Arrived& a = seen.log[i];
    if (i > 0) {
      EXPECT_EQ(a.timestamp - seen.log[i - 1].timestamp, c.step) << c.name << ": frame " << i;
    }
    if (a.size > 2000000) {
      ++large;
      // Key frames without a parameter set (the server repeats them once a
      // second) cannot be judged alone.
      EXPECT_TRUE(c.jpeg ? a.good : a.type == FRAME_I) << c.name << ": frame " << i;
    }
  }
  if (c.jpeg) {
    EXPECT_EQ(large, seen.log.size()) << c.name;
    EXPECT_EQ(seen.width, 2592u);
  } else {
    EXPECT_EQ(seen.log.size(), 30u);  // the whole file
    EXPECT_EQ(large, 6u);
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, rtsp_live_large_frame, ::testing::Range(0, 2));

TEST_F(rtsp_live, FileCamerasPlayMp4AndMkvAsAnnexB) {
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

// File playback paces frames on its own schedule and stamps each with its
// due time (90 kHz): at a configured rate every step is that rate's, at
// rate 0 the file's own times. A late wake-up may restart the schedule
// later, never earlier, so steps are at least the expected one and most are
// exactly it.
TEST_F(rtsp_live, FilePlaybackPacesByTheRateOrTheFilesTimes) {
  const std::string path = (dir / "ten.mp4").string();
  const auto made = evtest::run("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=10 -t 2 "
                                "-c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p -y " + path);
  ASSERT_EQ(made.status, 0) << made.output;
  struct Case {
    unsigned fps;
    unsigned step;
  } cases[] = {{25, 3600}, {0, 9000}};
  int camid = 5;
  for (const Case& c : cases) {
    forget();
    RtspNetworkReceiver& r = receiver(camid, "file", path);
    ASSERT_TRUE(r.PlayFile(camid, path, c.fps));
    ASSERT_TRUE(arrived(20, std::chrono::seconds(40))) << c.fps;
    EXPECT_TRUE(r.StopFile(camid));
    std::vector<unsigned> steps;
    {
      std::lock_guard lock(seen.mutex);
      ASSERT_GE(seen.log.size(), 20u);
      // The first frame is stamped 1 (0 means no stamp).
      for (std::size_t i = 2; i < 20; ++i) steps.push_back(seen.log[i].timestamp - seen.log[i - 1].timestamp);
    }
    for (unsigned step : steps) EXPECT_GE(step, c.step) << c.fps;
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    EXPECT_EQ(steps[steps.size() / 2], c.step) << c.fps;
    rtsp::shutdownReceiver();
    ++camid;
  }
}

// x264's default B-frames (three, a B pyramid): packets come in decoding
// order, and each frame is stamped with its picture's time, so the stamps
// follow the pictures' presentation times (speeds are measured between these
// stamps): the MP4's own times, or for the same stream as a raw file (no
// times) its pictures' order counts.
TEST_F(rtsp_live, FileFramesAreStampedWithTheTimesOfTheirPictures) {
  struct Case {
    const char* name;
    const char* x264;  // -x264-params of the encode
    bool raw;          // played from the raw Annex-B copy of the MP4
  };
  const Case cases[] = {
      {"MP4", "scenecut=0", false},
      {"raw, closed GOP", "scenecut=0", true},
      {"raw, open GOP", "scenecut=0:open-gop=1", true},
  };
  int camid = 4;
  for (const Case& c : cases) {
    forget();
    const std::string mp4 = (dir / (std::to_string(camid) + ".mp4")).string();
    const std::string raw = (dir / (std::to_string(camid) + ".h264")).string();
    const auto made = evtest::run("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 6 -c:v libx264 "
                                  "-g 25 -bf 3 -x264-params " + std::string(c.x264) + " -pix_fmt yuv420p -y " + mp4 +
                                  " && ffmpeg -nostdin -v error -i " + mp4 +
                                  " -c copy -bsf:v h264_mp4toannexb -f h264 -y " + raw);
    ASSERT_EQ(made.status, 0) << made.output;
    const auto probed = evtest::run("ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 " + mp4);
    ASSERT_EQ(probed.status, 0) << probed.output;
    std::vector<long> pts;
    std::istringstream lines(probed.output);
    for (std::string line; std::getline(lines, line) && pts.size() < 40;) pts.push_back(std::stol(line));
    ASSERT_EQ(pts.size(), 40u) << c.name;
    ASSERT_FALSE(std::is_sorted(pts.begin(), pts.end())) << c.name;  // B-frames are there
    const std::string path = c.raw ? raw : mp4;
    RtspNetworkReceiver& r = receiver(camid, "file", path);
    EXPECT_TRUE(r.PlayFile(camid, path, 25));
    ASSERT_TRUE(arrived(40, std::chrono::seconds(30))) << c.name;
    EXPECT_TRUE(r.StopFile(camid));
    {
      std::lock_guard lock(seen.mutex);
      ASSERT_GE(seen.log.size(), 40u);
      for (std::size_t i = 1; i < 40; ++i) {
        const auto step = static_cast<std::int32_t>(seen.log[i].timestamp - seen.log[i - 1].timestamp);
        EXPECT_EQ(step > 0, pts[i] > pts[i - 1]) << c.name << ", frame " << i;
      }
    }
    rtsp::shutdownReceiver();
    ++camid;
  }
}

}  // namespace
