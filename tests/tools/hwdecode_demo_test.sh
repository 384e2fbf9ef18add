#!/usr/bin/env bash
# hwdecode-demo writes one PNG per picture of a stream, the last one
# included, into a folder it creates; B frames (several pictures held back
# by the decoder) and short groups keep the count exact. A stream without
# pictures ends with a failure.
set -euo pipefail
demo=$1
work=$(mktemp -d /var/tmp/hwdecode-demo-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail=0
for args in "-t 3 -g 10" "-t 2 -bf 0 -g 7" "-frames:v 1"; do
  rm -rf "$work/out"
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 $args -c:v libx264 "$work/in.h264"
  want=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
    "$work/in.h264")
  "$demo" "$work/in.h264" "$work/out/new" > /dev/null
  got=$(find "$work/out/new" -name '*.png' | wc -l)
  last=$((want - 1))
  if [ "$got" != "$want" ] || [ ! -s "$work/out/new/$last.png" ]; then
    echo "FAIL ($args): $got of $want pictures written"
    fail=1
  fi
done

: > "$work/empty.h264"
if "$demo" "$work/empty.h264" "$work/out2" 2> /dev/null; then
  echo "FAIL: a stream without pictures ended with success"
  fail=1
fi
exit $fail
