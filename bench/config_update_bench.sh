#!/usr/bin/env bash
# Configuration update benchmark: the unit on loopback with 20 zones and 40
# actions; 8 clients post action sections to "/config/update" for SECONDS
# (updates answered per second), then 20 single updates are timed from the
# 200 to the configuration file holding the new value. In the same run
# python3 writes the same configuration once per update (json.dump +
# os.replace) for the anchor. Prints both rates, the ratio and the latencies.
# Usage: bench/config_update_bench.sh [build dir] [seconds]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
secs=${2:-10}
[[ -x $build/bin/kovira ]] || { echo "build $build/bin/kovira first"; exit 1; }
source "$top/tests/fixtures/unit_session.sh"
work=$(mktemp -d "$build/config_update_bench.XXXXXX")
trap '[ -z "${unit_job-}" ] || unit_stop 5 || true; rm -rf "$work"' EXIT
port=$(free_port)
cfg=$work/cfg.json

/usr/bin/python3 - "$cfg" "$port" <<'PY'
import json, sys
cfg, port = sys.argv[1], int(sys.argv[2])
sections = [{"type": "zone", "zoneid": z, "camid": 1, "scale": 6,
             "coords": f"{z},0,{z + 100},0,{z + 100},50,{z},50"} for z in range(1, 21)]
sections += [{"type": "action", "actid": a, "method": "speed", "zoneA": a % 20 + 1, "speed": 60,
              "threshold": 70, "label": f"action {a}"} for a in range(1, 41)]
sections.append({"type": "global", "webserver": port})
with open(cfg, "w") as f:
    json.dump(sections, f, indent=4)
PY
unit_start "$work" "$build/bin/kovira" "$cfg"
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/config/" && break; sleep 0.1; done

/usr/bin/python3 - "$cfg" "$port" "$secs" "$work" <<'PY'
import http.client, json, os, sys, threading, time
cfg, port, secs, work = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
CLIENTS = 8

def post(body):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request("POST", "/config/update", body, {"Content-Type": "application/json"})
    status = conn.getresponse().status
    conn.close()
    return status

# 1. Throughput: 8 clients, each posting its own actions' sections.
counts = [0] * CLIENTS
failures = [0] * CLIENTS
stop = time.monotonic() + secs
def client(c):
    i = 0
    while time.monotonic() < stop:
        actid = c * 5 + i % 5 + 1
        body = json.dumps({"type": "action", "actid": actid, "threshold": 70 + i % 30})
        if post(body) == 200:
            counts[c] += 1
        else:
            failures[c] += 1
        i += 1
threads = [threading.Thread(target=client, args=(c,)) for c in range(CLIENTS)]
start = time.monotonic()
for t in threads: t.start()
for t in threads: t.join()
elapsed = time.monotonic() - start
rate = sum(counts) / elapsed

# 2. Latency: from the 200 to the file holding the value.
latencies = []
for i in range(20):
    mark = f"bench-{os.getpid()}-{i}"
    assert post(json.dumps({"type": "action", "actid": 1 + i, "label": mark})) == 200
    t0 = time.monotonic()
    while True:
        with open(cfg, "rb") as f:
            if mark.encode() in f.read():
                break
        if time.monotonic() - t0 > 10:
            break
        time.sleep(0.005)
    latencies.append(time.monotonic() - t0)

# 3. Anchor: python3 writing the same configuration once per update.
with open(cfg) as f:
    sections = json.load(f)
n = 0
anchor_stop = time.monotonic() + min(secs, 3.0)
anchor_start = time.monotonic()
target = os.path.join(work, "anchor.json")
while time.monotonic() < anchor_stop:
    sections[0]["scale"] = 4 + n % 5
    with open(target + ".tmp", "w") as f:
        json.dump(sections, f, indent=4)
    os.replace(target + ".tmp", target)
    n += 1
anchor = n / (time.monotonic() - anchor_start)

latencies.sort()
print(f"unit: {rate:.0f} updates/s answered ({sum(counts)} in {elapsed:.1f} s, {sum(failures)} failed, "
      f"{CLIENTS} clients)")
print(f"python3 json.dump + os.replace: {anchor:.0f} writes/s")
print(f"ratio unit/python: {rate / anchor:.2f}")
print(f"update to file: median {latencies[len(latencies) // 2] * 1000:.0f} ms, "
      f"max {latencies[-1] * 1000:.0f} ms (aim: every one within 1500 ms)")
print("aim met" if rate >= 200 and latencies[-1] <= 1.5 else "aim NOT met")
PY
