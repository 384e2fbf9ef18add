// The network-camera path of the unit (receiver, catchrtsp, frame store) on
// one RTSP stream until it ends; bench/rtsp_camera_bench.sh runs it beside
// GStreamer's own client on the same file and prints the ratio.
//
// Usage: rtsp_camera_bench URL
// Prints "stored N": frames in the store between the first and the last.
#include "capture/cam.h"
#include "capture/camstart.h"
#include "capture/receiver.h"
#include "core/working.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

namespace {

unsigned storedFrames(kovira::Camera& cam) {
  const kovira::SmartBufferIterator newest = cam.cambuf->meta().newest();
  return newest.valid() ? newest->position : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rtsp_camera_bench URL\n");
    return 2;
  }
  working = 1;
  try {
    kovira::Camera& cam = kovira::addCamera(1, 64ull << 20);
    cam.updConfig(nlohmann::json{{"source", "rtsp"}, {"url", argv[1]}, {"enabled", 1}});
    if (frames::createCameras() != 1) return 1;
    getrtsp().SimpleSubscribe(frames::catchrtsp);
    // The stream has ended once no frame came for 3 s (at most 10 minutes;
    // 30 s for the first frame).
    unsigned first = 0, last = 0;
    int quiet = 0;
    for (int tick = 0; tick < 6000 && quiet < (first == 0 ? 300 : 30); ++tick) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const unsigned now = storedFrames(cam);
      if (first == 0) first = now;
      quiet = now == last ? quiet + 1 : 0;
      last = now;
    }
    std::printf("stored %u\n", first == 0 ? 0 : last - first + 1);
    frames::closeCameras();
    rtsp::shutdownReceiver();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rtsp_camera_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
