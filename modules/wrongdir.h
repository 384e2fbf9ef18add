// The wrong-direction module "wrongdir": for every finished plate group,
// each enabled action with the method "wrongdir" judges the group's track in
// its zone A; a moving vehicle driving the direction the action names gets
// one evidence archive (evidence/compose.h) marked nWrongDirection.
//
// Threading: funnyt5 runs on the result-queue workers; no state of its own.
#pragma once

#include "modules/dispatch.h"  // the module interface: kovira::Action, MultiTrack, Track

namespace wrongdir {

inline constexpr const char* kModuleName = "wrongdir";
// Slower vehicles are not counted: a standing car shows no direction.
inline constexpr float kMinSpeedKmh = 15.0f;

int funnyt5(kovira::MultiTrack& group);
int processtrack(kovira::Track& track, kovira::Action& action);

}  // namespace wrongdir
