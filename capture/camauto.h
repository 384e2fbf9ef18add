// Automatic camera control for the industrial USB3 camera, one run a second
// on the scheduler thread: picks the schedule's target brightness, steps the
// frame rate so that the decode stage keeps up with the frame store, moves
// the lens iris through the controller board to keep the camera's automatic
// exposure in a band, and switches day and night by the automatic gain
// (which drives the flash output). Decisions go into BaslerConfig; the
// driver applies them after its next frame.
//
// The board and the telemetry store live on a sibling floor: they reach this
// module through two hooks set at start-up by the board's side (devices/),
// so nothing here includes them. Without hooks the commands go nowhere.
//
// Threading: update runs on the scheduler thread; fixopenlens on an HTTP
// thread. The shared numbers (iris, holdoff, tick) are atomics; the hooks
// are set before the scheduler starts and guarded by a mutex.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class BaslerConfig;
namespace kovira { class Camera; }

class CameraAuto {
 public:
  static constexpr unsigned kExposureRing = 10;
  static constexpr unsigned kGainRing = 90;
  static constexpr unsigned kNightEvery = 120;
  static constexpr std::uint64_t kOpenHoldoff = 180;
  // The frame-rate step needs this many records in the frame store.
  static constexpr std::uint64_t kFpsMinRecords = 1000;

  CameraAuto();
  void update(unsigned ms);
  void fpsmodify(kovira::Camera& camera);
  void updflasher(int night);
  // Iris 0 (open) to the board; no automatic move for kOpenHoldoff runs.
  void openIris();

  std::atomic<std::uint64_t> holdoff{0};
  std::atomic<std::uint64_t> tick{0};
  std::array<std::uint32_t, kExposureRing> exposures{};
  std::array<std::int32_t, kGainRing> gains{};
  std::int32_t explow = 600;
  std::int32_t exphigh = 1000;
  std::int32_t nightgain = 20;
  std::int32_t maxiris = 70;
  std::atomic<std::int32_t> iris{-1};
  BaslerConfig* config;
};

// The module instance the scheduler runs.
extern CameraAuto camfunc;

// Opens the iris fully and holds automatic iris moves off (the lens page).
void fixopenlens();

namespace camauto {
// "CAMI n" to the controller board.
using IrisSender = std::function<void(unsigned)>;
// A telemetry value: once (sent only when it changed) or always.
using Telemetry = std::function<void(const std::string& key, int value, bool once)>;
void setHooks(IrisSender iris, Telemetry telemetry);
void initfunc();
}  // namespace camauto
