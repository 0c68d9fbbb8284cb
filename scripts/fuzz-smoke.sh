#!/usr/bin/env bash
# Builds every libFuzzer target with the clang `fuzz` preset and runs each briefly from its
# seed corpus. Usage: bash scripts/fuzz-smoke.sh [seconds-per-target] (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers
status=0
while IFS='|' read -r binary corpus; do
  [ -n "$binary" ] || continue
  work="$(mktemp -d)"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzz smoke: $(basename "$binary") for ${seconds}s"
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$work" >"$work.log" 2>&1; then
    tail -n 40 "$work.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$work.log" || true
  fi
  rm -rf "$work" "$work.log"
done < build/fuzz/fuzzers.txt
exit $status
