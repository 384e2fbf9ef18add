#include "recognition/trackspeed.h"

#include "capture/cambuf.h"
#include "config/config.h"
#include "recognition/scene_access.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace kovira {

namespace {

constexpr double kMicro = 1e6;
constexpr double kKmhPerMs = 3.6;
constexpr double kNano = 1e9;

// Zone ids are 1 to 512, so a walk over enclosing zones that visits each
// zone once takes no more hops than this.
constexpr std::size_t kMaxZoneHops = 512;

CamBuf* storeOf(std::uint32_t camid) { return sceneAccess().storeOf(camid); }

bool rowCalibrated(const Zone& zone, int row) { return zone.findseg(row).k != 0; }

}  // namespace

Zone TrackSpeed::findZoneCal(std::uint32_t zoneid) {
  // Zones are never erased, only marked removed: the zone a track names is
  // found either way; enclosing zones must be live.
  const SceneAccess& scene = sceneAccess();
  std::optional<Zone> z = scene.findZone(zoneid);
  if (!z) {
    std::cout << "findZoneCal() invalid zoneid" << std::endl;
    std::abort();
  }
  // Bounded, so the walk ends even on a cycle.
  for (std::size_t hops = 0; hops <= kMaxZoneHops; ++hops) {
    if (z->enabled != 0 && z->calibrated()) break;
    if (z->freecnn <= 0) break;
    std::optional<Zone> parent = scene.findZone(static_cast<std::uint32_t>(z->freecnn));
    // A calibration is in one camera's image rows: another camera's zone
    // never measures this one's tracks.
    if (!parent || parent->removed != 0 || parent->camid != z->camid) break;
    z = std::move(parent);
  }
  return *z;
}

void TrackSpeed::getTrackBounds(const Zone& zone, const std::vector<TrackPoint>& points, std::uint32_t& numA,
                                std::uint32_t& numB) {
  bool any = false;
  std::uint32_t lo = 0, hi = 0;
  for (const TrackPoint& p : points) {
    if (!rowCalibrated(zone, p.oy)) continue;
    lo = any ? std::min(lo, p.num) : p.num;
    hi = any ? std::max(hi, p.num) : p.num;
    any = true;
  }
  if (!any) return;
  numA = lo;
  numB = hi;
}

float TrackSpeed::getTrackDist(const Zone& zone, const TrackPoint& a, const TrackPoint& b) {
  const int from = std::min(a.oy, b.oy);
  const int to = std::max(a.oy, b.oy);
  // Bands hold rows y0 <= y < y1; a row outside every band adds nothing.
  // The sum is kept in 64 bits: 32 would wrap beyond about 4 km.
  std::uint64_t sum = 0;
  const ZoneSegment* seg = &zone.findseg(from);
  for (int row = from; row < to; ++row) {
    if (!(seg->y0 <= row && row < seg->y1)) seg = &zone.findseg(row);
    sum += seg->k;
  }
  return static_cast<float>(static_cast<double>(sum) / kMicro);
}

float TrackSpeed::getTime(std::uint32_t a, std::uint32_t b) const {
  CamBuf* store = storeOf(camid);
  return store == nullptr ? 0.0f : timeElapsed(*store, a, b);
}

bool TrackSpeed::getTimeUsbCam(std::uint32_t a, std::uint32_t b, float& seconds) const {
  CamBuf* store = storeOf(camid);
  if (store == nullptr) return false;
  auto ra = store->frame(a);
  auto rb = store->frame(b);
  if (!ra.valid() || !rb.valid()) return false;
  const std::uint64_t ta = ra->camTimestamp;
  const std::uint64_t tb = rb->camTimestamp;
  // Equal stamps say nothing about the time between two different frames
  // (a camera that repeats its stamp): the store's times are used then.
  if (ta == 0 || tb == 0 || ta >= tb) return false;
  seconds = static_cast<float>(static_cast<double>(tb - ta) / kNano);
  return true;
}

TrackSpeed::TrackSpeed(const Track& track)
    : plate(track.text()),
      id(track.id),
      zone(track.zone),
      direction(track.direction()),
      npoints(static_cast<std::uint32_t>(track.points.size())),
      accuracy(track.advAccuracy()) {
  if (!sceneAccess().findZone(zone)) return;
  const Zone zc = findZoneCal(zone);
  if (zc.camid <= 0 || storeOf(static_cast<std::uint32_t>(zc.camid)) == nullptr) return;
  camid = static_cast<std::uint32_t>(zc.camid);

  const std::vector<TrackPoint> valid = track.onlyValidPoints();
  nvalid = static_cast<std::uint32_t>(valid.size());
  getTrackBounds(zc, valid, numA, numB);
  if (direction == 0 || numA == 0 || numB == 0 || numA == numB) return;

  std::uint32_t posa = 0, posb = 0, posc = 0;
  {
    ConfigReadLock lock;
    const GlobalConfig& cfg = config();
    posa = cfg.posa;
    posb = cfg.posb;
    posc = cfg.posc;
  }
  if (posa != 0 && posb != 0 && posc != 0) {
    posAB = direction == 1 ? posa : posb;
    posC = posc;
    // In floating point: the integer quotient of two plate positions is 0.
    ckoef = 1.0f - static_cast<float>(posAB) / static_cast<float>(posC);
  }

  dist = getTrackDist(zc, track.getPoint(numA), track.getPoint(numB)) * ckoef;
  metatime = getTime(numA, numB);
  time = metatime;
  if (getTimeUsbCam(numA, numB, usbtime)) time = usbtime;
  if (usbtime != 0 && metatime != 0 &&
      std::fabs(static_cast<double>(usbtime) - metatime) / std::min(usbtime, metatime) > kClockTolerance) {
    time = 0;
  }
  if (time > 0) speed = static_cast<float>(static_cast<double>(dist) * kKmhPerMs / time);
}

bool TrackSpeed::isBoundsValid(std::uint32_t a, std::uint32_t b) {
  return a != 0 && b != 0 && b > a && b - a > kMinFrameSpan;
}

TrackSpeed::operator bool() const { return isBoundsValid(numA, numB) && time > 0 && speed > 0; }

std::string TrackSpeed::text() const {
  std::ostringstream os;
  os << *this;
  return os.str();
}

std::ostream& operator<<(std::ostream& os, const TrackSpeed& s) {
  char buf[64];
  os << "[num=" << s.plate << ", speed=";
  if (s) {
    std::snprintf(buf, sizeof buf, "%f", static_cast<double>(s.speed));
    os << buf;
  } else {
    os << "invalid";
  }
  os << ", numA=" << s.numA << ", numB=" << s.numB << ", dist=" << s.dist << ", time=" << s.time
     << ", metatime=" << s.metatime << ", usbtime=" << s.usbtime;
  std::snprintf(buf, sizeof buf, "%f", static_cast<double>(s.ckoef));
  os << ", ckoef=" << buf;
  if (s.usbtime > 0 && s.metatime > 0 && std::fabs(s.usbtime - s.metatime) > 0.001f)
    os << ", timediff=" << std::fabs(s.usbtime - s.metatime);
  return os << "]";
}

}  // namespace kovira
