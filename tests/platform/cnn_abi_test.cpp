// The contract of libcnn.so as the recognition stage relies on it: exported
// symbols, handle life, result count, capacity, zones and
// classes.
#include "platform/cnn/cnn.h"
#include "platform/plate/plate_draw.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using kovira::plate::drawPlate;
using kovira::plate::GreyCanvas;

struct Frame {
  int w, h;
  std::vector<std::uint8_t> px;
  Frame(int width, int height) : w(width), h(height), px(static_cast<std::size_t>(width) * height, 90) {}
  GreyCanvas canvas() { return {px.data(), w, h, w}; }
  void* data() { return px.data(); }
};

// Descriptions as mutable C strings, the way the stage hands them over.
struct Polygons {
  std::vector<std::string> text;
  std::vector<char*> ptrs;
  explicit Polygons(std::vector<std::string> t) : text(std::move(t)) {
    for (auto& s : text) ptrs.push_back(s.data());
  }
  char** data() { return ptrs.empty() ? nullptr : ptrs.data(); }
  int size() const { return static_cast<int>(ptrs.size()); }
};

std::string rect(int zone, int x0, int y0, int x1, int y1) {
  return std::to_string(zone) + ",6," + std::to_string(x0) + "," + std::to_string(y0) + "," + std::to_string(x1) +
         "," + std::to_string(y0) + "," + std::to_string(x1) + "," + std::to_string(y1) + "," + std::to_string(x0) +
         "," + std::to_string(y1);
}

struct HandleDeleter {
  void operator()(void* h) const { free_cnn(h); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

Handle open(Polygons& p, int w, int h, int mode = CNN_MODE_PLATES) {
  return Handle(init_cnn(6, h, w, p.data(), p.size(), mode));
}

// One recogniser call at step 1 over frames of one size; count is the
// capacity going in and the number of readings coming out.
int run(void* h, std::vector<CNN_RESULT>& res, int& count, std::vector<void*> frames, int w, int hgt, Polygons& p) {
  return cnn(h, res.data(), &count, frames.data(), static_cast<int>(frames.size()), w, hgt, 1, p.data(), p.size());
}

TEST(CnnAbi, LibraryExportsExactlyTheFiveFunctions) {
  const std::string cmd = std::string("nm -D --defined-only ") + KOVIRA_BINARY_DIR + "/lib/libcnn.so 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::set<std::string> names;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    char type = 0;
    char name[400];
    if (std::sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'D' || type == 'B')) {
      names.insert(name);
    }
  }
  if (pclose(p) != 0) GTEST_SKIP() << "nm is not available";
  EXPECT_EQ(names, (std::set<std::string>{"cnn", "cnn_set_debug_level", "cnn_version", "free_cnn", "init_cnn"}));
}

TEST(CnnInit, NullHandleWhenNoDescriptionParses) {
  Polygons none({});
  EXPECT_EQ(init_cnn(6, 720, 1280, none.data(), 0, 2), nullptr);
  EXPECT_EQ(init_cnn(6, 720, 1280, nullptr, 3, 2), nullptr);
  Polygons bad({"", "1,6", "1,6,0,0,10,10", "x,6,0,0,100,0,100,100", "1,6,0,0,100,0,100"});
  EXPECT_EQ(init_cnn(6, 720, 1280, bad.data(), bad.size(), 2), nullptr);
  Polygons oneGood({"garbage", rect(1, 0, 0, 100, 100)});
  Handle h = open(oneGood, 1280, 720);
  EXPECT_NE(h, nullptr);
  cnn_set_debug_level(h.get(), 0);
  EXPECT_NE(cnn_version(), nullptr);
}

