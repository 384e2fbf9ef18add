// H.264 cameras while the road runs: access units go through the frame sink
// as a receiver delivers them, the real decode stage (emulated hardware
// decoder) and recognition stage (stand-in recogniser) work on them, and the
// camera and frame pages, served on loopback, decode single frames on demand
// beside them.
#include "capture/cam.h"
#include "capture/camera_pages.h"
#include "capture/camstart.h"
#include "config/config.h"
#include "config/config_lock.h"
#include "core/log.h"
#include "evidence/imgframe.h"
#include "http/server.h"
#include "recognition/resqueue.h"
#include "recognition/track_pages.h"
#include "support/h264_units.h"
#include "support/road_stages.h"
#include "tests/codec/h264_fixture.h"
#include "tests/http/http_test_client.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Road = testsupport::RoadStages;

// The pages a browser or a tool reads about cameras and frames.
class Pages {
 public:
  Pages() {
    // The program's first log record comes from its main thread, which
    // creates the logger before any worker writes.
    log_info_format("pages on loopback");
    campages::subscribe(server_, imgframe);
    server_.subscribe("^/debug/frame.jpg$", frame::http_frame);
    server_.subscribe("^/debug/gen.json$", geninfo::http_information);
    server_.subscribe("^/measure/frame.jpg$", basic::http_mesure_frame);
    webtrack::subscribe(server_, resproc);
    EXPECT_TRUE(server_.start(0));
  }
  // From a loopback address of its own per client (the server limits
  // connections per address). H.264 frames wait for the one decoder of
  // their size, which many clients share: slow under the sanitizers.
  httptest::Reply get(const std::string& target, int client = 0) const {
    const std::string source = "127.0.1." + std::to_string(client + 1);
    const int fd = httptest::connectTo(server_.boundPort(), 0, source.c_str());
    if (fd < 0) return {};
    httptest::sendAll(fd, "GET " + target + " HTTP/1.1\r\nConnection: close\r\n\r\n");
    httptest::Reply reply = httptest::parseReply(httptest::readAll(fd, 120));
    ::close(fd);
    return reply;
  }

 private:
  HttpServer server_;
};

int status(const httptest::Reply& r) {
  return r.statusLine.size() >= 12 ? std::atoi(r.statusLine.c_str() + 9) : 0;
}

cv::Mat picture(const httptest::Reply& r) {
  if (r.body.empty()) return {};
  return cv::imdecode(std::vector<std::uint8_t>(r.body.begin(), r.body.end()), cv::IMREAD_UNCHANGED);
}

// An H.264 file cut into access units, and its reference pictures.
struct Recording {
  explicit Recording(const fs::path& file, bool decode = true) {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    units = testsupport::splitAccessUnits(bytes);
    if (!decode) return;
    reference = fixture::referenceDecode(bytes, true);
    EXPECT_EQ(reference.size(), units.size());
  }
  std::vector<std::uint8_t> bytes;
  std::vector<testsupport::AccessUnit> units;
  std::vector<fixture::Picture> reference;
};

