// The track debug picture of the tickets page: the evidence frame in colour
// with every track point, the zone outline, the calibration and marker
// points, the vehicle and plate rectangles, and under it a strip of the
// plate crops of the track's frames, each labelled with its number and
// reading and framed in a colour that says whether the reading agrees with
// the track's plate text.
//
// Threading: runs on the worker that composes the evidence. Frames are read
// out of the store while capture keeps writing; each is copied at once and
// used only when the copy is known to be intact (compose_frame.h).
#pragma once

#include <opencv2/core.hpp>

namespace kovira {
class Track;
}

namespace evidence {
inline constexpr int kStripMaxCells = 250;
inline constexpr int kStripMinPlateWidth = 240;
inline constexpr int kStripMinPlateHeight = 40;
// Cells are sized from the largest plate of the track, which comes from the
// recogniser: a size beyond these (or beyond the frame) is a misreading and
// must not make every cell of the strip huge.
inline constexpr int kStripMaxPlateWidth = 480;
inline constexpr int kStripMaxPlateHeight = 120;
inline constexpr int kStripGap = 10;
inline constexpr double kStripAccuracyFloor = 0.3;
}  // namespace evidence

// True with the picture (8-bit BGR) in out; false, out unchanged, when the
// evidence frame is no longer in the camera's store (with an "[ERR] " line).
bool debug_imgtrack(int camid, unsigned int frame, cv::Mat& out, kovira::Track& track);
