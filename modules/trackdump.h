// The track dump module "trackdump": every track of an action's zone A is
// written as one JSON file, point by point with each point's frame record,
// to "$HOME/trackdump/<startup>-<trackid>.json" for offline study.
//
// Threading: funnyt51 runs on the result-queue workers; no state of its own.
// Files are written whole (temporary file, fsync, rename): a reader never
// sees half a dump.
#pragma once

#include <string>

#include "modules/dispatch.h"  // the module interface: kovira::Action, MultiTrack, Track

namespace trackdump {

inline constexpr const char* kModuleName = "trackdump";
inline constexpr const char* kFolder = "trackdump";

// The dump of one track as text; "" when its first frame has left the store.
std::string dumpText(kovira::Track& track);
// Writes the dump into home + "/trackdump/"; false, with one console line
// for a failed write, when nothing was written.
bool processtrack(kovira::Track& track, const std::string& home);

int funnyt51(kovira::MultiTrack& group);

}  // namespace trackdump
