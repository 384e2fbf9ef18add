#include "recognition/scene_access.h"

namespace kovira {

SceneAccess& sceneAccess() {
  static SceneAccess scene;
  return scene;
}

}  // namespace kovira
