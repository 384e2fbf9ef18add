#include "devices/ntpsync.h"

#include "config/config.h"
#include "core/scheduler.h"
#include "core/startup_functions.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iostream>

namespace {

constexpr const char* kService = "org.freedesktop.timedate1";
constexpr const char* kObject = "/org/freedesktop/timedate1";
constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";

// Everything one call holds, released on every path (the pending call
// first: its callback points into this object).
struct BusCall {
  sd_bus* bus = nullptr;
  sd_bus_message* request = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_slot* pending = nullptr;
  bool answered = false;

  BusCall() = default;
  BusCall(const BusCall&) = delete;
  BusCall& operator=(const BusCall&) = delete;
  ~BusCall() {
    sd_bus_slot_unref(pending);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(request);
    sd_bus_unref(bus);
  }
};

int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* call = static_cast<BusCall*>(userdata);
  call->reply = sd_bus_message_ref(m);
  call->answered = true;
  return 0;
}

// A connection of our own that is only started, not waited for: the
// library's blocking calls wait for the bus handshake with its own long
// time-outs, which a stopped bus daemon would make us sit out.
int openSystemBus(sd_bus** bus) {
  int r = sd_bus_new(bus);
  if (r < 0) return r;
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  r = sd_bus_set_address(*bus, address != nullptr && *address != '\0' ? address : kDefaultSystemBus);
  if (r >= 0) r = sd_bus_set_bus_client(*bus, 1);
  if (r >= 0) r = sd_bus_start(*bus);
  return r;
}

// Runs the bus until the reply has come or the deadline has passed.
int awaitReply(BusCall& call, std::chrono::steady_clock::time_point deadline) {
  while (!call.answered) {
    const int r = sd_bus_process(call.bus, nullptr);
    if (r < 0) return r;
    if (r > 0) continue;  // more may be ready at once
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
    if (left.count() <= 0) return -ETIMEDOUT;
    const int w = sd_bus_wait(call.bus, static_cast<std::uint64_t>(left.count()));
    if (w < 0 && w != -EINTR) return w;
  }
  return 0;
}

}  // namespace

int NTPSynchronized(char const** step) {
  if (step) *step = "";
  auto fail = [step](const char* name, int r) {
    if (step) *step = name;
    return r;
  };
  // One deadline for the whole exchange, handshake included.
  const auto deadline = std::chrono::steady_clock::now() + ntpsync::kCallLimit;
  BusCall call;
  // 1-5, in this order; the bus address honours DBUS_SYSTEM_BUS_ADDRESS.
  int r = openSystemBus(&call.bus);
  if (r < 0) return fail("sd_bus_default_system", r);
  r = sd_bus_message_new_method_call(call.bus, &call.request, kService, kObject,
                                     "org.freedesktop.DBus.Properties", "Get");
  if (r < 0) return fail("sd_bus_message_new_method_call", r);
  r = sd_bus_message_append(call.request, "ss", kService, "NTPSynchronized");
  if (r < 0) return fail("sd_bus_message_append", r);
  const auto limit = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(ntpsync::kCallLimit).count());
  r = sd_bus_call_async(call.bus, &call.pending, call.request, onReply, &call, limit);
  if (r >= 0) r = awaitReply(call, deadline);
  if (r >= 0 && sd_bus_message_is_method_error(call.reply, nullptr)) {
    const int e = sd_bus_message_get_errno(call.reply);  // also a time-out of the call itself
    r = e > 0 ? -e : -EIO;
  }
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
  scheduler.add(timesyncloop, kPeriod, false, "timesyncloop");
  timesync();
}
}  // namespace ntpsync
