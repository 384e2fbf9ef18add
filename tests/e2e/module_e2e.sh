#!/usr/bin/env bash
# The whole road for a speeding vehicle: a generated scene (92 km/h and
# 50 km/h past a 70 km/h threshold) played by the unit's program in a private
# mount namespace, with the stand-in time daemon on a private bus and the
# loopback collector as the upload server, clock synchronised: one signed
# archive, the same in both target directories and at the collector. (An
# unsynchronised clock storing nothing is the speed module's own rule, tested
# there.)
#
#   speed_e2e.sh SOURCE_DIR BINARY_DIR
#
# Exit 77 (skipped) where no mount namespace or no dbus-daemon is available.
set -euo pipefail
src=$1
bin=$2/bin
fixtures=$src/tests/fixtures
python=/usr/bin/python3
scene=$src/tests/data/scenes/speed-e2e.json
extra="redbox crosshair fullframe angelsign"
ready='Press "Ctrl-C" to quit...'
file_end='[OPENCV] Cannot read the frame from video file'

bash "$fixtures/nsrun.sh" -- true || exit $?
command -v dbus-daemon > /dev/null || { echo "dbus-daemon missing"; exit 77; }

work=$2/test-out/speed_e2e
rm -rf "$work"
mkdir -p "$work"
cleanup() {
  local status=$?
  [ -z "${unit_job-}" ] || unit_stop 5 || true
  stop_collectors
  bash "$fixtures/timebus.sh" stop "$work/bus" || true
  exit "$status"
}
trap cleanup EXIT
source "$fixtures/unit_session.sh"

phase() { echo "---- $*"; }
# Plays the scene once under the namespace runner, then stops the unit.
# run_unit NAME CFG IDENTITY COLLECTOR EXPECTED_UPLOADS
run_unit() {
  local name=$1 cfg=$2 ident=$3 coll=$4 uploads=$5 seconds
  seconds=$("$python" -c 'import json, sys; print(int(json.load(open(sys.argv[1]))["seconds"]) + 30)' "$scene")
  mkdir -p "$work/$name"
  unit_start "$work/$name" "$bin/kovira" "$cfg" --tmp-size 3g --kovira-conf "$ident"
  expect "$name: the unit started" unit_wait_line "$ready" 30
  expect "$name: the unit played the scene to its end" unit_wait_line "$file_end" "$seconds"
  # The last track finished before the file ended; its upload follows at
  # once. The file is played again only after a pause of 3 s.
  for _ in $(seq 25); do
    [ "$(upload_count "$coll")" -ge "$uploads" ] && break
    sleep 0.1
  done
  "$python" -c 'import sys, urllib.request
sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[1], timeout=5).read())' \
    "http://127.0.0.1:$webport/debug/tickets/" > "$work/$name/tickets.html" || echo "(tickets page not read)"
  unit_stop 20
  expect "$name: the unit exited 0 after SIGINT (status $unit_status)" test "$unit_status" = 0
}

phase "scene, key, collector, time daemon"
"$bin/scenegen" "$scene" "$work/scene" > /dev/null
openssl genrsa -out "$work/sign.key" 2048 2> /dev/null
openssl rsa -in "$work/sign.key" -pubout -out "$work/sign.pub" 2> /dev/null
bus=$(bash "$fixtures/timebus.sh" start "$work/bus" "$bin/timedated-standin" true)
export DBUS_SYSTEM_BUS_ADDRESS=$bus
webport=$(free_port)

phase "run 1: clock synchronised"
start_collector "$work/collector1"
"$python" "$fixtures/scene_config.py" "$work/scene/kovira.json" "$work/run1.json" --webserver "$webport" \
  --signkey "$work/sign.key" --path "$work/run1/a" --path "$work/run1/b" --upload 1 --extra "$extra"
run_unit run1 "$work/run1.json" "$identity" "$work/collector1" 1
"$python" "$src/tests/e2e/check_speed_run.py" synced --truth "$work/scene/truth.json" --cfg "$work/run1.json" \
  --dir "$work/run1/a" --dir "$work/run1/b" --collector "$work/collector1" --console "$work/run1/console.txt" \
  --tickets "$work/run1/tickets.html" --pubkey "$work/sign.pub" --redbox "$bin/e2e_redbox" --work "$work/run1" \
  || failed=1

if [ "$failed" -ne 0 ]; then
  phase "console of run 1 (speed, track and error lines)"
  grep -E '^\[(SPD|TRACK|ERR|DBG)\]' "$work/run1/console.txt" || true
  echo "outputs kept in $work"
fi
exit "$failed"
