#!/usr/bin/env bash
# Builds the JSON reader fuzzer with the fuzz preset and runs it briefly from the seed corpus.
# Usage: bash fuzz/json/smoke.sh [seconds]   (default 45). Exits 0 when clang is missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-45}"
if ! command -v clang++ >/dev/null 2>&1; then
  echo "json fuzz smoke: clang++ not found, skipped"
  exit 0
fi
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j2 --target est_json_fuzzer
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp fuzz/json/corpus/* "$work"/
./build/fuzz/fuzz/json/est_json_fuzzer -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 "$work"
