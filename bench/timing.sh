# Helpers for the scripts that time whole processes; source it.

# Wall time of one run in milliseconds; a failed run stops the script.
run_ms() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

# The median of the numbers on standard input, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Runs the shell functions OURS and PEER in turn, RUNS times each, and prints the median
# wall time of each under its NAME and the ratio (time of PEER / time of OURS; above 1 is
# faster for us).
#   compare RUNS OURS_NAME OURS PEER_NAME PEER
compare() {
  local runs=$1 ours_name=$2 ours_fn=$3 peer_name=$4 peer_fn=$5
  local ours=() theirs=() o t
  for _ in $(seq "$runs"); do
    ours+=("$(run_ms "$ours_fn")")
    theirs+=("$(run_ms "$peer_fn")")
  done
  o=$(printf '%s\n' "${ours[@]}" | median)
  t=$(printf '%s\n' "${theirs[@]}" | median)
  printf '%-16s %6d ms  (runs: %s)\n' "$ours_name" "$o" "${ours[*]}"
  printf '%-16s %6d ms  (runs: %s)\n' "$peer_name" "$t" "${theirs[*]}"
  awk -v o="$o" -v t="$t" -v a="$ours_name" -v b="$peer_name" \
    'BEGIN { printf "%-16s %6.2fx (time of %s / time of %s)\n", "ratio", (o > 0 ? t / o : 0), b, a }'
}
