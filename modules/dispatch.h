// The one dispatcher of the processing modules: the result queue calls a
// module's registered function once per finished plate group, and that
// function walks the action registry with its module's rules here.
//
// Threading: runs on the result-queue workers, several groups at once. The
// action list is read under the configuration read lock; the judging runs
// without it (actions never move, see config/actions.h). The group's
// evidence counter is written only by the worker that owns the group.
#pragma once

#include <cstdint>
#include <string_view>

namespace kovira {
class Action;
class MultiTrack;
class Track;
}  // namespace kovira

namespace modules {

// Returned for a plate handled by an action with a zone: the result queue
// then holds the plate back from the module for its interval.
inline constexpr int kHandled = 180;

using ProcessFn = int (*)(kovira::Track& track, kovira::Action& action);

struct DispatchRules {
  std::string_view method;     // actions whose `method` is exactly this
  int handled = kHandled;      // returned when the last such action has a zone
  bool countResults = true;    // a positive result raises the group's evidence counter
  bool skipWorked = false;     // honour the feature "skipworked": skip a group with evidence
};

// Runs process on a private copy of the zone A track for every enabled
// action of rules.method whose zone has a track in the group. Returns
// rules.handled when the zone A of the last enabled action of the method is
// not 0, else 0, whatever the tracks and results were.
int dispatch(kovira::MultiTrack& group, const DispatchRules& rules, ProcessFn process);

// The action's decision values, copied under the read lock (pages may edit
// the action while a worker judges a track).
struct ActionLimits {
  double accuracy = 0;
  std::uint32_t threshold = 0;
  std::uint32_t uplimit = 0;
  std::uint32_t shown = 0;  // the displayed limit (`speed`)
  std::int32_t direction = 0;
};
ActionLimits limitsOf(const kovira::Action& action);

// Creates the scratch folder of the evidence modules; a console line when
// it cannot.
void prepareScratch();

// The clock is synchronised; otherwise the "time not synced" console line.
bool clockSynced(const kovira::Track& track);

// The track's best frame while its camera still holds it; 0, with the
// console line of the missing frame, otherwise.
unsigned bestStoredFrame(kovira::Track& track);

// Plate accuracy at least the action's, the plate matches a mask, and the
// direction is the one the action names (0: any).
bool plateAndDirectionPass(const kovira::Track& track, const ActionLimits& limits);

// process(track, action), with an exception of the module turned into one
// "[ERR] (<module>) <plate>: <what>" line and -2: a module's fault never
// stops the worker or the other actions.
int guarded(std::string_view module, ProcessFn process, kovira::Track& track, kovira::Action& action);

}  // namespace modules
