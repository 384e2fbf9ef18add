#include "platform/plate/plate_draw.h"

#include <algorithm>
#include <cstring>

namespace kovira::plate {

void fillRect(GreyCanvas canvas, int x, int y, int w, int h, std::uint8_t value) {
  const int x0 = std::max(x, 0);
  const int y0 = std::max(y, 0);
  const int x1 = std::min(x + w, canvas.width);
  const int y1 = std::min(y + h, canvas.height);
  if (x0 >= x1 || y0 >= y1) return;
  for (int row = y0; row < y1; ++row) {
    std::memset(canvas.data + static_cast<long>(row) * canvas.stride + x0, value,
                static_cast<std::size_t>(x1 - x0));
  }
}

Box plateBox(const PlateDrawing& plate) {
  return {plate.x, plate.y, kWidthModules * plate.module, kHeightModules * plate.module};
}

void drawPlate(GreyCanvas canvas, const PlateDrawing& plate) {
  const int u = std::max(plate.module, 1);
  const Box box = plateBox({plate.x, plate.y, u, {}, 0, -1});
  fillRect(canvas, box.x, box.y, box.w, box.h, kInk);
  fillRect(canvas, box.x + u, box.y + u, kFieldWidthModules * u, kFieldHeightModules * u, kPaper);

  const std::size_t glyphs = std::min(plate.text.size(), static_cast<std::size_t>(kSlotCount));
  for (std::size_t i = 0; i < glyphs; ++i) {
    const int slot = static_cast<int>(i);
    GlyphMask mask = kDamagedGlyph;
    if (slot != plate.damaged) {
      if (auto g = glyphOf(plate.text[i])) mask = *g;
    }
    const int left = box.x + (kSlotLeft + slot * kSlotPitch) * u;
    const int top = box.y + kSlotTop * u;
    for (int r = 0; r < kGlyphRows; ++r) {
      for (int c = 0; c < kGlyphCols; ++c) {
        if (mask & (GlyphMask{1} << (r * kGlyphCols + c))) {
          fillRect(canvas, left + c * u, top + r * u, u, u, kInk);
        }
      }
    }
  }

  const int squares = std::clamp(plate.cls, 0, kMaxClass);
  for (int i = 0; i < squares; ++i) {
    fillRect(canvas, box.x + kClassColumn * u, box.y + (kClassTop + i * kClassPitch) * u, u, u, kInk);
  }
}

}  // namespace kovira::plate
