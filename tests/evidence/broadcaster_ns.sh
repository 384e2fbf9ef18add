#!/bin/bash
# Runs the broadcaster tests in a private network namespace: never on the
# host's network. "veth": a veth pair v0/v1, both up, no address, and the one
# route 255.255.255.255/32 dev v0; "lo": only the loopback interface.
# Usage: broadcaster_ns.sh TEST_BINARY veth|lo
set -euo pipefail
binary=$1
mode=$2
exec unshare -n bash -c '
  set -e
  ip link set lo up
  if [ "$2" = veth ]; then
    ip link add v0 type veth peer name v1
    ip link set v0 up
    ip link set v1 up
    ip route add 255.255.255.255/32 dev v0
    exec "$1" --gtest_filter=Broadcaster.AnnouncesTheUnitOnceAPeriodUntilStopped
  fi
  exec "$1" --gtest_filter=Broadcaster.SaysSoWhenNoRouteTakesTheBroadcast
' ns "$binary" "$mode"
