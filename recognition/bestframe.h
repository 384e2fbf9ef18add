// Choosing a track's evidence picture: the estimated vehicle rectangle
// around a plate and the frame in which it lies best inside the picture.
//
// Thread-safe; findBestFrame reads the frame stores through sceneAccess().
#pragma once

#include "recognition/track.h"

namespace kovira {

struct IntRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const IntRect&) const = default;
};

// The vehicle around a plate of width a with its tracking point at (cx, cy):
// 6 plate widths wide, 3.5 above and 1.5 below the point, scaled by k;
// clipped to a maxw x maxh picture when maxw + maxh > 0 (then empty when
// nothing is left).
IntRect carRect(int a, int cx, int cy, int maxw, int maxh, float k);

// Frame number of the valid point whose vehicle lies most inside its stored
// frame; 0 when no such frame is still stored. The second argument is not
// used.
unsigned findBestFrame(Track& track, int unused = 0);

}  // namespace kovira
