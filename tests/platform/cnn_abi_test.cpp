// The contract of libcnn.so as the recognition stage relies on it: readings
// carry the frame index, zone, text and box; only the polygons of the call are
// searched; the capacity is honoured and a frame whose readings no longer fit
// is handed back; malformed zone descriptions and bad arguments are refused
// (-1, the count left alone). And the plate font and reader it is built on.
#include "platform/cnn/cnn.h"
#include "platform/plate/plate_draw.h"
#include "platform/plate/plate_read.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace kovira::plate;

struct Frame {
  int w, h;
  std::vector<std::uint8_t> px;
  Frame(int width, int height) : w(width), h(height), px(static_cast<std::size_t>(width) * height, 90) {}
  GreyCanvas canvas() { return {px.data(), w, h, w}; }
};

// Descriptions as mutable C strings, the way the stage hands them over.
struct Polygons {
  std::vector<std::string> text;
  std::vector<char*> ptrs;
  explicit Polygons(std::vector<std::string> t) : text(std::move(t)) {
    for (auto& s : text) ptrs.push_back(s.data());
  }
  char** data() { return ptrs.data(); }
  int size() const { return static_cast<int>(ptrs.size()); }
};

std::string rect(int zone, int x0, int y0, int x1, int y1) {
  auto n = [](int v) { return std::to_string(v); };
  return n(zone) + ",6," + n(x0) + "," + n(y0) + "," + n(x1) + "," + n(y0) + "," + n(x1) + "," + n(y1) + "," +
         n(x0) + "," + n(y1);
}

struct HandleDeleter {
  void operator()(void* h) const { free_cnn(h); }
};

TEST(CnnAbi, Contract) {
  constexpr int W = 2048, H = 1024;
  Polygons all({rect(1, 0, 0, W - 1, H - 1), rect(2, 0, 0, 399, 299)});
  EXPECT_EQ(init_cnn(6, H, W, nullptr, 0, CNN_MODE_PLATES), nullptr);
  Polygons bad({"", "1,6", "1,6,0,0,10,10", "x,6,0,0,100,0,100,100", "1,6,0,0,100,0,100", "-1,6,0,0,10,10,20,20",
                "3, 6,0,0,10,10,20,20", "3,6,0,0,10,10,20,99999999999", std::string(20000, '1')});
  EXPECT_EQ(init_cnn(6, H, W, bad.data(), bad.size(), CNN_MODE_PLATES), nullptr);  // no description parses
  std::unique_ptr<void, HandleDeleter> h(init_cnn(6, H, W, all.data(), all.size(), CNN_MODE_CLASSIFY));
  ASSERT_NE(h, nullptr);

  Frame empty(W, H), one(W, H), crowded(W, H);
  drawPlate(one.canvas(), {100, 50, 3, "A123BC77", 4, -1});
  for (int y = 2; y + 15 < H; y += 19)  // 1484 small plates
    for (int x = 2; x + 68 < W; x += 72) drawPlate(crowded.canvas(), {x, y, 1, "A123BC77", 0, -1});

  std::vector<CNN_RESULT> res(1024);
  auto call = [&](std::vector<void*> frames, Polygons& p, int& count) {
    return cnn(h.get(), res.data(), &count, frames.data(), static_cast<int>(frames.size()), W, H, 1, p.data(),
               p.size());
  };

  // Nested zones each get a reading; index, text, box, tracking point and class as drawn.
  int count = 512;
  ASSERT_EQ(call({empty.px.data(), one.px.data()}, all, count), 2);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(res[0].index, 1u);
  EXPECT_EQ(res[0].zoneid, 1u);
  EXPECT_EQ(res[1].zoneid, 2u);
  EXPECT_STREQ(res[0].text, "A123BC77");
  EXPECT_EQ(std::vector<int>({res[0].x, res[0].y, res[0].w, res[0].h, res[0].ox, res[0].oy, res[0].cls}),
            std::vector<int>({100, 50, 204, 45, 202, 72, 4}));

  // Only the polygons of the call count: one away from the plate finds nothing.
  Polygons elsewhere({rect(5, 1000, 900, 1200, 1000)});
  count = 512;
  ASSERT_EQ(call({one.px.data()}, elsewhere, count), 1);
  EXPECT_EQ(count, 0);

  // Never more than 511 readings, never more than the capacity given.
  Polygons whole({rect(1, 0, 0, W - 1, H - 1)});
  count = 1024;
  call({crowded.px.data()}, whole, count);
  EXPECT_EQ(count, CNN_MAX_RESULTS);
  std::memset(res.data(), 0xAB, res.size() * sizeof(CNN_RESULT));
  count = 100;
  call({crowded.px.data()}, whole, count);
  EXPECT_EQ(count, 100);
  EXPECT_EQ(res[100].index, 0xABABABABu);

  // A frame whose readings no longer fit is handed back with those after it.
  count = 512;
  EXPECT_EQ(call({one.px.data(), crowded.px.data(), one.px.data()}, whole, count), 1);
  EXPECT_EQ(count, 1);

  // Bad arguments: -1, count untouched.
  void* frames[] = {one.px.data()};
  void* none[] = {nullptr};
  count = 512;
  EXPECT_EQ(cnn(nullptr, res.data(), &count, frames, 1, W, H, 1, whole.data(), whole.size()), -1);
  EXPECT_EQ(cnn(h.get(), res.data(), &count, frames, 1, W, H, 3, whole.data(), whole.size()), -1);
  EXPECT_EQ(cnn(h.get(), res.data(), &count, none, 1, W, H, 1, whole.data(), whole.size()), -1);
  EXPECT_EQ(count, 512);
}

TEST(PlateReader, Contract) {
  // Every glyph reads back with one cell flipped; a damaged glyph reads as unreadable.
  for (char c : kAlphabet) {
    for (int cell = 0; cell < kGlyphCells; ++cell) EXPECT_EQ(matchGlyph(*glyphOf(c) ^ (GlyphMask{1} << cell)), c);
  }
  EXPECT_EQ(matchGlyph(kDamagedGlyph), kUnreadable);

  // Text, class, box and centre at several sizes; a damaged glyph; only the given area; cut plates are not read.
  std::vector<std::uint8_t> px(1000 * 300, 100);
  GreyCanvas canvas{px.data(), 1000, 300, 1000};
  for (int module : {1, 3}) {
    std::fill(px.begin(), px.end(), 100);
    drawPlate(canvas, {101, 57, module, "K456MH199", 5, -1});
    const auto found = readPlates(canvas.view(), {0, 0, 1000, 300});
    ASSERT_EQ(found.size(), 1u) << "module " << module;
    EXPECT_EQ(found[0].text, "K456MH199");
    EXPECT_EQ(std::vector<int>({found[0].cls, found[0].box.x, found[0].box.y, found[0].box.w, found[0].box.h,
                                found[0].ox, found[0].oy}),
              std::vector<int>({5, 101, 57, 68 * module, 15 * module, 101 + 34 * module, 57 + 15 * module / 2}));
  }
  std::fill(px.begin(), px.end(), 100);
  drawPlate(canvas, {600, 10, 3, "A123BC77", 0, 4});
  drawPlate(canvas, {-30, 100, 3, "A123BC77", 0, -1});
  drawPlate(canvas, {200, 280, 3, "A123BC77", 0, -1});
  const auto found = readPlates(canvas.view(), {0, 0, 1000, 300});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].text, "A123?C77");
  EXPECT_TRUE(readPlates(canvas.view(), {650, 0, 350, 300}).empty());
}

}  // namespace
