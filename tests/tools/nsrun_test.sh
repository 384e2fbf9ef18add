#!/usr/bin/env bash
# The namespace runner gives the command a private /tmp and its own /etc
# files and pseudo-terminals, and leaves the host unchanged.
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
echo "nsrun ok"
