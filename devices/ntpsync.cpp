#include "devices/ntpsync.h"

#include "config/config.h"
#include "core/scheduler.h"
#include "core/startup_functions.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <iostream>

namespace {

constexpr const char* kService = "org.freedesktop.timedate1";
constexpr const char* kObject = "/org/freedesktop/timedate1";

// Everything one call holds, released on every path.
struct BusCall {
  sd_bus* bus = nullptr;
  sd_bus_message* request = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;

  BusCall() = default;
  BusCall(const BusCall&) = delete;
  BusCall& operator=(const BusCall&) = delete;
  ~BusCall() {
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(request);
    sd_bus_unref(bus);
  }
};

}  // namespace

int NTPSynchronized(char const** step) {
  if (step) *step = "";
  auto fail = [step](const char* name, int r) {
    if (step) *step = name;
    return r;
  };
  BusCall call;
  // 1-5, in this order; sd-bus honours DBUS_SYSTEM_BUS_ADDRESS.
  int r = sd_bus_default_system(&call.bus);
  if (r < 0) return fail("sd_bus_default_system", r);
  r = sd_bus_message_new_method_call(call.bus, &call.request, kService, kObject,
                                     "org.freedesktop.DBus.Properties", "Get");
  if (r < 0) return fail("sd_bus_message_new_method_call", r);
  r = sd_bus_message_append(call.request, "ss", kService, "NTPSynchronized");
  if (r < 0) return fail("sd_bus_message_append", r);
  const auto limit = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(ntpsync::kCallLimit).count());
  r = sd_bus_call(call.bus, call.request, limit, &call.error, &call.reply);
  if (r < 0) return fail("sd_bus_call", r);
  int value = 0;
  r = sd_bus_message_read(call.reply, "v", "b", &value);
  if (r < 0) return fail("sd_bus_read", r);
  return value ? 1 : 0;
}

void timesync() {
  auto& flag = kovira::config().ntpsync;
  if (flag != 0) return;
  if (NTPSynchronized(nullptr) != 1) return;
  // Two threads never get here at once (start-up, then the scheduler only),
  // but the exchange keeps the line to one even if they did.
  std::uint32_t expected = 0;
  if (flag.compare_exchange_strong(expected, 1)) std::cout << "[DBG] ntpsync flag obtained" << std::endl;
}

void timesyncloop(unsigned int) { timesync(); }

namespace ntpsync {
void modinit() {
  scheduler.add(timesyncloop, kPeriod, false);
  timesync();
}
}  // namespace ntpsync
