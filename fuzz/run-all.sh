#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a while, each from its corpus.
# Usage: fuzz/run-all.sh BUILD_DIR [SECONDS_EACH]
set -uo pipefail
build=$1 seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
status=0 ran=0 failed=0
for target in "$build"/bin/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=$(mktemp -d)
  [ -d "$here/corpus/$name" ] && cp -r "$here/corpus/$name/." "$work/"
  log="$build/$name.log"
  if "$target" "$work" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$build/$name-" >"$log" 2>&1; then
    echo "$name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, no failure"
  else
    echo "$name: FAILED (see $log)"; tail -40 "$log"; failed=$((failed + 1)); status=1
  fi
  ran=$((ran + 1))
  rm -rf "$work"
done
echo "fuzz: $((ran - failed)) passed, $failed failed"
exit $status
