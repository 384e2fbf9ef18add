// Finding and reading synthetic plates (layout in plate_layout.h) in an 8-bit
// grey frame. Pure functions: no state between calls, safe to call from
// several threads at once on different frames.
#pragma once

#include "platform/plate/grey_image.h"
#include "platform/plate/plate_layout.h"

#include <string>
#include <vector>

namespace kovira::plate {

// Pixels of the white field brighter than this belong to a plate candidate.
inline constexpr int kBrightThreshold = 176;
// The smallest white field read: 11 rows is a little under one pixel a module.
inline constexpr int kMinFieldHeight = 11;
// A glyph is read when its cells differ from the nearest glyph of the font in
// at most this many cells and from the second nearest in at least two more.
inline constexpr int kMaxGlyphDistance = 3;
inline constexpr int kMinGlyphMargin = 2;
// A slot with at most this many inked cells is blank (the text ends there).
inline constexpr int kMaxBlankCells = 2;
// Plate and border must differ in brightness by at least this much.
inline constexpr int kMinContrast = 40;

struct PlateFound {
  Box box;             // border box, frame pixels
  int ox = 0;          // tracking point: the centre of the box
  int oy = 0;
  std::string text;    // kUnreadable in place of a glyph that could not be read
  int cls = 0;         // number of class squares; 0 when none
};

// Every plate that lies wholly inside `area` (clipped to the frame), with its
// border visible, in no particular order.
std::vector<PlateFound> readPlates(GreyView frame, Box area);

// The character whose glyph is nearest to mask, or kUnreadable.
char matchGlyph(GlyphMask mask);

int glyphDistance(GlyphMask a, GlyphMask b);

}  // namespace kovira::plate
