#!/usr/bin/env bash
# Installs the dependencies, builds the unit and runs it on the example
# configuration until Ctrl-C.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash setup/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target kovira
cat <<'TXT'
----------------------------------------------------------------------
The unit starts on examples/minimal.json. Look at:
  - the console: the banner, then 'Press "Ctrl-C" to quit...';
  - the log: build/tmp/RtspClient_<date>_<time>.0.log;
  - kill -HUP <pid> prints "[CFG] reload config"; Ctrl-C quits.
----------------------------------------------------------------------
TXT
exec build/bin/kovira --cfg examples/minimal.json
