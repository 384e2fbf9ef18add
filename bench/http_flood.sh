#!/usr/bin/env bash
# HTTP server under idle and slow clients: the unit's server (the benchmark
# server, production limits) on loopback, 1000 idle and 200 slowloris
# connections (one header byte every 5 s) held open for a while by
# bench/http_flood.py, and a curl loop on a page throughout. Prints the
# worst curl latency, failed curls, and the server's RSS and descriptor
# count before, during and after the flood. Stops by itself.
# Usage: bench/http_flood.sh [build dir] [flood seconds] [idle] [slow]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
secs=${2:-30}
idle=${3:-1000}
slow=${4:-200}
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
cp "$server" "$work/bin/"  # it logs to ../tmp beside its binary
"$work/bin/http_bench_server" "$port" "$work/www/small.html" 2>/dev/null &
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

printf "%-8s %10s %8s %12s %6s\n" phase "worst curl" failed RSS fds
read -r w f < <(curls 10 0.05)
printf "%-8s %9ss %8s %12s %6s\n" before "$w" "$f" "$(rss)" "$(fds)"

/usr/bin/python3 "$top/bench/http_flood.py" "$port" --idle "$idle" --slow "$slow" --seconds "$secs" > "$work/flood.out" &
fpid=$!
pids+=("$fpid")
for _ in $(seq 600); do grep -q '^ready' "$work/flood.out" && break; sleep 0.1; done
echo "flood: $(head -1 "$work/flood.out") connections ($idle idle, $slow slowloris)"

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
