#include "recognition/scene_binding.h"

#include "capture/cam.h"
#include "config/config.h"
#include "config/zones.h"
#include "recognition/scene_access.h"

namespace kovira {

namespace {

CamBuf* storeOf(unsigned camid) {
  auto cam = findCamera(static_cast<int>(camid));
  return cam == cameras().end() ? nullptr : cam->cambuf.get();
}

}  // namespace

void bindSceneAccess() {
  SceneAccess& scene = sceneAccess();
  scene.zoneCamera = [](unsigned zoneid) -> unsigned {
    ConfigReadLock lock;
    for (const Zone& z : zones())
      if (z.removed == 0 && z.zoneid == static_cast<std::int32_t>(zoneid)) return z.camid > 0 ? z.camid : 0;
    return 0;
  };
  scene.oldestUndecoded = [](unsigned camid) -> std::optional<PendingFrame> {
    CamBuf* store = storeOf(camid);
    if (store == nullptr) return std::nullopt;
    auto it = store->lastUnprocFrame();
    if (!it.valid()) return std::nullopt;
    return PendingFrame{it->position, static_cast<std::uint32_t>(it->type)};
  };
  scene.storedFrame = [](unsigned camid, unsigned frame) -> std::optional<StoredFrame> {
    CamBuf* store = storeOf(camid);
    if (store == nullptr) return std::nullopt;
    auto it = store->frame(frame);
    if (!it.valid() || !it->hasBytes()) return std::nullopt;
    return StoredFrame{it->width, it->height};
  };
  scene.trackmask = [] {
    ConfigReadLock lock;
    return config().trackmask;
  };
}

}  // namespace kovira
