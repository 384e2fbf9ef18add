// The three-photo speed module "speed-kormelino": the speed decision of the
// module "speed" (modules/speed.h) with a collage of three photos (the
// evidence frame, the first and the last measured frame), a report with
// built-in device texts, always the full frame and never a signature.
//
// Threading: funnyt1 runs on the result-queue workers; no state of its own.
#pragma once

#include "modules/dispatch.h"  // the module interface: kovira::Action, MultiTrack, Track

namespace spd_kormelino {

inline constexpr const char* kModuleName = "speed-kormelino";
inline constexpr unsigned kMinTrackPoints = 4;

int funnyt1(kovira::MultiTrack& group);
int processtrack(kovira::Track& track, kovira::Action& action);

}  // namespace spd_kormelino
