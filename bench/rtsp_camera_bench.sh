#!/usr/bin/env bash
# The unit's network-camera path (build/bin/rtsp_camera_bench: receiver,
# catchrtsp, frame store) against GStreamer's RTSP client into a fakesink as
# the anchor, in the same run, each served by its own GStreamer RTSP server
# (tests/fixtures/rtsp_server.py) from one 1920x1080 25 fps 4 Mbit/s MP4.
# Prints frames/s stored, CPU seconds per stream second of each (start-up
# included for both), and the ratio. Holds UDP 8000/8001 while it runs.
#   bench/rtsp_camera_bench.sh [SECONDS]      (default 30)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bench=$top/build/bin/rtsp_camera_bench
[ -x "$bench" ] || { echo "build it first: cmake --build build --target rtsp_camera_bench"; exit 1; }
secs=${1:-30}
bench_name=rtsp_camera_bench
source "$top/bench/bench_lib.sh"

ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=1920x1080:r=25" -t "$secs" -c:v libx264 -preset veryfast \
  -bf 0 -g 50 -b:v 4M -maxrate 4M -bufsize 4M -y "$work/s.mp4"
frames=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$work/s.mp4")
for name in unit anchor; do
  /usr/bin/python3 "$top/tests/fixtures/rtsp_server.py" --file "$work/s.mp4" > "$work/$name.out" 2>&1 &
  pids+=("$!")
done
port_of() {
  for _ in $(seq 300); do grep -q '^ready ' "$work/$1.out" && break; sleep 0.1; done
  sed -n 's/^ready //p' "$work/$1.out"
}
unit=$(port_of unit)
anchor=$(port_of anchor)

# CPU seconds (user + system) of a command and its children, by bash's time.
TIMEFORMAT='%U %S'
{ time "$bench" "rtsp://127.0.0.1:$unit/test" > "$work/bench.out"; } 2> "$work/bench.time" &
benchjob=$!
{ time timeout $((secs + 60)) gst-launch-1.0 -q rtspsrc "location=rtsp://127.0.0.1:$anchor/test" \
    protocols=udp ! fakesink > /dev/null; } 2> "$work/gst.time" || true
wait "$benchjob"

stored=$(sed -n 's/^stored //p' "$work/bench.out")
awk -v s="$secs" -v n="$frames" -v a="$stored" -v b="$(tail -1 "$work/bench.time")" \
    -v g="$(tail -1 "$work/gst.time")" 'BEGIN {
  split(b, u); split(g, v); unit = (u[1] + u[2]) / s; gst = (v[1] + v[2]) / s;
  printf "stream: %d frames in %d s\n", n, s;
  printf "unit:      %d frames stored (%.1f frames/s), %.4f CPU s per stream s\n", a, a / s, unit;
  printf "gstreamer: %.4f CPU s per stream s\n", gst;
  printf "ratio unit/gstreamer CPU: %.2f (aim: at most 1, every frame stored)\n", (gst > 0 ? unit / gst : 0);
}'
