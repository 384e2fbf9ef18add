#!/usr/bin/env bash
# Builds the archive tests with ThreadSanitizer in a separate tree and runs
# them; only that one small target is compiled there.
# Usage: tsan_tar.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
out=$2
cmake -S "$src" -B "$out" -G Ninja -DKOVIRA_SANITIZE=thread -DKOVIRA_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" --target tar_tsan_test
TSAN_OPTIONS="halt_on_error=1 exitcode=66" "$out/bin/tar_tsan_test" --gtest_filter='Tar.*'
