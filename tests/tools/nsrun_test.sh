#!/usr/bin/env bash
# The namespace runner gives the command a private /tmp and its own /etc
# files and pseudo-terminals, and leaves the host unchanged; with --net a
# network of its own, where ports the host holds are free.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
nsrun=$here/../fixtures/nsrun.sh

probe=nsrun-probe-$$
work=$(mktemp -d /var/tmp/nsrun-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo '{"token": "t-'$$'"}' > "$work/kovira.conf"
echo '{"devid": 5, "camid": 7}' > "$work/skygateway.conf"
etc_before=$(ls -la /etc | md5sum)
had_kovira=$([ -e /etc/kovira.conf ] && echo yes || echo no)

status=0
bash "$nsrun" --tmp-size 4m --kovira-conf "$work/kovira.conf" --skygateway-conf "$work/skygateway.conf" \
  --pty /dev/ttyNSRUN$$ -- bash -c '
    set -e
    echo data > /tmp/'"$probe"'
    [ "$(findmnt -n -o FSTYPE /tmp)" = tmpfs ]
    grep -q "t-'$$'" /etc/kovira.conf
    grep -q "\"camid\": 7" /etc/skygateway.conf
    [ -c /dev/ttyNSRUN'$$' ] && [ -c /dev/ttyNSRUN'$$'.peer ]
    exec 3< /dev/ttyNSRUN'$$'.peer
    printf ping > /dev/ttyNSRUN'$$'
    read -r -t 5 -n 4 got <&3
    [ "$got" = ping ]
    [ -e /dev/null ] && [ -d /dev/pts ]
    echo "$(pwd)" > '"$work/inside-ok"'
  ' || status=$?
[ "$status" = 77 ] && { echo "no mount namespace here: skipped"; exit 77; }
[ "$status" = 0 ] || { echo "the command failed inside the namespace ($status)"; exit 1; }
[ -s "$work/inside-ok" ] || { echo "files outside /tmp were not shared"; exit 1; }

[ ! -e "/tmp/$probe" ] || { echo "/tmp is not private"; rm -f "/tmp/$probe"; exit 1; }
[ ! -e "/dev/ttyNSRUN$$" ] || { echo "the pseudo-terminal leaked to the host"; exit 1; }
[ "$had_kovira" = yes ] || [ ! -e /etc/kovira.conf ] || { echo "/etc/kovira.conf leaked to the host"; exit 1; }
[ "$(ls -la /etc | md5sum)" = "$etc_before" ] || { echo "/etc changed on the host"; exit 1; }

# The command's exit status comes back.
status=0
bash "$nsrun" -- bash -c 'exit 5' || status=$?
[ "$status" = 5 ] || { echo "exit status $status, wanted 5"; exit 1; }

# --net: the host holds UDP and TCP ports (as another test run's receiver
# and allow-list server would); inside, only the loopback interface, up,
# and the same ports bind, on 127.0.0.1 and 127.0.0.89 alike. Without
# --net they do not: the holder really holds them.
bind_probe='
import socket, sys
for host, kind in (("127.0.0.1", socket.SOCK_DGRAM), ("127.0.0.89", socket.SOCK_STREAM)):
    s = socket.socket(socket.AF_INET, kind)
    s.bind((host, int(sys.argv[1])))
    s.close()
print("bound")'
# The holder ends when this script does (its standard input closes); none
# of its descriptors is CTest's output pipe, which would keep the test open.
exec {holder}> >(exec /usr/bin/python3 -c '
import socket, sys
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.bind(("127.0.0.1", 0))
port = u.getsockname()[1]
t = socket.socket()
t.bind(("127.0.0.89", port))
t.listen()
print(port, flush=True)
sys.stdin.read()' > "$work/held" 2>&1)
for _ in $(seq 100); do [ -s "$work/held" ] && break; sleep 0.05; done
port=$(cat "$work/held")
[ -n "$port" ] || { echo "the port holder did not start"; exit 1; }
if bash "$nsrun" -- /usr/bin/python3 -c "$bind_probe" "$port" > /dev/null 2>&1; then
  echo "the ports were free without --net: the check below proves nothing"; exit 1
fi
out=$(bash "$nsrun" --net -- bash -c '
  echo "links: $(ip -o link show | awk -F": " "{print \$2}" | sort | tr "\n" " ")"
  ip -o link show lo | grep -q "<LOOPBACK,UP" && echo lo-up
  /usr/bin/python3 -c "$1" "$2"' net "$bind_probe" "$port") || { echo "--net: $out"; exit 1; }
grep -qx "links: lo " <<< "$out" || { echo "--net: interfaces other than lo: $out"; exit 1; }
grep -qx lo-up <<< "$out" || { echo "--net: the loopback interface is down: $out"; exit 1; }
grep -qx bound <<< "$out" || { echo "--net: the host's ports could not be bound inside: $out"; exit 1; }
echo "nsrun ok"
