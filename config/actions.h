// Actions of the scene model: one configured processing task each (module
// name, watched zones, thresholds, evidence settings), one "action" section
// of the file per action.
//
// Threading: guarded by configMutex() (config/config_lock.h). The registry
// reserves room for kMaxActions on first use and never grows beyond it, so
// it never moves and an Action& stays valid for the life of the process.
// hasAction/action/addAction take the lock themselves.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kovira {

class Action {
 public:
  static constexpr double kDefaultAccuracy = 0.5;
  static constexpr std::uint32_t kDefaultImgW = 960;
  static constexpr std::uint32_t kDefaultImgH = 600;
  // A speed action does not believe speeds this far above its threshold.
  static constexpr std::uint32_t kUplimitMargin = 65;

  explicit Action(int id) : actid(id) {}
  // Actions live in place in the registry; a copy would be a second record
  // of the same id. Throws std::logic_error.
  Action(const Action&);
  Action& operator=(const Action&) = delete;

  // Applies one "action" section; absent keys leave fields unchanged. Called
  // with the configuration write lock held. A value of the wrong JSON type
  // throws the JSON library's type error; a number the field cannot hold
  // keeps the old value with a "[WARNING] " line and makes the result false.
  bool updConfig(const nlohmann::json& section);
  // For an operator's edit: "error: <key>: <reason>\n" of the first value
  // updConfig would not take, "" when it takes them all.
  static std::string check(const nlohmann::json& section);
  std::string tojson(int mode) const;
  void tojson(nlohmann::json& out, int mode) const;
  // `word` occurs anywhere in `extra` (a substring test).
  bool feature(const std::string& word) const;

  std::int32_t actid;
  std::int32_t enabled = 0;
  std::int32_t removed = 0;
  std::int32_t zoneA = 0;
  std::int32_t zoneB = 0;
  std::int32_t zoneC = 0;
  std::int32_t zoneD = 0;
  std::string method;
  double accuracy = kDefaultAccuracy;
  std::string path;
  std::string label;
  std::string extra;
  std::string script;
  std::uint32_t imgw = kDefaultImgW;
  std::uint32_t imgh = kDefaultImgH;
  std::uint32_t speed = 0;
  std::uint32_t threshold = 0;
  std::uint32_t uplimit = 0;
  std::uint32_t fmt = 0;
  std::uint32_t quality = 0;
  std::int32_t direction = 0;
  std::int32_t upload = 0;
};

inline constexpr std::size_t kMaxActions = 96;

// The registry in the order actions were added. Iterate under ConfigReadLock.
std::vector<Action>& actions();
bool hasAction(int id);
// Throws std::logic_error "Action configuration was not found [id=N]".
Action& action(int id);
// Builds Action(id) at the end; no duplicate check (test hasAction first).
// Throws std::logic_error when the registry already holds kMaxActions.
Action& addAction(int id);

}  // namespace kovira
