// Feedback frames: the selectors, the archive a chosen track leaves in the
// slot (scaled or not), the uploader's retry and count-down, and the pages
// with hostile input.
#include "modules/postframe.h"
#include "http/server.h"
#include "tests/modules/module_fixture.h"
#include "tests/support/page_call.h"

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using evtest::EvidenceScene;

TEST(Postframe, TimeOfDayAndCarSelectors) {
  struct Light {
    std::uint32_t exposure, gain;
    int category;
  };
  for (const Light l : {Light{0, 30, 0}, Light{1499, 0, 1}, Light{1500, 0, 0}, Light{1, 21, 2}, Light{9000, 20, 3},
                        Light{9000, 1, 3}})
    EXPECT_EQ(postframe::timeOfDay(l.exposure, l.gain), l.category) << l.exposure << "/" << l.gain;
  struct Cars {
    int selector, tracks;
    bool match;
  };
  for (const Cars c : {Cars{0, 5, true}, Cars{1, 1, true}, Cars{1, 2, false}, Cars{2, 2, true}, Cars{3, 2, true},
                       Cars{3, 7, true}, Cars{3, 1, false}, Cars{4, 2, false}})
    EXPECT_EQ(postframe::carsMatch(c.selector, c.tracks), c.match) << c.selector << "/" << c.tracks;
}

// Settings that take any track of the scene, count frames.
void armed(postframe::FeedbackSettings& s, std::uint32_t count) {
  s.target = "http://127.0.0.1:9/feedback.php";
  s.cnt = count;
  s.interval = 0;
  s.max = 1000;
}

class PostframeTest : public modtest::ModuleTest {
 protected:
  // The slot's archive unpacked into the scratch folder.
  std::string unpack(const std::string& tarBytes) {
    evtest::writeBytes(dir->file("slot.tar"), tarBytes);
    EXPECT_EQ(evtest::run("tar -xf '" + dir->file("slot.tar") + "' -C '" + dir->path().string() + "'").status, 0);
    return evtest::run("tar -tf '" + dir->file("slot.tar") + "'").output;
  }
};

TEST_F(PostframeTest, ScaleTwoHalvesThePictureAndTheBoxAndTheSlotIsPostedUntilTheCountRunsOut) {
  EvidenceScene scene;
  std::vector<std::string> posted;
  int failuresLeft = 1;
  std::uint64_t now = 1700000000;
  postframe::HttpFeedbackFrame frame(
      [&](const std::string& url, const std::string& bytes) {
        EXPECT_EQ(url, "http://127.0.0.1:9/feedback.php");
        if (failuresLeft-- > 0) return -1;
        posted.push_back(bytes);
        return 0;
      },
      [&] { return now; });
  frame.update([](postframe::FeedbackSettings& s) {
    armed(s, 2);
    s.scale = 2;
    s.tag = "e2e";
  });
  kovira::Track t = scene.track();
  ASSERT_TRUE(frame.processtrack(t));
  EXPECT_FALSE(frame.processtrack(t));  // the slot is taken
  std::uint32_t pause = 0;
  const std::string lines = testsupport::stdoutOf([&] {
    EXPECT_TRUE(frame.uploadOnce(pause));  // fails: kept for the retry
    EXPECT_EQ(pause, 10u);
    EXPECT_TRUE(frame.busy());
    EXPECT_TRUE(frame.uploadOnce(pause));
  });
  EXPECT_NE(lines.find("[DBG] fail send "), std::string::npos) << lines;
  EXPECT_NE(lines.find("[DBG] Successful sent "), std::string::npos) << lines;
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(unpack(posted[0]), "frame.jpg\nkovira.json\n");
  const cv::Mat picture = cv::imread(dir->file("frame.jpg"), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(picture.cols, evtest::kW / 2);
  EXPECT_EQ(picture.rows, evtest::kH / 2);
  const auto meta = nlohmann::json::parse(evtest::readBytes(dir->file("kovira.json")));
  EXPECT_EQ(meta["w"], evtest::kPlateW / 2);
  EXPECT_EQ(meta["h"], evtest::kPlateH / 2);
  EXPECT_EQ(meta["x"], 320 / 2);
  EXPECT_EQ(meta["version"], 1);
  EXPECT_EQ(meta["tag"], "e2e");

  // The last frame clears the tag and disarms.
  frame.update([](postframe::FeedbackSettings& s) { s.scale = 1; });
  EXPECT_FALSE(frame.processtrack(t));  // the interval (0 s) has not passed yet
  ++now;
  ASSERT_TRUE(frame.processtrack(t));
  testsupport::stdoutOf([&] { EXPECT_TRUE(frame.uploadOnce(pause)); });
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(unpack(posted[1]), "frame.png\nkovira.json\n");
  EXPECT_EQ(frame.settings().cnt, 0u);
  EXPECT_EQ(frame.settings().tag, "");
  EXPECT_FALSE(frame.ready());
  EXPECT_FALSE(frame.processtrack(t));  // disarmed
  EXPECT_EQ(frame.learning(), 0);
}

// Workers fill, the uploader empties, a page reads: every upload is one
// whole archive and the count never goes below zero.
TEST_F(PostframeTest, WorkersUploaderAndPageShareTheSlot) {
  EvidenceScene scene;
  const kovira::Track t = scene.track();
  std::atomic<int> posted{0};
  std::atomic<std::uint64_t> now{1700000000};
  postframe::HttpFeedbackFrame frame(
      [&](const std::string&, const std::string& bytes) {
        EXPECT_GT(bytes.size(), 1024u);
        return ++posted, 0;
      },
      [&] { return now.fetch_add(1); });
  frame.update([](postframe::FeedbackSettings& s) { armed(s, 5); });
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w)
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        kovira::Track copy = t;
        frame.processtrack(copy);
      }
    });
  threads.emplace_back([&] {
    while (!done) (void)frame.ready(), (void)frame.settings();
  });
  testing::internal::CaptureStdout();
  std::uint32_t pause = 0;
  for (int i = 0; i < 200 && frame.settings().cnt != 0; ++i) frame.uploadOnce(pause);
  for (int w = 0; w < 3; ++w) threads[static_cast<std::size_t>(w)].join();
  while (frame.uploadOnce(pause)) {
  }
  done = true;
  threads.back().join();
  testing::internal::GetCapturedStdout();
  EXPECT_LE(posted.load(), 5);
  EXPECT_EQ(frame.settings().cnt, static_cast<std::uint32_t>(5 - posted.load()));
}

