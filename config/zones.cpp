#include "config/zones.h"

#include "config/camera_sections.h"
#include "config/config_lock.h"
#include "config/json_fields.h"
#include "config/config.h"
#include "config/json_writer.h"
#include "config/section_check.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace kovira {

namespace {

constexpr double kMicro = 1e6;

// A float field written as the shortest decimal that reads back to the same
// float, so 0.1 stays "0.1" in the file instead of 0.100000001490116.
double shortestDouble(float f) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, f);
  double d = 0;
  std::from_chars(buf, res.ptr, d);
  return d;
}

// k of one band: distance per row in millionths, clamped to what 32 bits hold.
std::uint32_t bandK(float calcost, int rows) {
  if (rows <= 0) return 0;  // two marks on one row: an empty band
  const double k = static_cast<double>(calcost) * kMicro / rows;
  if (!(k > 0)) return 0;  // zero, negative or NaN
  if (k >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
    return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(k);
}

// Any integer: non-zero is on, and it is saved back as the file gave it.
const FieldRule kEnabled = integerRule("enabled", kInt32Min, kInt32Max);
const FieldRule kCamid = integerRule("camid", 0, GlobalConfig::kMaxId);
const FieldRule kScale = integerRule("scale", 0, Zone::kScaleLimit);
const FieldRule kCalcost = singleRule("calcost", 0, kFloatMax);

}  // namespace

std::string Zone::check(const nlohmann::json& section) {
  return checkSection(section, {kEnabled, kCamid, kScale, kCalcost, textRule("calpts"), textRule("coords")});
}

bool Zone::updConfig(const nlohmann::json& section) {
  bool fits = true;
  bool coordsGiven = false;
  if (section.is_object()) {
    const std::string owner = "zone [id=" + std::to_string(zoneid) + "]";
    fits &= readRangedField(section, kEnabled, enabled, owner);
    fits &= readRangedField(section, kCamid, camid, owner);
    fits &= readRangedField(section, kScale, scale, owner);
    fits &= readTextField(section, "calpts", calpts, owner);
    fits &= readRangedField(section, kCalcost, calcost, owner);
    if (section.contains("coords")) {
      fits &= readTextField(section, "coords", coords, owner);
      coordsGiven = true;
    }
  }
  if (coordsGiven) fillpolygon(coords, polygon);
  updScaleCords(calpts, calcost);
  if (!camera_sections::exists(camid) || !polygon || scale < kMinScale || scale > kMaxScale) enabled = 0;
  minscale = std::max(kMinScale, scale - kWindowHalf);
  maxscale = std::min(kMaxWindowScale, scale + kWindowHalf);
  return fits;
}

void Zone::tojson(nlohmann::json& out, int mode) const {
  out = nlohmann::json::object();
  out["type"] = "zone";
  out["zoneid"] = zoneid;
  out["camid"] = camid;
  out["enabled"] = enabled;
  out["scale"] = scale;
  out["coords"] = coords;
  if (mode != 0 || !calpts.empty()) out["calpts"] = calpts;
  if (mode != 0 || calcost > 0) out["calcost"] = shortestDouble(calcost);
  if (mode != 0) out["freecnn"] = freecnn;
}

std::string Zone::tojson(int mode) const {
  nlohmann::json out;
  tojson(out, mode);
  return jsonText(out);
}

bool Zone::calibrated() const { return !segments.empty() && calcost > 0; }

int Zone::geometry(int& x, int& y, int& w, int& h) const {
  if (enabled == 0 || !polygon) return -1;
  polygon.getRect(x, y, w, h);
  return 0;
}

long long Zone::area() const { return polygon ? polygon.boxArea() : -1; }

bool Zone::corresponds(int w, int h) const { return corresponds(0, 0, w, h); }

bool Zone::corresponds(int x, int y, int w, int h) const { return polygon && polygon.inside(x, y, w, h); }

void Zone::updScaleCords(const std::string& marks, float cost) {
  segments.clear();
  if (!fillpolygon(marks, calpolygon) || !calpolygon) return;
  calpolygon.ysort();
  for (std::size_t i = 1; i < calpolygon.size(); ++i) {
    const int a = std::min(calpolygon[i - 1].y, calpolygon[i].y);
    const int b = std::max(calpolygon[i - 1].y, calpolygon[i].y);
    const long long rows = static_cast<long long>(b) - a;
    segments.push_back({bandK(cost, static_cast<int>(std::min<long long>(rows, std::numeric_limits<int>::max()))), a, b});
  }
}

const ZoneSegment& Zone::findseg(int y) const {
  static const ZoneSegment kNone{};
  for (const ZoneSegment& s : segments)
    if (s.y0 <= y && y < s.y1) return s;
  return kNone;
}

std::string Zone::cnnPolygon(int s) const {
  if (s == 0) s = scale;
  if (enabled == 0 || s < minscale || s > maxscale) return {};
  std::string text = std::to_string(zoneid) + "," + std::to_string(s) + "," + coords;
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }),
             text.end());
  return text;
}

std::list<std::string> Zone::cnnPolygons() const {
  std::list<std::string> out;
  if (enabled == 0) return out;
  for (int s = minscale; s <= maxscale; ++s) out.push_back(cnnPolygon(s));
  return out;
}

std::ostream& operator<<(std::ostream& os, const Zone& z) {
  os << "[zoneid=" << z.zoneid << ", enabled=" << z.enabled;
  int x, y, w, h;
  if (z.geometry(x, y, w, h) == 0) os << ", x=" << x << ", y=" << y << ", w=" << w << ", h=" << h;
  if (z.freecnn != 0) os << ", freecnn=" << z.freecnn;
  return os << "]";
}

std::deque<Zone>& zones() {
  static std::deque<Zone> registry;
  return registry;
}

namespace {
Zone* findZone(int id) {
  for (Zone& z : zones())
    if (z.zoneid == id) return &z;
  return nullptr;
}
}  // namespace

bool hasZone(int id) {
  ConfigReadLock lock;
  return findZone(id) != nullptr;
}

Zone& zone(int id) {
  ConfigReadLock lock;
  if (Zone* z = findZone(id)) return *z;
  throw std::logic_error("zone configuration was not found [id=" + std::to_string(id) + "]");
}

Zone& addZone(int id) {
  ConfigWriteLock lock;
  return zones().emplace_back(id);
}

void updZonesParent() {
  auto& list = zones();
  for (Zone& z : list) z.freecnn = 0;
  for (Zone& z : list) {
    for (const Zone& w : list) {
      if (w.zoneid == z.zoneid) continue;
      int x, y, cw, ch;
      if (w.geometry(x, y, cw, ch) != 0) continue;
      if (z.corresponds(x, y, cw, ch)) {
        z.freecnn = w.zoneid;
        break;
      }
    }
  }
}

const Zone* calibrationZone(int zoneid) {
  const Zone* z = findZone(zoneid);
  for (std::size_t hops = 0; z != nullptr && hops <= zones().size(); ++hops) {
    if (z->enabled != 0 && z->calibrated()) return z;
    if (z->freecnn == 0) return z;
    const Zone* parent = findZone(z->freecnn);
    if (parent == nullptr) return z;
    z = parent;
  }
  return z;
}

}  // namespace kovira
