#!/usr/bin/env bash
# The industrial USB3 camera through the unit's program: the camera stand-in
# renders the speed scene (KOVIRA_USB3CAM) into the store of a "basler"
# camera. Checks the status page, the watchdog, a page update saved to the
# file, the speeding archive against the scene's truth (the same checks as
# the file playback's run), then an unplug through the stand-in's FIFO.
#
#   usb3cam_e2e.sh SOURCE_DIR BINARY_DIR
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

bash "$fixtures/nsrun.sh" -- true || exit $?
command -v dbus-daemon > /dev/null || { echo "dbus-daemon missing"; exit 77; }

work=$2/test-out/usb3cam_e2e
rm -rf "$work"
mkdir -p "$work"
fifo_holder=
cleanup() {
  local status=$?
  [ -z "${unit_job-}" ] || unit_stop 5 || true
  stop_collectors
  [ -z "$fifo_holder" ] || kill "$fifo_holder" 2> /dev/null || true
  bash "$fixtures/timebus.sh" stop "$work/bus" || true
  exit "$status"
}
trap cleanup EXIT
source "$fixtures/unit_session.sh"

phase() { echo "---- $*"; }
get() { "$python" -c 'import sys, urllib.request
sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[1], timeout=5).read())' "http://127.0.0.1:$webport$1"; }
# The status of a page's answer, redirects not followed.
status_of() { curl -s -o /dev/null -m 5 -w '%{http_code}' "http://127.0.0.1:$webport$1"; }
page_has() { get "$1" | grep -qF -- "$2"; }
wait_page() {  # wait_page PATH TEXT SECONDS
  local i
  for i in $(seq $(($3 * 10))); do page_has "$1" "$2" 2> /dev/null && return 0; sleep 0.1; done
  return 1
}

phase "scene, key, collector, time daemon"
road_setup "$work" "$scene" "$bin"
start_collector "$work/collector"
mkfifo "$work/control"
# Holds the FIFO open for writing so that the stand-in's reader never sees
# an end while the test writes single lines.
sleep 600 > "$work/control" &
fifo_holder=$!

"$python" "$fixtures/scene_config.py" "$work/scene/kovira.json" "$work/run.json" --webserver "$webport" \
  --signkey "$work/sign.key" --path "$work/run/a" --path "$work/run/b" --upload 1 --extra "$extra" \
  --camera usb3 --scene "$scene" --usb3cam "$work/usb3cam.json" --fifo "$work/control"
mkdir -p "$work/run"
export KOVIRA_USB3CAM=$work/usb3cam.json
unit_start "$work/run" "$bin/kovira" "$work/run.json" --tmp-size 3g --kovira-conf "$identity"
expect "the unit started" unit_wait_line "$ready" 30
expect "the camera is working" wait_page /debug/usbcam/ "<p><b>status:</b> working</p>" 10
expect "chunks are on" page_has /debug/usbcam/ "<p><b>chunks supported:</b> YES</p>"
expect "the watchdog answers 0" test "$(get /usbcam/watchdog.txt)" = 0

# Both vehicles measured (the slower one leaves last), and the upload sent.
seconds=$("$python" -c 'import json, sys; print(int(json.load(open(sys.argv[1]))["seconds"]) + 30)' "$scene")
expect "both vehicles measured" unit_wait_line "[SPD] (speed) [num=K456MH199" "$seconds"
for _ in $(seq 100); do
  [ "$(upload_count "$work/collector")" -ge 1 ] && break
  sleep 0.1
done
get /debug/tickets/ > "$work/run/tickets.html" || echo "(tickets page not read)"

phase "page update saved to the file"
expect "update answers 302" test "$(status_of '/debug/usbcam/update?exp=2000&maxfps=0&flash=0&flash=2&diaphragm=0&brightness=0.4')" = 302
sleep 2
expect "the section is saved" "$python" -c 'import json, sys
s = [x for x in json.load(open(sys.argv[1])) if x.get("type") == "usbcam"][0]
want = {"exposure": 2000, "maxfps": 0, "camflashmod": 2, "brightness": 0.4}
sys.exit(0 if all(abs(s.get(k, -1) - v) < 1e-6 for k, v in want.items()) else 1)' "$work/run.json"

phase "unplug"
echo unplug > "$work/control"
expect "a major error after the unplug" wait_page /debug/usbcam/ "<p><b>major errors:</b> 1</p>" 10
expect "no camera while unplugged" wait_page /debug/usbcam/ "<p><b>status:</b> camera not found</p>" 15
echo replug > "$work/control"
expect "working again after the pause" wait_page /debug/usbcam/ "<p><b>status:</b> working</p>" 15

unit_stop 20
expect "the unit exited 0 after SIGINT (status $unit_status)" test "$unit_status" = 0
"$python" "$src/tests/e2e/check_module_run.py" synced --truth "$work/scene/truth.json" --cfg "$work/run.json" \
  --dir "$work/run/a" --dir "$work/run/b" --collector "$work/collector" --console "$work/run/console.txt" \
  --tickets "$work/run/tickets.html" --pubkey "$work/sign.pub" --redbox "$bin/e2e_redbox" --work "$work/run" \
  || failed=1
[ "$failed" -eq 0 ] || echo "outputs kept in $work"
exit "$failed"
