#include "modules/spd_kormelino.h"

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

#include <sstream>
#include <string>
#include <vector>

namespace spd_kormelino {
namespace {

int judge(kovira::Track& track, kovira::Action& action) {
  using namespace evidence;
  if (!kovira::config().timesync()) return kNoEvidenceFrame;
  const std::vector<kovira::TrackPoint> valid = track.onlyValidPoints();
  if (valid.size() < speed::kMinValidPoints) return kTooLittleData;
  // All points here, not plate readings.
  if (track.points.size() < kMinTrackPoints) return kTooLittleData;
  const unsigned best = modules::bestStoredFrame(track);
  if (best == 0) return kNoEvidenceFrame;

  const kovira::TrackSpeed measured(track);
  if (!measured) return kTooLittleData;
  const modules::ActionLimits limits = modules::limitsOf(action);
  if (!speed::isViolation(track, measured, limits)) return kNoEvent;
  std::ostringstream line;
  line << "[SPD] " << measured;
  consoleLine(line.str());

  EventValues values;
  values.speed = measured.speed;
  values.caption = [spd = truncatedSpeed(measured.speed), lim = limits.shown](LabelFormat& label, std::uint32_t) {
    label.emplace("spd", spd);
    label.emplace("lim", std::to_string(lim));
  };
  values.metadata.push_back({"spdlim", static_cast<std::int64_t>(limits.shown)});
  values.firstFrame = valid.front().num;
  values.lastFrame = valid.back().num;
  return composeEvidence(*moduleSettings(kModuleName), track, action, best, values);
}

}  // namespace

int processtrack(kovira::Track& track, kovira::Action& action) {
  return modules::guarded(kModuleName, judge, track, action);
}

int funnyt1(kovira::MultiTrack& group) { return modules::dispatch(group, {.method = kModuleName}, judge); }

void modinit() {
  modules::prepareScratch();
  resproc.addProcModule(kModuleName, funnyt1);
}

}  // namespace spd_kormelino
