#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from its seed corpus, prints each
# target's executions per second and fails when a target crashes or runs
# slower than QK_FUZZ_MIN_RATE (default 200) inputs a second: a target that
# slow spends its time in a few seeds and finds little.
#   fuzz/run-all.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build directory}
seconds=${2:-20}
min_rate=${QK_FUZZ_MIN_RATE:-200}
here=$(cd "$(dirname "$0")" && pwd)
status=0
declare -a rates
for bin in "$build"/fuzz/fuzz_*; do
  [[ -x "$bin" ]] || continue
  name=$(basename "$bin")
  work=$(mktemp -d)
  if [[ -d "$here/corpus/$name" ]]; then
    cp -r "$here/corpus/$name/." "$work/"
  fi
  echo "--- $name (${seconds} s)"
  log="$build/$name.log"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      "$work" 2>"$log"; then
    tail -50 "$log"
    rates+=("$name: crashed")
    status=1
  else
    grep -E 'cov:' "$log" | tail -1 || true
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -1)
    rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+).*/\1/p' "$log" | tail -1)
    verdict=ok
    if [[ -z "$rate" ]] || ((rate < min_rate)); then
      verdict="TOO SLOW (under $min_rate/s)"
      status=1
    fi
    rates+=("$name: ${rate:-?} exec/s, ${runs:-?} inputs, $verdict")
  fi
  rm -rf "$work"
done
echo "--- executions per second"
printf '%s\n' "${rates[@]}"
exit $status
