// Tilt-angle tracking: the camera must keep the tilt it was calibrated at
// for speed evidence to be valid. Every 20 s angleloop() reads the board's
// angle, keeps statistics, raises the configuration's `anglecritical` (the
// speed module tests it) and hands "anglewarn", "anglediff" and "angle" to
// telemetry. Settings: configuration section "angle", page "^/config/angle/$".
//
// Threading: `angconf` is guarded by the configuration lock
// (config/config_lock.h): the store calls fromjson/tojson with it held, the
// loop updates under the write lock, the page copies under the read lock.
#pragma once

#include "config/sketch.h"

#include <cmath>
#include <cstdint>

class SttyDev;

// What one reading decides.
struct AngleVerdict {
  std::uint32_t critical = 0;  // anglecritical
  int warn = 0;                // "anglewarn": 0 none, 1 out too long, 2 thresholds unset
  double diff = 0;             // "anglediff"
};

class AngleConf : public ConfigSketch {
 public:
  static constexpr std::uint32_t kFwNoFix = 20190430;  // newer firmware needs no 0.25
  static constexpr int kCriticalRest = 45;             // seconds back in range that still alarm
  static constexpr std::uint32_t kWarmup = 4;          // readings that only alarm when out

  void tojson(nlohmann::json& section, int mode) override;
  void fromjson(const nlohmann::json& section) override;
  std::string check(const nlohmann::json& section) const override;

  // One reading in degrees (statistics and counters).
  void update(float a);
  bool above(float x) const { return wu != 0 && x > normal && wu < std::abs(x - normal); }
  bool below(float x) const { return wd != 0 && x < normal && wd < std::abs(x - normal); }
  bool outOfRange(float x) const { return above(x) || below(x); }
  // The verdict on `current` after update(); only meaningful for a reading.
  AngleVerdict judge() const;

  std::int32_t enabled = 0;  // any integer from the file; non-zero is on
  std::uint32_t step = 20;
  std::int32_t timenotify = 300;
  std::int32_t rest = 0;
  std::int32_t outtotal = 0;
  std::int32_t outcurrent = 0;
  std::uint32_t count = 0;
  float normal = 0;
  float current = 0;
  float wd = 0;
  float wu = 0;
  float max = 0;
  float min = 0;
  std::uint32_t adxlfix = 0;
};

extern AngleConf angconf;

// The angle to use from the board (status history near `now`, else an
// "ANGLE" query), with the old-firmware correction of `conf` applied (and
// the correction cleared on new firmware). Call with the configuration
// write lock NOT held: it may wait for the line. ok is false without one.
float readAngle(SttyDev& dev, AngleConf& conf, std::uint32_t now, bool& ok);

// The 20-second scheduler task; the argument is not used.
void angleloop(unsigned int);

class HttpRequest;
class HttpResponse;
// The settings page "^/config/angle/$".
int http_angle_hook(const HttpRequest& req, HttpResponse& res);
