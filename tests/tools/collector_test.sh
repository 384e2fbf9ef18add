#!/usr/bin/env bash
# The loopback collector records a curl POST with its body and answers a
# scripted 500 then 200.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
collector=$here/../fixtures/collector.py
command -v curl >/dev/null || { echo "curl missing"; exit 77; }

work=$(mktemp -d)
pid=
cleanup() { [ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

cat > "$work/script.json" <<'JSON'
{"/upload": {"status": [500, 200], "body": "stored"}}
JSON
/usr/bin/python3 "$collector" --dir "$work/rec" --port-file "$work/port" --script "$work/script.json" --timeout 30 \
  > "$work/stdout" &
pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
grep -qx "PORT $port" "$work/stdout"

head -c 3000 /dev/urandom > "$work/body"
first=$(curl -s -o /dev/null -w '%{http_code}' --data-binary @"$work/body" "http://127.0.0.1:$port/upload?id=7")
second=$(curl -s -o "$work/answer" -w '%{http_code}' -H 'X-Test: yes' --data-binary @"$work/body" \
  "http://127.0.0.1:$port/upload?id=7")
[ "$first" = 500 ] || { echo "first answer $first, wanted 500"; exit 1; }
[ "$second" = 200 ] || { echo "second answer $second, wanted 200"; exit 1; }
[ "$(cat "$work/answer")" = stored ] || { echo "scripted body missing"; exit 1; }

sum=$(md5sum < "$work/body" | cut -d' ' -f1)
/usr/bin/python3 - "$work/rec" "$sum" <<'PY'
import json, sys, os
folder, md5 = sys.argv[1], sys.argv[2]
recs = [json.loads(l) for l in open(os.path.join(folder, "requests.jsonl"))]
assert len(recs) == 2, recs
assert [r["status"] for r in recs] == [500, 200], recs
for r in recs:
    assert r["method"] == "POST" and r["path"] == "/upload" and r["query"] == "id=7", r
    assert r["length"] == 3000 and r["md5"] == md5, r
    assert r["headers"]["content-length"] == "3000", r
assert recs[1]["headers"]["x-test"] == "yes"
import hashlib
assert hashlib.md5(open(os.path.join(folder, "bodies", recs[0]["body"]), "rb").read()).hexdigest() == md5
PY

# It ends by itself after its time-out.
/usr/bin/python3 "$collector" --dir "$work/rec2" --timeout 0.5 > /dev/null &
short=$!
for _ in $(seq 100); do kill -0 "$short" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$short" 2>/dev/null; then kill "$short"; echo "collector outlived its time-out"; exit 1; fi
echo "collector ok"
