#!/bin/bash
# Builds one test target in a shared sanitizer build folder and runs it; any
# report fails the run. Several sanitizer tests may run at once under ctest:
# the build step is serialised with a lock so they share one compiled library.
# Usage: sanitize.sh thread|address SOURCE_DIR BUILD_DIR TARGET [test arguments]
#        sanitize.sh thread|address SOURCE_DIR BUILD_DIR TARGET --run COMMAND...
# The second form builds TARGET and runs COMMAND instead (a script driving
# the instrumented program).
set -euo pipefail
kind=$1
src=$2
build=$3
target=$4
shift 4

mkdir -p "$build"
(
  flock 9
  # Configure every time: folders appear without a CMakeLists change ninja sees.
  cmake -S "$src" -B "$build" -G Ninja -DKOVIRA_SANITIZE="$kind" -DKOVIRA_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKOVIRA_RELWITHDEBINFO_FLAGS="-O1 -g1 -DNDEBUG" >/dev/null
  ninja -C "$build" "$target" >/dev/null
) 9>"$build.lock"

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 halt_on_error=1 ${ASAN_OPTIONS:-}"
if [ "${1-}" = "--run" ]; then
  shift
  exec "$@"
fi
exec "$build/bin/$target" "$@"
