// The plate font and reader on drawn frames (no video coding involved).
#include "platform/plate/plate_draw.h"
#include "platform/plate/plate_read.h"

#include <gtest/gtest.h>

#include <vector>

namespace kovira::plate {
namespace {

struct Frame {
  std::vector<std::uint8_t> px;
  GreyCanvas canvas;
  Frame(int w, int h, std::uint8_t fill = 100) : px(static_cast<std::size_t>(w) * h, fill) {
    canvas = {px.data(), w, h, w};
  }
  std::vector<PlateFound> read() const { return readPlates(canvas.view(), {0, 0, canvas.width, canvas.height}); }
};

TEST(PlateFont, EveryGlyphReadsBackEvenWithOneCellFlipped) {
  for (char c : kAlphabet) {
    const GlyphMask g = *glyphOf(c);
    EXPECT_EQ(matchGlyph(g), c);
    for (int cell = 0; cell < kGlyphCells; ++cell) {
      EXPECT_EQ(matchGlyph(g ^ (GlyphMask{1} << cell)), c) << c << " cell " << cell;
    }
  }
}

TEST(PlateFont, GlyphsAreFarApartAndFarFromTheDamagedMark) {
  for (char a : kAlphabet) {
    EXPECT_GE(glyphDistance(*glyphOf(a), kDamagedGlyph), 10) << a;
    for (char b : kAlphabet) {
      if (a != b) {
        EXPECT_GE(glyphDistance(*glyphOf(a), *glyphOf(b)), 4) << a << " vs " << b;
      }
    }
  }
  EXPECT_EQ(matchGlyph(kDamagedGlyph), kUnreadable);
  EXPECT_FALSE(glyphOf('Z'));
}

TEST(PlateText, AcceptsEightOrNineAlphabetCharacters) {
  EXPECT_TRUE(isValidText("A123BC77"));
  EXPECT_TRUE(isValidText("K456MH199"));
  EXPECT_FALSE(isValidText("A123BC7"));
  EXPECT_FALSE(isValidText("A123BC7777"));
  EXPECT_FALSE(isValidText("a123bc77"));
  EXPECT_FALSE(isValidText("Z123BC77"));
}

TEST(PlateReader, ReadsTextClassBoxAndCentreAtSeveralSizes) {
  for (int module : {1, 2, 3, 5}) {
    Frame f(1000, 300);
    drawPlate(f.canvas, {101, 57, module, "K456MH199", 5, -1});
    const auto found = f.read();
    ASSERT_EQ(found.size(), 1u) << "module " << module;
    EXPECT_EQ(found[0].text, "K456MH199");
    EXPECT_EQ(found[0].cls, 5);
    EXPECT_EQ(found[0].box.x, 101);
    EXPECT_EQ(found[0].box.y, 57);
    EXPECT_EQ(found[0].box.w, 68 * module);
    EXPECT_EQ(found[0].box.h, 15 * module);
    EXPECT_EQ(found[0].ox, 101 + 34 * module);
    EXPECT_EQ(found[0].oy, 57 + 15 * module / 2);
  }
}

TEST(PlateReader, DamagedGlyphBecomesQuestionMark) {
  Frame f(400, 100);
  drawPlate(f.canvas, {10, 10, 3, "A123BC77", 0, 4});
  const auto found = f.read();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].text, "A123?C77");
  EXPECT_EQ(found[0].cls, 0);
}

TEST(PlateReader, ReportsNothingWithoutAWholePlate) {
  Frame f(640, 360);
  // A bright rectangle without border or text, a dark one, noise.
  fillRect(f.canvas, 20, 20, 204, 45, 240);
  fillRect(f.canvas, 300, 20, 204, 45, 10);
  std::uint32_t s = 7;
  for (int i = 0; i < 640 * 100; ++i) {
    s = s * 1664525u + 1013904223u;
    f.px[static_cast<std::size_t>(640 * 200 + i)] = static_cast<std::uint8_t>(s >> 24);
  }
  EXPECT_TRUE(f.read().empty());
  // Plates cut by the left, right and bottom edges.
  drawPlate(f.canvas, {-30, 100, 3, "A123BC77", 0, -1});
  drawPlate(f.canvas, {500, 100, 3, "A123BC77", 0, -1});
  drawPlate(f.canvas, {200, 340, 3, "A123BC77", 0, -1});
  EXPECT_TRUE(f.read().empty());
}

TEST(PlateReader, SearchesOnlyTheGivenArea) {
  Frame f(800, 200);
  drawPlate(f.canvas, {10, 10, 3, "A123BC77", 0, -1});
  drawPlate(f.canvas, {400, 10, 3, "E789OP50", 0, -1});
  const auto found = readPlates(f.canvas.view(), {380, 0, 420, 200});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].text, "E789OP50");
  // A plate cut by the area's edge is not whole there.
  EXPECT_TRUE(readPlates(f.canvas.view(), {450, 0, 350, 200}).empty());
}

}  // namespace
}  // namespace kovira::plate
