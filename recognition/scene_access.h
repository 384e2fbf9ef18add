// What recognition (the recognition stage, tracks, the result queue, speed
// and the best-frame choice) needs to know about the scene: zones, frame
// stores, the global plate patterns, as a few plain functions. The zone and
// frame-store registries live in other subsystems; the program binds these
// functions to them at start-up (recognition/scene_binding.h), tests bind
// them to the real registries or to fakes. Recognition reaches zones and
// frame stores only through here.
//
// Threading: bind every function before the pipeline threads start and never
// change it afterwards; the bound functions themselves are called from the
// recognition thread, the result-queue thread and the workers and must be
// safe there. An unbound function reads as "nothing known" (no camera, no
// store, no zone, no polygon, no extra pattern).
#pragma once

#include "config/zones.h"

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>

namespace kovira {

class CamBuf;

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
  // The camera's frame store; null when there is no such camera.
  std::function<CamBuf*(unsigned camid)> store;
  // A copy of the zone with this id, a removed one too (tracks keep naming
  // it); none when there never was one.
  std::function<std::optional<Zone>(unsigned zoneid)> zoneById;
  // Polygon descriptions (scale 0) of the camera's enabled zones that fit a
  // picture of this size: what one batch of that camera is read with.
  std::function<std::list<std::string>(unsigned camid, int width, int height)> batchPolygons;
  // Every description (all scales) of every enabled zone that fits the
  // size, whatever its camera: what the recogniser is set up with.
  std::function<std::list<std::string>(int width, int height)> recogniserPolygons;

  unsigned cameraOfZone(unsigned zone) const { return zoneCamera ? zoneCamera(zone) : 0; }
  std::optional<PendingFrame> pendingFrame(unsigned camid) const {
    return oldestUndecoded ? oldestUndecoded(camid) : std::nullopt;
  }
  std::optional<StoredFrame> frame(unsigned camid, unsigned num) const {
    return storedFrame ? storedFrame(camid, num) : std::nullopt;
  }
  std::string extraMasks() const { return trackmask ? trackmask() : std::string(); }
  CamBuf* storeOf(unsigned camid) const { return store ? store(camid) : nullptr; }
  std::optional<Zone> findZone(unsigned zoneid) const { return zoneById ? zoneById(zoneid) : std::nullopt; }
  std::list<std::string> polygonsOfBatch(unsigned camid, int width, int height) const {
    return batchPolygons ? batchPolygons(camid, width, height) : std::list<std::string>();
  }
  std::list<std::string> polygonsOfRecogniser(int width, int height) const {
    return recogniserPolygons ? recogniserPolygons(width, height) : std::list<std::string>();
  }
};

// The process-wide binding used by `resproc`, the program's `CnnProc`,
// `Track::checkMask`, `TrackSpeed` and `findBestFrame`.
SceneAccess& sceneAccess();

}  // namespace kovira
