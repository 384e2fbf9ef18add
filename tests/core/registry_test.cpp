#include "core/startup_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The call order fixes the order of HTTP routes, configuration sections and
// scheduler tasks; modules rely on the sections and routes of earlier ones.
TEST(StartupRegistry, HoldsEveryModuleInItsFixedOrder) {
  const std::vector<std::string> expected = {
      "updlens:lens_httphook_init", "updlens:init_do_nothing",
      "wrongdir:modinit", "wrongdir:init_do_nothing",
      "camreadcv:opencv_read_init", "camreadcv:init_do_nothing",
      "stty:modinit", "stty:init_do_nothing",
      "webcam:cambuf_httphook_init", "webcam:init_do_nothing",
      "test-sign:testcrypto", "test-sign:init_do_nothing",
      "watchdog:watchdog_httphook_init", "watchdog:init_do_nothing",
      "webcollage:collage_httphook_init", "webcollage:init_do_nothing",
      "config-backup:modinit", "config-backup:init_do_nothing",
      "coltest:collage_test_init", "coltest:init_do_nothing",
      "heartbeat:modinit", "heartbeat:init_do_nothing",
      "camera:modinit", "camera:init_do_nothing",
      "xmltest:init_do_nothing",
      "web:lens_httphook_init", "web:init_do_nothing",
      "ntpsync:modinit", "ntpsync:init_do_nothing",
      "carflow:modinit", "carflow:init_do_nothing",
      "common:init_do_nothing",
      "main:init_do_nothing",
      "frames:init_frames", "frames:init_do_nothing",
      "config-upd:modinit", "config-upd:init_do_nothing",
      "spd-kormelino:modinit", "spd-kormelino:init_do_nothing",
      "frame:frame_httphook_init", "frame:init_do_nothing",
      "webtrack:tracks_httphook_init", "webtrack:init_do_nothing",
      "speed:modinit", "speed:init_do_nothing",
      "mask:modinit", "mask:init_do_nothing",
      "diagnostics:modinit", "diagnostics:init_do_nothing",
      "postframe:modinit", "postframe:init_do_nothing",
      "web:webinit", "web:init_do_nothing",
      "basic:mesure_httphook_init", "basic:init_do_nothing",
      "collage:init_do_nothing",
      "broadcast:broadcast_init", "broadcast:init_do_nothing",
      "cnnweb:cnnproc_httphook_init", "cnnweb:init_do_nothing",
      "gnss:mesure_httphook_init", "gnss:init_do_nothing",
      "upload:modinit", "upload:init_do_nothing",
      "config-add:modinit", "config-add:init_do_nothing",
      "busline:modinit", "busline:init_do_nothing",
      "resqueue:init_do_nothing",
      "wd:modinit", "wd:init_do_nothing",
      "saveframe:modinit", "saveframe:init_do_nothing",
      "modem:modinit", "modem:init_do_nothing",
      "web:basler_httphook_init", "web:init_do_nothing",
      "auto:initfunc", "auto:init_do_nothing",
      "geninfo:gen_httphook_init", "geninfo:init_do_nothing",
      "trackdump:modinit", "trackdump:init_do_nothing",
      "directory:directory_httphook_init", "directory:init_do_nothing",
      "angle:modinit", "angle:init_do_nothing",
      "busline-kormelino:modinit", "busline-kormelino:init_do_nothing",
  };
  std::vector<std::string> actual;
  for (const auto& e : startupRegistry()) {
    ASSERT_NE(e.call, nullptr) << e.module;
    actual.push_back(std::string(e.module) + ":" + std::string(e.function));
  }
  EXPECT_EQ(actual.size(), 89u);
  EXPECT_EQ(actual, expected);
}

TEST(StartupRegistry, ExitRegistryClosesTheCameras) {
  ASSERT_EQ(exitRegistry().size(), 1u);
  EXPECT_EQ(exitRegistry()[0].module, "frames");
  EXPECT_EQ(exitRegistry()[0].function, "exit_frames");
}

}  // namespace
