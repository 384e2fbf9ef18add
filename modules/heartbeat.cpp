#include "modules/heartbeat.h"

#include "config/config.h"
#include "config/config_lock.h"
#include "core/clock.h"
#include "core/scheduler.h"
#include "core/startup_functions.h"
#include "devices/heartbeat.h"
#include "devices/sttydev.h"
#include "http/httpclient.h"
#include "recognition/multitrack.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"

#include <iostream>

namespace heartbeat {

int funnyt6(kovira::MultiTrack& group) {
  for (const auto& t : group.tracks) {
    if (t.advAccuracy() > 1.0f) {
      heartbeatStore().addone("carflow");
      break;
    }
  }
  return 0;
}

void heartbeatloop(unsigned int) {
  std::string address;
  {
    kovira::ConfigReadLock lock;
    address = kovira::config().address;
  }
  heartbeatStore().once("address", address);
}

void modinit() {
  resproc.addProcModule("heartbeat", funnyt6).interval = 0;
  std::string base;
  {
    kovira::ConfigReadLock lock;
    base = kovira::config().endpoints.telemetry;
  }
  if (base.empty())
    std::cout << "[DBG] no \"telemetry\" server in /etc/kovira.conf: telemetry is not posted" << std::endl;
  else
    heartbeatStore().url = base + Heartbeat::kPath;
  scheduler.add([](unsigned) { heartbeatStore().push(sttydev(), static_cast<std::uint32_t>(now())); },
                std::chrono::seconds(Heartbeat::kInterval), false, "Heartbeat::push");
  scheduler.add(
      [](unsigned) {
        // A fresh thread each run: nothing may leave it.
        try {
          heartbeatStore().send([](const std::string& url, const char* data, std::size_t len) {
            return httppost(url, data, len);
          });
        } catch (const std::exception& e) {
          std::cout << "[ERR] telemetry: " << e.what() << std::endl;
        }
      },
      std::chrono::seconds(60), true, "Heartbeat::send");
  scheduler.add(heartbeatloop, std::chrono::seconds(60), false, "heartbeatloop");
}

}  // namespace heartbeat