TEST(CnnCall, NullHandleAndBadArgumentsGiveMinusOneAndKeepTheCount) {
  Frame f(320, 240);
  Polygons p({rect(1, 0, 0, 319, 239)});
  std::vector<CNN_RESULT> res(512);
  void* frames[] = {f.data()};
  int count = 512;
  EXPECT_EQ(cnn(nullptr, res.data(), &count, frames, 1, 320, 240, 1, p.data(), p.size()), -1);
  EXPECT_EQ(count, 512);
  Handle h = open(p, 320, 240);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(cnn(h.get(), res.data(), &count, frames, 1, 320, 240, 3, p.data(), p.size()), -1);
  void* nullFrame[] = {nullptr};
  EXPECT_EQ(cnn(h.get(), res.data(), &count, nullFrame, 1, 320, 240, 1, p.data(), p.size()), -1);
  EXPECT_EQ(cnn(h.get(), res.data(), nullptr, frames, 1, 320, 240, 1, p.data(), p.size()), -1);
  EXPECT_EQ(count, 512);
  free_cnn(nullptr);  // ignored
}

TEST(CnnCall, CountIsWrittenBackAlsoWhenNothingIsFound) {
  Frame a(320, 240), b(320, 240);
  Polygons p({rect(1, 0, 0, 319, 239)});
  Handle h = open(p, 320, 240);
  std::vector<CNN_RESULT> res(512);
  int count = 512;
  EXPECT_EQ(run(h.get(), res, count, {a.data(), b.data()}, 320, 240, p), 2);
  EXPECT_EQ(count, 0);
  count = 512;  // no frames at all: nothing walked, count still written
  EXPECT_EQ(run(h.get(), res, count, {}, 320, 240, p), 0);
  EXPECT_EQ(count, 0);
}

TEST(CnnCall, ReadsPlatesWithFrameIndexTextBoxAndTrackingPoint) {
  std::vector<Frame> f(3, Frame(640, 360));
  drawPlate(f[1].canvas(), {100, 50, 3, "A123BC77", 2, -1});
  drawPlate(f[2].canvas(), {300, 200, 3, "K456MH199", 2, -1});
  Polygons p({rect(9, 0, 0, 639, 359)});
  Handle h = open(p, 640, 360);
  std::vector<CNN_RESULT> res(512);
  int count = 512;
  ASSERT_EQ(run(h.get(), res, count, {f[0].data(), f[1].data(), f[2].data()}, 640, 360, p), 3);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(res[0].index, 1u);
  EXPECT_EQ(res[0].zoneid, 9u);
  EXPECT_STREQ(res[0].text, "A123BC77");
  EXPECT_EQ(res[0].x, 100);
  EXPECT_EQ(res[0].y, 50);
  EXPECT_EQ(res[0].w, 204);
  EXPECT_EQ(res[0].h, 45);
  EXPECT_EQ(res[0].ox, 202);
  EXPECT_EQ(res[0].oy, 72);
  EXPECT_EQ(res[1].index, 2u);
  EXPECT_STREQ(res[1].text, "K456MH199");
}

TEST(CnnCall, ClassIsReportedOnlyInClassifyingMode) {
  Frame f(640, 360);
  drawPlate(f.canvas(), {100, 50, 3, "A123BC77", 4, -1});
  Polygons p({rect(1, 0, 0, 639, 359)});
  std::vector<CNN_RESULT> res(512);
  for (int mode : {CNN_MODE_CLASSIFY, CNN_MODE_PLATES}) {
    Handle h = open(p, 640, 360, mode);
    int count = 512;
    ASSERT_EQ(run(h.get(), res, count, {f.data()}, 640, 360, p), 1);
    ASSERT_EQ(count, 1);
    if (mode == CNN_MODE_CLASSIFY) EXPECT_EQ(res[0].cls, 4);
    else EXPECT_LT(res[0].cls, 1);
  }
}

