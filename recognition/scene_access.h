// What tracks, the result queue and the best-frame choice need to know about
// the scene (zones, frame stores, the global plate patterns), as a few plain
// functions. The zone and frame-store registries live in other subsystems;
// start-up binds these functions to them, tests bind them to fakes.
//
// Threading: bind every function before the pipeline threads start and never
// change it afterwards; the bound functions themselves are called from the
// result-queue thread and the workers and must be safe there. An unbound
// function reads as "nothing known" (no camera, no frame, no extra pattern).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kovira {

// The oldest frame of a camera's store that the decode stage has not taken.
struct PendingFrame {
  std::uint32_t num = 0;   // frame-store position
  std::uint32_t type = 0;  // frame type: 1, 2, 3 are H.264 I, P, B frames
};

// A frame still in its store with its bytes.
struct StoredFrame {
  int width = 0;
  int height = 0;
};

struct SceneAccess {
  // Camera of a zone; 0 when the zone does not exist.
  std::function<unsigned(unsigned zone)> zoneCamera;
  // Oldest frame of the camera's store not yet taken by the decode stage;
  // none when the store is empty, every frame is taken or there is no such
  // camera.
  std::function<std::optional<PendingFrame>(unsigned camid)> oldestUndecoded;
  // The frame when it is still stored and its bytes are present.
  std::function<std::optional<StoredFrame>(unsigned camid, unsigned frame)> storedFrame;
  // Configured extra plate patterns (global "trackmask" text).
  std::function<std::string()> trackmask;

  unsigned cameraOfZone(unsigned zone) const { return zoneCamera ? zoneCamera(zone) : 0; }
  std::optional<PendingFrame> pendingFrame(unsigned camid) const {
    return oldestUndecoded ? oldestUndecoded(camid) : std::nullopt;
  }
  std::optional<StoredFrame> frame(unsigned camid, unsigned num) const {
    return storedFrame ? storedFrame(camid, num) : std::nullopt;
  }
  std::string extraMasks() const { return trackmask ? trackmask() : std::string(); }
};

// The process-wide binding used by `resproc`, `Track::checkMask` and
// `findBestFrame`.
SceneAccess& sceneAccess();

}  // namespace kovira
