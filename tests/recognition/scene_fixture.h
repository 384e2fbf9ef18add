// Shared set-up of the recognition-stage and speed tests: zones and camera
// sections in the real configuration store, frames in real camera frame
// stores (the capture registry keeps cameras for the whole process, so each
// test takes camera ids of its own).
#pragma once

#include "capture/cam.h"
#include "codec/decodedframe.h"
#include "config/camera_sections.h"
#include "config/config.h"
#include "config/zones.h"
#include "recognition/scene_binding.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace kovira::testing {

inline constexpr std::uint64_t kStoreBytes = 16u << 20;

// Also binds recognition's view of the scene to these registries.
inline void clearScene() {
  bindSceneAccess();
  ConfigWriteLock lock;
  zones().clear();
  camera_sections::clearForTests();
}

inline void cameraSection(int camid) {
  ASSERT_TRUE(config().updSection("camera", {{"type", "camera"}, {"camid", camid}, {"bufsize", 16}}));
}

// A rectangle "l,t,r,t,r,b,l,b".
inline std::string rectCoords(int l, int t, int r, int b) {
  return std::to_string(l) + "," + std::to_string(t) + "," + std::to_string(r) + "," + std::to_string(t) + "," +
         std::to_string(r) + "," + std::to_string(b) + "," + std::to_string(l) + "," + std::to_string(b);
}

inline void zoneSection(int zoneid, int camid, const std::string& coords, int scale = 6,
                        const std::string& calpts = "", float calcost = 0) {
  nlohmann::json z = {{"type", "zone"},  {"zoneid", zoneid}, {"camid", camid},
                      {"enabled", 1},    {"scale", scale},   {"coords", coords}};
  if (!calpts.empty()) {
    z["calpts"] = calpts;
    z["calcost"] = calcost;
  }
  ASSERT_TRUE(config().updSection("zone", z));
}

inline bool zoneEnabled(int zoneid) {
  ConfigReadLock lock;
  return zone(zoneid).enabled != 0;
}

// The frame store of a test's camera, created on first use.
inline CamBuf& store(int camid) {
  if (!hasCamera(camid)) addCamera(camid, kStoreBytes);
  return *camera(camid).cambuf;
}

// Stores `count` grey frames and marks them taken by the decode stage, as
// the decode stage does before it queues them. Returns their numbers.
inline std::vector<unsigned> storeFrames(int camid, int count, int w, int h, bool taken = true) {
  CamBuf& buf = store(camid);
  std::vector<unsigned> nums;
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h, 100);
  for (int i = 0; i < count; ++i) {
    FrameMetadata& rec = buf.addFrame(w, h, FRAME_GRAY8, 0, px.data(), px.size());
    if (taken) rec.setFlags(FRAME_DEC);
    nums.push_back(rec.position);
  }
  return nums;
}

inline DecodedFrame decoded(int camid, unsigned frame, int w, int h) {
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h, 100);
  return DecodedFrame(camid, frame, PixelGray8, w, h, px.data(), 0);
}

inline SmartBufferIterator record(int camid, unsigned frame) { return store(camid).frame(frame); }

}  // namespace kovira::testing