void run(const std::string& command) {
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

// The one-vehicle scene as H.264 in test-out/NAME, its configuration read
// (a camera with a frame store and the zone the recogniser reads).
fs::path renderScene(const std::string& name) {
  const fs::path out = fs::path(KOVIRA_BINARY_DIR) / "test-out" / name;
  fs::remove_all(out);
  run(std::string(KOVIRA_BINARY_DIR) + "/bin/scenegen " + KOVIRA_SOURCE_DIR +
      "/tests/data/scenes/one-vehicle.json " + out.string() + " --h264 > /dev/null");
  EXPECT_TRUE(kovira::config().read((out / "kovira.json").string()));
  return out;
}

void addCamera(int id) {
  kovira::ConfigWriteLock lock;
  kovira::Camera& cam = kovira::addCamera(id, 64u << 20);
  cam.source = "rtsp";
  cam.enabled = 1;
}

// Delivers the recording's units to the camera, one each PACE; the frame
// numbers the store gave them, in stream order.
std::vector<unsigned> deliver(int camid, Recording& r, int width, int height,
                              std::chrono::milliseconds pace = 0ms) {
  for (const auto& u : r.units) {
    frames::catchrtsp(camid, u.key ? FRAME_I : FRAME_P, 1, width, height, 0, r.bytes.data() + u.offset, u.size);
    std::this_thread::sleep_for(pace);
  }
  std::vector<unsigned> numbers;
  for (auto it = kovira::camera(camid).cambuf->meta().oldest(); it.valid(); it.go_forward())
    numbers.push_back(it->position);
  return numbers;
}

cv::Mat referenceBgr(const fixture::Picture& p) {
  cv::Mat bgr;
  cv::cvtColor(cv::Mat(p.height, p.width, CV_8UC4, const_cast<std::uint8_t*>(p.bgra.data())), bgr,
               cv::COLOR_BGRA2BGR);
  return bgr;
}

std::string frameTarget(int camid, unsigned number) {
  return "/debug/cam" + std::to_string(camid) + "/frame" + std::to_string(number) + ".png";
}

TEST(H264Scene, TheTruthPlateIsReadAndTrackedThroughTheDecodeAndRecognitionStages) {
  const fs::path out = renderScene("h264-scene");
  std::ifstream truthFile(out / "truth.json");
  const nlohmann::json truth = nlohmann::json::parse(truthFile);
  const std::string plate = truth["vehicles"][0]["plate"];
  ASSERT_TRUE(kovira::hasCamera(1));
  Recording scene(out / "scene.h264", false);
  ASSERT_EQ(scene.units.size(), truth["frames"].get<std::size_t>());
  ASSERT_TRUE(scene.units.front().key);

  std::optional<Road> road(std::in_place);
  // At about four times the scene's pace, as a receiver would.
  deliver(1, scene, truth["width"].get<int>(), truth["height"].get<int>(), 10ms);
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
  for (auto it = kovira::camera(1).cambuf->meta().oldest(); it.valid(); it.go_forward())
    for (const CNN_RESULT& r : it->results())
      if (plate == r.text) ++readings;
  EXPECT_GE(readings, 5);
}

TEST(H264Pages, FramesArePicturesOfTheDecodedStreamAndGreyOnlyPagesDecline) {
  Recording scene(renderScene("h264-pages") / "scene.h264");
  ASSERT_FALSE(scene.reference.empty());
  const std::vector<fixture::Picture>& reference = scene.reference;
  const int width = reference[0].width, height = reference[0].height;

  Road road;
  Pages pages;
  const std::vector<unsigned> numbers = deliver(1, scene, width, height);
  ASSERT_EQ(numbers.size(), reference.size()) << "the store lost frames";

  // A key frame, a frame deep in a group and the newest but one.
  const std::size_t n = numbers.size();
  for (std::size_t i : {std::size_t{0}, n / 2 + 3, n - 2}) {
    testing::internal::CaptureStdout();
    const httptest::Reply r = pages.get(frameTarget(1, numbers[i]));
    std::istringstream printed(testing::internal::GetCapturedStdout());
    std::string traced, line;  // the stages may print lines of their own meanwhile
    while (std::getline(printed, line))
      if (line.starts_with("[DBG] decodedFrame()")) traced += line + "\n";
    ASSERT_EQ(status(r), 200) << "frame " << numbers[i];
    const cv::Mat shown = picture(r);
    ASSERT_EQ(shown.channels(), 3);
    ASSERT_EQ(shown.size(), cv::Size(width, height));
    EXPECT_GE(cv::PSNR(shown, referenceBgr(reference[i])), 40.0) << "frame " << i;
    const std::string want = "[DBG] decodedFrame()" + std::to_string(numbers[i]) + " " + std::to_string(numbers.back());
    EXPECT_EQ(traced, want + "\n" + want + "\n");
  }
  const httptest::Reply last = pages.get("/debug/cam1/frame-last.png");
  ASSERT_EQ(status(last), 200);
  EXPECT_GE(cv::PSNR(picture(last), referenceBgr(reference[n - 2])), 40.0);

  // Grey-only pages: a picture with the reason (headers of the newest
  // frame), and none for the measuring set-up.
  const httptest::Reply frame = pages.get("/debug/frame.jpg?camid=1");
  HttpResponse expected(-1);
  ASSERT_EQ(frame::http_dummy_frame(expected, "unsupported format, camera: 1"), 200);
  EXPECT_EQ(frame.body, expected.body.view());
  ASSERT_NE(frame.header("X-Num"), nullptr);
  EXPECT_EQ(*frame.header("X-Num"), std::to_string(numbers.back()));
  ASSERT_NE(frame.header("X-OriginalSize"), nullptr);
  EXPECT_EQ(*frame.header("X-OriginalSize"), std::to_string(width) + "x" + std::to_string(height));
  EXPECT_EQ(status(pages.get("/measure/frame.jpg")), 404);
}

TEST(H264Pages, AColourStreamKeepsItsColours) {
  const fs::path out = fs::path(KOVIRA_BINARY_DIR) / "test-out" / "h264-pages-colour";
  fs::remove_all(out);
  fs::create_directories(out);
  run("ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 30 -c:v libx264 -pix_fmt yuv420p "
      "-g 15 -bf 0 -f h264 -y " + (out / "colour.h264").string());
  Recording colour(out / "colour.h264");
  ASSERT_FALSE(colour.reference.empty());

  addCamera(2);
  Road road;
  Pages pages;
  const std::vector<unsigned> numbers =
      deliver(2, colour, colour.reference[0].width, colour.reference[0].height);
  ASSERT_EQ(numbers.size(), colour.reference.size());
  const std::size_t i = numbers.size() / 2;
  const httptest::Reply r = pages.get(frameTarget(2, numbers[i]));
  ASSERT_EQ(status(r), 200);
  const cv::Mat shown = picture(r);
  ASSERT_EQ(shown.type(), CV_8UC3);
  const cv::Mat want = referenceBgr(colour.reference[i]);
  // Where the stream is red, the page is red (not blue).
  int red = 0, kept = 0;
  for (int y = 0; y < want.rows; ++y)
    for (int x = 0; x < want.cols; ++x) {
      const cv::Vec3b w = want.at<cv::Vec3b>(y, x), s = shown.at<cv::Vec3b>(y, x);
      if (w[2] < 180 || w[1] > 80 || w[0] > 80) continue;
      ++red;
      kept += s[2] > s[0] + 100 && s[2] > s[1] + 100;
    }
  EXPECT_GT(red, 200);
  EXPECT_GE(kept, red * 95 / 100);
}

// Many clients read the frame pages while frames arrive and the stages
// run: every answer is well formed. Run under the sanitizers too.
TEST(H264Pages, FiftyClientsDuringTheRoadGetWellFormedAnswers) {
  constexpr int kClients = 50;
  const fixture::Stream stream = fixture::encode(640, 360, 150, 10);
  std::vector<std::uint8_t> bytes = stream.bytes;
  std::vector<std::uint8_t> grey(static_cast<std::size_t>(stream.width) * stream.height);
  addCamera(3);  // H.264
  addCamera(4);  // grey, frames of the same size
  Road road;
  Pages pages;

  std::atomic<bool> delivered{false};
  std::thread camera([&] {
    int k = 0;
    for (const fixture::AccessUnit& u : stream.units) {
      frames::catchrtsp(3, u.key ? FRAME_I : FRAME_P, 1, stream.width, stream.height, 0, bytes.data() + u.offset,
                        u.size);
      fixture::drawGrey(grey.data(), stream.width, stream.height, stream.width, k++);
      frames::catchrtsp(4, FRAME_GRAY8, 0, stream.width, stream.height, 0, grey.data(), grey.size());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    delivered = true;
  });
  // A few frames of each camera before the clients start; the oldest stay
  // in the stores.
  kovira::CamBuf& h264 = *kovira::camera(3).cambuf;
  kovira::CamBuf& gray = *kovira::camera(4).cambuf;
  for (int i = 0; i < 1000 && gray.meta().size() < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(gray.meta().size(), 3u);
  const std::string oldest = frameTarget(3, h264.meta().oldest()->position);
  const std::string oldestGrey = frameTarget(4, gray.meta().oldest()->position);

  // Each page with the statuses it may answer while frames arrive, and the
  // channels of its picture (0: not a picture). The frame endpoint's own
  // choice is the grey camera; the measuring page takes the last grey one.
  struct Page {
    std::string target;
    std::vector<int> statuses;
    int channels;
  };
  const std::vector<Page> kPages = {
      {"/debug/cam3/frame-last.png", {200}, 3}, {"/debug/frame.jpg?camid=3", {200}, 3},
      {"/debug/cam4/frame-last.png", {200}, 1}, {"/debug/frame.jpg", {200}, 1},
      {"/debug/frame.jpg?camid=4&chunk=320,180,100,100", {200}, 1},
      {"/measure/frame.jpg", {200}, 1},         {"/debug/cam3/", {200}, 0},
      {"/debug/cameras/", {200}, 0},            {"/debug/gen.json", {200}, 0},
      {"/debug/cam4/timeout.txt", {200}, 0},    {"/debug/tracks/", {200}, 0},
      {oldest, {200}, 3},                       {oldestGrey, {200}, 1},
  };
  std::atomic<int> wellFormed{0};
  std::vector<std::string> faults(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      for (std::size_t k = 0; k < kPages.size(); ++k) {
        const Page& page = kPages[(c + k) % kPages.size()];
        const httptest::Reply r = pages.get(page.target, c);
        const bool statusOk = std::count(page.statuses.begin(), page.statuses.end(), status(r)) > 0;
        const bool bodyOk = page.channels == 0 || picture(r).channels() == page.channels;
        if (r.complete && statusOk && bodyOk)
          ++wellFormed;
        else
          faults[c] += page.target + " -> " + r.statusLine + "\n";
      }
    });
  for (std::thread& t : clients) t.join();
  camera.join();
  EXPECT_TRUE(delivered);
  std::string all;
  for (const std::string& f : faults) all += f;
  EXPECT_EQ(wellFormed, kClients * static_cast<int>(kPages.size())) << all;
}

}  // namespace
