// The camera pages, the frame endpoint and the camera information, through
// the real route table and request parser (no socket).
#include "capture/cam.h"
#include "capture/camera_pages.h"
#include "capture/decode_state.h"
#include "config/config_lock.h"
#include "core/clock.h"
#include "http/server.h"
#include "support/page_call.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <string>
#include <vector>

namespace {

using testsupport::callPage;
using testsupport::PageReply;

kovira::Camera& addCamera(int id, std::uint64_t ring, const std::string& source, bool enabled) {
  kovira::ConfigWriteLock lock;
  kovira::Camera& cam = kovira::addCamera(id, ring);
  cam.source = source;
  cam.enabled = enabled ? 1 : 0;
  return cam;
}

cv::Mat gradient(int w, int h) {
  cv::Mat m(h, w, CV_8UC1);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) m.at<std::uint8_t>(y, x) = static_cast<std::uint8_t>((x / 3 + y / 2) % 256);
  return m;
}

kovira::FrameMetadata& addGrey(kovira::Camera& cam, const cv::Mat& picture, std::uint32_t sec = 1000) {
  auto& rec = cam.cambuf->addFrame(picture.cols, picture.rows, FRAME_GRAY8, 0, picture.data, picture.total());
  rec.sec = sec;
  return rec;
}

cv::Mat decoded(const PageReply& r) {
  return cv::imdecode(std::vector<std::uint8_t>(r.body.begin(), r.body.end()), cv::IMREAD_UNCHANGED);
}

TEST(CameraInformation, ListsEnabledCamerasAsPropertyTreeJson) {
  EXPECT_EQ(geninfo::informationJson(), "{\n}\n");
  addCamera(2, 0, "opencv", false);
  kovira::Camera& grey = addCamera(3, 64 * 1024, "opencv", true);
  addCamera(5, 0, "basler", true);
  EXPECT_EQ(geninfo::informationJson(),
                                            "{\n    \"cam3\": {\n        \"camid\": \"3\",\n"
                                            "        \"source\": \"opencv\",\n        \"cambufsize\": \"0\",\n"
                                            "        \"congestion\": \"0\"\n    },\n"
                                            "    \"cam5\": {\n        \"camid\": \"5\",\n"
                                            "        \"source\": \"basler\",\n        \"cambufsize\": \"0\",\n"
                                            "        \"congestion\": \"0\"\n    }\n}\n");
  const cv::Mat picture = gradient(64, 48);
  for (int i = 0; i < 3; ++i) addGrey(grey, picture);
  grey.cambuf->frame(1)->setFlags(FRAME_DEC);
  grey.cambuf->frame(2)->setFlags(FRAME_DEC);
  const std::string json = geninfo::informationJson();
  EXPECT_NE(json.find("        \"cambufsize\": \"3\",\n        \"congestion\": \"0.33333334\",\n"
                      "        \"width\": \"64\",\n        \"height\": \"48\"\n    },"),
            std::string::npos)
      << json;
}

class FramePages : public ::testing::Test {
 protected:
  void SetUp() override {
    server.subscribe("^/debug/frame.jpg$", frame::http_frame);
    campages::subscribe(server, [this](int, unsigned frame, cv::Mat& out) {
      asked.push_back(frame);
      out = gradient(32, 16);
      return imageWorks;
    });
  }
  PageReply get(const std::string& target) { return callPage(server, "GET", target); }

  HttpServer server;
  std::vector<unsigned> asked;
  bool imageWorks = true;
};

