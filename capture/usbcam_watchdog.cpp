#include "capture/cam.h"
#include "capture/usbcam_config.h"
#include "capture/usbcam_pages.h"
#include "core/scheduler.h"
#include "core/startup_functions.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"

#include <chrono>

namespace watchdog {
std::atomic<std::uint64_t> lastgrab{0};
std::atomic<std::uint64_t> stalled{0};
}  // namespace watchdog

void usbcam_watchdog_loop(unsigned) {
  const std::uint64_t now = baslerConfig().grabbed;
  watchdog::stalled = now == watchdog::lastgrab ? 1 : 0;
  watchdog::lastgrab = now;
}

int http_ubscam_watchdog(const HttpRequest&, HttpResponse& res) {
  for (const kovira::CameraSettings& c : kovira::cameraSettings()) {
    if (c.enabled != 0 && c.source == "basler") {
      res.body << watchdog::stalled.load() << "\n";
      return 200;
    }
  }
  res.body << "camera (basler) not found (configuration) or disabled\n";
  return 404;
}

void watchdog::watchdog_httphook_init() {
  webserver().subscribe("^/usbcam/watchdog\\.txt$", http_ubscam_watchdog);
  scheduler.add(usbcam_watchdog_loop, std::chrono::seconds(30), false, "usbcam_watchdog_loop");
}
