// The car-flow module "carflow": every vehicle of an action's zone A with a
// usable evidence frame gets a passage with its class; a vehicle read well
// enough also gets an evidence archive (evidence/compose.h). It runs after
// every other module, so an action with "skipworked" leaves out the plates
// that another module has already reported.
//
// Threading: funnyt2 runs on the result-queue workers; no state of its own.
#pragma once

#include <cstddef>
#include <string>

#include "modules/dispatch.h"  // the module interface: kovira::Action, MultiTrack, Track

namespace carflow {

inline constexpr const char* kModuleName = "carflow";
inline constexpr int kHandled = 30;
inline constexpr int kPriority = 2147483647;  // last of all modules
inline constexpr unsigned kInterval = 30;     // seconds a counted plate is held back

// The caption's vehicle class text of Track::type().
std::string classText(int type);

// A track worth an archive: more than 4 points read at the action's
// accuracy with a plate that fits a mask, or more than 8 points read at
// 5.0 or better with a plate text longer than 5 bytes.
bool accepted(std::size_t points, float accuracy, bool maskMatches, std::size_t plateBytes, double actionAccuracy);

int funnyt2(kovira::MultiTrack& group);
int processtrack(kovira::Track& track, kovira::Action& action);

}  // namespace carflow
