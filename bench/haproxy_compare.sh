#!/usr/bin/env bash
# Combined security-data requests through HAProxy (the example site
# configuration, examples/site/haproxy.cfg) in front of one and then two
# qrnsecd instances, under wrk with 4 connections for SECONDS each; also one
# instance without HAProxy for reference. Prints the request rates, the
# errors, and the ratio two / one. Loopback only; ends by itself.
#   bench/haproxy_compare.sh [BUILD_DIR] [SECONDS] [DATA]    (build/gcc, 20, data/sample.json)
# The ratio is bounded by the cores: the instances, HAProxy and wrk share
# them, so a second instance adds throughput only where a core was idle.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/gcc}
seconds=${2:-20}
data=${3:-data/sample.json}
work=$(mktemp -d)
pids=()
proxy_pid=""
cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ports=()
for i in 1 2; do
  "$build/qrnsecd" --data "$data" --listen 127.0.0.1:0 >"$work/secd$i.out" 2>"$work/secd$i.err" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/secd$i.out" ] && break; sleep 0.05; done
  url=$(head -n 1 "$work/secd$i.out")
  [ -n "$url" ] || { echo "qrnsecd did not start: $(cat "$work/secd$i.err")" >&2; exit 2; }
  port=${url#http://127.0.0.1:}
  ports+=("${port%%/*}")
done
query="/mvt/security.aspx?Object=MvtSecData&Operation=Get&ClientTimestamp=old"

start_proxy() {  # start_proxy PORT...: the example configuration with these backends; sets front
  front=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  grep -v '^ *server ' examples/site/haproxy.cfg |
    sed -e "s/^\( *\)bind .*/\1bind 127.0.0.1:$front/" -e 's/^\( *\)log stdout.*/\1log stdout format raw local0 emerg/' \
    >"$work/haproxy.cfg"
  local n=1
  for p in "$@"; do echo "    server secd$n 127.0.0.1:$p check" >>"$work/haproxy.cfg"; n=$((n + 1)); done
  haproxy -f "$work/haproxy.cfg" -db >"$work/haproxy.log" 2>&1 &
  proxy_pid=$!
  for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$front/health" && break; sleep 0.05; done
  sleep 0.5  # the first checks mark every backend up
}
stop_proxy() { kill "$proxy_pid"; wait "$proxy_pid" 2>/dev/null || true; proxy_pid=""; }

run() {  # run NAME URL
  local out rate errors
  out=$(wrk -t 1 -c 4 -d "${seconds}s" "$2")
  rate=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  errors=$(awk '/Non-2xx|Socket errors/ {print}' <<<"$out")
  printf '%-22s %10s requests/s  %s\n' "$1" "$rate" "${errors:-0 errors}" >&2
  echo "$rate"
}
echo "answer size: $(curl -s "http://127.0.0.1:${ports[0]}$query" | wc -c) bytes; $seconds s, 4 connections; $(nproc) cores" >&2
direct=$(run "one instance, direct" "http://127.0.0.1:${ports[0]}$query")
start_proxy "${ports[0]}"
one=$(run "HAProxy + one" "http://127.0.0.1:$front$query")
stop_proxy
start_proxy "${ports[0]}" "${ports[1]}"
two=$(run "HAProxy + two" "http://127.0.0.1:$front$query")
stop_proxy
python3 -c "print('two / one: %.2f   HAProxy + one / direct: %.2f' % ($two / $one, $one / $direct))" >&2
