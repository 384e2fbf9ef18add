#!/usr/bin/env bash
# The industrial USB3 camera through the unit's program: the camera stand-in
# renders the speed scene (KOVIRA_USB3CAM) into the store of a "basler"
# camera. Checks the status page, the watchdog, a page update saved to the
# file, the speeding archive against the scene's truth (the same checks as
# the file playback's run), a setting the camera refuses for a while, then
# an unplug through the stand-in's FIFO.
#
#   usb3cam_e2e.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1
bin=$2/bin
fixtures=$src/tests/fixtures
python=/usr/bin/python3
scene=$src/tests/data/scenes/speed-e2e.json
source "$fixtures/unit_session.sh"
e2e_begin "$2/test-out/usb3cam_e2e" dbus

road_setup "$work" "$scene" "$bin"
start_collector "$work/collector"
mkfifo "$work/control"
# Holds the FIFO open for writing so that the stand-in's reader never sees
# an end while the test writes single lines.
sleep 600 > "$work/control" &
unit_children+=("$!")
"$python" "$fixtures/scene_config.py" "$work/scene/kovira.json" "$work/run.json" --webserver "$port" \
  --signkey "$work/sign.key" --path "$work/run/a" --path "$work/run/b" --upload 1 \
  --extra "redbox crosshair fullframe angelsign" --camera usb3 --scene "$scene" --usb3cam "$work/usb3cam.json" \
  --fifo "$work/control"
mkdir -p "$work/run"
KOVIRA_USB3CAM=$work/usb3cam.json unit_start "$work/run" "$bin/kovira" "$work/run.json" --tmp-size 3g \
  --kovira-conf "$identity"
expect "the unit started" unit_wait_line 'Press "Ctrl-C" to quit...' 30
expect "the camera is working" wait_page /debug/usbcam/ "<p><b>status:</b> working</p>" 10
expect "chunks are on" page_has /debug/usbcam/ "<p><b>chunks supported:</b> YES</p>"
expect "the watchdog answers 0" test "$(page /usbcam/watchdog.txt)" = 0

# Both vehicles measured (the slower one leaves last), and the upload sent.
expect "both vehicles measured" unit_wait_line "[SPD] (speed) [num=K456MH199" "$(scene_seconds "$scene" 30)"
wait_uploads "$work/collector" 1
page /debug/tickets/ > "$work/run/tickets.html" || echo "(tickets page not read)"

echo "---- a setting the camera refuses (frames keep coming: it is tried after each)"
echo "refuse ExposureTime" > "$work/control"
expect "update answers 302" test "$(status_of '/debug/usbcam/update?exp=2100&flash=0')" = 302
expect "the page names the refused setting" \
  wait_page /debug/usbcam/ "<p><b>status:</b> camera refused exposure: Feature &apos;AutoExposureTimeUpperLimit&apos;" 10
echo "accept ExposureTime" > "$work/control"
expect "taken once the camera accepts it" wait_page /debug/usbcam/ "<p><b>status:</b> working</p>" 10

echo "---- page update saved to the file"
expect "update answers 302" \
  test "$(status_of '/debug/usbcam/update?exp=2000&maxfps=0&flash=0&flash=2&diaphragm=0&brightness=0.4')" = 302
saved() {
  "$python" -c 'import json, sys
s = [x for x in json.load(open(sys.argv[1])) if x.get("type") == "usbcam"][0]
want = {"exposure": 2000, "maxfps": 0, "camflashmod": 2, "brightness": 0.4}
sys.exit(0 if all(abs(s.get(k, -1) - v) < 1e-6 for k, v in want.items()) else 1)' "$work/run.json"
}
expect "the section is saved" until_ok 10 saved

echo "---- unplug"
echo unplug > "$work/control"
expect "a major error after the unplug" wait_page /debug/usbcam/ "<p><b>major errors:</b> 1</p>" 10
expect "no camera while unplugged" wait_page /debug/usbcam/ "<p><b>status:</b> camera not found</p>" 15
echo replug > "$work/control"
expect "working again after the pause" wait_page /debug/usbcam/ "<p><b>status:</b> working</p>" 15

unit_stop 20
expect "the unit exited 0 after SIGINT (status $unit_status)" test "$unit_status" = 0
"$python" "$src/tests/e2e/check_module_run.py" synced --truth "$work/scene/truth.json" --cfg "$work/run.json" \
  --dir "$work/run/a" --dir "$work/run/b" --collector "$work/collector" --console "$work/run/console.txt" \
  --tickets "$work/run/tickets.html" --pubkey "$work/sign.pub" --work "$work/run" \
  || failed=1
[ "$failed" -eq 0 ] || echo "outputs kept in $work"
exit "$failed"
