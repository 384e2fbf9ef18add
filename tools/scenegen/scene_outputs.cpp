#include "tools/scenegen/scene_outputs.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace kovira::scenegen {
namespace {

using nlohmann::json;

constexpr int kZoneMargin = 4;
constexpr int kZoneId = 1;
constexpr int kCameraId = 1;
constexpr int kActionId = 1;
constexpr int kZoneScale = 6;
// Frame store size: about this many seconds of frames, within the store's
// accepted range of 1..4096 MiB. Evidence is composed from the best frame of
// a track after the track finished (60 frames, 2.4 s at 25 fps, after its
// last reading), so the store must hold several seconds more than that.
constexpr double kBufferSeconds = 10;
constexpr int kMinBufferMiB = 16;
constexpr int kMaxBufferMiB = 4096;

json box(const plate::Box& b) { return json::array({b.x, b.y, b.w, b.h}); }

// Even-odd rule over the zone's corners; every point is inside the default zone.
bool inZone(const Scene& s, int x, int y) {
  bool inside = s.zone.empty();
  for (std::size_t i = 0, j = s.zone.size() - 2; i < s.zone.size(); j = i, i += 2) {
    const double xi = s.zone[i], yi = s.zone[i + 1], xj = s.zone[j], yj = s.zone[j + 1];
    if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
  }
  return inside;
}

}  // namespace

std::string calibrationMarks(const Scene& s) {
  // Half the mark spread: wide enough for a bounding box of 2500 square
  // pixels even when the rows are close, and inside the picture.
  const int half = std::min(s.width / 4, std::max(100, s.width / 8));
  const int cx = s.width / 2;
  std::string out;
  auto add = [&](int x, int y) {
    if (!out.empty()) out += ",";
    out += std::to_string(x) + "," + std::to_string(y);
  };
  for (std::size_t i = 0; i < s.rows.size(); ++i) add(i % 2 == 0 ? cx - half : cx + half, s.rows[i]);
  if (s.rows.size() == 2) add(cx + half, s.rows[0]);
  return out;
}

std::string zoneCoords(const Scene& s) {
  if (!s.zone.empty()) {
    std::string out;
    for (const int v : s.zone) out += (out.empty() ? "" : ",") + std::to_string(v);
    return out;
  }
  const int l = kZoneMargin, t = kZoneMargin, r = s.width - 1 - kZoneMargin, b = s.height - 1 - kZoneMargin;
  return std::to_string(l) + "," + std::to_string(t) + "," + std::to_string(r) + "," + std::to_string(t) + "," +
         std::to_string(r) + "," + std::to_string(b) + "," + std::to_string(l) + "," + std::to_string(b);
}

std::string truthJson(const Scene& s, const SceneRenderer& renderer) {
  json vehicles = json::array();
  for (std::size_t i = 0; i < s.vehicles.size(); ++i) {
    const Vehicle& v = s.vehicles[i];
    json frames = json::array();
    bool zoned = false;
    for (const PlateTruth& p : renderer.truth()[i]) {
      frames.push_back({{"frame", p.frame}, {"box", box(p.box)}, {"point", {p.ox, p.oy}}, {"text", p.text}});
      zoned = zoned || inZone(s, p.ox, p.oy);
    }
    vehicles.push_back({{"plate", v.plate},
                        {"class", v.cls},
                        {"direction", v.direction},
                        {"kmh", v.kmh},
                        {"start", v.start},
                        {"x", v.x},
                        {"exit", renderer.exitSecond(i)},
                        {"zones", zoned ? json::array({kZoneId}) : json::array()},
                        {"frames", std::move(frames)}});
  }
  json root = {{"width", s.width},
               {"height", s.height},
               {"fps", s.fps},
               {"frames", s.frameCount()},
               {"module", s.module},
               {"plate", {{"width", renderer.plateWidth()}, {"height", renderer.plateHeight()}}},
               {"calibration", {{"rows", s.rows}, {"metres", s.metres}}},
               {"zone", {{"zoneid", kZoneId}, {"coords", zoneCoords(s)}, {"calpts", calibrationMarks(s)}}},
               {"vehicles", std::move(vehicles)}};
  return root.dump(1) + "\n";
}

std::string configJson(const Scene& s, const std::string& outdir) {
  const double frameMiB = static_cast<double>(s.width) * s.height / (1024.0 * 1024.0);
  const int bufsize = std::clamp(static_cast<int>(std::ceil(frameMiB * s.fps * kBufferSeconds)), kMinBufferMiB,
                                 kMaxBufferMiB);
  json camera = {{"type", "camera"}, {"camid", kCameraId},      {"enabled", 1},
                 {"source", "opencv"}, {"url", outdir + "/scene.avi"}, {"fps", s.fps},
                 {"bufsize", bufsize}};
  json zone = {{"type", "zone"},
               {"zoneid", kZoneId},
               {"camid", kCameraId},
               {"enabled", 1},
               {"scale", kZoneScale},
               {"coords", zoneCoords(s)},
               {"calpts", calibrationMarks(s)},
               {"calcost", s.metres}};
  json action = {{"type", "action"}, {"actid", kActionId},        {"enabled", 1},
                 {"method", "speed"}, {"zoneA", kZoneId},          {"speed", s.limit},
                 {"threshold", s.threshold}, {"path", outdir + "/evidence"}};
  json global = {{"type", "global"}, {"webserver", s.port}};
  return json::array({camera, zone, action, global}).dump(4) + "\n";
}

}  // namespace kovira::scenegen
