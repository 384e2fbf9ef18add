// Shared set-up of the industrial camera tests: a fresh camera stand-in, a
// fresh settings section and a registry with one "basler" camera.
#pragma once

#include "capture/cam.h"
#include "capture/usbcam_config.h"
#include "core/working.h"
#include "platform/usb3cam/control.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kovira::testing {

// Puts the section back to its start values (the singleton outlives tests).
inline void resetBaslerConfig() {
  BaslerConfig& c = baslerConfig();
  c.fromjson(nlohmann::json::parse(
      R"({"exposure":1800,"limgain":24,"maxfps":40,"maxnfps":18,"camflashmod":1,"brightness":0.5,"br1":0.25,"br2":0.25})"));
  c.night = 0, c.minfps = 4, c.curfps = 25, c.target = 0.5f, c.period = 0;
  c.diaphragm = 0, c.autodiaphragm = 1, c.grabbed = 0, c.errmajor = 0, c.errminor = 0;
  c.chunks = 0, c.actexp = 0, c.actgain = 0;
  c.clearLog();
  c.setText(&BaslerConfig::status, "");
}

class UsbCamTest : public ::testing::Test {
 protected:
  static constexpr int kCamId = 7;
  void SetUp() override {
    working = 1;
    cameras().clear();
    Camera& cam = addCamera(kCamId, 8 << 20);
    cam.updConfig(nlohmann::json{{"source", "basler"}, {"url", "usb"}, {"enabled", 1}});
    usb3cam::reset({.width = 160, .height = 120});
    resetBaslerConfig();
  }
  void TearDown() override { cameras().clear(); }
  void reset(const usb3cam::Options& o) { usb3cam::reset(o); }
  Camera& cam() { return camera(kCamId); }
};

}  // namespace kovira::testing
