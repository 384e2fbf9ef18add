#!/bin/bash
# Control frames from the unit's program while it plays a generated scene on
# a synchronised clock, one a minute: the file the sibling program collects
# appears under $HOME within 75 s, 960x600, the same bytes the page serves
# as the last frame (empty before the first).
# Usage: control_frames_e2e.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
bin=$2/bin
fixtures=$src/tests/fixtures
python=/usr/bin/python3
source "$fixtures/unit_session.sh"
e2e_begin "$2/test-out/control_frames_e2e" dbus
mkdir -p "$work/unit" "$work/home"
road_setup "$work" "$src/tests/data/scenes/one-vehicle.json" "$bin"
"$python" "$fixtures/scene_config.py" "$work/scene/kovira.json" "$work/unit.json" --webserver "$port" \
  --path "$work/unit/out" --section '{"type": "tolvek", "enabled": 1, "timepad": 1, "quality": 80}'
zone=$("$python" -c 'import json, sys; print(next(s.get("timezone", 0) for s in json.load(open(sys.argv[1])) if s.get("type") == "global"))' "$work/unit.json")

HOME=$work/home unit_start "$work/unit" "$bin/kovira" "$work/unit.json" --
expect "the unit started" unit_wait_line 'Press "Ctrl-C" to quit...' 30
expect "before the first frame last.jpg is 200 and empty" \
  test "$(page /special-tolvek/last.jpg -o "$work/before.jpg" -w '%{http_code}'):$(stat -c %s "$work/before.jpg")" = 200:0

newest() { find "$work/home/tolvek/uploadftp" -name '*.jpg' 2> /dev/null | sort | tail -1; }
have_frame() { test -n "$(newest)"; }
expect "a control frame within 75 s" until_ok 75 have_frame
frame=$(newest)
# Folder and name from the same moment: the day in the unit's time zone,
# within two minutes of now.
expect "named %Y/%m/%d/%Y_%m_%d_%H_%M_%S.jpg of now" "$python" - "$frame" "$work/home" "$zone" << 'PY'
import datetime, re, sys
frame, home, zone = sys.argv[1], sys.argv[2], int(sys.argv[3])
m = re.fullmatch(re.escape(home) + r"/tolvek/uploadftp/(\d{4})/(\d\d)/(\d\d)/(\d{4})_(\d\d)_(\d\d)_(\d\d)_(\d\d)_(\d\d)\.jpg", frame)
assert m and m.group(1, 2, 3) == m.group(4, 5, 6), frame
named = datetime.datetime(*map(int, m.group(4, 5, 6, 7, 8, 9)), tzinfo=datetime.timezone(datetime.timedelta(hours=zone)))
age = (datetime.datetime.now(datetime.timezone.utc) - named).total_seconds()
assert -5 < age < 120, age
PY
expect "the frame is 960x600" test "$(size_of "$frame")" = 960,600
same_as_last() { page /special-tolvek/last.jpg -o "$work/last.jpg" && cmp -s "$work/last.jpg" "$(newest)"; }
expect "last.jpg holds the same bytes" until_ok 10 same_as_last
unit_end 20
