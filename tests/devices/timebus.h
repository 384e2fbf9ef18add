// A private system bus with the stand-in time daemon (tests/fixtures/
// timebus.sh) for one test, which sd-bus is pointed at; stops both when it
// goes out of scope.
#pragma once

#include "tests/support/text.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {

class TimeBus {
 public:
  // state: "true", "false", "silent" or "none" (no daemon on the bus).
  explicit TimeBus(const std::string& state) {
    char pattern[] = "/tmp/timebus.XXXXXX";
    dir_ = ::mkdtemp(pattern);
    const auto started = runCommand(command("start") + " " + KOVIRA_BINARY_DIR "/bin/timedated-standin " + state);
    if (started.status != 0) return;
    std::string address = started.output.substr(0, started.output.find_first_of("\r\n"));
    ok_ = ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1) == 0;
  }
  ~TimeBus() {
    if (frozen_) freeze(false);
    runCommand(command("stop"));
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TimeBus(const TimeBus&) = delete;
  TimeBus& operator=(const TimeBus&) = delete;

  bool ok() const { return ok_; }
  void setState(const std::string& state) { runCommand(command("state") + " " + state); }
  // Stops (SIGSTOP) or resumes the bus daemon itself: a hung bus.
  bool freeze(bool stop = true) {
    const int pid = std::atoi(readFile(dir_ + "/bus.pid").c_str());
    if (pid <= 0 || ::kill(pid, stop ? SIGSTOP : SIGCONT) != 0) return false;
    frozen_ = stop;
    return true;
  }

 private:
  std::string command(const std::string& verb) const {
    return "bash " KOVIRA_SOURCE_DIR "/tests/fixtures/timebus.sh " + verb + " " + dir_;
  }

  std::string dir_;
  bool ok_ = false;
  bool frozen_ = false;
};

}  // namespace testsupport
