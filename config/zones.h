// Zones of the scene model: a region of one camera's image in which plates
// are read (the recogniser's polygon and plate scale window), its enclosing
// zone, and its road-distance calibration (a per-row table built from
// calibration marks).
//
// Threading: zones are guarded by configMutex() (config/config_lock.h). The
// registry is a std::deque that only grows at the end, so a Zone& stays valid
// for the life of the process (zones are never erased: deletion only marks
// them removed); fields are read under ConfigReadLock and written under
// ConfigWriteLock. hasZone/zone/addZone take the lock themselves.
#pragma once

#include "config/polygon.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <deque>
#include <list>
#include <ostream>
#include <string>
#include <vector>

namespace kovira {

// One calibration band: rows y with y0 <= y < y1, each worth k millionths of
// the calibration unit (metres) of road. The band starts at a mark's row and
// stops before the next mark's row, so summing k over the rows [r1, r2) of a
// track that runs from one mark to another gives exactly their distance.
struct ZoneSegment {
  std::uint32_t k = 0;
  std::int32_t y0 = 0;
  std::int32_t y1 = 0;
};

class Zone {
 public:
  static constexpr int kMinScale = 4;
  static constexpr int kMaxScale = 9;
  static constexpr int kMaxWindowScale = 8;
  static constexpr int kWindowHalf = 3;
  // Scales a section may give: beyond 4..9 a zone is kept but disabled; the
  // bound keeps the window's arithmetic (scale +- 3) far from overflow.
  static constexpr int kScaleLimit = 99;

  Zone() = default;
  explicit Zone(int id) : zoneid(id) {}

  // Applies one "zone" section; absent keys leave fields unchanged. Called
  // with the configuration write lock held. A value of the wrong JSON type
  // throws the JSON library's type error; a number the field cannot hold
  // keeps the old value with a "[WARNING] " line and makes the result false.
  // An out-of-range scale, camid or calcost is kept the same way.
  bool updConfig(const nlohmann::json& section);
  // For an operator's edit: "error: <key>: <reason>\n" of the first value
  // updConfig would not take, "" when it takes them all.
  static std::string check(const nlohmann::json& section);
  // The section text; mode 0 is the file's compact form, 1 the full form.
  std::string tojson(int mode) const;
  void tojson(nlohmann::json& out, int mode) const;

  bool calibrated() const;
  // -1 when disabled or the polygon is unusable; else its bounding box.
  int geometry(int& x, int& y, int& w, int& h) const;
  // Bounding-box area, -1 for an unusable polygon (enabled is not looked at).
  long long area() const;
  bool corresponds(int w, int h) const;
  bool corresponds(int x, int y, int w, int h) const;
  bool isRect() const { return false; }

  void updScaleCords(const std::string& calpts, float calcost);
  // The band holding row y, or a shared all-zero segment.
  const ZoneSegment& findseg(int y) const;

  // "zoneid,scale,coords" without whitespace for one scale (0 = own scale);
  // empty when disabled or the scale is outside the window.
  std::string cnnPolygon(int scale) const;
  std::list<std::string> cnnPolygons() const;

  std::int32_t zoneid = 0;
  std::int32_t camid = 0;
  std::int32_t enabled = 0;
  std::int32_t removed = 0;
  std::int32_t scale = 0;
  std::int32_t minscale = 0;
  std::int32_t maxscale = 0;
  std::int32_t freecnn = 0;  // zoneid of the enclosing zone, 0 when none
  std::string coords;
  std::vector<ZoneSegment> segments;
  std::string calpts;
  Polygon polygon;     // parsed coords
  Polygon calpolygon;  // parsed calpts, sorted by row
  float calcost = 0;   // road distance between consecutive marks, 0: not calibrated
};

std::ostream& operator<<(std::ostream& os, const Zone& zone);

// The registry, in the order zones were added (removed ones included).
// Iterate it under ConfigReadLock.
std::deque<Zone>& zones();
bool hasZone(int id);
// Throws std::logic_error "zone configuration was not found [id=N]".
Zone& zone(int id);
// Appends Zone(id); no duplicate check (test hasZone first).
Zone& addZone(int id);

// Recomputes every zone's freecnn (called with the write lock held).
void updZonesParent();

// The zone whose calibration measures tracks of zone `zoneid`: follows
// freecnn from that zone until a zone that is enabled and calibrated, or one
// whose freecnn is 0 or names no zone. nullptr when `zoneid` names no zone.
// The walk is bounded by the number of zones, so it ends whatever the links.
// Called with the read lock held.
const Zone* calibrationZone(int zoneid);

}  // namespace kovira
