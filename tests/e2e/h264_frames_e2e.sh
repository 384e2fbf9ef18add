#!/bin/bash
# Numbered-frame H.264 streams through file cameras and through network
# cameras fed by GStreamer's RTSP server, in one run of the unit's program
# (what is checked: tests/e2e/h264_frames_check.py).
# Usage: h264_frames_e2e.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
bin=$2/bin
fixtures=$src/tests/fixtures
python=/usr/bin/python3
checker=$src/tests/e2e/h264_frames_check.py

source "$fixtures/unit_session.sh"
e2e_begin "$2/test-out/h264_frames_e2e"
"$python" "$checker" streams "$work" "$bin/numbered_frames" > "$work/streams.txt"

# One network camera per stream: GStreamer serves each file once, paced by
# its times, from the start.
streams=(baseline bf2 bf3-pyramid inband open-gop)
cameras=()
for i in "${!streams[@]}"; do
  s=${streams[$i]}
  cameras+=("$((i + 1)):$s:file")
  peer "rtsp-$s" "$python" "$fixtures/rtsp_server.py" --file "$work/$s.mp4"
done
for i in "${!streams[@]}"; do
  s=${streams[$i]}
  until_ok 30 grep -q '^ready ' "$work/rtsp-$s.out" || { echo "server $s did not start" >&2; exit 1; }
  cameras+=("$((i + 11)):$s:rtsp:rtsp://127.0.0.1:$(sed -n 's/^ready //p' "$work/rtsp-$s.out")/test")
done
port=$(free_port)
"$python" "$checker" config "$work" "$work/unit.json" "$port" "${cameras[@]}"
unit_start "$work" "$bin/kovira" "$work/unit.json" --
expect "the unit started" unit_wait_line 'Press "Ctrl-C" to quit...' 30
"$python" "$checker" check "$work" "$port" 40 "${cameras[@]}" || failed=1
unit_end 10
