// Where things are in an evidence frame: the marked plate corners, the plate
// box drawn around the plate, the plate crop, the vehicle rectangle and the
// crosshair, all in frame pixels, from the evidence frame's track point.
// Pure functions of their arguments.
#pragma once

#include "recognition/bestframe.h"
#include "recognition/track.h"

#include <cstdint>

namespace evidence {

// Collage sizes outside kMinCollageSide..Collage::kMaxSide are taken as the
// nearest end: an absurd configured size must neither throw nor exhaust
// memory.
inline constexpr int kMinCollageSide = 64;
int clampCollageSide(std::uint32_t side);

// A plate box whose left and top are both beyond this is grown on every side.
inline constexpr int kPlateBoxGrowFrom = 40;
inline constexpr int kPlateBoxGrowth = 20;
inline constexpr int kCrosshairDrop = 45;  // below the tracking point
inline constexpr int kCrosshairSize = 22;

struct EvidenceGeometry {
  kovira::IntRect plateBox;  // drawn as the red box; not clipped
  kovira::IntRect plateCrop;  // plateBox clipped to the frame; all 0 when empty
  kovira::IntRect vehicle;    // carRect, clipped to the frame
  int markX[3] = {0, 0, 0};   // plate corners: top-left, bottom-left, top-right
  int markY[3] = {0, 0, 0};
  int crossX = 0;
  int crossY = 0;
};

EvidenceGeometry evidenceGeometry(const kovira::TrackPoint& p, int frameWidth, int frameHeight);

}  // namespace evidence
