#include "devices/sensors.h"

#include "config/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr const char* kVoltage = "/sys/bus/i2c/devices/0-0041/iio_device/in_voltage0_input";
constexpr const char* kThermal = "/sys/devices/virtual/thermal/thermal_zone";
constexpr int kThermalZones = 7;

std::string gpioPath(int pin) { return "/sys/class/gpio/gpio" + std::to_string(pin) + "/value"; }

}  // namespace

float tegraVoltage() {
  std::ifstream in(kVoltage);
  unsigned long millivolts = 0;
  if (!in || !(in >> millivolts)) return 0;
  return static_cast<float>(millivolts / 1000.0);
}

float tegraThermal() {
  long long sum = 0;
  int count = 0;
  for (int zone = 0; zone < kThermalZones; ++zone) {
    std::ifstream in(kThermal + std::to_string(zone) + "/temp");
    if (!in) continue;
    ++count;
    int millidegrees = 0;
    if (in >> millidegrees) sum += millidegrees;
  }
  return count == 0 ? 0.0f : static_cast<float>(static_cast<double>(sum) / 1000.0 / count);
}

// The configuration store (a floor below) owns the one meminfo reader.
std::uint64_t memfreeram() { return kovira::GlobalConfig::memfree(); }

int gpioread(int pin) {
  const int fd = ::open(gpioPath(pin).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "[GPIO] Failed to open gpio value for reading: " << pin << "\n";
    return -1;
  }
  char value[4] = {};
  const ssize_t n = ::read(fd, value, 3);
  ::close(fd);
  if (n < 0) {
    std::cerr << "[GPIO] Failed to read value: " << pin << "\n";
    return -1;
  }
  return std::atoi(value);
}

int gpiowrite(int pin, int value) {
  const int fd = ::open(gpioPath(pin).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "[GPIO] Failed to open gpio value for writing: " << pin << "\n";
    return -1;
  }
  const char c = value != 0 ? '1' : '0';
  const ssize_t n = ::write(fd, &c, 1);
  ::close(fd);
  if (n < 1) {
    std::cerr << "[GPIO] Failed to write value: " << pin << "\n";
    return -1;
  }
  return 0;
}
