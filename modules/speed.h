// The speed module "speed": for every finished plate group, each enabled
// action with the method "speed" judges the group's track in its zone A;
// a vehicle at or above the threshold gets one evidence archive (the shared
// composition, evidence/compose.h) with the speed and limit in its caption.
//
// Threading: funnyt3 runs on the result-queue workers, several groups at
// once; it keeps no state of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "modules/dispatch.h"

namespace kovira {
class Action;
class MultiTrack;
class Track;
class TrackSpeed;
}  // namespace kovira

namespace speed {

inline constexpr const char* kModuleName = "speed";
inline constexpr int kHandled = modules::kHandled;
inline constexpr float kMinMeasuredSeconds = 0.25f;
inline constexpr std::size_t kMinValidPoints = 2;
inline constexpr std::size_t kMinPlateReadings = 4;

// Steps 8-13 of the speed decision, shared with the three-photo variant:
// accuracy, plate mask, threshold, measured time, direction, upper bound.
bool isViolation(const kovira::Track& track, const kovira::TrackSpeed& measured, const modules::ActionLimits& limits);

// The dispatcher registered with the result queue.
int funnyt3(kovira::MultiTrack& group);
// Decision and evidence for one track and one action: 1, 0, -1, -2 or -3
// (evidence::ComposeResult).
int processtrack(kovira::Track& track, kovira::Action& action);

}  // namespace speed
