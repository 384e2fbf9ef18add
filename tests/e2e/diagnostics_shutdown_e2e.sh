#!/usr/bin/env bash
# SIGINT while the diagnostics page waits on tools that never end (stand-ins
# first on the unit's PATH that ignore SIGTERM and start a helper process):
# two pages run, a third is turned away with 503 and "Retry-After"; the unit
# then exits 0 within 5 s and leaves none of the processes it started.
#
#   diagnostics_shutdown_e2e.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1
build=$2
source "$src/tests/fixtures/unit_session.sh"
e2e_begin "$build/test-out/diagnostics_shutdown_e2e"

# 1. Hanging stand-ins; each records "pid pgid" of itself and its helper.
mkdir -p "$work/bin"
for tool in uptime timedatectl free ifconfig arp ip df lsblk lsusb; do
  printf '#!/bin/sh\ntrap "" TERM INT HUP\necho "$$ $(ps -o pgid= -p $$)" >> %s/started.txt
sleep 987654 &\necho "$! $(ps -o pgid= -p $!)" >> %s/started.txt\nwait\nwait\n' "$work" "$work" > "$work/bin/$tool"
done
# Only the unit sees them: the fixtures use some of these names themselves.
printf '#!/bin/sh\nPATH=%s/bin:$PATH exec %s "$@"\n' "$work" "$build/bin/kovira" > "$work/kovira"
chmod +x "$work"/bin/* "$work/kovira"
# Whatever the test leaves behind ends with it (by the recorded ids).
leftover_kill() { [ ! -f "$work/started.txt" ] || while read -r pid _; do kill -KILL "$pid" 2>/dev/null || true; done < "$work/started.txt"; }
trap 'status=$?; leftover_kill; (exit $status); unit_cleanup' EXIT

port=$(free_port)
printf '[{"type": "global", "webserver": %s}]\n' "$port" > "$work/cfg.json"
unit_start "$work" "$work/kovira" "$work/cfg.json" --
until_ok 10 page / -o /dev/null || { echo "the unit does not answer"; cat "$work/console.txt"; exit 1; }

# 2. Two pages, each blocked in its first tool; a third is turned away.
for _ in 1 2; do status_of /debug/diagnostics/ -m 20 > /dev/null & unit_children+=("$!"); done
started() { [ -f "$work/started.txt" ] && [ "$(grep -c '' "$work/started.txt")" -ge "$1" ]; }
expect "two pages run their first tool" until_ok 10 started 4
third=$(page /debug/diagnostics/ -D "$work/third.head" -o "$work/third.body" -w '%{http_code}' || true)
expect "a third page at once: 503 (got $third)" test "$third" = 503
expect "with Retry-After" grep -qi '^Retry-After: 10' "$work/third.head"
expect "and a Russian line" grep -qF 'Повторите через 10 секунд.' "$work/third.body"

# 3. SIGINT: exit 0 within 5 s, the commands killed after the grace time.
t0=$(date +%s%N)
unit_stop 10
took=$((($(date +%s%N) - t0) / 1000000))
expect "the unit exited 0 after SIGINT (status $unit_status)" test "$unit_status" = 0
expect "within 5 s (took $took ms)" test "$took" -lt 5000
expect "after the grace time the commands were killed" \
  grep -qF '[DBG] shut-down: 2 running command(s) killed' "$work/console.txt"
expect "only two pages ever started tools" test "$(grep -c '' "$work/started.txt")" = 4

# 4. No process is left in the groups of the recorded ones (theirs included).
gone() {
  ps -eo pgid=,stat= | awk 'NR == FNR { g[$2]; next } ($1 in g) && $2 !~ /^Z/ { f = 1 } END { exit f }' "$work/started.txt" -
}
expect "no stand-in or helper left running" until_ok 2 gone
unit_report
