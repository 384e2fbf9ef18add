// A private system bus with the stand-in time daemon (tests/fixtures/
// timebus.sh) for one test, which sd-bus is pointed at; stops both when it
// goes out of scope.
#pragma once

#include <csignal>
#include <cstdio>
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
    const std::string cmd = "bash " + script() + " start " + dir_ + " " + std::string(KOVIRA_BINARY_DIR) +
                            "/bin/timedated-standin " + state + " > " + dir_ + "/address";
    status_ = std::system(cmd.c_str());
    if (ok()) {
      std::FILE* f = std::fopen((dir_ + "/address").c_str(), "r");
      char buf[512] = {};
      if (f && std::fgets(buf, sizeof buf, f)) address_ = buf;
      if (f) std::fclose(f);
      while (!address_.empty() && (address_.back() == '\n' || address_.back() == '\r')) address_.pop_back();
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    }
  }
  ~TimeBus() {
    if (frozen_) freeze(false);
    std::system(("bash " + script() + " stop " + dir_).c_str());
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TimeBus(const TimeBus&) = delete;
  TimeBus& operator=(const TimeBus&) = delete;

  bool ok() const { return status_ == 0; }
  void setState(const std::string& state) {
    std::system(("bash " + script() + " state " + dir_ + " " + state).c_str());
  }
  // Stops (SIGSTOP) or resumes the bus daemon itself: a hung bus.
  bool freeze(bool stop = true) {
    std::FILE* f = std::fopen((dir_ + "/bus.pid").c_str(), "r");
    int pid = 0;
    const bool read = f != nullptr && std::fscanf(f, "%d", &pid) == 1 && pid > 0;
    if (f) std::fclose(f);
    if (!read || ::kill(pid, stop ? SIGSTOP : SIGCONT) != 0) return false;
    frozen_ = stop;
    return true;
  }

 private:
  static std::string script() { return std::string(KOVIRA_SOURCE_DIR) + "/tests/fixtures/timebus.sh"; }

  std::string dir_;
  std::string address_;
  int status_ = -1;
  bool frozen_ = false;
};

}  // namespace testsupport
