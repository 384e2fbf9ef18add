#include "modules/speed.h"

#include "config/actions.h"
#include "config/config.h"
#include "core/console.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "evidence/labelformat.h"
#include "recognition/bestframe.h"
#include "recognition/multitrack.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"
#include "recognition/trackspeed.h"

#include <cstdio>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

namespace speed {
namespace {

void say(const std::string& line) { consoleLine(line); }

// The action's decision values, copied under the read lock (pages may edit
// the action while a worker judges a track).
struct Limits {
  double accuracy = 0;
  std::uint32_t threshold = 0;
  std::uint32_t uplimit = 0;
  std::uint32_t shown = 0;  // the displayed limit (`speed`)
  std::int32_t direction = 0;
};

Limits limitsOf(const kovira::Action& action) {
  kovira::ConfigReadLock lock;
  return {action.accuracy, action.threshold, action.uplimit, action.speed, action.direction};
}

int judge(kovira::Track& track, kovira::Action& action) {
  using namespace evidence;
  const std::string plate = track.text();
  // 1-2. Enough readings.
  if (track.onlyValidPoints().size() < kMinValidPoints) return kTooLittleData;
  if (track.plateCount() < kMinPlateReadings) return kTooLittleData;
  // 3-4. A clock and a camera that can be trusted.
  if (!kovira::config().timesync()) {
    say("[TRACK] " + plate + ": time not synced");
    return kNoEvidenceFrame;
  }
  if (kovira::config().anglecritical.load() != 0) {
    say("[TRACK] " + plate + ": angle is critical");
    return kNoEvidenceFrame;
  }
  // 5-6. The evidence frame, still stored.
  const unsigned best = kovira::findBestFrame(track, 0);
  if (best == 0) {
    say("[TRACK] " + plate + ": не найден лучший кадр");
    return kNoEvidenceFrame;
  }
  if (checkEvidenceFrame(track, best) != 0) return kNoEvidenceFrame;

  // 7. The measurement.
  const kovira::TrackSpeed measured(track);
  std::ostringstream line;
  line << "[SPD] (speed) " << measured;
  say(line.str());
  // A measurement TrackSpeed itself holds invalid proves nothing.
  if (!measured) return kTooLittleData;

  // 8-13. The decision.
  const Limits limits = limitsOf(action);
  if (static_cast<double>(track.advAccuracy()) < limits.accuracy) return kNoEvent;
  if (!track.checkMask()) return kNoEvent;
  if (measured.speed < static_cast<float>(limits.threshold)) return kNoEvent;
  if (measured.time < kMinMeasuredSeconds) return kNoEvent;
  if (limits.direction != 0 && static_cast<unsigned>(limits.direction) != track.direction()) return kNoEvent;
  if (limits.uplimit != 0 && static_cast<float>(limits.uplimit) < measured.speed) return kNoEvent;

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
  try {
    return judge(track, action);
  } catch (const std::exception& e) {
    say("[ERR] (speed) " + track.text() + ": " + e.what());
  } catch (...) {
    say("[ERR] (speed) " + track.text() + ": unknown failure");
  }
  return evidence::kNoEvidenceFrame;
}

int funnyt3(kovira::MultiTrack& group) {
  // The actions to run, taken under the read lock; the judging runs without
  // it (actions never move, see config/actions.h).
  std::vector<kovira::Action*> todo;
  std::int32_t lastZone = 0;
  {
    kovira::ConfigReadLock lock;
    for (kovira::Action& a : kovira::actions()) {
      if (a.enabled == 0 || a.method != kModuleName) continue;
      todo.push_back(&a);
      lastZone = a.zoneA;
    }
  }
  for (kovira::Action* action : todo) {
    std::int32_t zoneA = 0;
    {
      kovira::ConfigReadLock lock;
      zoneA = action->zoneA;
    }
    if (zoneA <= 0 || !group.hasTrack(static_cast<std::uint32_t>(zoneA))) continue;
    kovira::Track copy = group.track(static_cast<std::uint32_t>(zoneA));
    if (processtrack(copy, *action) > 0) ++group.counter;
  }
  return lastZone != 0 ? kHandled : 0;
}

void modinit() {
  if (!evidence::makeCashedDir()) say("[ERR] cannot create " + std::string(evidence::kCashedDir));
  resproc.addProcModule(kModuleName, funnyt3);
}

}  // namespace speed
