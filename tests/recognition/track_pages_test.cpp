// The recognition status page's form and the track pages' lists and ids.
#include "http/server.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/scene_access.h"
#include "recognition/track.h"
#include "recognition/track_pages.h"
#include "support/page_call.h"
#include "support/text.h"
#include "tests/recognition/scene_fixture.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using testsupport::callPage;

struct Stage {
  kovira::SceneAccess scene;
  kovira::ResQueue queue{scene, [] { return 1000u; }};
  kovira::CnnProc proc{queue, kovira::CnnLibrary{}};
  HttpServer server;
  Stage() {
    cnnweb::subscribe(server, proc);
    webtrack::subscribe(server, queue);
  }
};

TEST(CnnprocPage, FormSetsTheStageAndARefusedFormChangesNothing) {
  Stage s;
  s.proc.classifier = 1;
  const struct {
    const char* form;
    int status;
    int classifier, maxproc;
    unsigned chunktime;
    int initforce;
  } cases[] = {
      {"maxproc=8&chunktime=600", 302, 0, 8, 600, 0},  // no "classifier": switched off
      {"classifier=1&initforce=1", 302, 1, 8, 600, 1},
      {"classifier=0&maxproc=-1", 400, 1, 8, 600, 1},
      {"classifier=0&maxproc=65", 400, 1, 8, 600, 1},
      {"classifier=abc", 400, 1, 8, 600, 1},
      {"classifier=0&chunktime=x", 400, 1, 8, 600, 1},
      {"maxproc=64", 302, 0, 64, 600, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.form);
    const auto reply = callPage(s.server, "POST", "/debug/cnnproc/", c.form);
    EXPECT_EQ(reply.status, c.status);
    if (c.status == 400) {
      EXPECT_EQ(reply.body.rfind("error: ", 0), 0u) << reply.body;
    }
    EXPECT_EQ(s.proc.classifier.load(), c.classifier);
    EXPECT_EQ(s.proc.maxproc.load(), c.maxproc);
    EXPECT_EQ(s.proc.chunktime.load(), c.chunktime);
    EXPECT_EQ(s.proc.initforce.load(), c.initforce);
  }
  const std::string page = callPage(s.server, "GET", "/debug/cnnproc/").body;
  EXPECT_NE(page.find("<input type=checkbox  name=classifier value=1>"), std::string::npos);
  EXPECT_NE(page.find("name=maxproc value=64 size=2>"), std::string::npos);
  EXPECT_NE(page.find("<p><b>polygons</b>: 0</p>"), std::string::npos);
}

kovira::Track trackOf(std::uint32_t id, const std::vector<const char*>& plates) {
  kovira::Track t(id, 1, 1);
  std::uint32_t frame = id * 10;
  for (const char* plate : plates) {
    CNN_RESULT r{};
    std::strncpy(r.text, plate, sizeof r.text - 1);
    t.join(kovira::TrackPoint(r, ++frame));
  }
  return t;
}

TEST(TrackPages, ListShowsTheNewestTracksAndGreysUncertainOnes) {
  std::vector<kovira::Track> history;
  for (std::uint32_t id = 1; id <= 600; ++id) history.push_back(trackOf(id, {"A123BC77", "A123BC77"}));
  history.push_back(trackOf(601, {"A123BC77", "A123BC78", "A123BC77", "A123BC77", "A123BC77", "A123BC77",
                                  "A123BC77", "A123BC77", "A123BC77", "A<b>"}));
  const std::string table = webtrack::showtracks(history, webtrack::kListLimit);
  std::size_t rows = 0;
  for (std::size_t at = table.find("<tr"); at != std::string::npos; at = table.find("<tr", at + 1)) ++rows;
  EXPECT_EQ(rows, 1 + webtrack::kListLimit);
  EXPECT_LT(table.find("/debug/tracks/601/"), table.find("/debug/tracks/600/"));
  EXPECT_EQ(table.find("/debug/tracks/101/"), std::string::npos);
  // Two readings give an accuracy of 0.75: grey; nine of ten clearly above 1.
  EXPECT_NE(table.find("<tr><td><a href=\"/debug/tracks/601/\">"), std::string::npos);
  EXPECT_NE(table.find("<tr style=\"color:#aaa\"><td><a href=\"/debug/tracks/600/\">"), std::string::npos);
}

TEST(TrackPages, IdsThatAreNoTrackGive404) {
  Stage s;
  for (const char* target : {"/debug/tracks/99999999999/", "/debug/tracks/5/", "/debug/tracks/0/t.jpg",
                             "/debug/tracks/5/t.jpg"})
    EXPECT_EQ(callPage(s.server, "GET", target).status, 404) << target;
  const std::string list = callPage(s.server, "GET", "/debug/tracks/").body;
  EXPECT_EQ(list.find("Current track list"), std::string::npos);
  EXPECT_NE(list.find("<h3>Tracks history</h3>"), std::string::npos);
}

// Every part in the page, each after the one before.
void expectInOrder(const std::string& page, const std::vector<std::string>& parts) {
  std::size_t from = 0;
  for (const std::string& part : parts) {
    const std::size_t at = page.find(part, from);
    ASSERT_NE(at, std::string::npos) << part << "\n" << page;
    from = at + part.size();
  }
}

