#!/usr/bin/env bash
# The RTP transport (build/bin/rtpsink) against ffmpeg's own RTP receiver
# as the anchor, both fed in the same run by two ffmpeg -re senders of one
# 1920x1080 25 fps 4 Mbit/s x264 stream. Prints packets/s, frames
# delivered, CPU seconds per stream second of each, and the ratio.
# Holds UDP 8000/8001 (rtpsink) and 9000/9001 (ffmpeg) while it runs.
#   bench/rtp_bench.sh [SECONDS]      (default 30)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sink=$top/build/bin/rtpsink
[ -x "$sink" ] || { echo "build it first: cmake --build build --target rtpsink"; exit 1; }
secs=${1:-30}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=1920x1080:r=25" -t "$secs" -c:v libx264 -preset veryfast \
  -bf 0 -g 50 -b:v 4M -maxrate 4M -bufsize 4M "$work/s.h264"
frames=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$work/s.h264")
cat > "$work/s.sdp" <<SDP
v=0
o=- 0 0 IN IP4 127.0.0.1
s=bench
c=IN IP4 127.0.0.1
t=0 0
m=video 9000 RTP/AVP 96
a=rtpmap:96 H264/90000
a=fmtp:96 packetization-mode=1
SDP

# CPU seconds (user + system) of a running process, from /proc.
cpu() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"; }

"$sink" --cam 1:h264:96:127.0.0.1:27000:27001 --seconds $((secs + 30)) > "$work/sink.out" &
sinkpid=$!
ffmpeg -nostdin -v error -protocol_whitelist file,udp,rtp -i "$work/s.sdp" -c copy -f framecrc "$work/ff.crc" &
ffpid=$!
sleep 2
# Start-up (loading libraries) is left out: only the streaming is measured.
sink0=$(cpu $sinkpid)
ff0=$(cpu $ffpid)
ffmpeg -nostdin -v error -re -i "$work/s.h264" -c copy -f rtp \
  'rtp://127.0.0.1:8000?localrtpport=27000&localrtcpport=27001' > /dev/null &
sender=$!
ffmpeg -nostdin -v error -re -i "$work/s.h264" -c copy -f rtp 'rtp://127.0.0.1:9000' > /dev/null
wait "$sender" || true
sleep 1
sink1=$(cpu $sinkpid)
ff1=$(cpu $ffpid)
kill -INT "$sinkpid" "$ffpid"
wait "$sinkpid" "$ffpid" || true

datagrams=$(sed -n 's/.*datagrams=\([0-9]*\).*/\1/p' "$work/sink.out")
delivered=$(grep -c '^frame ' "$work/sink.out" || true)
ffdelivered=$(grep -vc '^#' "$work/ff.crc" || true)
awk -v s="$secs" -v n="$frames" -v d="$datagrams" -v a="$delivered" -v b="$ffdelivered" \
    -v s0="$sink0" -v s1="$sink1" -v f0="$ff0" -v f1="$ff1" 'BEGIN {
  sink = (s1 - s0) / s; ff = (f1 - f0) / s;
  printf "stream: %d frames, %.0f packets/s\n", n, d / s;
  printf "transport: %d frames delivered, %.4f CPU s per stream s\n", a, sink;
  printf "ffmpeg:    %d frames delivered, %.4f CPU s per stream s\n", b, ff;
  printf "ratio transport/ffmpeg CPU: %.2f (aim: at most 0.5, every frame delivered)\n", (ff > 0 ? sink / ff : 0);
}'
