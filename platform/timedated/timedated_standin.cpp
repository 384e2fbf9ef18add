// Stand-in time daemon for tests and the demo: owns the bus name
// "org.freedesktop.timedate1" on the system bus that DBUS_SYSTEM_BUS_ADDRESS
// names and answers the boolean property "NTPSynchronized" of the object
// "/org/freedesktop/timedate1" (interface "org.freedesktop.timedate1"), read
// through org.freedesktop.DBus.Properties.Get as the real daemon is.
//
//   timedated-standin --state FILE
//
// FILE is read on every request: "true" answers true, "silent" answers
// nothing at all (requests wait in the bus until the state changes, as with
// a hung daemon), anything else answers false. Prints "READY" once the name
// is owned. Ends on SIGTERM or SIGINT, or when the bus goes away.
#include <systemd/sd-bus.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
std::string statePath;

std::string state() {
  std::ifstream in(statePath);
  std::string word;
  in >> word;
  return word;
}

int getNtp(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  const int value = state() == "true" ? 1 : 0;
  return sd_bus_message_append(reply, "b", value);
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("NTPSynchronized", "b", getNtp, 0, 0),
    SD_BUS_VTABLE_END,
};

void onSignal(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "--state") != 0) {
    std::fprintf(stderr, "usage: %s --state FILE\n", argv[0]);
    return 2;
  }
  statePath = argv[2];
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);

  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r < 0) {
    std::fprintf(stderr, "timedated-standin: no system bus: %s\n", std::strerror(-r));
    return 1;
  }
  sd_bus_slot* slot = nullptr;
  r = sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/timedate1", "org.freedesktop.timedate1", kVtable,
                               nullptr);
  if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.timedate1", 0);
  if (r < 0) {
    std::fprintf(stderr, "timedated-standin: cannot serve: %s\n", std::strerror(-r));
    sd_bus_slot_unref(slot);
    sd_bus_unref(bus);
    return 1;
  }
  std::printf("READY\n");
  std::fflush(stdout);

  while (!stopRequested) {
    if (state() == "silent") {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    r = sd_bus_wait(bus, 100000);  // wake now and then for the state and signals
    if (r < 0 && r != -EINTR) break;
  }
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
  return 0;
}
