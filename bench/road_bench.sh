#!/usr/bin/env bash
# Runs build/bin/road_bench (the whole road on the demo scene against its
# playback frame rate) in a private mount namespace where one can be made,
# so the evidence's scratch copies land on a private /tmp; elsewhere it runs
# as it is and they go to the host's /tmp/cashed.
#   bench/road_bench.sh [SCENE.json]            e.g. on two cores:
#   taskset -c 0,1 bench/road_bench.sh
#   bench/road_bench.sh --modules [SCENE.json]
# --modules runs the scene twice on cores 0 and 1: speed alone (the anchor),
# then speed with every other processing module (loopback feedback and
# allow-list collectors, track dumps under a scratch $HOME), and prints both
# times and their ratio (aim: at most 1.3).
# --pages runs build/bin/pages_bench (the frame pages, then the track list
# over a full history, polled 5 times a second beside the road; medians of 3
# passes against passes without a client) the same way:
#   bench/road_bench.sh --pages [SCENE.json [SECONDS]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
name=road_bench
if [ "${1-}" = --pages ]; then name=pages_bench; shift; fi
bench=$top/build/bin/$name
[ -x "$bench" ] || { echo "build it first: cmake --build build --target $name"; exit 1; }
ns=()
if bash "$top/tests/fixtures/nsrun.sh" -- true 2> /dev/null; then
  # The evidence wants 2 GiB free on /tmp (car flow 3 GiB); a tmpfs costs only what is written.
  ns=(bash "$top/tests/fixtures/nsrun.sh" --tmp-size 4g)
else
  echo "(no private namespace here: scratch copies go to /tmp/cashed)"
fi
if [ "${1-}" != --modules ]; then
  [ ${#ns[@]} -eq 0 ] || exec "${ns[@]}" -- "$bench" "$@"
  exec "$bench" "$@"
fi
shift
[ ${#ns[@]} -gt 0 ] || { echo "--modules needs the namespace runner (/etc/kovira.conf names the servers)"; exit 1; }

work=$(mktemp -d "$top/build/road-bench.XXXXXX")
source "$top/tests/fixtures/unit_session.sh"
trap 'stop_collectors; rm -rf "$work"' EXIT
start_collector "$work/feedback"
start_collector "$work/list" --host 127.0.0.89 --port 8889
printf '{"token": "bench", "feedback": "http://127.0.0.1:%s", "buslist": "127.0.0.89"}\n' \
  "$(cat "$work/feedback.port")" > "$work/kovira.conf"
mkdir -p "$work/home"

# Prints the bench's report and leaves its time in $took.
run() {
  HOME=$work/home taskset -c 0,1 "${ns[@]}" --kovira-conf "$work/kovira.conf" -- "$bench" "$@" > "$work/out"
  cat "$work/out"
  took=$(awk '/^  time:/ { print $2 }' "$work/out")
}
echo "== speed only (anchor)"
run "$@"
anchor=$took
echo "== speed and every other module"
run --modules "$@"
all=$took
echo "speed only: $anchor s; every module: $all s; ratio $(awk -v a="$anchor" -v b="$all" 'BEGIN { printf "%.2f", b / a }') (aim: at most 1.3)"