TEST_F(PostframeTest, SelectorsThatRejectTheTrack) {
  EvidenceScene scene;
  kovira::Track t = scene.track();
  const float acc = t.advAccuracy();
  struct Row {
    const char* what;
    std::function<void(postframe::FeedbackSettings&)> edit;
  };
  const Row rows[] = {
      {"accuracy at the lower bound", [&](auto& s) { s.min = acc; }},
      {"mask N for a matching plate", [](auto& s) { s.mask = 2; }},
      {"track not larger than minsize", [](auto& s) { s.minsize = 11; }},
      {"night only; the frame has no exposure", [](auto& s) { s.timeofday = 2; }},
      {"scale beyond the picture", [](auto& s) { s.scale = 100000; }},
      {"no target", [](auto& s) { s.target.clear(); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    postframe::HttpFeedbackFrame frame([](const std::string&, const std::string&) { return 0; });
    frame.update([&](postframe::FeedbackSettings& s) {
      armed(s, 1);
      row.edit(s);
    });
    EXPECT_FALSE(frame.processtrack(t));
    EXPECT_FALSE(frame.busy());
  }
}

TEST(PostframePages, HostileUpdatesKeepTheFieldsAndThePageValid) {
  HttpServer server;
  server.subscribe("^/debug/postframe/$", postframe::http_postframe);
  server.subscribe("^/debug/postframe/update$", postframe::http_postframe_update);
  const auto first = testsupport::callPage(server, "GET", "/debug/postframe/");
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.body.rfind("<h1>Feedback frame uploader</h1><hr><form method=get action=update>acc from "
                             "<input type=text size=6 name=min value=0> to <input type=text size=6 name=max "
                             "value=30><br><br>count <input type=text size=4 name=cnt value=0> ",
                             0),
            0u)
      << first.body;
  EXPECT_NE(first.body.find("<option SELECTED value=0>BOTH</option><option  value=1>MASK=Y</option>"),
            std::string::npos);
  EXPECT_NE(first.body.find("status: BUSY, size=0<br></form>"), std::string::npos);

  // A refused value refuses the whole request: nothing of it is applied.
  const auto refused = testsupport::callPage(
      server, "GET", "/debug/postframe/update?min=abc&cnt=1&interval=0&mask=2&tag=%22%3E%3Cscript%3E");
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body, "error: min: not a number\n");
  EXPECT_EQ(postframe::httpframe().settings().cnt, 0u);
  EXPECT_EQ(testsupport::callPage(server, "GET", "/debug/postframe/update?cnt=1&target=file%3A%2F%2F%2Fetc%2Fpasswd")
                .status,
            400);

  const auto upd = testsupport::callPage(
      server, "GET", "/debug/postframe/update?min=0&cnt=1&interval=0&mask=2&scale=1&tag=%22%3E%3Cscript%3E");
  EXPECT_EQ(upd.status, 302);
  EXPECT_EQ(upd.headers.at("Location"), "/debug/postframe/");
  const postframe::FeedbackSettings s = postframe::httpframe().settings();
  EXPECT_EQ(s.min, 0.0f);
  EXPECT_EQ(s.cnt, 1u);
  EXPECT_EQ(s.mask, 2);
  EXPECT_EQ(s.target.find("file:"), std::string::npos);
  const auto page = testsupport::callPage(server, "GET", "/debug/postframe/");
  EXPECT_NE(page.body.find("name=tag value=\"&quot;&gt;&lt;script&gt;\""), std::string::npos) << page.body;
  EXPECT_EQ(page.body.find("<script>"), std::string::npos);
  EXPECT_NE(page.body.find("<option SELECTED value=2>MASK=N</option>"), std::string::npos);
  EXPECT_EQ(postframe::httpframe().learning(), 1);  // armed, full size
}

}  // namespace
