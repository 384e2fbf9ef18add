#!/usr/bin/env bash
# SIGINT while the diagnostics page waits on tools that never end: the
# unit's program, in a private mount namespace, with stand-ins first on its
# PATH for the page's tools that hang (ignoring SIGTERM, with a helper
# process of their own). Two pages run, a third is turned away with 503 and
# "Retry-After"; after SIGINT the unit exits 0 within 5 s and none of the
# processes it started is left.
#
#   diagnostics_shutdown_e2e.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1
build=$2
source "$src/tests/fixtures/unit_session.sh"
e2e_begin "$build/test-out/diagnostics_shutdown_e2e"

# 1. Hanging stand-ins; each records its process and process group.
mkdir -p "$work/bin"
hang='#!/bin/sh
trap "" TERM INT HUP
echo "$$ $(ps -o pgid= -p $$ | tr -d " ")" >> "'$work'/started.txt"
sleep 987654 &
echo "$! $(ps -o pgid= -p $! | tr -d " ")" >> "'$work'/started.txt"
wait
wait
'
for tool in uptime timedatectl free ifconfig arp ip df lsblk lsusb; do
  printf '%s' "$hang" > "$work/bin/$tool"
  chmod +x "$work/bin/$tool"
done
# Only the unit sees them: the fixtures use some of these names themselves.
printf '#!/bin/sh\nPATH=%s/bin:$PATH exec %s "$@"\n' "$work" "$build/bin/kovira" > "$work/kovira"
chmod +x "$work/kovira"
# Whatever the test leaves behind ends with it (by the recorded ids).
leftover_kill() { [ ! -f "$work/started.txt" ] || while read -r pid _; do kill -KILL "$pid" 2>/dev/null || true; done < "$work/started.txt"; }
trap 'status=$?; leftover_kill; (exit $status); unit_cleanup' EXIT

port=$(free_port)
printf '[{"type": "global", "webserver": %s}]\n' "$port" > "$work/cfg.json"
unit_start "$work" "$work/kovira" "$work/cfg.json" --
until_ok 10 page / -o /dev/null || { echo "the unit does not answer"; cat "$work/console.txt"; exit 1; }

# 2. Two pages, each blocked in its first tool.
for i in 1 2; do
  curl -s -m 20 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/debug/diagnostics/" > "$work/page$i.status" &
  unit_children+=("$!")
done
leaders() { [ -f "$work/started.txt" ] && [ "$(grep -c '' "$work/started.txt")" -ge 4 ]; }
expect "two pages run their first tool" until_ok 10 leaders

# 3. A third is turned away.
third=$(curl -s -m 10 -D "$work/third.head" -o "$work/third.body" -w '%{http_code}' \
  "http://127.0.0.1:$port/debug/diagnostics/" || true)
expect "a third page at once: 503 (got $third)" test "$third" = 503
expect "with Retry-After" grep -qi '^Retry-After: 10' "$work/third.head"
expect "and a Russian line" grep -qF 'Повторите через 10 секунд.' "$work/third.body"

# 4. SIGINT: exit 0 within 5 s.
t0=$(date +%s%N)
unit_stop 10
took=$((($(date +%s%N) - t0) / 1000000))
expect "the unit exited 0 after SIGINT (status $unit_status)" test "$unit_status" = 0
expect "within 5 s (took $took ms)" test "$took" -lt 5000
expect "after the grace time the commands were killed" \
  grep -qF '[DBG] shut-down: 2 running command(s) killed' "$work/console.txt"
expect "only two pages ever started tools" test "$(grep -c '' "$work/started.txt")" = 4

# 5. Nothing the unit started is left: no recorded process runs, and no
# process is in one of their groups.
gone() {
  local pid _pgid state
  while read -r pid _pgid; do
    state=$(ps -o stat= -p "$pid" 2>/dev/null || true)
    [ -z "$state" ] || [[ $state == Z* ]] || return 1
  done < "$work/started.txt"
  while read -r _pid pgid; do
    ps -eo pgid=,stat= | awk -v g="$pgid" '$1 == g && $2 !~ /^Z/ { found = 1 } END { exit found }' || return 1
  done < "$work/started.txt"
}
expect "no stand-in or helper left running" until_ok 2 gone
unit_report
