#!/usr/bin/env bash
# Runs build/bin/road_bench (the whole road on the demo scene against its
# playback frame rate) in a private mount namespace where one can be made,
# so the evidence's scratch copies land on a private /tmp; elsewhere it runs
# as it is and they go to the host's /tmp/cashed.
#   bench/road_bench.sh [SCENE.json]            e.g. on two cores:
#   taskset -c 0,1 bench/road_bench.sh
# With --pages it runs build/bin/pages_bench (the frame pages beside the
# road) the same way: bench/road_bench.sh --pages [SCENE.json [SECONDS]].
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
name=road_bench
if [ "${1-}" = --pages ]; then name=pages_bench; shift; fi
bench=$top/build/bin/$name
[ -x "$bench" ] || { echo "build it first: cmake --build build --target $name"; exit 1; }
if bash "$top/tests/fixtures/nsrun.sh" -- true 2> /dev/null; then
  # The evidence wants 2 GiB free on /tmp; a tmpfs costs only what is written.
  exec bash "$top/tests/fixtures/nsrun.sh" --tmp-size 3g -- "$bench" "$@"
fi
echo "(no private namespace here: scratch copies go to /tmp/cashed)"
exec "$bench" "$@"
