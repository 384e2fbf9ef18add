#include "capture/camstart.h"

#include "capture/cam.h"
#include "capture/opencv_play.h"
#include "capture/usbcam.h"
#include "core/log.h"
#include "core/startup_functions.h"
#include "rtsp/receiver.h"

#include <atomic>
#include <exception>
#include <iostream>

namespace {

std::atomic<bool> sourcesStarted{false};

bool servedByReceiver(const kovira::CameraSettings& c) {
  return c.enabled != 0 && !c.source.empty() && frames::possible.find(c.source) != std::string::npos;
}

}  // namespace

namespace frames {

const std::string possible = "rtsp|file";

int createCameras() {
  int count = 0;
  // Copies: the receiver's calls are made without the configuration lock.
  for (const kovira::CameraSettings& c : kovira::cameraSettings()) {
    if (!servedByReceiver(c)) continue;
    ++count;
    if (c.source == "rtsp") {
      getrtsp().AddSession(c.camid);
      getrtsp().Connect(c.camid, c.url);
    } else if (c.source == "file") {
      getrtsp().AddSession(c.camid);
      getrtsp().PlayFile(c.camid, c.url, c.fps);
    }
  }
  return count;
}

void catchrtsp(int camid, FrameType type, int /*chroma*/, int width, int height, unsigned ts,
               unsigned char* data, unsigned long size) {
  for (const auto& store : kovira::enabledStores(camid)) store->addFrame(width, height, type, ts, data, size);
}

void closeCameras() {
  for (const kovira::CameraSettings& c : kovira::cameraSettings())
    if (servedByReceiver(c) && c.source == "rtsp") getrtsp().Disconnect(c.camid);
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
    rtsp::shutdownReceiver();
  } catch (const std::exception& e) {
    std::cout << "[ERR] closing network cameras: " << e.what() << std::endl;
  }
  camreadcv::stopPlayback();
  camera::stopGrabber();
}

}  // namespace frames

namespace kovira {

bool framesAllocated() { return sourcesStarted.load(); }

}  // namespace kovira
