#!/bin/bash
# The camera, frame, measurement, track and collage pages of the unit's
# program while it plays a one-vehicle scene: bad paths first, then the
# answers and the pictures' sizes (ffprobe reads them) and pixels
# (tests/e2e/picture_checks.py), then headless Chromium's view of them; the
# unit must live through all of it and stop cleanly.
# Usage: camera_pages_e2e.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
bin=$2/bin
fixtures=$src/tests/fixtures
python=/usr/bin/python3

source "$fixtures/unit_session.sh"
e2e_begin "$2/test-out/camera_pages_e2e" dbus
mkdir -p "$work/unit"
road_setup "$work" "$src/tests/data/scenes/one-vehicle.json" "$bin"
"$python" "$fixtures/scene_config.py" "$work/scene/kovira.json" "$work/unit.json" --webserver "$port" \
  --path "$work/unit/out"
# From bin/, as the collage page reads its photographs from "../test/"
# (evtool writes them there at build time).
cd "$bin"
unit_start "$work/unit" "$bin/kovira" "$work/unit.json" --
expect "the unit started" unit_wait_line 'Press "Ctrl-C" to quit...' 30

url() { echo "http://127.0.0.1:$port$1"; }
has_frames() { grep -q '"cambufsize": "[1-9]' <(page /debug/gen.json); }
until_ok 10 has_frames || true
cam=$(page /debug/gen.json | grep -o '"cam[0-9]*"' | head -1 | tr -dc 0-9)
expect "a camera with frames in gen.json" test -n "$cam"

for bad in /debug/cam99999999999/ /debug/cam0/ "/debug/cam$cam/frame99999999999.png" /debug/tracks/0/ \
  /debug/tracks/99999999999/t.jpg; do
  expect "$bad: 404" test "$(status_of "$bad")" = 404
done
for bad in "/debug/frame.jpg?lim=abc" "/debug/frame.jpg?camid=abc" "/debug/frame.jpg?chunk=a,b,c,d" \
  "/debug/collage/1.jpg?type=99" "/debug/collage/1.jpg?w=x" "/measure/frame.jpg?lim=abc"; do
  expect "$bad: 400" test "$(status_of "$bad")" = 400
done

expect "cameras list" page_has /debug/cameras/ "camid=$cam</a>]"
expect "camera page" page_has "/debug/cam$cam/" "<h1>Camera camid=$cam</h1>"
expect "timeout.txt is a number" grep -qE '^[0-9]+$' <(page "/debug/cam$cam/timeout.txt")
expect "put" test "$(page "/measure/put?q=%D0%90123%3C")" = "OK: А123<"
expect "pos carries the plate" page_has /measure/pos '"palte": "А123<"'
expect "index escapes the plate" page_has /measure/ 'текущее значение номера: А123&lt;'
expect "tracks list" page_has /debug/tracks/ '<h1>Tracks list</h1>'
expect "recognition page" page_has /debug/cnnproc/ '<h1>CnnProc status</h1>'
# Pictures and their sizes.
while read -r file size path; do
  page "$path" -D "$work/$file.head" -o "$work/$file"
  expect "$path is $size" test "$(size_of "$work/$file")" = "$size"
done << PICTURES
frame.jpg 800,450 /debug/frame.jpg?camid=$cam
chunk.jpg 60,60 /debug/frame.jpg?camid=$cam&chunk=10,10,100,100
dummy.jpg 600,200 /debug/frame.jpg?camid=99
last.png 1280,720 /debug/cam$cam/frame-last.png
measure.jpg 800,450 /measure/frame.jpg
collage.jpg 800,600 /debug/collage/1.jpg
collage2.jpg 1200,600 /debug/collage/1.jpg?w=1200&h=600&type=4&grid=1&crop1=1
PICTURES
expect "frame.jpg original size" grep -q $'^X-OriginalSize: 1280x720\r$' "$work/frame.jpg.head"
expect "frame.jpg scale" grep -q $'^X-Scale: 0.625000\r$' "$work/frame.jpg.head"
# Five photographs in the cells: far more than the few kB of empty cells.
expect "the collage holds the photographs" test "$(stat -c %s "$work/collage2.jpg")" -gt 30000
expect "tracks list" grep -qF '<h1>Tracks list</h1>' <(page /debug/tracks/)
expect "recognition page" grep -qF '<h1>CnnProc status</h1>' <(page /debug/cnnproc/)

