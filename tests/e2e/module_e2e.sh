#!/usr/bin/env bash
# The whole road for one processing module: a generated scene played by the
# unit's program in a private mount namespace, with the stand-in time daemon
# on a private bus (clock synchronised) and loopback collectors as the upload,
# feedback and allow-list servers. check_module_run.py then checks what the
# run left behind: archives in both target directories and at the collector,
# console lines, pages, track dumps.
#
#   module_e2e.sh SOURCE_DIR BINARY_DIR MODULE
#
# MODULE is one row of the table below; a row may be checked by another
# module's rules (speed-lanes: the speed module on a scene of its own). (An
# unsynchronised clock storing nothing is each module's own rule, tested
# there.)
set -euo pipefail
src=$1
bin=$2/bin
module=$3
fixtures=$src/tests/fixtures
python=/usr/bin/python3
list_url=http://127.0.0.89:8889/mts.txt

# One row per module: the scene, how its configuration differs from the one
# scenegen writes, the uploads to wait for, the private /tmp's size, pages
# read after the scene.
tmp_size=3g uploads=1 pages=() list= checked=$module
case $module in
  speed)
    scene=speed-e2e.json pages=(/debug/tickets/)
    cfg_args=(--extra "redbox crosshair fullframe angelsign") ;;
  speed-lanes)
    # Three lanes, a vehicle every 2.5 s, plates a character or two apart,
    # two consecutive numbers side by side: each vehicle its own speed.
    scene=speed-lanes.json checked=speed uploads=4 pages=(/debug/tickets/)
    cfg_args=(--extra "redbox crosshair fullframe angelsign") ;;
  speed-kormelino)
    scene=speed-e2e.json
    cfg_args=(--method speed-kormelino --extra "angelsign" --global timezone=-3 \
      --global 'coords="55.751244,37.618423"') ;;
  wrongdir) scene=wrongdir.json cfg_args=(--method wrongdir --direction 2) ;;
  busline) scene=lane.json uploads=2 pages=(/debug/tickets/) cfg_args=(--method busline) ;;
  busline-kormelino) scene=lane.json list=1 pages=(/debug/tickets/) cfg_args=(--method busline-kormelino) ;;
  carflow)
    # The speeder gets the speed archive only: car flow runs last and skips
    # what an earlier module stored.
    scene=mixed.json uploads=4 tmp_size=4g pages=(/debug/tickets/)
    cfg_args=(--extra "redbox crosshair fullframe angelsign" --also carflow --set 'carflow.extra="skipworked"'
      --set carflow.quality=0 --section '{"type": "cnnconf", "classifier": 1}') ;;
  trackdump) scene=lane.json uploads=0 cfg_args=(--method trackdump) ;;
  maskfind) scene=mixed.json uploads=0 cfg_args=(--method maskfind) pages=(/debug/mask/) ;;
  postframe) scene=mixed.json uploads=0 cfg_args=(--method postframe) pages=(/debug/postframe/) ;;
  *) echo "module_e2e.sh: no row for module $module" >&2; exit 2 ;;
esac

source "$fixtures/unit_session.sh"
# The allow-list server's address and port are fixed (127.0.0.89:8889): every
# module's run in a network of its own, with only its own servers on it.
own_network "$0" "$@"
e2e_begin "$2/test-out/module_e2e_$module" dbus

# Plays the scene once under the namespace runner, then stops the unit.
# run_unit NAME EXPECTED_UPLOADS
run_unit() {
  local name=$1 want=$2 p
  mkdir -p "$work/$name"
  unit_start "$work/$name" "$bin/kovira" "$work/run.json" --tmp-size "$tmp_size" --kovira-conf "$unit_identity"
  expect "$name: the unit started" unit_wait_line 'Press "Ctrl-C" to quit...' 30
  if [ "$module" = postframe ]; then
    expect "$name: the feedback update page answers 302" \
      test "$(status_of '/debug/postframe/update?cnt=1&interval=0&mask=2&tag=e2e')" = 302
  fi
  expect "$name: the unit played the scene to its end" \
    unit_wait_line '[OPENCV] Cannot read the frame from video file' "$(scene_seconds "$src/tests/data/scenes/$scene" 30)"
  # The last track finished before the file ended; its upload follows at
  # once (the feedback uploader's within a few seconds).
  if [ "$module" = postframe ]; then
    until_ok 10 test -s "$work/feedback/requests.jsonl" || true
  else
    wait_uploads "$work/collector" "$want"
  fi
  for p in ${pages[@]+"${pages[@]}"}; do
    page "$p" > "$work/$name/$(echo "$p" | tr -d / ).html" || echo "($p not read)"
  done
  unit_stop 20
  expect "$name: the unit exited 0 after SIGINT (status $unit_status)" test "$unit_status" = 0
}

road_setup "$work" "$src/tests/data/scenes/$scene" "$bin"
start_collector "$work/feedback"
start_collector "$work/collector"
# The identity file names every server; the allow-list by its address alone.
printf '{"token": "e2e", "upload": "http://127.0.0.1:%s", "feedback": "http://127.0.0.1:%s", "buslist": "127.0.0.89"}\n' \
  "$(cat "$work/collector.port")" "$(cat "$work/feedback.port")" > "$identity"
unit_identity=$identity
"$python" "$fixtures/scene_config.py" "$work/scene/kovira.json" "$work/run.json" --webserver "$port" \
  --signkey "$work/sign.key" --path "$work/run/a" --path "$work/run/b" --upload 1 "${cfg_args[@]}"
export HOME=$work/home
mkdir -p "$HOME"
check=("$python" "$src/tests/e2e/check_module_run.py" synced --module "$checked" --truth "$work/scene/truth.json"
  --cfg "$work/run.json" --collector "$work/collector" --feedback "$work/feedback" --pubkey "$work/sign.pub"
  --home "$HOME")

if [ -n "$list" ]; then
  echo "---- without the allow-list server: nothing reported"
  run_unit nolist 0
  expect "nolist: the failed list fetch is reported" grep -qF "[DBG] fail read from $list_url" "$work/nolist/console.txt"
  "${check[@]}" --dir "$work/run/a" --console "$work/nolist/console.txt" --work "$work/nolist" --expect-none \
    || failed=1
  rm -rf "$work/run"
  printf '{"/mts.txt": {"body": "A123BC77\\n"}}\n' > "$work/list.script"
  start_collector "$work/list" --host 127.0.0.89 --port 8889 --script "$work/list.script"
fi

echo "---- the scene"
run_unit run "$uploads"
"${check[@]}" --dir "$work/run/a" --dir "$work/run/b" --console "$work/run/console.txt" --work "$work/run" \
  --pages "$work/run" || failed=1
if [ "$failed" -ne 0 ]; then
  grep -E '^\[(SPD|TRACK|ERR|DBG|WARNING)\]' "$work/run/console.txt" || true
  echo "outputs kept in $work"
fi
exit "$failed"
