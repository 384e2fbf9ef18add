// A fault plan from JSON text: the form KOVIRA_V4L2EMU gives it to a whole
// unit. Every key names a FaultPlan field; an unknown key or a value of the
// wrong kind is refused, so a mistyped switch never runs a test against the
// wrong device.
#include "platform/v4l2emu/v4l2emu.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string_view>

namespace v4l2emu {

namespace {

using Json = nlohmann::json;
using Setter = std::function<bool(const Json&, FaultPlan&)>;

template <class T>
Setter unsignedField(T FaultPlan::*field) {
  return [field](const Json& v, FaultPlan& p) {
    if (!v.is_number_unsigned() || v.get<std::uint64_t>() > std::numeric_limits<T>::max()) return false;
    p.*field = v.get<T>();
    return true;
  };
}

template <class T>
Setter intField(T FaultPlan::*field) {
  return [field](const Json& v, FaultPlan& p) {
    if (!v.is_number_integer()) return false;
    const auto n = v.get<std::int64_t>();
    if (n < std::numeric_limits<T>::min() || n > std::numeric_limits<T>::max()) return false;
    p.*field = static_cast<T>(n);
    return true;
  };
}

Setter boolField(bool FaultPlan::*field) {
  return [field](const Json& v, FaultPlan& p) {
    if (!v.is_boolean()) return false;
    p.*field = v.get<bool>();
    return true;
  };
}

const std::map<std::string_view, Setter>& setters() {
  static const std::map<std::string_view, Setter> table = {
      {"device", [](const Json& v, FaultPlan& p) {
         if (!v.is_string()) return false;
         p.device = v.get<std::string>();
         return true;
       }},
      {"grantInputBytes", unsignedField(&FaultPlan::grantInputBytes)},
      {"extraBuffers", unsignedField(&FaultPlan::extraBuffers)},
      {"readOnlyExportIndex", intField(&FaultPlan::readOnlyExportIndex)},
      {"failRequest", unsignedField(&FaultPlan::failRequest)},
      {"failNth", intField(&FaultPlan::failNth)},
      {"failErrno", intField(&FaultPlan::failErrno)},
      {"pictureDelayMs", unsignedField(&FaultPlan::pictureDelayMs)},
      {"noM2M", boolField(&FaultPlan::noM2M)},
      {"hung", boolField(&FaultPlan::hung)},
      {"reorderDepth", unsignedField(&FaultPlan::reorderDepth)},
      {"noDrain", boolField(&FaultPlan::noDrain)},
      {"drainNeverEnds", boolField(&FaultPlan::drainNeverEnds)},
      {"eosEvent", boolField(&FaultPlan::eosEvent)},
      {"errorPictureEvery", unsignedField(&FaultPlan::errorPictureEvery)},
  };
  return table;
}

}  // namespace

bool parseFaultPlan(const std::string& text, FaultPlan& plan, std::string& error) {
  const Json j = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) {
    error = "not a JSON object";
    return false;
  }
  FaultPlan parsed;
  for (const auto& [key, value] : j.items()) {
    const auto it = setters().find(key);
    if (it == setters().end()) {
      error = "unknown key \"" + key + "\"";
      return false;
    }
    if (!it->second(value, parsed)) {
      error = "\"" + key + "\": wrong value " + value.dump();
      return false;
    }
  }
  plan = std::move(parsed);
  return true;
}

}  // namespace v4l2emu
