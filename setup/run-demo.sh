#!/usr/bin/env bash
# The unit end to end on a generated road scene: installs what is missing,
# builds, renders examples/demo-scene.json (vehicles above and below the
# threshold, one driving away from the camera), plays it through the unit
# with the stand-in time daemon answering "synchronised", and prints what
# became of every vehicle. As root the unit runs in a private mount
# namespace (its own /tmp and /etc/kovira.conf) with a loopback collection
# server, so the uploads are shown too. Everything goes to out/demo.
set -euo pipefail
shopt -s nullglob
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
fixtures=$top/tests/fixtures
python=/usr/bin/python3
scene_file=$top/examples/demo-scene.json
out=$top/out/demo
extra="redbox crosshair fullframe angelsign"
label="%t.%f  %n  %spd KM/H  LIMIT %lim KM/H  %w"
ready='Press "Ctrl-C" to quit...'
file_end='[OPENCV] Cannot read the frame from video file'

say() { printf '\n== %s\n' "$*"; }

# ---- set-up and build --------------------------------------------------
say "setting up and building (only what is missing)"
bash setup/install-deps.sh
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$(nproc)" --target kovira scenegen timedated-standin | tail -n 1

# ---- outputs, scene, key -------------------------------------------------
rm -rf "$out"
mkdir -p "$out/bin" "$out/run"
# Started through this link the unit writes its log beside it (out/demo/tmp).
ln -s "$top/build/bin/kovira" "$out/bin/kovira"
say "rendering the scene $(realpath --relative-to="$top" "$scene_file")"
build/bin/scenegen "$scene_file" "$out/scene"
openssl genrsa -out "$out/sign.key" 2048 2> /dev/null
openssl rsa -in "$out/sign.key" -pubout -out "$out/sign.pub" 2> /dev/null

collector_pid=
tail_pid=
cashed_before=
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  [ -z "${unit_job-}" ] || unit_stop 10 || true
  [ -z "$tail_pid" ] || kill "$tail_pid" 2> /dev/null || true
  [ -z "$collector_pid" ] || kill "$collector_pid" 2> /dev/null || true
  bash "$fixtures/timebus.sh" stop "$out/bus" 2> /dev/null || true
  # Outside a namespace the unit's scratch copies land in the host's
  # /tmp/cashed: take back exactly what this run added.
  if [ -n "$cashed_before" ]; then
    comm -13 "$cashed_before" <(ls -A /tmp/cashed 2> /dev/null | sort) | while IFS= read -r f; do
      rm -f -- "/tmp/cashed/$f"
    done
    [ -e "$out/cashed-list/existed" ] || rmdir /tmp/cashed 2> /dev/null || true
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
source "$fixtures/unit_session.sh"

# ---- time daemon, collector, namespace -----------------------------------
say "starting the stand-in time daemon on a private bus (answers: synchronised)"
DBUS_SYSTEM_BUS_ADDRESS=$(bash "$fixtures/timebus.sh" start "$out/bus" "$top/build/bin/timedated-standin" true)
export DBUS_SYSTEM_BUS_ADDRESS

ns=()
upload=0
collector=
if bash "$fixtures/nsrun.sh" -- true 2> /dev/null; then
  collector=$out/collector
  "$python" "$fixtures/collector.py" --dir "$collector" --port-file "$out/collector.port" --timeout 600 > /dev/null &
  collector_pid=$!
  for _ in $(seq 100); do [ -s "$out/collector.port" ] && break; sleep 0.05; done
  [ -s "$out/collector.port" ] || { echo "the collector did not start"; exit 1; }
  printf '{"token": "demo", "upload": "http://127.0.0.1:%s"}\n' "$(cat "$out/collector.port")" > "$out/kovira.conf"
  # A tmpfs costs memory only for what is written; the unit wants 2 GiB free.
  ns=(--tmp-size 3g --kovira-conf "$out/kovira.conf")
  upload=1
  say "collection server on http://127.0.0.1:$(cat "$out/collector.port") (loopback); the unit runs in a private mount namespace"
