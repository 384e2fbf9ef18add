#include "modules/wrongdir.h"

#include "config/config.h"
#include "core/startup_functions.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "evidence/labelformat.h"
#include "modules/dispatch.h"
#include "modules/speed.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"
#include "recognition/trackspeed.h"

#include <string>

namespace wrongdir {
namespace {

int judge(kovira::Track& track, kovira::Action& action) {
  using namespace evidence;
  if (track.onlyValidPoints().size() < speed::kMinValidPoints) return kTooLittleData;
  if (track.plateCount() < speed::kMinPlateReadings) return kTooLittleData;
  if (!modules::clockSynced(track)) return kNoEvidenceFrame;
  const unsigned best = modules::bestStoredFrame(track);
  if (best == 0) return kNoEvidenceFrame;
  const kovira::TrackSpeed measured(track);
  // No measurement, no proof that the vehicle moved at all.
  if (!measured) return kTooLittleData;

  const modules::ActionLimits limits = modules::limitsOf(action);
  if (static_cast<double>(track.advAccuracy()) < limits.accuracy) return kNoEvent;
  if (!track.checkMask()) return kNoEvent;
  if (measured.speed < kMinSpeedKmh) return kNoEvent;
  if (limits.direction != 0 && static_cast<unsigned>(limits.direction) != track.direction()) return kNoEvent;

  EventValues values;
  values.speed = measured.speed;
  values.caption = [spd = truncatedSpeed(measured.speed)](LabelFormat& label, std::uint32_t) {
    label.emplace("spd", spd);
  };
  return composeEvidence(*moduleSettings(kModuleName), track, action, best, values);
}

}  // namespace

int processtrack(kovira::Track& track, kovira::Action& action) {
  return modules::guarded(kModuleName, judge, track, action);
}

int funnyt5(kovira::MultiTrack& group) { return modules::dispatch(group, {.method = kModuleName}, judge); }

void modinit() {
  modules::prepareScratch();
  resproc.addProcModule(kModuleName, funnyt5);
}

}  // namespace wrongdir