// The "Speed performance" rows: newest period first, numbered from 1, the
// ratios of each period, at most kStatPeriods of them. A period is told
// apart by its start (the time rounded down to chunktime), so a change of
// chunktime between pushes opens a new one without waiting for the clock.
TEST(CnnprocPage, StatisticsRowsComeNewestFirstWithTheirRatios) {
  Stage s;
  s.proc.chunktime = 0;
  s.proc.statpush(3, 40, 8, 2.5, 1.0, 30, 10);
  s.proc.chunktime = 1500000000;
  s.proc.statpush(3, 0, 0, 0.0, 0.0, 0, 0);  // nothing walked: every ratio 0, no division by zero
  s.proc.chunktime = 400000000;
  for (int batch = 0; batch < 2; ++batch) s.proc.statpush(3, 21, 5, 3.0, 4.5, 21, 21);  // batches add up
  expectInOrder(callPage(s.server, "GET", "/debug/cnnproc/").body,
                {"<tr><td>1</td><td>2</td><td>42</td><td>42</td><td>6.000</td><td>5.000</td><td>21.000</td>"
                 "<td>7.000</td><td>21.000</td><td>4.500</td><td>100.000%</td></tr>",
                 "<tr><td>2</td><td>1</td><td>0</td><td>0</td><td>0.000</td><td>0.000</td><td>0.000</td>"
                 "<td>0.000</td><td>0.000</td><td>0.000</td><td>0.000%</td></tr>",
                 "<tr><td>3</td><td>1</td><td>40</td><td>10</td><td>2.500</td><td>8.000</td><td>30.000</td>"
                 "<td>16.000</td><td>40.000</td><td>1.000</td><td>25.000%</td></tr>"});

  for (std::size_t i = 0; i < kovira::CnnProc::kStatPeriods + 5; ++i) {
    s.proc.chunktime = i % 2 ? 1000000000u : 1500000000u;
    s.proc.statpush(3, static_cast<int>(i), 1, 1.0, 0.0, 1, 0);
  }
  const std::string full = callPage(s.server, "GET", "/debug/cnnproc/").body;
  const auto table = full.substr(full.find("<h1>Speed performance</h1>"));
  EXPECT_EQ(testsupport::occurrences(table, "<tr><td>"), 1 + kovira::CnnProc::kStatPeriods);  // and the header
  // The oldest shown walked 5 frames: the oldest periods went.
  EXPECT_NE(table.find("<tr><td>120</td><td>1</td><td>5</td>"), std::string::npos);
}

kovira::TrackPoint pointAt(std::uint32_t frame, const char* plate, int x, int y, int cls = 2) {
  CNN_RESULT r{};
  std::strncpy(r.text, plate, sizeof r.text - 1);
  r.cls = cls, r.x = x, r.y = y, r.w = 80, r.h = 20, r.ox = x + 40, r.oy = y + 10;
  return kovira::TrackPoint(r, frame);
}

// The list page over the queue's own history: the newest 500 of 2000,
// newest first, copied from the history without the rest.
TEST(TrackPages, ListPageShowsTheNewest500OfAFullHistory) {
  Stage s;
  std::vector<kovira::Track> tracks;
  for (std::uint32_t id = 1; id <= 2000; ++id) tracks.push_back(trackOf(id, {"A123BC77", "A123BC77"}));
  s.queue.seedHistory(tracks);
  const std::string page = callPage(s.server, "GET", "/debug/tracks/").body;
  EXPECT_EQ(testsupport::occurrences(page, "<a href=\"/debug/tracks/"), webtrack::kListLimit);
  EXPECT_LT(page.find("/debug/tracks/2000/"), page.find("/debug/tracks/1501/"));
  EXPECT_EQ(page.find("/debug/tracks/1500/"), std::string::npos);
  EXPECT_EQ(s.queue.history(10).front().id, 1991u);  // the newest, oldest first
  EXPECT_EQ(s.queue.history(5000).size(), 2000u);
}

TEST(TrackPages, TrackPageListsPointsAndPlateVariants) {
  Stage s;
  kovira::Track mixed(41, 1, 1), same(42, 1, 1);
  for (int i = 0; i < 4; ++i) {  // the second point reads another plate of another type
    mixed.join(pointAt(100 + i, i == 1 ? "A123BC78" : "A123BC77", 10 + 2 * i, 20 + 20 * i, i == 1 ? 3 : 2));
    same.join(pointAt(200 + i, "B<1>", 10, 20));
  }
  s.queue.seedHistory({mixed, same});

  expectInOrder(callPage(s.server, "GET", "/debug/tracks/41/").body,
                {"<h1>Tracks information: 41</h1><hr>",
                 "<td>num</td><td>frame num</td><td>plate</td><td>type</td><td>x,y w,h</td><td>ox,oy</td>",
                 "<tr><td>1</td><td>100</td><td>A123BC77</td><td>2</td><td>10,20 80,20</td><td>50,30</td></tr>",
                 "<tr><td>2</td><td>101</td><td>A123BC78</td><td>3</td><td>12,40 80,20</td><td>52,50</td></tr>",
                 "<h3>Вариации номера, выбран: A123BC77</h3>", "<tr><td>A123BC77</td><td>3</td><td>75%</td></tr>",
                 "<tr><td>A123BC78</td><td>1</td><td>25%</td></tr>",
                 "<hr><img style=\"max-width: 800px\" src=\"t.jpg\">"});
  // 100% prints in the stream's default notation with precision 2; the
  // plate text is escaped.
  const std::string other = callPage(s.server, "GET", "/debug/tracks/42/").body;
  EXPECT_NE(other.find("<tr><td>B&lt;1&gt;</td><td>4</td><td>1e+02%</td></tr>"), std::string::npos) << other;
}

