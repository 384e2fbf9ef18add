// The plate font and reader on drawn frames (no video coding involved).
#include "platform/plate/plate_draw.h"
#include "platform/plate/plate_read.h"

#include <gtest/gtest.h>

#include <vector>

namespace kovira::plate {
namespace {

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
}  // namespace kovira::plate
