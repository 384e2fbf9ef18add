#!/usr/bin/env bash
# The unit's program with the board simulator on /dev/ttySS, a modem port at
# /dev/ttyLTE and a modem state file at /run/modem.json, in a private mount
# namespace, with telemetry configured: the modem page shows the state,
# sends USSD requests to the line and resets the modem through the board;
# the first telemetry record carries the modem's values, the first built
# after the board answered the board's. The unit runs on a clock ten times
# faster (libfaketime), so its first record (300 s) and post (60 s period)
# come within about 40 s. The board line's time-outs shrink alike: the
# namespace runs at a raised priority, yet a busy machine can make the unit
# miss replies, and a record built before the board answered lacks it.
#
#   telemetry_e2e.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1
build=$2
fixtures=$src/tests/fixtures
bin=$build/bin
work=$build/test-out/telemetry_e2e
if [ "${3-}" != inside ]; then
  bash "$fixtures/nsrun.sh" -- true || exit $?
  rm -rf "$work"
  mkdir -p "$work"
  printf '{"timestamp": %s, "duration": 4000, "signal": -67, "name": "  TestNet LTE ", "imsi": "123"}\n' \
    "$(date +%s)" > "$work/modem.json"
  exec nice -n -10 bash "$fixtures/nsrun.sh" --pty /dev/ttySS --pty /dev/ttyLTE --bind "$work/modem.json=/run/modem.json" \
    -- bash "$0" "$src" "$build" inside
fi

source "$fixtures/unit_session.sh"
trap unit_cleanup EXIT

# 1. A collector named "telemetry", the board, a reader on the modem line.
start_collector "$work/collector"
printf '{"token": "e2e", "telemetry": "http://127.0.0.1:%s"}\n' "$(cat "$work/collector.port")" > "$identity"
boardsim_start "$bin" --set V=20231115
stty -F /dev/ttyLTE.peer raw -echo 2> /dev/null || true
cat /dev/ttyLTE.peer > "$work/lte.txt" &
unit_children+=("$!")

# 2. The unit.
port=$(free_port)
printf '[{"type": "global", "webserver": %s}]\n' "$port" > "$work/cfg.json"
cp "$identity" /etc/kovira.conf
faketime_lib=$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 | head -1)
LD_PRELOAD=$faketime_lib FAKETIME="+0 x10" unit_start "$work" "$bin/kovira" "$work/cfg.json"
unit_wait_line 'Press "Ctrl-C" to quit...' 30 || { echo "the unit did not start"; cat "$work/console.txt"; exit 1; }
expect "telemetry is configured" eval '! grep -q "no \"telemetry\" server" "$work/console.txt"'

# 3. The page shows the state file.
expect "the page shows the operator" page_has /debug/modem/ "<b>name</b>: &quot;  TestNet LTE &quot;"
expect "the page has the USSD form" page_has /debug/modem/ "name=ussd"

# 4. USSD and modem reset through the page.
expect "the modem form answers 302" test "$(status_of /debug/modem/ -d 'modres=1&ussd=*100#')" = 302
expect "the modem line got the USSD request" until_ok 5 grep -qF 'AT+CUSD=1,"AA180C3602",15' "$work/lte.txt"
expect "the board was asked to reset the modem" grep -q 'LTERESET' "$work/sim.log"

# 5. The records, in the order the unit built them: the modem's state in
# the first (the state file is fresh from the start; its name and uptime go
# into one record only, and the unit's fast clock makes the file stale
# within 30 s), the board's values in the first record built after the unit
# had read the board, and in none before it. On a busy machine the unit may
# build its first record before the board's first answer (its time-outs run
# ten times faster): that record rightly has no board values, and a record
# with a wrong or missing firmware version still fails here.
first_post() {
  /usr/bin/python3 - "$work/collector" << 'PY'
import json, os, sys
folder = sys.argv[1]
with open(os.path.join(folder, "requests.jsonl"), encoding="utf-8") as f:
    posts = [json.loads(line) for line in f if '"/upload.php"' in line]
posts.sort(key=lambda post: post["n"])  # written when answered: arrival order is n
records = []
for post in posts:
    with open(os.path.join(folder, "bodies", post["body"]), encoding="utf-8") as f:
        records += json.load(f)
if not records:
    sys.exit(1)
modem = {"signal": -67, "mobtime": 4000, "mobname": "TestNet LTE"}
got = {k: records[0].get(k) for k in modem}
if got != modem:
    print("first record, modem:", got, file=sys.stderr)
    sys.exit(2)
for rec in records:
    wrong = {k: rec[k] for k in modem if k in rec and rec[k] != modem[k]}
    if wrong:
        print("record of", rec.get("timestamp"), "modem:", wrong, file=sys.stderr)
        sys.exit(2)
    if "hwversion" not in rec:
        # Built before the board answered: no board value at all.
        if rec.get("carrieruptime") != 0 or rec.get("T1") != 0 or rec.get("onbattery") is not None:
            print("record of", rec.get("timestamp"), "has board values without the board:", rec, file=sys.stderr)
            sys.exit(2)
        continue
    if rec["hwversion"] != 20231115:
        print("record of", rec.get("timestamp"), "hwversion:", rec["hwversion"], file=sys.stderr)
        sys.exit(2)
    sys.exit(0)
sys.exit(1)  # no record built after the board answered yet
PY
}
expect "a post with the board's values reached the collector" until_ok 120 eval 'first_post; [ $? != 1 ]'
expect "the first record carries the modem, the first built after the board answered the board" first_post

unit_end 10