# The scaled frame is the frame it names, scaled as a bicubic resize would.
num=$(tr -d '\r' < "$work/frame.jpg.head" | sed -n 's/^X-Num: //p')
page "/debug/cam$cam/frame$num.png" -o "$work/frame-num.png"
expect "frame.jpg is the bicubic scale of its frame" \
  "$python" "$src/tests/e2e/picture_checks.py" psnr "$work/frame.jpg" "$work/frame-num.png" 35

# The vehicle's finished track (its drawing no longer changes) and its drawing.
plate=$("$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["vehicles"][0]["plate"])' \
  "$work/scene/truth.json")
track_id() { page /debug/tracks/ | sed '0,/Tracks history/d' | grep -oP "/debug/tracks/\K[0-9]+(?=/\"[^<]*</a></td><td>[0-9]+</td><td>$plate<)" | head -1; }
drawn() { id=$(track_id) && [ -n "$id" ] && test "$(status_of "/debug/tracks/$id/t.jpg")" = 200; }
expect "a track of $plate with its drawing" until_ok 40 drawn
page "/debug/tracks/$id/" -o "$work/track.html"
expect "the track page names the plate" grep -qF "Вариации номера, выбран: $plate</h3>" "$work/track.html"
page "/debug/tracks/$id/t.jpg" -o "$work/t.jpg"
expect "t.jpg is the camera's size" test "$(size_of "$work/t.jpg")" = 1280,720
expect "t.jpg boxes the plate where the points read it" \
  "$python" "$src/tests/e2e/picture_checks.py" trackbox "$work/t.jpg" "$work/track.html"

# As a browser shows them: texts decoded as UTF-8, pictures drawn.
chrome() {
  local profile status=0
  profile=$(mktemp -d "$work/chromium.XXXXXX")
  HOME=$work timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --host-resolver-rules='MAP * ~NOTFOUND, EXCLUDE 127.0.0.1' --user-data-dir="$profile" "$@" \
    2>> "$work/chromium.log" || status=$?
  rm -rf "$profile"
  return "$status"
}
dom_holds() { grep -qF -- "$2" <(chrome --dump-dom "$(url "$1")"); }
expect "browser: cameras list" dom_holds /debug/cameras/ "camid=$cam</a>]"
expect "browser: camera page" dom_holds "/debug/cam$cam/" "<h1>Camera camid=$cam</h1>"
expect "browser: tracks list" dom_holds /debug/tracks/ ">$plate</td>"
expect "browser: track page" dom_holds "/debug/tracks/$id/" "Вариации номера, выбран: $plate"
expect "browser: measurement page" dom_holds /measure/ "текущее значение номера: А123&lt;"
expect "browser: collage form" dom_holds /debug/collage/ 'src="/debug/collage/1.jpg"'
chrome --window-size=1000,1300 --screenshot="$work/collage-shot.png" "$(url /debug/collage/)" > /dev/null
expect "browser: the collage is drawn" \
  "$python" "$src/tests/e2e/picture_checks.py" shown "$work/collage-shot.png" "$work/collage.jpg" 800
chrome --window-size=1000,3000 --screenshot="$work/track-shot.png" "$(url "/debug/tracks/$id/")" > /dev/null
expect "browser: the track's drawing is drawn" \
  "$python" "$src/tests/e2e/picture_checks.py" shown "$work/track-shot.png" "$work/t.jpg" 800

unit_end 20
