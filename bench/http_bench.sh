#!/usr/bin/env bash
# HTTP benchmark: wrk against the unit's server and, in the same run, against
# nginx serving the same bytes on loopback, keep-alive off on both sides
# (the unit answers one request per connection). Prints requests/s of both
# and the ratio for a small page and a 100 KB page at 10 and 50
# connections. Usage: bench/http_bench.sh [build dir] [seconds per run]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
secs=${2:-10}
server=$build/bin/http_bench_server
[[ -x $server ]] || { echo "build $server first (ninja -C build http_bench_server)"; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing (apt-get install wrk)"; exit 1; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[[ -x $nginx ]] || { echo "nginx is missing (apt-get install nginx-light)"; exit 1; }

bench_name=http_bench
source "$top/bench/bench_lib.sh"

# The same bytes for both servers.
mkdir -p "$work/www"
/usr/bin/python3 - "$work/www" <<'PY'
import sys
d = sys.argv[1]
small = "<html><head><title>Kovira</title></head><body><h1>status</h1><p>ok</p></body></html>\n"
open(d + "/small.html", "w").write(small)
line = "<tr><td>camera 1</td><td>frame 123456</td><td>ok</td></tr>\n"
big = (line * (102400 // len(line) + 1))[:102400]
open(d + "/large.html", "w").write(big)
PY

kport=$(freeport)
nport=$(freeport)
mkdir -p "$work/bin" "$work/tmp"
# The server logs to ../tmp beside its binary: keep that out of the tree.
cp "$server" "$work/bin/"
"$work/bin/http_bench_server" --peer-connections 1024 "$kport" "$work/www/small.html" "$work/www/large.html" 2>/dev/null &
pids+=($!)

cat > "$work/nginx.conf" <<NGX
worker_processes auto;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
daemon off;
user root;
events { worker_connections 1024; }
http {
  access_log $work/nginx-access.log;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx-body;
  proxy_temp_path $work/nginx-proxy;
  fastcgi_temp_path $work/nginx-fastcgi;
  uwsgi_temp_path $work/nginx-uwsgi;
  scgi_temp_path $work/nginx-scgi;
  types { text/html html; }
  server {
    listen 127.0.0.1:$nport;
    root $work/www;
  }
}
NGX
"$nginx" -c "$work/nginx.conf" -p "$work" 2>/dev/null &
pids+=($!)

for port in "$kport" "$nport"; do
  for _ in $(seq 50); do
    curl -sf -o /dev/null "http://127.0.0.1:$port/small.html" && break
    sleep 0.1
  done
done

# wrk: requests/s and the count of failed requests (socket errors plus
# non-2xx answers).
measure() {
  local url=$1 conns=$2 out rps errs
  out=$(wrk -t 4 -c "$conns" -d "${secs}s" -H "Connection: close" "$url")
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  errs=$(awk '/Socket errors:/ {gsub(",", ""); s += $4 + $6 + $8 + $10} /Non-2xx/ {s += $NF} END {print s + 0}' <<<"$out")
  echo "$rps $errs"
}

printf "%-12s %6s %14s %8s %14s %8s %7s\n" page conns "kovira req/s" failed "nginx req/s" failed ratio
for page in small.html large.html; do
  for conns in 10 50; do
    read -r k kerr < <(measure "http://127.0.0.1:$kport/$page" "$conns")
    read -r n nerr < <(measure "http://127.0.0.1:$nport/$page" "$conns")
    ratio=$(awk -v a="$k" -v b="$n" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf "%-12s %6s %14s %8s %14s %8s %7s\n" "$page" "$conns" "$k" "$kerr" "$n" "$nerr" "$ratio"
  done
done
