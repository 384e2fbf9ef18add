// The camera registry: one kovira::Camera per "camera" section of the
// configuration, each owning its frame store.
//
// The registry is a vector with room for 96 cameras reserved before the
// first camera is added, so references to cameras stay valid for the whole
// run; a 97th camera is refused (a reallocation would move cameras under
// the threads that hold references to them). Cameras are never removed.
//
// Threading: cameras are added by the configuration store (start-up, and a
// configuration update or reload) under the configuration write lock
// (config/config_lock.h), which also guards the configuration fields
// (source, url, fps, enabled, bufsize): threads outside the store read them
// under ConfigReadLock, or through cameraSettings() / enabledStores(), which
// copy what they need. The receiver counters are atomics.
#pragma once

#include "capture/cambuf.h"

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kovira {

class Camera {
 public:
  // bytes: ring size of the frame store. Throws std::logic_error when the
  // store cannot be allocated.
  Camera(std::int32_t id, std::uint64_t bytes);
  // Takes the fields over and shares the same frame store.
  Camera(Camera&& other) noexcept;
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;
  Camera& operator=(Camera&&) = delete;

  bool empty() const;
  SmartBufferIterator find(std::uint32_t index) const;
  // The source delivers raw frames (source is one of "ximea|basler|opencv").
  bool raw() const;
  // Picture size of the second-newest frame (of the only one when there is
  // one); 0 when the store is empty.
  std::int32_t width() const;
  std::int32_t height() const;
  // Measured frame rate over up to 2500 frame intervals; 0 with fewer than
  // 100 records or when the frames share one capture time.
  float realfps() const;

  // The camera section as JSON text (indent 4). detail 1 also writes the
  // defaults and the store's status values.
  std::string tojson(int detail) const;
  // The same section as a JSON object, for writers that lay the text out
  // themselves (the configuration file keeps URL bytes as they are).
  void tojson(nlohmann::json& out, int detail) const;
  // Applies a "camera" section: "source", "fps", "url", "enabled",
  // "bufsize" when present. A value of the wrong JSON type (or a negative
  // number) is not applied and reported with a "[WARNING] " line; the
  // result is then false. An unusable source or an empty URL leaves the
  // camera disabled with source "default".
  bool updConfig(const nlohmann::json& section);

  // URL options "key=value": scans text for the key; true and its value
  // when found.
  static bool extra(const std::string& text, const std::string& key, std::string& value);
  std::string extra(const std::string& key, const std::string& fallback) const;
  // Converted as std::stoi does (std::invalid_argument / std::out_of_range).
  int extra(const std::string& key, int fallback) const;

  std::int32_t camid;
  std::uint32_t enabled = 0;
  std::string url;
  std::string source;
  float zoom = 0;
  float focus = 0;
  std::uint64_t bufsize;  // bytes at construction, then MiB from the section
  std::atomic<std::uint64_t> packets{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint32_t> dropframes{0};
  std::uint32_t fps = 0;
  std::string rtspLog;
  std::shared_ptr<CamBuf> cambuf;
};

// Room for this many cameras is reserved; the registry holds no more.
inline constexpr std::size_t kMaxCameras = 96;

std::vector<Camera>& cameras();
std::vector<Camera>::iterator findCamera(int id);
bool hasCamera(int id);
// Throws std::logic_error "camera configuration was not found [id=N]".
Camera& camera(int id);
// The one way from a camera id to its frame store: null when there is no
// such camera. Stores live as long as their camera (the whole run).
CamBuf* storeOf(int id);
// The record of frame `frame` in that store; not valid() when the camera or
// the record is gone.
SmartBufferIterator storedRecord(int id, std::uint32_t frame);
// Appends a camera (the caller tests hasCamera first). When the registry
// already holds 96 cameras: prints a "[WARNING] " line and throws
// std::logic_error "camera registry is full [id=N]".
Camera& addCamera(int id, std::uint64_t bytes);
// What the start-up and capture code needs of each camera, copied under the
// configuration read lock (a reload may rewrite the fields meanwhile).
struct CameraSettings {
  std::int32_t camid = 0;
  std::uint32_t enabled = 0;
  std::string url;
  std::string source;
  std::uint32_t fps = 0;
};
std::vector<CameraSettings> cameraSettings();
// The frame stores of the enabled cameras with this id, for a capture thread
// that stores a frame (taken under the read lock, written outside it).
std::vector<std::shared_ptr<CamBuf>> enabledStores(int camid);

// Id of the camera with the highest congestion (the later one on a tie)
// among those with a complete sequence waiting; the most congested of all
// when none has one; 0 when there is no camera.
int nextUnprocCamera();

}  // namespace kovira
