#include "modules/carflow.h"

#include "config/config.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "evidence/labelformat.h"
#include "modules/dispatch.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"
#include "recognition/trackspeed.h"

namespace carflow {

std::string classText(int type) {
  switch (type) {
    case 2: return "АВТОБУС";
    case 3: return "ЛЕГКОВОЙ";
    case 4:
    case 5: return "МИКРОАВТОБУС";
    case 6: return "ГРУЗОВОЙ";
    default: return "-";
  }
}

bool accepted(std::size_t points, float accuracy, bool maskMatches, std::size_t plateBytes, double actionAccuracy) {
  constexpr double kUnmaskedAccuracy = 5.0;
  if (points > 4 && static_cast<double>(accuracy) >= actionAccuracy && maskMatches) return true;
  return points > 8 && static_cast<double>(accuracy) >= kUnmaskedAccuracy && plateBytes > 5;
}

namespace {

int judge(kovira::Track& track, kovira::Action& action) {
  using namespace evidence;
  const unsigned best = modules::bestStoredFrame(track);
  if (best == 0) return kNoEvidenceFrame;
  const kovira::TrackSpeed measured(track);  // shown and recorded, never tested
  const modules::ActionLimits limits = modules::limitsOf(action);
  const bool mask = track.checkMask();

  EventValues values;
  values.speed = measured.speed;
  values.archive = accepted(track.points.size(), track.advAccuracy(), mask, track.text().size(), limits.accuracy);
  values.highlight = !mask;
  values.caption = [spd = truncatedSpeed(measured.speed), cc = classText(track.type())](LabelFormat& label,
                                                                                       std::uint32_t usec) {
    label.emplace("spd", spd);
    label.emplace("f", format("%03d", static_cast<int>(usec / 1000)));
    label.emplace("cc", cc);
  };
  values.metadata.push_back({"spdlim", static_cast<std::int64_t>(limits.shown)});
  values.metadata.push_back({"spdtext", measured.text()});
  values.metadata.push_back({"timesync", std::int64_t{kovira::config().timesync() ? 1 : 0}});
  return composeEvidence(*moduleSettings(kModuleName), track, action, best, values);
}

}  // namespace

int processtrack(kovira::Track& track, kovira::Action& action) {
  return modules::guarded(kModuleName, judge, track, action);
}

int funnyt2(kovira::MultiTrack& group) {
  return modules::dispatch(
      group, {.method = kModuleName, .handled = kHandled, .countResults = false, .skipWorked = true}, judge);
}

void modinit() {
  modules::prepareScratch();
  kovira::ResQueue::handler_t& handler = resproc.addProcModule(kModuleName, funnyt2);
  handler.prio = kPriority;
  handler.interval = kInterval;
}

}  // namespace carflow
