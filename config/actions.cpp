#include "config/actions.h"

#include "config/config_lock.h"
#include "config/json_fields.h"
#include "config/config.h"
#include "config/json_writer.h"
#include "config/section_check.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace kovira {

Action::Action(const Action&) { throw std::logic_error("Copying of the kovira::Action object is forbidden"); }

std::string Action::check(const nlohmann::json& section) {
  constexpr double kZoneMax = GlobalConfig::kMaxId;
  return checkSection(section, {
      integerRule("enabled", kInt32Min, kInt32Max), integerRule("upload", 0, 1),
      integerRule("zoneA", 0, kZoneMax),    integerRule("zoneB", 0, kZoneMax),
      integerRule("zoneC", 0, kZoneMax),    integerRule("zoneD", 0, kZoneMax),
      integerRule("speed", 0, kUint32Max),  integerRule("threshold", 0, kUint32Max),
      integerRule("uplimit", 0, kUint32Max), integerRule("fmt", 0, kUint32Max),
      integerRule("imgw", 0, kUint32Max),   integerRule("imgh", 0, kUint32Max),
      integerRule("quality", 0, 100),       integerRule("direction", 0, 2),
      realRule("accuracy", 0, 1e308),       textRule("method"),
      textRule("label"),                    textRule("path"),
      textRule("script"),                   textRule("extra"),
  });
}

bool Action::updConfig(const nlohmann::json& section) {
  bool fits = true;
  if (section.is_object()) {
    const std::string owner = "action [id=" + std::to_string(actid) + "]";
    fits &= readNumberField(section, "enabled", enabled, owner);
    fits &= readNumberField(section, "zoneA", zoneA, owner);
    fits &= readNumberField(section, "zoneB", zoneB, owner);
    fits &= readNumberField(section, "zoneC", zoneC, owner);
    fits &= readNumberField(section, "zoneD", zoneD, owner);
    fits &= readTextField(section, "method", method, owner);
    fits &= readTextField(section, "label", label, owner);
    fits &= readTextField(section, "path", path, owner);
    fits &= readTextField(section, "script", script, owner);
    fits &= readNumberField(section, "speed", speed, owner);
    fits &= readNumberField(section, "threshold", threshold, owner);
    fits &= readNumberField(section, "uplimit", uplimit, owner);
    fits &= readNumberField(section, "fmt", fmt, owner);
    fits &= readNumberField(section, "accuracy", accuracy, owner);
    fits &= readNumberField(section, "imgw", imgw, owner);
    fits &= readNumberField(section, "imgh", imgh, owner);
    fits &= readTextField(section, "extra", extra, owner);
    fits &= readNumberField(section, "quality", quality, owner);
    fits &= readNumberField(section, "direction", direction, owner);
    fits &= readNumberField(section, "upload", upload, owner);
  }
  if (threshold != 0 && speed != 0) uplimit = threshold + kUplimitMargin;
  return fits;
}

void Action::tojson(nlohmann::json& out, int mode) const {
  out = nlohmann::json::object();
  out["type"] = "action";
  out["actid"] = actid;
  out["enabled"] = enabled;
  out["method"] = method;
  out["zoneA"] = zoneA;
  out["zoneB"] = zoneB;
  out["zoneC"] = zoneC;
  out["zoneD"] = zoneD;
  out["imgw"] = imgw;
  out["imgh"] = imgh;
  out["threshold"] = threshold;
  out["accuracy"] = accuracy;
  out["speed"] = speed;
  const bool full = mode != 0;
  if (full || !label.empty()) out["label"] = label;
  if (full || !path.empty()) out["path"] = path;
  if (full || !script.empty()) out["script"] = script;
  if (full || fmt != 0) out["fmt"] = fmt;
  if (full || !extra.empty()) out["extra"] = extra;
  if (full || quality != 0) out["quality"] = quality;
  if (full || direction >= 1) out["direction"] = direction;
  if (full || upload >= 1) out["upload"] = upload;
  // Written whenever set, so an upper limit typed by the operator survives
  // the next save (when speed and threshold are set it is derived anyway).
  if (full || uplimit != 0) out["uplimit"] = uplimit;
}

std::string Action::tojson(int mode) const {
  nlohmann::json out;
  tojson(out, mode);
  return jsonText(out);
}

bool Action::feature(const std::string& word) const { return extra.find(word) != std::string::npos; }

std::vector<Action>& actions() {
  static std::vector<Action> registry = [] {
    std::vector<Action> v;
    v.reserve(kMaxActions);
    return v;
  }();
  return registry;
}

namespace {
Action* findAction(int id) {
  for (Action& a : actions())
    if (a.actid == id) return &a;
  return nullptr;
}
}  // namespace

bool hasAction(int id) {
  ConfigReadLock lock;
  return findAction(id) != nullptr;
}

Action& action(int id) {
  ConfigReadLock lock;
  if (Action* a = findAction(id)) return *a;
  throw std::logic_error("Action configuration was not found [id=" + std::to_string(id) + "]");
}

Action& addAction(int id) {
  ConfigWriteLock lock;
  auto& list = actions();
  if (list.size() >= kMaxActions)
    throw std::logic_error("no room for another action [id=" + std::to_string(id) + "], at most " +
                           std::to_string(kMaxActions));
  return list.emplace_back(id);
}

}  // namespace kovira
