#include "modules/speed.h"

#include "core/console.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "evidence/labelformat.h"
#include "modules/dispatch.h"
#include "config/config.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"
#include "recognition/trackspeed.h"

#include <sstream>
#include <string>

namespace speed {

bool isViolation(const kovira::Track& track, const kovira::TrackSpeed& measured, const modules::ActionLimits& limits) {
  if (static_cast<double>(track.advAccuracy()) < limits.accuracy) return false;
  if (!track.checkMask()) return false;
  if (measured.speed < static_cast<float>(limits.threshold)) return false;
  if (measured.time < kMinMeasuredSeconds) return false;
  if (limits.direction != 0 && static_cast<unsigned>(limits.direction) != track.direction()) return false;
  return limits.uplimit == 0 || static_cast<float>(limits.uplimit) >= measured.speed;
}

namespace {

int judge(kovira::Track& track, kovira::Action& action) {
  using namespace evidence;
  const std::string plate = track.text();
  // 1-2. Enough readings.
  if (track.onlyValidPoints().size() < kMinValidPoints) return kTooLittleData;
  if (track.plateCount() < kMinPlateReadings) return kTooLittleData;
  // 3-4. A clock and a camera that can be trusted.
  if (!modules::clockSynced(track)) return kNoEvidenceFrame;
  if (kovira::config().anglecritical.load() != 0) {
    consoleLine("[TRACK] " + plate + ": angle is critical");
    return kNoEvidenceFrame;
  }
  // 5-6. The evidence frame, still stored.
  const unsigned best = modules::bestStoredFrame(track);
  if (best == 0) return kNoEvidenceFrame;

  // 7. The measurement.
  const kovira::TrackSpeed measured(track);
  std::ostringstream line;
  line << "[SPD] (speed) " << measured;
  consoleLine(line.str());
  // A measurement TrackSpeed itself holds invalid proves nothing.
  if (!measured) return kTooLittleData;

  // 8-13. The decision.
  const modules::ActionLimits limits = modules::limitsOf(action);
  if (!isViolation(track, measured, limits)) return kNoEvent;

  // 14. Evidence.
  EventValues values;
  values.speed = measured.speed;
  const int spd = truncatedSpeed(measured.speed);
  values.caption = [spd, lim = limits.shown](LabelFormat& label, std::uint32_t usec) {
    label.emplace("spd", spd);
    label.emplace("lim", std::to_string(lim));
    label.emplace("f", format("%03d", static_cast<int>(usec / 1000)));
  };
  values.metadata.push_back({"spdlim", static_cast<std::int64_t>(limits.shown)});
  values.metadata.push_back({"spdtext", measured.text()});
  return composeEvidence(*moduleSettings(kModuleName), track, action, best, values);
}

}  // namespace

int processtrack(kovira::Track& track, kovira::Action& action) {
  return modules::guarded(kModuleName, judge, track, action);
}

int funnyt3(kovira::MultiTrack& group) { return modules::dispatch(group, {.method = kModuleName}, judge); }

void modinit() {
  modules::prepareScratch();
  resproc.addProcModule(kModuleName, funnyt3);
}

}  // namespace speed
