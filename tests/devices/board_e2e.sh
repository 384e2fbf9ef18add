#!/usr/bin/env bash
# The unit's program with the board simulator on a null-modem pseudo-terminal
# pair at /dev/ttySS, in a private mount namespace: keep-alive, lens and flash
# pages, the GNSS page and tilt tracking, seen from the line and over HTTP.
#
#   board_e2e.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1
build=$2
fixtures=$src/tests/fixtures
if [ "${3-}" != inside ]; then
  bash "$fixtures/nsrun.sh" -- true || exit $?
  exec bash "$fixtures/nsrun.sh" --pty /dev/ttySS -- bash "$0" "$src" "$build" inside
fi

bin=$build/bin
source "$fixtures/unit_session.sh"
e2e_begin "$build/test-out/board_e2e"

logged() { grep -q -- " $1\$" "$work/sim.log"; }
port=$(free_port)
# fetch PATH [CURL-ARGS...]: body to $work/body, headers to $work/head; prints the status.
fetch() {
  local path=$1
  shift
  curl -s -m 5 -o "$work/body" -D "$work/head" -w '%{http_code}' "$@" "http://127.0.0.1:$port$path"
}
body_is() { [ "$(cat "$work/body")" = "$1" ]; }
body_has() { grep -qF -- "$1" "$work/body"; }

# 1. The board, then the unit.
boardsim_start "$bin" --set CF=100 --set A=1500
cfg=$work/cfg.json
printf '[{"type": "global", "webserver": %s},\n {"type": "angle", "enabled": 1, "normal": 10, "wu": 2, "wd": 2}]\n' \
  "$port" > "$cfg"
started=$SECONDS
start_ns=$(date +%s%N)
unit_start "$work" "$bin/kovira" "$cfg"
until_ok 5 logged ALIVE
echo "     first ALIVE after $((($(date +%s%N) - start_ns) / 1000000)) ms (at most)"
expect "keep-alive sent at start" logged ALIVE
unit_wait_line 'Press "Ctrl-C" to quit...' 20 || { echo "the unit did not start"; cat "$work/console.txt"; exit 1; }

# 2. Lens and flash. The polling thread seeds the focus from the board (100).
expect "lens page shows the board's focus" until_ok 15 eval '[ "$(fetch /lens/)" = 200 ] && body_has "name=f value=100>"'
expect "lens page has step buttons" body_has "<button class=adjf>+250</button>"
expect "flash form on new firmware" body_has "<form action=updflash method=get>"
# As an operator sees the page: fields, step buttons, the flash form.
expect "headless browser draws the lens page" eval 'HOME=$work timeout 60 chromium --headless --no-sandbox --disable-gpu \
  --window-size=800,700 --screenshot="$work/lens.png" "http://127.0.0.1:$port/lens/" > "$work/chromium.log" 2>&1 &&
  [ -s "$work/lens.png" ]'
# The update rules themselves are the link tests' (sttydev_pty_test.cpp);
# here one request goes through to the line.
expect "modf=-300 answers OK" eval '[ "$(fetch "/lens/update?modf=-300")" = 200 ] && body_is OK'
expect "focus below 0 sends CAMF 0 and opens the iris" until_ok 5 eval 'logged "CAMF 0" && logged "CAMI 0"'
head -c 100000 /dev/zero | tr '\0' 1 | sed 's/^/f=/' > "$work/long.form"
expect "a 100 KB number is no number" eval '[ "$(fetch /lens/update --data-binary @"$work/long.form")" = 200 ] && body_is OK'
expect "... and moves nothing" eval '! grep -q "CAMF 1111" "$work/sim.log"'

# 3. GNSS: a stored sentence serves 9 s; each case waits until the page has
# asked the board anew, then reads that answer.
gnss_asks() { grep -c ' GNSS$' "$work/sim.log" || true; }
gnss_is() {
  local asked
  asked=$(gnss_asks)
  until_ok 15 eval '[ "$(fetch /measure/gnss)" = 200 ] && [ "$(gnss_asks)" -gt '"$asked"' ]' &&
    grep -qF "\"pos\": \"$1\"" "$work/body"
}
# (The sentence forms are the parser's tests.)
expect "GPRMC with a fix" gnss_is "4807.038N 1131.000E"
sim 'set rmc=$GPRMC,123519.00,V,4807.038,N,01131.000,E,,'
expect "no fix" gnss_is "NO SIGNAL 123519"
sim 'mode silent'
expect "silent board" gnss_is "NO DATA"
# Twenty clients poll the page of a silent board for about six seconds: the
# line carries at most one question per five seconds, and a lens command
# still goes through in time.
asked=$(gnss_asks)
poll_from=$(date +%s%N)
pollers=()
for _ in $(seq 20); do
  (end=$((SECONDS + 6)); while [ $SECONDS -lt $end ]; do
     curl -s -m 5 -o /dev/null "http://127.0.0.1:$port/measure/gnss" || true; done) &
  pollers+=($!)
done
# The lens command goes out while a question to the silent board may be open.
until_ok 5 eval '[ "$(gnss_asks)" -gt '"$asked"' ]' || true
lens_s=$(curl -s -m 5 -o /dev/null -w '%{time_total}' "http://127.0.0.1:$port/lens/update?modf=10")
wait "${pollers[@]}"
poll_ms=$((($(date +%s%N) - poll_from) / 1000000))
questions=$(($(gnss_asks) - asked))
echo "     $questions position questions in $poll_ms ms of polling; lens answered in $lens_s s"
expect "at most one question per 5 s" [ "$questions" -le $((1 + poll_ms / 5000)) ]
expect "lens answers within 1.5 s" awk -v t="$lens_s" 'BEGIN { exit !(t < 1.5) }'
sim 'mode normal'

# 4. Tilt: 15 degrees against 10 +- 2.
expect "angle page shows the alarm" until_ok $((started + 50 - SECONDS)) eval \
  '[ "$(fetch /config/angle/)" = 200 ] && body_has "<span style='"'"'background-color:#F00; padding: 2px 6px;'"'"'>5.00</span>"'
expect "POST without enabled redirects" eval '[ "$(fetch /config/angle/ --data "normal=10&wu=2&wd=2")" = 302 ]'
expect "saved section drops enabled" until_ok 5 eval '! grep -q "\"enabled\"" "$cfg"'

unit_stop 10
expect "the unit ended cleanly" [ "$unit_status" = 0 ]
[ "$failed" = 0 ] || { echo "---- console"; tail -40 "$work/console.txt"; echo "---- board"; tail -40 "$work/sim.log"; }
exit "$failed"
