#include "capture/camstart.h"

#include "capture/cam.h"
#include "capture/opencv_play.h"
#include "core/log.h"
#include "core/startup_functions.h"
#include "rtsp/receiver.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <iostream>

namespace {

std::atomic<bool> sourcesStarted{false};

// At exit the playback threads get this long to see `working` cleared
// before the frame stores go away with the registry.
constexpr auto kPlaybackExitWait = std::chrono::seconds(2);

bool servedByReceiver(const kovira::Camera& c) {
  return c.enabled != 0 && !c.source.empty() && frames::possible.find(c.source) != std::string::npos;
}

// Cameras are only ever appended and the registry never reallocates, so an
// index walk up to the size seen at the start is safe while a configuration
// update adds a camera.
template <class Fn>
void eachCamera(Fn&& fn) {
  auto& all = kovira::cameras();
  const std::size_t n = all.size();
  for (std::size_t i = 0; i < n; ++i) fn(all[i]);
}

}  // namespace

namespace frames {

const std::string possible = "rtsp|file";

int createCameras() {
  int count = 0;
  eachCamera([&count](kovira::Camera& c) {
    if (!servedByReceiver(c)) return;
    ++count;
    if (c.source == "rtsp") {
      getrtsp().AddSession(c.camid);
      getrtsp().Connect(c.camid, c.url);
    } else if (c.source == "file") {
      getrtsp().AddSession(c.camid);
      getrtsp().PlayFile(c.camid, c.url, c.fps);
    }
  });
  return count;
}

void catchrtsp(int camid, FrameType type, int /*chroma*/, int width, int height, unsigned ts,
               unsigned char* data, unsigned long size) {
  eachCamera([&](kovira::Camera& c) {
    if (c.enabled != 0 && c.camid == camid) c.cambuf->addFrame(width, height, type, ts, data, size);
  });
}

void closeCameras() {
  eachCamera([](kovira::Camera& c) {
    if (servedByReceiver(c) && c.source == "rtsp") getrtsp().Disconnect(c.camid);
  });
}

void init_frames() {
  sourcesStarted = true;
  // A receiver that cannot be built (its UDP ports are taken) must not stop
  // the unit: cameras of other sources still work.
  try {
    if (createCameras() >= 1) getrtsp().SimpleSubscribe(catchrtsp);
  } catch (const std::exception& e) {
    std::cout << "[FAILURE] network cameras are not started: " << e.what() << std::endl;
    log_error(std::string("network cameras are not started: ") + e.what());
  }
}

void exit_frames() {
  try {
    closeCameras();
  } catch (const std::exception& e) {
    std::cout << "[ERR] closing network cameras: " << e.what() << std::endl;
  }
  camreadcv::waitPlaybackEnd(kPlaybackExitWait);
}

}  // namespace frames

namespace kovira {

bool framesAllocated() { return sourcesStarted.load(); }

}  // namespace kovira
