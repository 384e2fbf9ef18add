#!/usr/bin/env bash
# Evidence from storing to the collection server named by /etc/kovira.conf:
# the collector runs on loopback, the store test runs in a private mount
# namespace whose /etc/kovira.conf names it.
#   upload_e2e.sh SOURCE_DIR STORE_TEST_BINARY
set -euo pipefail
src=$1
binary=$2
work=$(mktemp -d /var/tmp/kovira-upload-e2e.XXXXXX)
pid=
cleanup() { [ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

/usr/bin/python3 "$src/tests/fixtures/collector.py" --dir "$work/rec" --port-file "$work/port" --timeout 100 \
  > /dev/null &
pid=$!
for _ in $(seq 200); do [ -s "$work/port" ] && break; sleep 0.02; done
[ -s "$work/port" ] || { echo "collector did not start"; exit 1; }
echo "{\"token\": \"e2e\", \"upload\": \"http://127.0.0.1:$(cat "$work/port")\"}" > "$work/kovira.conf"

bash "$src/tests/fixtures/nsrun.sh" --tmp-size 2g --kovira-conf "$work/kovira.conf" -- \
  env KOVIRA_IN_NS=1 KOVIRA_COLLECTOR_DIR="$work/rec" "$binary" --gtest_filter='StoreUpload.*'
