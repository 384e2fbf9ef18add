#!/usr/bin/env bash
# The end-to-end session helpers under a tight umask, from a private folder:
# a peer running as nobody reads and writes in its own folder, the folder is
# gone after the run, and a failed run (only a failed one) shows what every
# peer printed, with the run's status kept.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" = 0 ] || { echo "needs root (runuser): skipped"; exit 77; }
umask 077
top=$(mktemp -d /var/tmp/unit-session-test.XXXXXX)
trap 'rm -rf "$top"' EXIT

# run_session STATUS: a session with a peer, a collector and nobody's folder
# that ends with STATUS; its output goes to $top/STATUS.txt.
run_session() {
  local status=0
  bash -c '
    set -euo pipefail
    source "$1/../fixtures/unit_session.sh"
    e2e_begin "$2/work"
    echo hello > "$2/work/data"
    user_dir nobody
    echo "$user_dir" > "$2/user_dir"
    install -m 0644 "$2/work/data" "$user_dir"
    peer reader runuser -u nobody -- env -C "$user_dir" HOME="$user_dir/home" \
      sh -c "cat data && touch home/written && echo peer-said-so && exec sleep 60"
    start_collector "$work/collector"
    until_ok 10 grep -q peer-said-so "$work/reader.out"
    expect "nobody read the file and wrote its home" test -e "$user_dir/home/written"
    exit "$3"' session "$here" "$top" "$1" > "$top/$1.txt" 2>&1 || status=$?
  [ "$status" = "$1" ] || { echo "session status $status, wanted $1"; cat "$top/$1.txt"; exit 1; }
  ! grep -q '^FAIL' "$top/$1.txt" || { cat "$top/$1.txt"; exit 1; }
  [ ! -e "$(cat "$top/user_dir")" ] || { echo "nobody's folder was left behind"; exit 1; }
}

run_session 0
! grep -q -- '----' "$top/0.txt" || { echo "a passing run showed peer output:"; cat "$top/0.txt"; exit 1; }
run_session 3
for shown in '---- reader.out (end)' hello peer-said-so '---- collector.out (end)' 'PORT '; do
  grep -qF -- "$shown" "$top/3.txt" || { echo "a failed run does not show '$shown':"; cat "$top/3.txt"; exit 1; }
done
echo "unit session ok"
