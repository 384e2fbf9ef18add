#!/usr/bin/env bash
# The end-to-end session helpers under a tight umask, from a private folder:
# a peer running as nobody reads and writes in its own folder, the folder is
# gone after the run, and a failed run (only a failed one) shows what every
# peer printed, with the run's status kept. The private bus starts from a
# work folder deeper than a Unix socket's path may be, and leaves nothing
# behind; own_network runs a script again in a network of its own.
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

# ---- The private bus from a work folder of over 200 characters (a deep
# checkout, a long run name): the address stays short enough for
# dbus-daemon and for a client's connect, the bus answers, and stop takes
# the socket's folder away while the logs stay in the work folder.
deep=$top/$(printf 'a-folder-with-a-rather-long-name-%s/' 1 2 3 4 5 6)bus
[ "${#deep}" -gt 200 ] || { echo "the work folder is too short to prove anything: $deep"; exit 1; }
address=$(bash "$here/../fixtures/timebus.sh" start "$deep" /bin/false none)
socket=${address#unix:path=}
[ "${#socket}" -le 99 ] || { echo "the bus socket's path is ${#socket} bytes: $socket"; exit 1; }
[ -S "$socket" ] || { echo "no socket at $socket"; exit 1; }
dbus-send --bus="$address" --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId > "$top/bus-id" ||
  { echo "the bus at $address does not answer"; exit 1; }
bash "$here/../fixtures/timebus.sh" stop "$deep"
[ ! -e "$(dirname "$socket")" ] || { echo "the socket's folder was left behind: $(dirname "$socket")"; exit 1; }
[ -s "$deep/bus.conf" ] || { echo "the bus's files did not stay in the work folder"; exit 1; }

# ---- own_network: the host holds a UDP port (another checkout's receiver,
# say); the script, run again in a network of its own with the loopback
# up, binds it; a script it starts that calls own_network gets a network of
# its own again, not its parent's.
cat > "$top/net.sh" <<'SH'
set -euo pipefail
source "$1/../fixtures/unit_session.sh"
own_network "$0" "$@"
/usr/bin/python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))' "$2"
ip -o link show lo | grep -q '<LOOPBACK,UP' || { echo "loopback down"; exit 1; }
echo "$3 $(readlink /proc/self/ns/net)"
[ "$3" = inner ] || bash "$0" "$1" "$2" inner
SH
# The holder ends when this script does (its standard input closes); none
# of its descriptors is CTest's output pipe, which would keep the test open.
exec {holder}> >(exec /usr/bin/python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
sys.stdin.read()' > "$top/held" 2>&1)
for _ in $(seq 100); do [ -s "$top/held" ] && break; sleep 0.05; done
held_port=$(cat "$top/held")
[ -n "$held_port" ] || { echo "the port holder did not start"; exit 1; }
bash "$top/net.sh" "$here" "$held_port" outer > "$top/net.txt" 2>&1 || { echo "own_network:"; cat "$top/net.txt"; exit 1; }
host_ns=$(readlink /proc/self/ns/net)
outer=$(sed -n 's/^outer //p' "$top/net.txt")
inner=$(sed -n 's/^inner //p' "$top/net.txt")
[ -n "$outer" ] && [ -n "$inner" ] || { echo "own_network: a run is missing:"; cat "$top/net.txt"; exit 1; }
[ "$outer" != "$host_ns" ] || { echo "own_network: the script ran in the host's network"; exit 1; }
[ "$inner" != "$outer" ] || { echo "own_network: the started script shared its parent's network"; exit 1; }
echo "unit session ok"
