// TrackSpeed: the speed of one vehicle measured from its track: the road
// distance the plate travelled between the first and the last frame whose
// plate row lies in a calibrated band, divided by the time between those
// two frames (the frame store's capture times, or the camera's own clock
// when it gives one and the two agree within 3 %).
//
// A value computed once at construction from a track copy, the zones and
// the frame store of the zone's camera; built on result-queue workers. It
// reads zones under the configuration read lock and the frame store without
// a lock.
#pragma once

#include "config/zones.h"
#include "recognition/track.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kovira {

class TrackSpeed {
 public:
  static constexpr std::uint32_t kMinFrameSpan = 6;  // numB - numA must exceed this
  static constexpr double kClockTolerance = 0.03;   // camera and store clocks may differ this much

  explicit TrackSpeed(const Track& track);

  // numA, numB set and more than 6 frames apart, a time and a speed.
  explicit operator bool() const;
  static bool isBoundsValid(std::uint32_t numA, std::uint32_t numB);
  std::string text() const;

  // The zone whose calibration measures tracks of zone `zoneid`: from that
  // zone up through its enclosing zones (freecnn) until one that is enabled
  // and calibrated; the walk never leaves the zone's camera and always ends.
  // The last zone visited when none qualifies. An unknown zone id ends the
  // process ("findZoneCal() invalid zoneid").
  static Zone findZoneCal(std::uint32_t zoneid);
  // Smallest and largest frame number among the points whose plate row lies
  // in a calibrated band of the zone; both stay untouched without one.
  static void getTrackBounds(const Zone& zone, const std::vector<TrackPoint>& points, std::uint32_t& numA,
                             std::uint32_t& numB);
  // Metres between the plate rows of a and b by the zone's bands.
  static float getTrackDist(const Zone& zone, const TrackPoint& a, const TrackPoint& b);

  // Seconds between the two frames by the store's capture times.
  float getTime(std::uint32_t a, std::uint32_t b) const;
  // Seconds by the camera's own timestamps; false (seconds untouched)
  // unless both frames are stored with timestamps and a's is before b's.
  bool getTimeUsbCam(std::uint32_t a, std::uint32_t b, float& seconds) const;

  std::string plate;
  std::uint32_t id = 0;
  float speed = 0;  // km/h
  std::uint32_t zone = 0;
  std::uint32_t camid = 0;
  std::uint32_t numA = 0;
  std::uint32_t numB = 0;
  float dist = 0;
  float absdist = 0;
  std::uint32_t direction = 0;
  std::uint32_t posAB = 0;
  std::uint32_t posC = 0;
  float ckoef = 1;
  std::uint32_t npoints = 0;
  std::uint32_t nvalid = 0;
  float accuracy = 0;
  float time = 0;
  float metatime = 0;
  float usbtime = 0;
};

std::ostream& operator<<(std::ostream& os, const TrackSpeed& s);

}  // namespace kovira
