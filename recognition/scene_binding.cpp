#include "recognition/scene_binding.h"

#include "capture/cam.h"
#include "config/config.h"
#include "config/zones.h"
#include "recognition/scene_access.h"

namespace kovira {

void bindSceneAccess() {
  SceneAccess& scene = sceneAccess();
  scene.zoneCamera = [](unsigned zoneid) -> unsigned {
    ConfigReadLock lock;
    for (const Zone& z : zones())
      if (z.removed == 0 && z.zoneid == static_cast<std::int32_t>(zoneid)) return z.camid > 0 ? z.camid : 0;
    return 0;
  };
  scene.oldestUndecoded = [](unsigned camid) -> std::optional<PendingFrame> {
    CamBuf* store = storeOf(static_cast<int>(camid));
    if (store == nullptr) return std::nullopt;
    auto it = store->lastUnprocFrame();
    if (!it.valid()) return std::nullopt;
    return PendingFrame{it->position, static_cast<std::uint32_t>(it->type)};
  };
  scene.storedFrame = [](unsigned camid, unsigned frame) -> std::optional<StoredFrame> {
    auto it = storedRecord(static_cast<int>(camid), frame);
    if (!it.valid() || !it->hasBytes()) return std::nullopt;
    return StoredFrame{it->width, it->height};
  };
  scene.trackmask = [] {
    ConfigReadLock lock;
    return config().trackmask;
  };
  scene.store = [](unsigned camid) { return storeOf(static_cast<int>(camid)); };
  scene.zoneById = [](unsigned zoneid) -> std::optional<Zone> {
    ConfigReadLock lock;
    for (const Zone& z : zones())
      if (z.zoneid == static_cast<std::int32_t>(zoneid)) return z;
    return std::nullopt;
  };
  scene.batchPolygons = [](unsigned camid, int width, int height) {
    std::list<std::string> out;
    ConfigReadLock lock;
    for (const Zone& z : zones()) {
      if (z.removed != 0 || z.enabled == 0 || z.camid != static_cast<std::int32_t>(camid)) continue;
      // A zone that does not fit this frame is left out of this batch only:
      // switching it off would outlive a passing size mismatch (and be saved).
      if (!z.corresponds(width, height)) continue;
      std::string desc = z.cnnPolygon(0);
      // An empty description (own scale outside the window) would look new to
      // every batch and re-initialise the recogniser each time.
      if (!desc.empty()) out.push_back(std::move(desc));
    }
    return out;
  };
  scene.recogniserPolygons = [](int width, int height) {
    std::list<std::string> out;
    ConfigReadLock lock;
    for (const Zone& z : zones()) {
      // Zones of every camera share the one recogniser; one that does not
      // fit this size is left out, never switched off.
      if (z.removed != 0 || z.enabled == 0 || !z.corresponds(width, height)) continue;
      for (std::string& d : z.cnnPolygons())
        if (!d.empty()) out.push_back(std::move(d));
    }
    return out;
  };
}

}  // namespace kovira
