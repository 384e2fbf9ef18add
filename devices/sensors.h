// The main board's own sensors read through sysfs and procfs, and two GPIO
// helpers. Every function degrades to a neutral value (0, or -1 for GPIO)
// when a file is missing or unreadable; none throws. Any thread.
#pragma once

#include <cstdint>

// Supply voltage in volts (the INA3221 channel 0 millivolts / 1000).
float tegraVoltage();
// Mean of the readable thermal zones 0..6 in degrees Celsius; 0 without any.
float tegraThermal();
// MemAvailable of /proc/meminfo in bytes; 0 when absent.
std::uint64_t memfreeram();
// The value of an exported pin, -1 on error (reported on standard error).
int gpioread(int pin);
// Writes "1" (value != 0) or "0"; 0, or -1 on error.
int gpiowrite(int pin, int value);