TEST_F(FramePages, FrameEndpointScalesCutsAndExplains) {
  kovira::Camera& h264 = addCamera(1, 1 << 20, "rtsp", true);
  const std::uint8_t fake[64] = {};
  h264.cambuf->addFrame(1280, 720, FRAME_I, 0, fake, sizeof fake);
  kovira::Camera& cam = addCamera(7, 8 << 20, "opencv", true);
  const cv::Mat picture = gradient(1280, 720);
  addGrey(cam, picture, 1234);

  const struct {
    const char* target;
    int status;
    int width, height;  // 0: no picture
  } cases[] = {
      {"/debug/frame.jpg", 200, 800, 450},
      {"/debug/frame.jpg?camid=7&lim=5000", 200, 800, 450},
      {"/debug/frame.jpg?camid=7&lim=-1", 200, 800, 450},
      {"/debug/frame.jpg?camid=7&lim=64", 200, 64, 36},
      {"/debug/frame.jpg?camid=7&chunk=1,2,3", 200, 800, 450},
      {"/debug/frame.jpg?camid=7&chunk=1270,,100,100", 200, 60, 50},
      {"/debug/frame.jpg?camid=1", 200, 600, 200},
      {"/debug/frame.jpg?camid=7&chunk=,,,", 500, 0, 0},
      {"/debug/frame.jpg?camid=7&chunk=2147483647,2147483647,2147483647,2147483647", 500, 0, 0},
      {"/debug/frame.jpg?camid=99999999999", 400, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const PageReply r = get(c.target);
    ASSERT_EQ(r.status, c.status);
    if (c.width == 0) continue;
    EXPECT_EQ(r.headers.at("Content-Type"), "image/jpeg");
    const cv::Mat jpeg = decoded(r);
    EXPECT_EQ(jpeg.cols, c.width);
    EXPECT_EQ(jpeg.rows, c.height);
  }

  const PageReply scaled = get("/debug/frame.jpg?camid=7");
  EXPECT_EQ(scaled.headers.at("X-Timestamp"), "1234");
  EXPECT_EQ(scaled.headers.at("X-Num"), "1");
  cv::Mat reference;
  cv::resize(picture, reference, cv::Size(800, 450), 0, 0, cv::INTER_CUBIC);
  EXPECT_GE(cv::PSNR(decoded(scaled), reference), 35.0);

  // An unknown camera: the reason in red.
  const PageReply unknown = get("/debug/frame.jpg?camid=99");
  EXPECT_EQ(unknown.headers.count("X-Num"), 0u);
  cv::Mat red;
  cv::inRange(decoded(unknown), cv::Scalar(0, 0, 180), cv::Scalar(80, 80, 255), red);
  EXPECT_GT(cv::countNonZero(red), 50);
}

TEST_F(FramePages, CameraRoutesRefuseIdsThatAreNoCamera) {
  kovira::Camera& cam = addCamera(4, 1 << 20, "opencv", true);
  addGrey(cam, gradient(32, 16));
  for (const char* target :
       {"/debug/cam5/", "/debug/cam4/frame0.png", "/debug/cam99999999999/timeout.txt",
        "/debug/cam9/frame-last.png"}) {
    EXPECT_EQ(get(target).status, 404) << target;
  }
  EXPECT_TRUE(asked.empty());
}

TEST_F(FramePages, CameraPageListsTheNewestRecordsWithTheirLabels) {
  kovira::Camera& cam = addCamera(6, 1 << 20, "opencv", true);
  {
    kovira::ConfigWriteLock lock;
    cam.url = "rtsp://x/<b>&";
  }
  const cv::Mat small = gradient(8, 4);
  for (int i = 0; i < 1000; ++i) addGrey(cam, small, 1000 + static_cast<std::uint32_t>(i / 25));
  kovira::FrameMetadata& newest = *cam.cambuf->meta().newest();
  newest.setFlags(FRAME_CNN | FRAME_DEC);
  newest.exposure = 0;
  CNN_RESULT reading{};
  std::memcpy(reading.text, "A1<2>BC77xxxxxxxxxxx", sizeof reading.text);  // no terminating zero
  newest.publishResults({reading});

  const PageReply page = get("/debug/cam6/");
  ASSERT_EQ(page.status, 200);
  std::size_t rows = 0;
  for (std::size_t at = page.body.find("<tr><td>"); at != std::string::npos; at = page.body.find("<tr><td>", at + 1))
    ++rows;
  EXPECT_EQ(rows, 401u);  // the header row and 400 records
  const std::size_t first = page.body.find("frame1000.png");
  EXPECT_LT(first, page.body.find("frame999.png"));
  EXPECT_EQ(page.body.find("frame600.png"), std::string::npos);
  EXPECT_NE(page.body.find("<td>-</td><td>1</td><td>CNN, DEC</td><td>A1&lt;2&gt;BC77xxxxxxxxxxx</td><tr>\n"),
            std::string::npos);
  EXPECT_NE(page.body.find("total: 1000, show first: 400\n"), std::string::npos);

  const PageReply list = get("/debug/cameras/");
  EXPECT_NE(list.body.find("url: rtsp://x/&lt;b&gt;&amp;</dd>"), std::string::npos) << list.body;
}

TEST_F(FramePages, FramePicturesAndSecondsSinceTheLastFrame) {
  kovira::Camera& cam = addCamera(8, 64 * 1024, "opencv", true);
  const cv::Mat picture = gradient(100, 40);  // 4000 bytes: seventeen fit the ring
  EXPECT_EQ(get("/debug/cam8/frame-last.png").status, 404);  // empty store
  const auto now = static_cast<std::uint32_t>(::now());
  for (int i = 0; i < 20; ++i) addGrey(cam, picture, now - 5);

  const PageReply last = get("/debug/cam8/frame-last.png");
  ASSERT_EQ(last.status, 200);
  EXPECT_EQ(last.headers.at("Content-Type"), "image/png");
  EXPECT_EQ(decoded(last).cols, 32);
  ASSERT_EQ(asked, std::vector<unsigned>{19});  // the second-newest

  EXPECT_EQ(get("/debug/cam8/frame2.png").body, "фрейм устарел");  // bytes overwritten
  EXPECT_EQ(get("/debug/cam8/frame500.png").status, 404);          // never stored: the error page
  imageWorks = false;
  EXPECT_EQ(get("/debug/cam8/frame15.png").status, 500);

  const std::string seconds = get("/debug/cam8/timeout.txt").body;
  EXPECT_TRUE(seconds == "5" || seconds == "6") << seconds;
  addGrey(cam, picture, now + 100);
  EXPECT_EQ(get("/debug/cam8/timeout.txt").body, "0");
}

TEST(MeasurePages, RememberThePlateAndScaleTheLastGreyCamera) {
  HttpServer server;
  server.subscribe("^/measure/frame.jpg$", basic::http_mesure_frame);
  server.subscribe("^/measure/pos$", basic::http_mesure_pos);
  server.subscribe("^/measure/put$", basic::http_mesure_put);
  server.subscribe("^/measure/$", basic::http_mesure_index);
  const auto get = [&](const std::string& target) { return callPage(server, "GET", target); };

  EXPECT_EQ(get("/measure/frame.jpg").status, 404);  // no camera
  kovira::Camera& h264 = addCamera(1, 1 << 20, "rtsp", true);
  const std::uint8_t fake[64] = {};
  h264.cambuf->addFrame(1920, 1080, FRAME_I, 0, fake, sizeof fake);
  EXPECT_EQ(get("/measure/frame.jpg").status, 404);  // only H.264
  addGrey(addCamera(2, 1 << 20, "opencv", true), gradient(640, 480));
  addGrey(addCamera(3, 8 << 20, "opencv", true), gradient(1920, 1080));
  const std::pair<const char*, int> widths[] = {{"", 800}, {"?lim=4096", 1920}, {"?lim=5000", 800},
                                                {"?lim=-1", 800}, {"?lim=0", 800},    {"?lim=1", 1}};
  for (const auto& [query, width] : widths) {
    const PageReply r = get(std::string("/measure/frame.jpg") + query);
    ASSERT_EQ(r.status, 200) << query;
    EXPECT_EQ(decoded(r).cols, width) << query;
  }

  // A long watched plate comes back whole, unescaped, and escaped for HTML and JSON.
  EXPECT_EQ(get("/measure/put").body, "OK: undef");
  const std::string plate = "А123ВС77<\\\">" + std::string(2000, 'x');
  EXPECT_EQ(get("/measure/put?q=%D0%90123%D0%92%D0%A177%3C%5C%22%3E" + std::string(2000, 'x')).body, "OK: " + plate);
  EXPECT_NE(get("/measure/").body.find("<hr>\nтекущее значение номера: А123ВС77&lt;\\&quot;&gt;xxx"),
            std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(get("/measure/pos").body).at("palte"), plate);
}

// What the camera page says about decoding: the long-group reason while it
// holds, and the seconds without a picture from 10 on, counted from the
// oldest stored frame until a first picture was given.
TEST(DecodeStateLines, SayWhyAndHowLongNothingDecoded) {
  const std::string reason = "decode: " + kovira::longGroupText(200) + "\n";
  const struct {
    const char* name;
    bool longGroups;
    std::int64_t lastPicture;
    bool hasFrames;
    std::int64_t oldest;
    std::string want;
  } cases[] = {
      {"all well", false, 995, true, 900, ""},
      {"9 s since the last picture", false, 991, true, 900, ""},
      {"10 s since the last picture", false, 990, true, 900, "decode: nothing decoded for 10 s\n"},
      {"no picture yet, frames for 5 s", false, 0, true, 995, ""},
      {"no picture yet, frames for 30 s", false, 0, true, 970, "decode: nothing decoded for 30 s\n"},
      {"long groups", true, 0, true, 999, reason},
      {"long groups, nothing for 12 s", true, 988, true, 900, reason + "decode: nothing decoded for 12 s\n"},
      {"no frames stored", true, 0, false, 0, ""},
  };
  for (const auto& c : cases) {
    kovira::DecodeState state;
    state.longGroups = c.longGroups;
    state.lastPictureSec = c.lastPicture;
    EXPECT_EQ(kovira::decodeStateLines(state, 200, c.hasFrames, c.oldest, 1000), c.want) << c.name;
  }
}

}  // namespace
