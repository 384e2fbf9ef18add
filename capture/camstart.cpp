#include "capture/camstart.h"

#include "capture/cam.h"
#include "capture/missing_store.h"
#include "capture/opencv_play.h"
#include "capture/usbcam.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/startup_functions.h"
#include "capture/receiver.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <iostream>
#include <map>
#include <mutex>

namespace {

std::atomic<bool> sourcesStarted{false};

bool servedByReceiver(const kovira::CameraSettings& c) {
  return c.enabled != 0 && !c.source.empty() && frames::possible.find(c.source) != std::string::npos &&
         kovira::missingStoreMiB(c.camid) == 0;
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

std::int64_t RtpFrameClock::stamp(std::uint32_t ts, std::int64_t nowUs) {
  if (anchored_) {
    const std::int64_t us = us0_ + static_cast<std::int32_t>(ts - ts0_) * std::int64_t{1000000} / 90000;
    if (us - nowUs <= kReanchorUs && nowUs - us <= kReanchorUs) return us;
  }
  anchored_ = true;
  ts0_ = ts;
  us0_ = nowUs;
  return nowUs;
}

void catchrtsp(int camid, FrameType type, int /*chroma*/, int width, int height, unsigned ts,
               unsigned char* data, unsigned long size) {
  unsigned sec = 0, usec = 0;
  high_clock(sec, usec);
  std::int64_t us = std::int64_t{sec} * 1000000 + usec;
  if (ts != 0) {
    // Each camera is delivered from one thread; the lock only guards the map.
    static std::mutex mutex;
    static std::map<int, RtpFrameClock> clocks;
    std::lock_guard lock(mutex);
    us = clocks[camid].stamp(ts, us);
  }
  for (const auto& store : kovira::enabledStores(camid)) {
    kovira::FrameMetadata& rec = store->addFrame(width, height, type, ts, data, size);
    rec.sec.store(static_cast<unsigned>(us / 1000000));
    rec.usec.store(static_cast<unsigned>(us % 1000000));
  }
}

void closeCameras() {
  // Every session the receiver holds, not the cameras the configuration
  // names now: a camera disabled or given another source at run time still
  // has a live session. A receiver that never started is not built for it.
  rtsp::disconnectAll();
}

void init_frames() {
  sourcesStarted = true;
  // A receiver that cannot be built (its UDP ports are taken) must not stop
  // the unit: cameras of other sources still work.
  try {
    // The sink first: a file camera delivers as soon as its playback starts,
    // and the first frame of a group lost before the sink was there makes
    // the whole group undecodable.
    const auto settings = kovira::cameraSettings();
    if (std::any_of(settings.begin(), settings.end(), servedByReceiver)) {
      getrtsp().SimpleSubscribe(catchrtsp);
      createCameras();
    }
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
