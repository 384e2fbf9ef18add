# Shared pieces of the benchmark scripts (source it): a scratch folder in
# $work removed at exit with every process listed in $pids, and freeport.
work=$(mktemp -d "/tmp/${bench_name:-bench}.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A loopback TCP port that was free a moment ago.
freeport() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
