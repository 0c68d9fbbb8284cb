#!/usr/bin/env bash
# Whole-process time of `fetch` against the `curl` tool, each fetching COUNT keep-alive GETs
# of a 1 KiB file from one local nginx in one process (URLs given on the command line, one
# after the other). Prints the median of RUNS runs of each, taken in turn, and the ratio.
#
#   bench/http/fetch_vs_curl.sh [BUILD_DIR] [RUNS] [COUNT]
set -euo pipefail
build=${1:-build/default}
runs=${2:-5}
count=${3:-2000}
here=$(cd "$(dirname "$0")" && pwd)
tool="$build/tools/fetch/fetch"
[ -x "$tool" ] || { echo "fetch_vs_curl: no $tool; build the fetch target" >&2; exit 1; }
for b in nginx curl; do
  command -v "$b" >/dev/null || [ -x "/usr/sbin/$b" ] ||
    { echo "fetch_vs_curl: $b is not installed" >&2; exit 1; }
done
nginx=$(command -v nginx || echo /usr/sbin/nginx)

tmp=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/root" "$tmp/logs" "$tmp/tmp"
chmod 755 "$tmp" "$tmp/root"
head -c 1024 /dev/urandom >"$tmp/root/1k.bin"
chmod 644 "$tmp/root/1k.bin"

# An ephemeral port: the kernel picks it, nginx takes it a moment later.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$tmp/nginx.conf" <<EOF
worker_processes 1;
pid $tmp/nginx.pid;
error_log $tmp/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $tmp/tmp/body;
  proxy_temp_path $tmp/tmp/proxy;
  fastcgi_temp_path $tmp/tmp/fastcgi;
  uwsgi_temp_path $tmp/tmp/uwsgi;
  scgi_temp_path $tmp/tmp/scgi;
  keepalive_requests 100000;
  keepalive_timeout 60;
  server { listen 127.0.0.1:$port; root $tmp/root; }
}
EOF
"$nginx" -p "$tmp" -c "$tmp/nginx.conf" -e "$tmp/logs/error.log" -g 'daemon off;' &
pid=$!
for _ in $(seq 50); do
  curl -sf -o /dev/null "http://127.0.0.1:$port/1k.bin" && break
  sleep 0.1
done

url="http://127.0.0.1:$port/1k.bin"
urls=()
for _ in $(seq "$count"); do urls+=("$url"); done
curl_args=()
for _ in $(seq "$count"); do curl_args+=(-o /dev/null "$url"); done

# shellcheck source=../timing.sh
. "$here/../timing.sh"

run_ours() { "$tool" -s "${urls[@]}"; }
run_peer() { curl -sf "${curl_args[@]}"; }
printf 'requests: %d keep-alive GETs of 1 KiB\n' "$count"
compare "$runs" fetch run_ours curl run_peer
