// A scene file: the road, its calibration and the vehicles to render.
//
//   {"width": 1280, "height": 720, "fps": 25, "seconds": 12, "port": 18080,
//    "calibration": {"rows": [200, 400, 600], "metres": 6.0},
//    "limit": 60, "threshold": 70,
//    "vehicles": [{"plate": "A123BC77", "class": 2, "kmh": 92.5, "direction": 1,
//                  "start": 1.0, "x": 640, "misread": 0}]}
//
// Optional: "module" (pixels per plate module; default max(3, width / 400)),
// per vehicle "class" (0: none) and "misread" (every Nth reading of the plate
// shows one unreadable glyph; 0: never), "zone" (the zone polygon as
// [x1, y1, x2, y2, ...], at least three corners inside the picture, such as
// a bus lane; default: the whole picture less a small margin). Parsing is pure and checks every
// value; an error names the offending key.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kovira::scenegen {

inline constexpr int kMinSide = 64;
inline constexpr int kMaxSide = 8192;
inline constexpr int kMaxFps = 240;
inline constexpr double kMaxSeconds = 3600;
inline constexpr double kMaxKmh = 400;
// Road left empty after the last vehicle so that the unit's tracks finish.
inline constexpr double kEmptyTailSeconds = 3;

struct Vehicle {
  std::string plate;
  int cls = 0;
  double kmh = 0;
  int direction = 1;  // 1 down the image (towards the camera), 2 up
  double start = 0;   // second at which the plate starts to enter the picture
  int x = 0;          // column of the plate centre
  int misread = 0;
};

struct Scene {
  int width = 0;
  int height = 0;
  int fps = 0;
  double seconds = 0;
  int port = 0;
  std::vector<int> rows;
  double metres = 0;
  int limit = 0;
  int threshold = 0;
  int module = 0;
  std::vector<int> zone;  // x, y pairs; empty: the whole picture
  std::vector<Vehicle> vehicles;

  int frameCount() const;
};

struct SceneOrError {
  std::optional<Scene> scene;
  std::string error;
};

SceneOrError parseScene(std::string_view text);

}  // namespace kovira::scenegen