else
  if [ -e /etc/kovira.conf ]; then
    echo "This host has an /etc/kovira.conf of its own and no private namespace can be made here"
    echo "(root needed): the demo does not run the unit against a real server. Run it as root."
    exit 1
  fi
  say "not root: the unit runs without the private namespace and without uploads"
  mkdir -p "$out/cashed-list"
  cashed_before=$out/cashed-list/before
  ls -A /tmp/cashed 2> /dev/null | sort > "$cashed_before" || true
  [ ! -d /tmp/cashed ] || touch "$out/cashed-list/existed"
fi

# The scene's own port when it is free, else any free port.
webport=$("$python" - "$scene_file" <<'PY'
import json, socket, sys
want = json.load(open(sys.argv[1])).get("port", 0)
for port in (want, 0):
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
        print(s.getsockname()[1])
        break
    except OSError:
        pass
    finally:
        s.close()
PY
)
"$python" "$fixtures/scene_config.py" "$out/scene/kovira.json" "$out/kovira-demo.json" --webserver "$webport" \
  --signkey "$out/sign.key" --path "$out/evidence/main" --path "$out/evidence/copy" --upload "$upload" \
  --extra "$extra" --label "$label"

# ---- the run -------------------------------------------------------------
seconds=$("$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["seconds"])' "$scene_file")
say "running the unit on the scene (${seconds} s of video)"
unit_start "$out/run" "$out/bin/kovira" "$out/kovira-demo.json" ${ns[@]+"${ns[@]}"}
unit_wait_line "$ready" 30 || { echo "the unit did not come up:"; cat "$out/run/console.txt"; exit 1; }
cat <<TXT
   While it runs:
     passages (tickets page):  http://127.0.0.1:$webport/debug/tickets/
     upload queue:             http://127.0.0.1:$webport/debug/lazyupload/
   Console of the unit: $(realpath --relative-to="$top" "$out/run/console.txt")
   Measurements and decisions as they happen:
TXT
# The follower ends with the unit.
tail -n +1 -f --pid="$(cat "$out/run/unit.pid")" "$out/run/console.txt" 2> /dev/null | grep --line-buffered -E '^\[(SPD|TRACK|ERR)\]' | sed -u 's/^/     /' &
tail_pid=$!
unit_wait_line "$file_end" $((seconds + 30)) || echo "   (the scene did not end in time)"
# The last vehicle's track ends before the file does; give its archive the
# moment it needs to reach the server, then save the pages as they are.
archives=0
for _ in $(seq 30); do
  sleep 0.1
  tars=("$out"/evidence/main/*.tar)
  archives=${#tars[@]}
  [ "$upload" = 1 ] || continue
  sent=$(grep -c '"path": "/upload.php"' "$collector/requests.jsonl" 2> /dev/null || true)
  [ "${sent:-0}" -lt "$archives" ] || break
done
mkdir -p "$out/pages"
for page in tickets lazyupload; do
  "$python" -c 'import sys, urllib.request
sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[1], timeout=5).read())' \
    "http://127.0.0.1:$webport/debug/$page/" > "$out/pages/$page.html" 2> /dev/null || true
done
unit_stop 20
wait "$tail_pid" 2> /dev/null || true
tail_pid=
echo "   stopped with SIGINT; exit status $unit_status"

# ---- what happened -------------------------------------------------------
say "result"
report=(--truth "$out/scene/truth.json" --cfg "$out/kovira-demo.json" --console "$out/run/console.txt" --top "$top")
[ -z "$collector" ] || report+=(--collector "$collector")
status=0
"$python" "$top/setup/demo_report.py" "${report[@]}" || status=$?
[ "$unit_status" = 0 ] || { echo "The unit ended with status $unit_status."; status=1; }
cat <<TXT

Everything is in $(realpath --relative-to="$top" "$out"): the scene (scene/), the configuration
(kovira-demo.json), the archives (evidence/main, evidence/copy), the pages as they
were at the end (pages/), the console (run/console.txt) and the log (tmp/).
Check a signature: tar -xf ARCHIVE angel.xml m.jpg signature.sign &&
  cat angel.xml m.jpg | openssl dgst -sha1 -verify $(realpath --relative-to="$top" "$out/sign.pub") -signature signature.sign
TXT
exit "$status"
