#!/usr/bin/env bash
# Runs the sensor tests in a private mount namespace with fixture files bound
# over the board's sysfs and procfs paths.
#   sensors_ns.sh TEST-BINARY good|bad
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$1 variant=$2
fix=$(mktemp -d /var/tmp/kovira-sensors.XXXXXX)
trap 'rm -rf "$fix"' EXIT
mkdir -p "$fix/thermal" "$fix/gpio"
if [ "$variant" = good ]; then
  mkdir -p "$fix/thermal/thermal_zone0" "$fix/thermal/thermal_zone2"
  echo 40000 > "$fix/thermal/thermal_zone0/temp"
  echo 42000 > "$fix/thermal/thermal_zone2/temp"
  echo 12150 > "$fix/voltage"
  printf 'MemTotal:        8000000 kB\nMemFree:  100 kB\nMemAvailable:    2048 kB\n' > "$fix/meminfo"
else
  mkdir -p "$fix/thermal/thermal_zone1"
  echo warm > "$fix/thermal/thermal_zone1/temp"
  echo abc > "$fix/voltage"
  printf 'MemTotal:        8000000 kB\nMemFree:  100 kB\n' > "$fix/meminfo"
fi
echo 1 > "$fix/gpio/value"
bash "$here/../fixtures/nsrun.sh" \
  --bind "$fix/voltage=/sys/bus/i2c/devices/0-0041/iio_device/in_voltage0_input" \
  --bind "$fix/thermal=/sys/devices/virtual/thermal" \
  --bind "$fix/meminfo=/proc/meminfo" \
  --bind "$fix/gpio=/sys/class/gpio/gpio216" \
  -- "$bin" "--gtest_filter=Sensors_${variant}.*"
