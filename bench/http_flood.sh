#!/usr/bin/env bash
# HTTP server under hostile clients: the unit's server (the benchmark
# server, production limits) on loopback, a curl loop on a small page
# throughout, and bench/http_flood.py playing, one scenario after the other:
#   flood    1000 idle and 200 slowloris connections (a header byte every 5 s)
#   stalled  two peers with 32 POSTs each declaring 809600 bytes and sending
#            none, reconnecting whenever closed (at least 60 s)
#   readers  200 clients reading a 100 KB page at 1 KB/s each, again and
#            again (at least 120 s, so pages finish)
# Prints per scenario the worst curl latency, failed curls, and the
# server's RSS and descriptor count before, during and after; for readers
# also the pages read whole and cut short. Stops by itself.
# Usage: bench/http_flood.sh [build dir] [seconds] [idle] [slow] [stalled] [readers]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
secs=${2:-30}
idle=${3:-1000}
slow=${4:-200}
stalled=${5:-64}
readers=${6:-200}
server=$build/bin/http_bench_server
[[ -x $server ]] || { echo "build $server first (ninja -C build http_bench_server)"; exit 1; }
command -v curl >/dev/null || { echo "curl is missing"; exit 1; }

# Both sides hold over a thousand sockets: raise this shell's soft
# descriptor limit (children inherit it), never the host's configuration.
hard=$(ulimit -Hn)
want=8192
if [[ $hard != unlimited && $hard -lt $want ]]; then want=$hard; fi
ulimit -Sn "$want"

bench_name=http_flood
source "$top/bench/bench_lib.sh"

port=$(freeport)
mkdir -p "$work/bin" "$work/tmp" "$work/www"
printf '<html><body><p>status ok</p></body></html>\n' > "$work/www/small.html"
head -c 102400 /dev/urandom > "$work/www/large.bin"
cp "$server" "$work/bin/"  # it logs to ../tmp beside its binary
"$work/bin/http_bench_server" "$port" "$work/www/small.html" "$work/www/large.bin" 2>/dev/null &
spid=$!
pids+=("$spid")
url="http://127.0.0.1:$port/small.html"
for _ in $(seq 50); do curl -sf -o /dev/null "$url" && break; sleep 0.1; done

rss() { awk '/^VmRSS:/ {print $2 " kB"}' "/proc/$spid/status"; }
fds() { ls "/proc/$spid/fd" | wc -l; }

# n curls one after the other; prints "worst_seconds failures".
curls() {
  local n=$1 pause=$2 worst=0 failed=0 out t code
  for _ in $(seq "$n"); do
    out=$(curl -s -o /dev/null -w '%{time_total} %{http_code}' --max-time 5 "$url" || true)
    read -r t code <<<"${out:-5 000}"
    [[ $code == 200 ]] || failed=$((failed + 1))
    worst=$(awk -v a="$worst" -v b="$t" 'BEGIN { print (b > a ? b : a) }')
    sleep "$pause"
  done
  echo "$worst $failed"
}

# One scenario: label, seconds, then the arguments of http_flood.py.
scenario() {
  local label=$1 span=$2
  shift 2
  echo
  echo "== $label"
  printf "%-8s %10s %8s %12s %6s\n" phase "worst curl" failed RSS fds
  read -r w f < <(curls 10 0.05)
  printf "%-8s %9ss %8s %12s %6s\n" before "$w" "$f" "$(rss)" "$(fds)"

  /usr/bin/python3 "$top/bench/http_flood.py" "$port" --seconds "$span" "$@" > "$work/flood.out" &
  fpid=$!
  pids+=("$fpid")
  for _ in $(seq 600); do grep -q '^ready' "$work/flood.out" && break; sleep 0.1; done
  echo "flood: $(head -1 "$work/flood.out") connections"

  worst=0 failed=0 peakrss=0 peakfds=0
  while kill -0 "$fpid" 2>/dev/null; do
    read -r w f < <(curls 5 0.2)
    worst=$(awk -v a="$worst" -v b="$w" 'BEGIN { print (b > a ? b : a) }')
    failed=$((failed + f))
    r=$(awk '/^VmRSS:/ {print $2}' "/proc/$spid/status")
    d=$(fds)
    (( r > peakrss )) && peakrss=$r
    (( d > peakfds )) && peakfds=$d
  done
  printf "%-8s %9ss %8s %12s %6s  (peaks)\n" during "$worst" "$failed" "$peakrss kB" "$peakfds"
  echo "flood: $(tail -1 "$work/flood.out")"

  # The server sees the clients go at once; give it a moment to close.
  for _ in $(seq 50); do (( $(fds) <= peakfds / 10 + 20 )) && break; sleep 0.1; done
  read -r w f < <(curls 10 0.05)
  printf "%-8s %9ss %8s %12s %6s\n" after "$w" "$f" "$(rss)" "$(fds)"
}

scenario "idle and slowloris ($idle idle, $slow slow)" "$secs" --idle "$idle" --slow "$slow"
ssecs=$(( secs > 60 ? secs : 60 ))
scenario "stalled bodies ($stalled from two peers)" "$ssecs" --idle 0 --slow 0 --stalled "$stalled"
rsecs=$(( secs > 120 ? secs : 120 ))
scenario "slow readers ($readers at 1 KB/s, 100 KB page)" "$rsecs" --idle 0 --slow 0 --readers "$readers" \
  --page /large.bin --page-size 102400 --rate 1024
