// The text files a scene run leaves next to its video: the truth of every
// plate and a configuration that runs the unit on the video. Pure: they
// return text; main writes it.
#pragma once

#include "platform/scene/scene.h"
#include "platform/scene/scene_render.h"

#include <string>

namespace kovira::scenegen {

// Calibration marks "x1,y1,x2,y2,..." at the scene's rows. The marks zig-zag
// across the road so that they form a valid polygon; with only two rows a
// third mark on the first row keeps it valid without adding a band.
std::string calibrationMarks(const Scene& scene);

// The zone polygon: the picture less a small margin.
std::string zoneCoords(const Scene& scene);

std::string truthJson(const Scene& scene, const SceneRenderer& renderer);

// outdir: absolute path of the output folder.
std::string configJson(const Scene& scene, const std::string& outdir);

}  // namespace kovira::scenegen
