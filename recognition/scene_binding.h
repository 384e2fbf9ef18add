// Binds sceneAccess() (recognition/scene_access.h) to the unit's real
// registries: zones and the global "trackmask" of the configuration store,
// and the cameras' frame stores.
//
// Call once, before the result-queue, recognition and decode threads start
// (the program does it at start-up, tests that use the real registries do
// it themselves); never while they run.
#pragma once

namespace kovira {

void bindSceneAccess();

}  // namespace kovira
