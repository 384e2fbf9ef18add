// The track dump (the file's keys per point, its name, a home that cannot
// hold it) and the plate-mask search (shapes, counting, the page's bytes).
#include "modules/maskfind.h"
#include "modules/trackdump.h"
#include "http/server.h"
#include "tests/modules/module_fixture.h"
#include "tests/support/page_call.h"

#include <fstream>
#include <thread>
#include <vector>

namespace {

using evtest::EvidenceScene;

TEST(MaskFind, ShapesCountAndThePageShowsTheMostFrequent) {
  struct Row {
    const char* text;
    const char* shape;
  };
  for (const Row r : {Row{"AB1234", "ssNNNN"}, Row{"a1 b2", "sN-sN"}, Row{"\xd0\x90" "12", "--NN"}, Row{"", ""}})
    EXPECT_EQ(mask::shapeOf(r.text), r.shape) << r.text;

  HttpServer server;
  server.subscribe("^/debug/mask/$", mask::http_mask_collect);
  const std::string head = "<h1>Mask collect</h1><table class=bordertable><tr><td>mask</td><td>count</td></tr>";
  const std::string tail =
      "</table><style>\n.bordertable {border-collapse: collapse; margin: 10px 0;}\n"
      ".bordertable TD {border: 1px solid #999; padding: 5px 7px; margin: 0;}\n</style>";
  const auto empty = testsupport::callPage(server, "GET", "/debug/mask/");
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.body, head + tail);
  EXPECT_EQ(empty.headers.at("Content-Type"), "text/html; charset=utf-8");

  // Four workers at once: every count arrives.
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([w] {
      for (int i = 0; i < 100; ++i) mask::collected().add(i % 2 == 0 ? "ssNNssNN" : "sNs" + std::to_string(w));
    });
  for (std::thread& t : workers) t.join();
  mask::collected().add("NNNN");
  for (int i = 0; i < 60; ++i) mask::collected().add("s" + std::to_string(1000 + i));
  const auto rows = mask::collected().rows(1000);
  ASSERT_EQ(rows.size(), 66u);
  EXPECT_EQ(rows[0].mask, "ssNNssNN");
  EXPECT_EQ(rows[0].count, 200u);
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(rows[i].count, 50u);
  EXPECT_EQ(rows[5].mask, "NNNN");  // new rows join the end unsorted
  const auto page = testsupport::callPage(server, "GET", "/debug/mask/");
  EXPECT_EQ(page.body.rfind(head + "<tr><td>ssNNssNN</td><td>200</td></tr>", 0), 0u);
  std::size_t shown = 0;
  for (std::size_t at = page.body.find("<tr><td>", head.size()); at != std::string::npos;
       at = page.body.find("<tr><td>", at + 1))
    ++shown;
  EXPECT_EQ(shown, mask::kPageRows);
}

class TrackDumpTest : public modtest::ModuleTest {};

TEST_F(TrackDumpTest, OneFilePerTrackWithEveryPointAndItsFrame) {
  EvidenceScene scene;
  kovira::Track t = scene.track();
  t.points[3].text[0] = 'X';  // one misread point
  kovira::config().startup = 1700000123;
  ASSERT_TRUE(trackdump::processtrack(t, dir->path().string()));
  const auto file = dir->path() / "trackdump" / ("1700000123-" + std::to_string(t.id) + ".json");
  const std::string text = evtest::readBytes(file.string());
  const auto dump = nlohmann::json::parse(text);
  EXPECT_EQ(text, dump.dump(4));  // sorted keys, indent 4
  modtest::expectKeys(dump, {{"numA", scene.nums.front()}, {"numB", scene.nums.back()}, {"size", 11},
                             {"imgwidth", evtest::kW}, {"txt", "A123BC77"}, {"spd", 72},
                             {"tm", evtest::kBase / 1000000}});
  ASSERT_EQ(dump["frames"].size(), 11u);
  EXPECT_EQ(dump["frames"][4]["valid"], 1);
  // No camera clock, no exposure: those keys are left out.
  modtest::expectKeys(dump["frames"][3], {{"a", 4}, {"valid", 0}, {"text", "X123BC77"}, {"usec", 300000},
                                          {"nano", nullptr}, {"exposure", nullptr}, {"gain", nullptr}});
}

TEST_F(TrackDumpTest, AHomeThatCannotHoldTheDumpGivesOneLineAndNoFile) {
  EvidenceScene scene;
  kovira::Track t = scene.track();
  std::ofstream(dir->file("trackdump")) << "a file where the folder should be";
  for (const std::string& home : {dir->path().string(), std::string()}) {
    SCOPED_TRACE(home);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(trackdump::processtrack(t, home));
    const std::string line = testing::internal::GetCapturedStdout();
    EXPECT_EQ(line.rfind("[ERR] (trackdump) ", 0), 0u) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  }
  EXPECT_EQ(evtest::readBytes(dir->file("trackdump")), "a file where the folder should be");
}

}  // namespace
