#!/usr/bin/env bash
# The unit's program in a private /tmp whose scratch folder holds copies an
# earlier run left (and a link out of it), and whose action folder holds a
# hidden archive a save killed between write and rename left: once the unit
# is up, the copies and the hidden archive are gone (one warning line); the
# stored archive, a link and a hidden file not named like ours, and the
# link's target are not.
#   scratch_sweep_e2e.sh SOURCE_DIR KOVIRA_PROGRAM
set -euo pipefail
src=$1
program=$2
work=$(mktemp -d "${TMPDIR:-/var/tmp}/kovira-sweep.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo '[{"type": "global", "webserver": 0}, {"type": "action", "actid": 1, "path": "/tmp/ev"}]' > "$work/cfg.json"

# Inside the namespace: /tmp is private, the work folder is not.
inside='
  set -eu
  mkdir -p /tmp/cashed
  echo old > /tmp/cashed/1234.jpg
  echo old > /tmp/cashed/.5678.tar.tmp
  echo keep > /tmp/target.txt
  ln -s /tmp/target.txt /tmp/cashed/link
  mkdir -p /tmp/ev
  echo partial > /tmp/ev/.31.tar~
  echo stored > /tmp/ev/32.tar
  ln -s /tmp/ev/32.tar /tmp/ev/.33.tar~
  echo other > /tmp/ev/.notes.tar~
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent "$1" --cfg "$2/cfg.json" > "$2/console.txt" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    grep -q "Press \"Ctrl-C\" to quit..." "$2/console.txt" && break
    sleep 0.05
  done
  ls -A /tmp/cashed > "$2/left.txt"
  LC_ALL=C ls -A /tmp/ev > "$2/ev.txt"
  cat /tmp/target.txt > "$2/target.txt"
  kill -INT "$pid"
  wait "$pid"
'
status=0
bash "$src/tests/fixtures/nsrun.sh" --tmp-size 64m -- bash -c "$inside" sweep "$program" "$work" || status=$?
[ "$status" -eq 77 ] && exit 77
fail() { echo "FAIL: $*"; cat "$work/console.txt"; exit 1; }
[ "$status" -eq 0 ] || fail "the unit ended with $status"
grep -q 'Press "Ctrl-C" to quit...' "$work/console.txt" || fail "the unit did not come up"
[ ! -s "$work/left.txt" ] || fail "left in /tmp/cashed: $(cat "$work/left.txt")"
[ "$(cat "$work/target.txt")" = keep ] || fail "the link's target was touched"
[ "$(tr '\n' ' ' < "$work/ev.txt")" = ".33.tar~ .notes.tar~ 32.tar " ] || fail "left in the action folder: $(cat "$work/ev.txt")"
[ "$(grep -c '^\[WARNING\] evidence: removed /tmp/ev/.31.tar~' "$work/console.txt")" = 1 ] ||
  fail "no warning line for the hidden archive"
echo "scratch folder and action folder swept"
