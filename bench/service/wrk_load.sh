#!/usr/bin/env bash
# Throughput of the parking service under wrk, with nginx answering the same JSON from memory
# as the peer, both with one worker and 200 connections; prints requests/s, the ratio and the
# service's peak resident memory.
#
#   bench/service/wrk_load.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=${1:-build/default}
seconds=${2:-5}
service="$build/tools/parking-service/parking-service"
[ -x "$service" ] || { echo "wrk_load: no $service; build the parking-service target" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk_load: wrk is not installed (scripts/bootstrap.sh)" >&2; exit 1; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)

tmp=$(mktemp -d)
service_pid=""
nginx_pid=""
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

"$service" --listen 127.0.0.1:0 --quiet --any-hour >"$tmp/service.out" 2>"$tmp/service.err" &
service_pid=$!
for _ in $(seq 100); do grep -q listening "$tmp/service.out" && break; sleep 0.05; done
base=$(sed -n 's/^listening on //p' "$tmp/service.out")
[ -n "$base" ] || { echo "wrk_load: the service did not start" >&2; exit 1; }
url="$base/qorvix/json/getPriceOf30?phone=099123456"
body=$(curl -s "$url" || true)
[ -n "$body" ] || body='{"status":0,"price":25}'

port=$(free_port)
mkdir -p "$tmp/logs"
cat >"$tmp/nginx.conf" <<CONF
worker_processes 1;
pid $tmp/nginx.pid;
error_log $tmp/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $tmp/body;
  proxy_temp_path $tmp/proxy;
  fastcgi_temp_path $tmp/fastcgi;
  uwsgi_temp_path $tmp/uwsgi;
  scgi_temp_path $tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    location / { default_type application/json; return 200 '$body'; }
  }
}
CONF
"$nginx" -p "$tmp" -c "$tmp/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.05; done

run() {  # url -> "requests/s errors"
  local out
  out=$(wrk -t2 -c200 -d"${seconds}s" --latency "$1")
  echo "$out" >&2
  local rps errors
  rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
  errors=$(echo "$out" | awk '/Socket errors|Non-2xx/ {print}' | tr '\n' ' ')
  echo "$rps|$errors"
}

echo "== parking-service ($url)" >&2
svc=$(run "$url")
echo "== nginx, same body from memory" >&2
peer=$(run "http://127.0.0.1:$port/qorvix/json/getPriceOf30?phone=099123456")
peak=$(awk '/VmHWM/ {print $2}' "/proc/$service_pid/status")

svc_rps=${svc%%|*}
peer_rps=${peer%%|*}
echo "parking-service: ${svc_rps} requests/s ${svc#*|}"
echo "nginx (peer):    ${peer_rps} requests/s ${peer#*|}"
awk -v a="$svc_rps" -v b="$peer_rps" 'BEGIN { printf "ratio service/nginx: %.2f\n", a / b }'
awk -v k="$peak" 'BEGIN { printf "service peak resident memory: %.1f MiB\n", k / 1024 }'
