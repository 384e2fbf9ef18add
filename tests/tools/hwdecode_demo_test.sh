#!/usr/bin/env bash
# hwdecode-demo writes one PNG per picture of a stream, the last one
# included, into a folder it creates, each PNG the picture ffmpeg decodes
# for the same frame (brightness PSNR at least 40 dB); B frames (several pictures held
# back and reordered by the decoder) and short groups keep both the count
# and the pictures exact. A stream without pictures ends with a failure.
set -euo pipefail
demo=$1
work=$(mktemp -d /var/tmp/hwdecode-demo-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail=0
for args in "-t 3 -g 10" "-t 3 -g 12 -bf 2" "-t 3 -g 12 -bf 3 -x264-params b-pyramid=normal" "-t 2 -bf 0 -g 7" \
  "-frames:v 1"; do
  rm -rf "$work/out" "$work/ref"
  mkdir -p "$work/ref"
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 $args -c:v libx264 "$work/in.h264"
  want=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
    "$work/in.h264")
  "$demo" "$work/in.h264" "$work/out/new" > /dev/null
  got=$(find "$work/out/new" -name '*.png' | wc -l)
  last=$((want - 1))
  if [ "$got" != "$want" ] || [ ! -s "$work/out/new/$last.png" ]; then
    echo "FAIL ($args): $got of $want pictures written"
    fail=1
    continue
  fi
  # ffmpeg's own decode, numbered from 0 in display order as the demo numbers.
  # Compared in grey: the converter's colour conversion differs slightly from
  # ffmpeg's PNG one, the brightness of a frame's own picture does not (a
  # neighbouring frame's picture stays near 25 dB).
  ffmpeg -nostdin -loglevel error -y -i "$work/in.h264" -start_number 0 "$work/ref/%d.png"
  ffmpeg -nostdin -loglevel error -y -start_number 0 -i "$work/out/new/%d.png" -start_number 0 -i "$work/ref/%d.png" \
    -lavfi "[0:v]format=gray[a];[1:v]format=gray[b];[a][b]psnr=stats_file=$work/psnr.log" -f null -
  compared=$(wc -l < "$work/psnr.log")
  worst=$(awk '{for (i = 1; i <= NF; i++) if ($i ~ /^psnr_avg:/) {v = substr($i, 10); if (v == "inf") v = 1000;
    if (min == "" || v + 0 < min) min = v + 0}} END {print min}' "$work/psnr.log")
  if [ "$compared" != "$want" ] || awk -v w="$worst" 'BEGIN {exit !(w < 40)}'; then
    echo "FAIL ($args): $compared pictures compared, worst PSNR $worst dB against ffmpeg's decode"
    fail=1
  fi
done

: > "$work/empty.h264"
if "$demo" "$work/empty.h264" "$work/out2" 2> /dev/null; then
  echo "FAIL: a stream without pictures ended with success"
  fail=1
fi
exit $fail
