// Drawing of the synthetic plate (layout in plate_layout.h) into a grey
// canvas. Pure functions of their arguments.
#pragma once

#include "platform/plate/grey_image.h"
#include "platform/plate/plate_layout.h"

#include <string_view>

namespace kovira::plate {

struct PlateDrawing {
  int x = 0;           // top-left corner of the border, canvas pixels
  int y = 0;
  int module = 3;      // pixels per module, >= 1
  std::string_view text;
  int cls = 0;         // 0: no class squares; 1..6 squares
  int damaged = -1;    // index of a glyph drawn unreadable on purpose, or -1
};

// Fills the rectangle, clipped to the canvas.
void fillRect(GreyCanvas canvas, int x, int y, int w, int h, std::uint8_t value);

// Draws the plate; parts outside the canvas are clipped. A character outside
// the plate alphabet is drawn as an unreadable glyph; characters beyond the
// ninth are not drawn; cls is clamped to 0..6.
void drawPlate(GreyCanvas canvas, const PlateDrawing& plate);

// Bounding box of the plate as drawn (border included).
Box plateBox(const PlateDrawing& plate);

}  // namespace kovira::plate
