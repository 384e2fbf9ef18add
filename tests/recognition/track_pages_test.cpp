// The recognition status page's form and the track pages' lists and ids.
#include "http/server.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/scene_access.h"
#include "recognition/track.h"
#include "recognition/track_pages.h"
#include "support/page_call.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(callPage(s.server, "POST", "/debug/cnnproc/", c.form).status, c.status);
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

}  // namespace
