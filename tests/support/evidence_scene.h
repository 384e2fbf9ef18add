// A small calibrated scene for evidence and module tests: one camera with a
// real frame store, one zone whose marks are 10 m apart every 100 rows, and
// a synthetic track of one vehicle whose plate (a white box on a dark road)
// moves down the picture, with capture times chosen by the test.
//
// The capture registry keeps cameras for the whole process, so every scene
// takes a camera id of its own.
#pragma once

#include "capture/cam.h"
#include "config/camera_sections.h"
#include "config/config.h"
#include "config/zones.h"
#include "evidence/tickets.h"
#include "recognition/scene_binding.h"
#include "recognition/track.h"
#include "tests/support/text.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace evtest {

inline constexpr int kW = 640;
inline constexpr int kH = 480;
inline constexpr int kPlateW = 80;
inline constexpr int kPlateH = 20;
inline constexpr std::uint64_t kBase = 1700000000ull * 1000000;  // capture time of frame 0, us

class EvidenceScene {
 public:
  // frames: pictures stored; step: microseconds between them.
  explicit EvidenceScene(int zoneid = 1, int frames = 11, std::uint64_t step = 100000) : zone(zoneid) {
    camid = nextCamera()++;
    {
      kovira::ConfigWriteLock lock;
      kovira::zones().clear();
      kovira::camera_sections::clearForTests();
    }
    kovira::config().updSection("camera", {{"type", "camera"}, {"camid", camid}, {"bufsize", 16}});
    if (!kovira::hasCamera(camid)) kovira::addCamera(camid, 16u << 20);
    // Marks on rows 100, 200, 300, 400, 10 m apart.
    kovira::config().updSection("zone", {{"type", "zone"},
                                         {"zoneid", zone},
                                         {"camid", camid},
                                         {"enabled", 1},
                                         {"scale", 6},
                                         {"coords", "4,4,635,4,635,475,4,475"},
                                         {"calpts", "200,100,240,200,280,300,320,400"},
                                         {"calcost", 10.0}});
    kovira::bindSceneAccess();
    for (int i = 0; i < frames; ++i) nums.push_back(addFrame(rowOf(i, frames), kBase + step * i));
  }

  kovira::CamBuf& store() { return *kovira::camera(camid).cambuf; }

  // Row of the plate's tracking point in frame i: 100 to 300 over the run.
  static int rowOf(int i, int frames) { return 100 + 200 * i / (frames - 1); }

  // A dark road with the white plate centred on (320, row).
  unsigned addFrame(int row, std::uint64_t micros, FrameType type = FRAME_GRAY8,
                    std::size_t bytes = 0) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(kW) * kH, 20);
    for (int y = row - kPlateH / 2; y < row + kPlateH / 2; ++y)
      for (int x = 320 - kPlateW / 2; x < 320 + kPlateW / 2; ++x)
        if (y >= 0 && y < kH) px[static_cast<std::size_t>(y) * kW + x] = 250;
    kovira::FrameMetadata& rec =
        store().addFrame(kW, kH, type, 0, px.data(), bytes == 0 ? px.size() : bytes);
    rec.sec = static_cast<std::uint32_t>(micros / 1000000);
    rec.usec = static_cast<std::uint32_t>(micros % 1000000);
    return rec.position;
  }

  static kovira::TrackPoint point(unsigned frame, int zone, int row, const char* text = "A123BC77") {
    CNN_RESULT r{};
    r.zoneid = static_cast<std::uint32_t>(zone);
    std::strncpy(r.text, text, sizeof r.text - 1);
    r.cls = 2;
    r.x = 320 - kPlateW / 2;
    r.y = row - kPlateH / 2;
    r.w = kPlateW;
    r.h = kPlateH;
    r.ox = 320;
    r.oy = row;
    return kovira::TrackPoint(r, frame);
  }

  // The vehicle over the first `count` stored frames (all when 0); rows
  // reversed for a vehicle driving up the picture.
  kovira::Track track(std::size_t count = 0, bool up = false) const {
    kovira::Track t(7, static_cast<std::uint32_t>(zone), static_cast<std::uint32_t>(camid));
    const std::size_t n = count == 0 ? nums.size() : count;
    for (std::size_t i = 0; i < n; ++i) {
      const int k = static_cast<int>(up ? nums.size() - 1 - i : i);
      t.join(point(nums[i], zone, rowOf(k, static_cast<int>(nums.size()))));
    }
    return t;
  }

  static int& nextCamera() {
    static int id = 400;
    return id;
  }

  int zone;
  int camid = 0;
  std::vector<unsigned> nums;
};

inline std::string readAll(const std::filesystem::path& p) { return testsupport::readFile(p); }

// Archives ("*.tar") directly in dir, sorted.
inline std::vector<std::filesystem::path> archivesIn(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> out;
  if (!std::filesystem::exists(dir)) return out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".tar") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// Deletes the scratch copies of every ticket of this process.
inline void dropScratchCopies() {
  for (const ticket_t& t : webtickets().newest(TicketList::kKeep + 1))
    for (const std::string* name : {&t.collage, &t.frame, &t.tar})
      if (!name->empty()) std::remove(("/tmp/cashed/" + *name).c_str());
}

}  // namespace evtest
