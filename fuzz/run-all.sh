#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from its seed corpus.
#   fuzz/run-all.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build directory}
seconds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for bin in "$build"/fuzz/fuzz_*; do
  [[ -x "$bin" ]] || continue
  name=$(basename "$bin")
  work=$(mktemp -d)
  if [[ -d "$here/corpus/$name" ]]; then
    cp -r "$here/corpus/$name/." "$work/"
  fi
  echo "--- $name (${seconds} s)"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      "$work" 2>"$build/$name.log"; then
    tail -50 "$build/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|cov:' "$build/$name.log" | tail -2 || true
  fi
  rm -rf "$work"
done
exit $status
