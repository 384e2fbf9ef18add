#!/bin/bash
# Builds the frame-store stress test with ThreadSanitizer and with
# AddressSanitizer (separate build trees, only that target) and runs it.
# Usage: run_sanitizers.sh SOURCE_DIR BUILD_ROOT [thread|address ...]
set -euo pipefail
src=$1
root=$2
shift 2
sanitizers=("$@")
[ ${#sanitizers[@]} -eq 0 ] && sanitizers=(thread address)

for san in "${sanitizers[@]}"; do
  dir="$root/sanitize-$san"
  echo "== $san: configuring $dir"
  cmake -S "$src" -B "$dir" -G Ninja -DKOVIRA_SANITIZE="$san" -DKOVIRA_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  echo "== $san: building capture_stress_test"
  ninja -C "$dir" capture_stress_test
  echo "== $san: running"
  # Fewer frames than the plain run: the sanitizers slow everything down.
  KOVIRA_STRESS_FRAMES=60000 \
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
  ASAN_OPTIONS="detect_leaks=1 halt_on_error=1" \
    "$dir/bin/capture_stress_test"
done
echo "== sanitizers: no reports"
