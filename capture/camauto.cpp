#include "capture/camauto.h"

#include "capture/cam.h"
#include "capture/usbcam_config.h"
#include "config/config.h"
#include "config/config_lock.h"
#include "core/scheduler.h"

#include <algorithm>
#include <mutex>
#include <numeric>

CameraAuto camfunc;

namespace camauto {
namespace {

struct Hooks {
  std::mutex mutex;
  IrisSender iris;       // guarded by mutex
  Telemetry telemetry;   // guarded by mutex
};

Hooks& hooks() {
  static Hooks* h = new Hooks;  // never destroyed: a late run may still call
  return *h;
}

void sendIris(unsigned n) {
  IrisSender send;
  {
    std::lock_guard lock(hooks().mutex);
    send = hooks().iris;
  }
  if (send) send(n);
}

void report(const std::string& key, int value, bool once) {
  Telemetry send;
  {
    std::lock_guard lock(hooks().mutex);
    send = hooks().telemetry;
  }
  if (send) send(key, value, once);
}

// The first enabled camera of source "basler", copied under the lock.
int baslerCamera() {
  for (const kovira::CameraSettings& c : kovira::cameraSettings()) {
    if (c.enabled != 0 && c.source == "basler") return c.camid;
  }
  return -1;
}

}  // namespace

void setHooks(IrisSender iris, Telemetry telemetry) {
  std::lock_guard lock(hooks().mutex);
  hooks().iris = std::move(iris);
  hooks().telemetry = std::move(telemetry);
}

void initfunc() {
  scheduler.add([](unsigned ms) { camfunc.update(ms); }, std::chrono::seconds(1), false, "CameraAuto::update");
}

}  // namespace camauto

CameraAuto::CameraAuto() : config(&baslerConfig()) {}

void CameraAuto::fpsmodify(kovira::Camera& camera) {
  BaslerConfig& c = *config;
  const kovira::CamBuf& store = *camera.cambuf;
  const std::uint64_t records = store.meta().end() - store.meta().begin();
  if (c.maxfps == 0 || records < kFpsMinRecords || c.maxfpsdaynight() == 0) return;
  const float congestion = store.congestion();
  const unsigned top = c.maxfpsdaynight();
  const unsigned low = c.minfps;
  static float conglast = congestion;
  if (tick % 10 == 0) {
    if (congestion < 0.02f && top > c.fps()) {
      c.faster();
      return;
    }
    if (congestion > 0.28f && low < c.fps()) {
      c.slower();
      return;
    }
  }
  if (tick % 30 == 0) {
    if (congestion < 0.15f && congestion < conglast && top > c.fps()) c.faster();
    if (congestion > 0.15f && congestion > conglast && low < c.fps()) c.slower();
    conglast = congestion;
  }
}

void CameraAuto::updflasher(int night) {
  static int last = -1;
  if (last != night) config->logme(std::string("flasher (night) set to ") + (night == 1 ? "ON" : "OFF"));
  last = night;
}

void CameraAuto::update(unsigned) {
  const int camid = camauto::baslerCamera();
  if (camid < 0) return;
  BaslerConfig& c = *config;
  const std::uint64_t t = ++tick;

  // 1. The schedule's period and its brightness.
  std::int64_t now = 0;
  int timezone = 0;
  {
    kovira::ConfigReadLock lock;
    now = kovira::config().now();
    timezone = kovira::config().timezone;
  }
  const unsigned period = c.checkTime(static_cast<unsigned>(now), timezone);
  camauto::report("fixbrightness", static_cast<int>(period), true);
  c.period = period;
  (void)c.setBrightnessPreset(static_cast<int>(period));

  // 2. Frame rate.
  if (kovira::hasCamera(camid)) fpsmodify(kovira::camera(camid));

  // 3. The rings; no decision before they are full.
  exposures[t % kExposureRing] = c.actexp;
  gains[t % kGainRing] = static_cast<std::int32_t>(c.actgain.load());
  if (t < kGainRing) return;

  // 4. Iris: 0 is open. A long mean exposure (dark picture) opens it, a
  // short one (bright picture) closes it, one step of 2 per run.
  if (c.autodiaphragm != 0) {
    const auto m = static_cast<std::int64_t>(std::accumulate(exposures.begin(), exposures.end(), std::uint64_t{0}) /
                                             kExposureRing);
    const std::int32_t current = iris;
    std::int32_t next = current;
    if (m > exphigh) next = std::max(current - 2, 0);
    else if (m < explow) next = std::min(current + 2, maxiris);
    if (next != current && t >= holdoff) {
      c.diaphragm = static_cast<std::uint32_t>(next);
      iris = next;
      camauto::sendIris(static_cast<unsigned>(next));
      c.logme("diaphragm set to " + std::to_string(next));
    }
  }

  // 5. Day and night by the mean gain.
  if (t % kNightEvery == 0 && c.camflashmod == 1) {
    const std::int64_t g = std::accumulate(gains.begin(), gains.end(), std::int64_t{0}) / kGainRing;
    if (g > nightgain || g < nightgain) {
      const int night = g > nightgain ? 1 : 0;
      c.night = static_cast<std::uint32_t>(night);
      camauto::report("night", night, false);
      updflasher(night);
    }
  }
}

void CameraAuto::openIris() {
  config->diaphragm = 0;
  camauto::sendIris(0);
  iris = -1;
  holdoff = tick + kOpenHoldoff;
}

void fixopenlens() { camfunc.openIris(); }
