#!/usr/bin/env bash
# qrnsecd under wrk: the combined security-data request with 2 connections
# for 30 s (a client with an older timestamp, so every answer carries the
# three documents), beside the same wrk against lighttpd serving a static
# file of the same size on the same machine. Prints both request rates, the
# errors, and the ratio qrnsecd / lighttpd. Loopback only; ends by itself.
#   bench/wrk_compare.sh [BUILD_DIR] [SECONDS]     (build/gcc, 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/gcc}
seconds=${2:-30}
work=$(mktemp -d)
# On two or more cores the servers run on one core and wrk on another, so the
# two do not fight over one core and the ratio is steadier.
server_cpu="" client_cpu=""
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
  server_cpu="taskset -c 1" client_cpu="taskset -c 0"
fi
secd_pid="" light_pid=""
cleanup() {
  [ -n "$secd_pid" ] && kill "$secd_pid" 2>/dev/null || true
  [ -n "$light_pid" ] && kill "$light_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

$server_cpu "$build/qrnsecd" --data data/sample.json --listen 127.0.0.1:0 >"$work/secd.out" 2>"$work/secd.err" &
secd_pid=$!
for _ in $(seq 100); do [ -s "$work/secd.out" ] && break; sleep 0.05; done
url=$(head -n 1 "$work/secd.out")
[ -n "$url" ] || { echo "qrnsecd did not start: $(cat "$work/secd.err")" >&2; exit 2; }
request="$url?Object=MvtSecData&Operation=Get&ClientTimestamp=old"

# The static file: the very answer qrnsecd gives, so both serve the same bytes.
mkdir -p "$work/www"
curl -s -o "$work/www/answer.xml" "$request"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$work/www"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/lighttpd.err"
server.pid-file = "$work/lighttpd.pid"
CONF
$server_cpu lighttpd -D -f "$work/lighttpd.conf" &
light_pid=$!
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$port/answer.xml" && break; sleep 0.05; done

run() {  # run NAME URL
  local out
  out=$($client_cpu wrk -t 1 -c 2 -d "${seconds}s" "$2")
  local rate errors
  rate=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  errors=$(awk '/Non-2xx|Socket errors/ {print}' <<<"$out")
  printf '%-9s %10s requests/s  %s\n' "$1" "$rate" "${errors:-0 errors}" >&2
  echo "$rate"
}
echo "answer size: $(stat -c %s "$work/www/answer.xml") bytes; $seconds s, 2 connections each" >&2
secd_rate=$(run qrnsecd "$request")
light_rate=$(run lighttpd "http://127.0.0.1:$port/answer.xml")
python3 -c "print('qrnsecd / lighttpd: %.2f' % ($secd_rate / $light_rate))" >&2