TEST(CnnCall, OnlyThePolygonsOfTheCallAreHonoured) {
  Frame f(800, 300);
  drawPlate(f.canvas(), {20, 100, 3, "A123BC77", 0, -1});   // centre (122, 122): left half
  drawPlate(f.canvas(), {500, 100, 3, "E789OP50", 0, -1});  // centre (602, 122): right half
  Polygons both({rect(3, 0, 0, 399, 299), rect(4, 400, 0, 799, 299)});
  Handle h = open(both, 800, 300);
  std::vector<CNN_RESULT> res(512);
  Polygons left({rect(3, 0, 0, 399, 299)});
  int count = 512;
  ASSERT_EQ(run(h.get(), res, count, {f.data()}, 800, 300, left), 1);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(res[0].zoneid, 3u);
  EXPECT_STREQ(res[0].text, "A123BC77");

  count = 512;
  ASSERT_EQ(run(h.get(), res, count, {f.data()}, 800, 300, both), 1);
  ASSERT_EQ(count, 2);
  std::set<std::pair<unsigned, std::string>> got{{res[0].zoneid, res[0].text}, {res[1].zoneid, res[1].text}};
  EXPECT_EQ(got, (std::set<std::pair<unsigned, std::string>>{{3, "A123BC77"}, {4, "E789OP50"}}));

  // A polygon away from both plates: nothing.
  Polygons elsewhere({rect(5, 300, 250, 500, 299)});
  count = 512;
  ASSERT_EQ(run(h.get(), res, count, {f.data()}, 800, 300, elsewhere), 1);
  EXPECT_EQ(count, 0);
}

TEST(CnnCall, NestedZonesEachGetAReadingAndARepeatedZoneOnlyOne) {
  Frame f(640, 360);
  drawPlate(f.canvas(), {100, 50, 3, "A123BC77", 0, -1});
  Polygons p({rect(1, 0, 0, 639, 359), rect(2, 50, 20, 400, 200), rect(1, 0, 0, 639, 359)});
  Handle h = open(p, 640, 360);
  std::vector<CNN_RESULT> res(512);
  int count = 512;
  ASSERT_EQ(run(h.get(), res, count, {f.data()}, 640, 360, p), 1);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(res[0].zoneid, 1u);
  EXPECT_EQ(res[1].zoneid, 2u);
}

// A frame packed with small plates: 28 x 53 = 1484 of them.
Frame crowded() {
  Frame f(2048, 1024);
  for (int y = 2; y + 15 < 1024; y += 19)
    for (int x = 2; x + 68 < 2048; x += 72) drawPlate(f.canvas(), {x, y, 1, "A123BC77", 0, -1});
  return f;
}

TEST(CnnCall, NeverWritesMoreThan511OrTheCapacity) {
  Frame f = crowded();
  Polygons p({rect(1, 0, 0, 2047, 1023)});
  Handle h = open(p, 2048, 1024);
  std::vector<CNN_RESULT> res(1024);
  int count = 512;
  ASSERT_EQ(run(h.get(), res, count, {f.data()}, 2048, 1024, p), 1);
  EXPECT_EQ(count, CNN_MAX_RESULTS);
  EXPECT_STREQ(res[510].text, "A123BC77");
  count = 1024;
  run(h.get(), res, count, {f.data()}, 2048, 1024, p);
  EXPECT_EQ(count, CNN_MAX_RESULTS);
  // A smaller capacity is honoured: the record after it stays untouched.
  std::memset(res.data(), 0xAB, res.size() * sizeof(CNN_RESULT));
  count = 100;
  run(h.get(), res, count, {f.data()}, 2048, 1024, p);
  EXPECT_EQ(count, 100);
  EXPECT_EQ(res[100].index, 0xABABABABu);
}

TEST(CnnCall, AFrameWhoseReadingsNoLongerFitIsHandedBack) {
  Frame few(2048, 1024);
  drawPlate(few.canvas(), {10, 10, 3, "A123BC77", 0, -1});
  Frame many = crowded();
  Polygons p({rect(1, 0, 0, 2047, 1023)});
  Handle h = open(p, 2048, 1024);
  std::vector<CNN_RESULT> res(512);
  int count = 512;
  EXPECT_EQ(run(h.get(), res, count, {few.data(), many.data(), few.data()}, 2048, 1024, p), 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(res[0].index, 0u);
}

}  // namespace
