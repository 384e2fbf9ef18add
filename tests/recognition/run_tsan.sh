#!/bin/bash
# Builds one test target with ThreadSanitizer in a build folder of its own
# and runs it; any reported race fails the run.
# Usage: run_tsan.sh SOURCE_DIR BUILD_DIR TARGET
set -euo pipefail
src=$1
build=$2
target=$3

cmake -S "$src" -B "$build" -G Ninja -DKOVIRA_SANITIZE=thread -DKOVIRA_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" "$target"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
"$build/bin/$target"
