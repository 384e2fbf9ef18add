// Where things are in an evidence frame: the marked plate corners, the plate
// box drawn around the plate, the plate crop, the vehicle rectangle and the
// crosshair, all in frame pixels, from the evidence frame's track point.
// Pure functions of their arguments.
#pragma once

#include "recognition/bestframe.h"
#include "recognition/track.h"

#include <cstdint>
#include <string>

namespace evidence {

// Collage sizes outside kMinCollageSide..Collage::kMaxSide are taken as the
// nearest end: an absurd configured size must neither throw nor exhaust
// memory.
inline constexpr int kMinCollageSide = 64;
int clampCollageSide(std::uint32_t side);
// JPEG quality above this is taken as it.
inline constexpr std::uint32_t kMaxJpegQuality = 100;
// What the composition changes of an action's picture settings, one clause
// each ("imgw 5000 -> 4096"), joined by ", "; empty when it takes them as
// they are.
std::string clampedSettings(std::uint32_t imgw, std::uint32_t imgh, std::uint32_t quality);

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
