// The block font of the synthetic plate. Shapes are chosen so that every two
// glyphs differ in several cells (the digit 0 carries a slash to set it apart
// from the letter O, the 8 is pinched to set it apart from B), so the reader
// can tell them apart after lossy video coding.
#include "platform/plate/plate_layout.h"

#include <array>

namespace kovira::plate {
namespace {

struct GlyphRows {
  char c;
  std::array<const char*, kGlyphRows> rows;
};

// clang-format off
constexpr GlyphRows kFont[] = {
  {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
  {'1', {"..#..", ".##..", "#.#..", "..#..", "..#..", "..#..", "#####"}},
  {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
  {'3', {"####.", "....#", "....#", ".###.", "....#", "....#", "####."}},
  {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
  {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
  {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
  {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
  {'8', {".###.", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", ".###."}},
  {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
  {'A', {"..#..", ".#.#.", "#...#", "#...#", "#####", "#...#", "#...#"}},
  {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
  {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
  {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
  {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
  {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
  {'O', {"#####", "#...#", "#...#", "#...#", "#...#", "#...#", "#####"}},
  {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
  {'C', {".####", "#....", "#....", "#....", "#....", "#....", ".####"}},
  {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
  {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
  {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
};
// clang-format on

constexpr GlyphMask maskOf(const GlyphRows& g) {
  GlyphMask m = 0;
  for (int r = 0; r < kGlyphRows; ++r) {
    for (int c = 0; c < kGlyphCols; ++c) {
      if (g.rows[r][c] == '#') m |= GlyphMask{1} << (r * kGlyphCols + c);
    }
  }
  return m;
}

static_assert(std::size(kFont) == kAlphabet.size(), "one glyph per character of the alphabet");

}  // namespace

std::optional<GlyphMask> glyphOf(char c) {
  for (const GlyphRows& g : kFont) {
    if (g.c == c) return maskOf(g);
  }
  return std::nullopt;
}

bool isValidText(std::string_view text) {
  if (text.size() < static_cast<std::size_t>(kMinTextLength) ||
      text.size() > static_cast<std::size_t>(kSlotCount)) {
    return false;
  }
  for (char c : text) {
    if (kAlphabet.find(c) == std::string_view::npos) return false;
  }
  return true;
}

}  // namespace kovira::plate
