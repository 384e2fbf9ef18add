#!/bin/bash
# Builds only the codec lifecycle test with ThreadSanitizer in a build
# directory of its own and runs it. Usage: run_tsan.sh <source dir> <build dir>
set -euo pipefail
src=$1
out=$2
cmake -S "$src" -B "$out" -G Ninja -DKOVIRA_SANITIZE=thread -DKOVIRA_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$out" codec_lifecycle_test
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$out/bin/codec_lifecycle_test"
