#include "modules/dispatch.h"

#include "config/actions.h"
#include "config/config.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "recognition/bestframe.h"
#include "recognition/multitrack.h"
#include "recognition/track.h"

#include <exception>
#include <string>
#include <vector>

namespace modules {

ActionLimits limitsOf(const kovira::Action& action) {
  kovira::ConfigReadLock lock;
  return {action.accuracy, action.threshold, action.uplimit, action.speed, action.direction};
}

void prepareScratch() {
  if (!evidence::makeCashedDir()) evidence::consoleLine("[ERR] cannot create " + std::string(evidence::kCashedDir));
}

bool clockSynced(const kovira::Track& track) {
  if (kovira::config().timesync()) return true;
  evidence::consoleLine("[TRACK] " + track.text() + ": time not synced");
  return false;
}

unsigned bestStoredFrame(kovira::Track& track) {
  const unsigned best = kovira::findBestFrame(track, 0);
  if (best == 0) {
    evidence::consoleLine("[TRACK] " + track.text() + ": не найден лучший кадр");
    return 0;
  }
  return evidence::checkEvidenceFrame(track, best) == 0 ? best : 0;
}

bool plateAndDirectionPass(const kovira::Track& track, const ActionLimits& limits) {
  if (static_cast<double>(track.advAccuracy()) < limits.accuracy) return false;
  if (!track.checkMask()) return false;
  return limits.direction == 0 || static_cast<unsigned>(limits.direction) == track.direction();
}

int guarded(std::string_view module, ProcessFn process, kovira::Track& track, kovira::Action& action) {
  try {
    return process(track, action);
  } catch (const std::exception& e) {
    evidence::consoleLine("[ERR] (" + std::string(module) + ") " + track.text() + ": " + e.what());
  } catch (...) {
    evidence::consoleLine("[ERR] (" + std::string(module) + ") " + track.text() + ": unknown failure");
  }
  return evidence::kNoEvidenceFrame;
}

int dispatch(kovira::MultiTrack& group, const DispatchRules& rules, ProcessFn process) {
  std::vector<kovira::Action*> todo;
  std::int32_t lastZone = 0;
  {
    kovira::ConfigReadLock lock;
    for (kovira::Action& a : kovira::actions()) {
      if (a.enabled == 0 || a.method != rules.method) continue;
      todo.push_back(&a);
      lastZone = a.zoneA;
    }
  }
  for (kovira::Action* action : todo) {
    std::int32_t zoneA = 0;
    bool skipWorked = false;
    {
      kovira::ConfigReadLock lock;
      zoneA = action->zoneA;
      skipWorked = rules.skipWorked && action->extra.find("skipworked") != std::string::npos;
    }
    if (zoneA <= 0 || !group.hasTrack(static_cast<std::uint32_t>(zoneA))) continue;
    if (skipWorked && group.counter != 0) continue;
    kovira::Track copy = group.track(static_cast<std::uint32_t>(zoneA));
    const int result = guarded(rules.method, process, copy, *action);
    if (rules.countResults && result > 0) ++group.counter;
  }
  return lastZone != 0 ? rules.handled : 0;
}

}  // namespace modules
