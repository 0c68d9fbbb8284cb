#!/usr/bin/env bash
# Whole-process time of `json --check` against a minimal RapidJSON program (read the file,
# parse, exit) on a document of about 69 MB: an array holding copies of the three reference
# documents, made at run time in a temporary folder. Prints the median of RUNS runs of each,
# taken in turn, and the ratio.
#
#   bench/json/tool_vs_rapidjson.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build/default}
runs=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
data="$here/../data/json"
tool="$build/tools/json/json"
peer="$build/bench/json/est_rapidjson_read"
for b in "$tool" "$peer"; do
  [ -x "$b" ] || { echo "tool_vs_rapidjson: no $b; build the json and est_rapidjson_read targets" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
doc="$tmp/big.json"
{
  printf '['
  for i in $(seq 15); do
    [ "$i" -gt 1 ] && printf ','
    cat "$data/twitter.json"; printf ','; cat "$data/canada.json"; printf ','; cat "$data/citm_catalog.json"
  done
  printf ']\n'
} >"$doc"
size=$(stat -c %s "$doc")

# shellcheck source=../timing.sh
. "$here/../timing.sh"

cat "$doc" >/dev/null  # both read from the page cache
run_ours() { "$tool" --check "$doc"; }
run_peer() { "$peer" "$doc"; }
printf 'document: %d bytes\n' "$size"
compare "$runs" "json --check" run_ours rapidjson_read run_peer
