#include "tools/scenegen/scene.h"

#include "platform/plate/plate_layout.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace kovira::scenegen {
namespace {

using nlohmann::json;

struct Bad {
  std::string what;
};

const json& member(const json& obj, const char* key, const std::string& where) {
  if (!obj.contains(key)) throw Bad{where + "\"" + key + "\" is missing"};
  return obj.at(key);
}

int intIn(const json& obj, const char* key, int lo, int hi, const std::string& where,
          std::optional<int> fallback = std::nullopt) {
  if (fallback && !obj.contains(key)) return *fallback;
  const json& v = member(obj, key, where);
  if (!v.is_number_integer() || v.get<long long>() < lo || v.get<long long>() > hi) {
    throw Bad{where + "\"" + key + "\" must be a whole number from " + std::to_string(lo) + " to " +
              std::to_string(hi)};
  }
  return static_cast<int>(v.get<long long>());
}

double numberIn(const json& obj, const char* key, double lo, double hi, const std::string& where,
                bool loOpen = false) {
  const json& v = member(obj, key, where);
  if (!v.is_number()) throw Bad{where + "\"" + key + "\" must be a number"};
  const double d = v.get<double>();
  if (!std::isfinite(d) || d < lo || (loOpen && d == lo) || d > hi) {
    throw Bad{where + "\"" + key + "\" is out of range"};
  }
  return d;
}

Vehicle parseVehicle(const json& v, const Scene& s, std::size_t index) {
  const std::string where = "vehicle " + std::to_string(index) + ": ";
  if (!v.is_object()) throw Bad{where + "must be an object"};
  Vehicle out;
  const json& plate = member(v, "plate", where);
  if (!plate.is_string() || !plate::isValidText(plate.get<std::string>())) {
    throw Bad{where + "\"plate\" must be 8 or 9 characters of " + std::string(plate::kAlphabet)};
  }
  out.plate = plate.get<std::string>();
  out.cls = intIn(v, "class", 0, plate::kMaxClass, where, 0);
  out.kmh = numberIn(v, "kmh", 0, kMaxKmh, where, true);
  out.direction = intIn(v, "direction", 1, 2, where);
  out.start = numberIn(v, "start", 0, s.seconds, where);
  const int half = plate::kWidthModules * s.module / 2;
  out.x = intIn(v, "x", half, s.width - half, where);
  out.misread = intIn(v, "misread", 0, 1000000, where, 0);
  return out;
}

Scene parse(const json& j) {
  if (!j.is_object()) throw Bad{"the scene must be a JSON object"};
  Scene s;
  s.width = intIn(j, "width", kMinSide, kMaxSide, "");
  s.height = intIn(j, "height", kMinSide, kMaxSide, "");
  // H.264 in 4:2:0 needs even sides; refusing odd ones keeps both outputs alike.
  if (s.width % 2 != 0 || s.height % 2 != 0) throw Bad{"\"width\" and \"height\" must be even"};
  s.fps = intIn(j, "fps", 1, kMaxFps, "");
  s.seconds = numberIn(j, "seconds", 0, kMaxSeconds, "", true);
  s.port = intIn(j, "port", 1, 65535, "");
  s.limit = intIn(j, "limit", 0, 1000, "");
  s.threshold = intIn(j, "threshold", 0, 1000, "");
  s.module = intIn(j, "module", 1, 64, "", std::max(3, s.width / 400));
  if (plate::kWidthModules * s.module > s.width || plate::kHeightModules * s.module > s.height) {
    throw Bad{"\"module\" makes the plate larger than the picture"};
  }

  const json& cal = member(j, "calibration", "");
  if (!cal.is_object()) throw Bad{"\"calibration\" must be an object"};
  const json& rows = member(cal, "rows", "calibration: ");
  if (!rows.is_array() || rows.size() < 2) throw Bad{"calibration: \"rows\" needs at least two rows"};
  for (const json& r : rows) {
    if (!r.is_number_integer() || r.get<long long>() < 0 || r.get<long long>() >= s.height) {
      throw Bad{"calibration: every row must be a whole number inside the picture"};
    }
    const int row = static_cast<int>(r.get<long long>());
    if (!s.rows.empty() && row <= s.rows.back()) throw Bad{"calibration: rows must increase"};
    s.rows.push_back(row);
  }
  s.metres = numberIn(cal, "metres", 0, 1000, "calibration: ", true);

  if (j.contains("zone")) {
    const json& zone = j.at("zone");
    if (!zone.is_array() || zone.size() < 6 || zone.size() % 2 != 0)
      throw Bad{"\"zone\" must list at least three x, y corners"};
    for (std::size_t i = 0; i < zone.size(); ++i) {
      const int side = i % 2 == 0 ? s.width : s.height;
      if (!zone[i].is_number_integer() || zone[i].get<long long>() < 0 || zone[i].get<long long>() >= side)
        throw Bad{"zone: every corner must be whole numbers inside the picture"};
      s.zone.push_back(static_cast<int>(zone[i].get<long long>()));
    }
  }

  const json& vehicles = member(j, "vehicles", "");
  if (!vehicles.is_array()) throw Bad{"\"vehicles\" must be an array"};
  for (std::size_t i = 0; i < vehicles.size(); ++i) s.vehicles.push_back(parseVehicle(vehicles[i], s, i));
  return s;
}

}  // namespace

int Scene::frameCount() const { return static_cast<int>(std::lround(seconds * fps)); }

SceneOrError parseScene(std::string_view text) {
  try {
    return {parse(json::parse(text)), {}};
  } catch (const Bad& b) {
    return {std::nullopt, b.what};
  } catch (const json::exception& e) {
    return {std::nullopt, e.what()};
  }
}

}  // namespace kovira::scenegen
