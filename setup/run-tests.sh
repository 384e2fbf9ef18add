#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the whole test suite.
# Usage: setup/run-tests.sh [extra ctest arguments]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash setup/install-deps.sh
jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
cd build
ctest --output-on-failure -j "$jobs" --timeout 600 "$@"