// The drawing: the camera's size, grey canvas, zone boxes (yellow enabled,
// blue disabled), the plate box of points that read the track's text in
// red, a blue circle for the others, and the point numbers in black.
TEST(TrackPages, DrawingShowsZonesPlatesAndNumbers) {
  using namespace kovira::testing;
  clearScene();
  constexpr int kCam = 231, kW = 640, kH = 480;
  cameraSection(kCam);
  zoneSection(1, kCam, rectCoords(100, 100, 500, 400));
  zoneSection(2, kCam, rectCoords(20, 420, 300, 470));
  {
    kovira::ConfigWriteLock lock;
    kovira::zone(2).enabled = 0;
  }
  const std::vector<unsigned> nums = storeFrames(kCam, 4, kW, kH);
  kovira::Track t(77, 1, kCam);
  t.join(pointAt(nums[0], "A123BC77", 200, 150));
  t.join(pointAt(nums[1], "A123BC78", 220, 200));  // circle around (260, 210)
  t.join(pointAt(nums[2], "A123BC77", 240, 250));
  t.join(pointAt(nums[3], "A123BC77", 560, 300));  // number left of the point: 600 + 129 >= 640
  Stage s;
  s.queue.seedHistory({t});
  const auto reply = callPage(s.server, "GET", "/debug/tracks/77/t.jpg");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.headers.at("Content-Type"), "image/jpeg");
  const std::vector<std::uint8_t> bytes(reply.body.begin(), reply.body.end());
  const cv::Mat img = cv::imdecode(bytes, cv::IMREAD_COLOR);
  ASSERT_EQ(img.cols, kW);
  ASSERT_EQ(img.rows, kH);

  using Pixel = bool (*)(const cv::Vec3b&);
  const Pixel grey = [](const cv::Vec3b& p) { return p[0] > 225 && p[1] > 225 && p[2] > 225; };
  const Pixel yellow = [](const cv::Vec3b& p) { return p[2] > 180 && p[1] > 180 && p[0] + 60 < p[2]; };
  const Pixel blue = [](const cv::Vec3b& p) { return p[0] > p[2] + 60 && p[0] > p[1] + 40; };
  const Pixel red = [](const cv::Vec3b& p) { return p[2] > p[0] + 60 && p[2] > p[1] + 60; };
  const Pixel black = [](const cv::Vec3b& p) { return p[0] < 90 && p[1] < 90 && p[2] < 90; };
  const struct {
    const char* what;
    int x, y, w, h;
    Pixel kind;
    bool expected;
  } checks[] = {
      {"empty canvas", 5, 5, 60, 60, grey, true},
      {"enabled zone's top edge", 300, 99, 40, 3, yellow, true},
      {"disabled zone's top edge", 150, 419, 40, 3, blue, true},
      {"no zone line inside the zone", 400, 330, 40, 40, yellow, false},
      {"plate box of point 1", 230, 149, 30, 3, red, true},
      {"plate box of point 3", 270, 249, 30, 3, red, true},
      {"no plate box for point 2", 230, 199, 40, 3, red, false},
      {"circle of point 2", 264, 205, 4, 10, blue, true},
      {"number 1 right of point 1", 330, 145, 20, 12, black, true},
      {"number 4 left of point 4", 510, 295, 20, 12, black, true},
  };
  for (const auto& c : checks) {  // some pixel of the area is of the kind (JPEG blurs 1-pixel lines)
    const cv::Mat area = img(cv::Rect(c.x, c.y, c.w, c.h));
    EXPECT_EQ(std::any_of(area.begin<cv::Vec3b>(), area.end<cv::Vec3b>(), c.kind), c.expected) << c.what;
  }

  // No drawing of a track of zone 0, or whose frame the store no longer has.
  kovira::Track nozone(78, 0, kCam), gone(79, 1, kCam);
  nozone.join(pointAt(nums[0], "A123BC77", 200, 150));
  gone.join(pointAt(nums[3] + 100000, "A123BC77", 200, 150));
  s.queue.seedHistory({nozone, gone});
  for (const char* target : {"/debug/tracks/78/t.jpg", "/debug/tracks/79/t.jpg"})
    EXPECT_EQ(callPage(s.server, "GET", target).status, 404) << target;
  clearScene();
}

}  // namespace
