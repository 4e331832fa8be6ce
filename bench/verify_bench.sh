#!/usr/bin/env bash
# ondrel verify against md5sum -c on the same files with MD5 rules only, in
# the page cache: 10,000 files of 4 KiB, and 16 files of 64 MiB. Runs the
# two commands in turns (A B A B ...), RUNS times each, and prints the median
# wall time of each and the median of the pairwise ratios md5sum / ondrel.
# Usage: bench/verify_bench.sh [build dir] [runs]     (default build/bench, 7)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build/bench}
runs=${2:-7}
if [ ! -x "$build/bin/ondrel" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_TESTS=OFF >/dev/null
  cmake --build "$build" -j 2 --target ondrel_tool >/dev/null
fi
ondrel=$(readlink -f "$build/bin/ondrel")
data=$(mktemp -d "${TMPDIR:-/tmp}/ondrel-verify.XXXXXX")
trap 'rm -rf "$data"' EXIT
cd "$data"

echo "building the trees in $data"
mkdir small large
head -c $((10000 * 4096)) /dev/urandom | split -a 4 -d -b 4096 - small/f
for i in $(seq -w 1 16); do head -c $((64 * 1024 * 1024)) /dev/urandom > "large/f$i"; done

now() { date +%s%N; }
median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

for tree in small large; do
  "$ondrel" make --manifest "$tree" --rules md5 > "$tree.list"
  find "$tree" -type f | sort | xargs md5sum > "$tree.md5"
  find "$tree" -type f -exec cat {} + > /dev/null    # into the page cache
  "$ondrel" verify --quiet "$tree.list"                # both must agree that all hold
  md5sum -c --quiet "$tree.md5"
  a_times=() b_times=() ratios=()
  for _ in $(seq "$runs"); do
    t0=$(now); "$ondrel" verify --quiet "$tree.list"; t1=$(now)
    md5sum -c --quiet "$tree.md5" >/dev/null; t2=$(now)
    a=$((t1 - t0)) b=$((t2 - t1))
    a_times+=("$a") b_times+=("$b")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.3f", b / a}')")
  done
  ma=$(printf '%s\n' "${a_times[@]}" | median) mb=$(printf '%s\n' "${b_times[@]}" | median)
  mr=$(printf '%s\n' "${ratios[@]}" | median)
  files=$(find "$tree" -type f | wc -l)
  printf '%s (%s files): ondrel verify %.3f s, md5sum -c %.3f s, md5sum/ondrel %.2fx (median of %s)\n' \
    "$tree" "$files" "$(awk -v t="$ma" 'BEGIN {print t / 1e9}')" "$(awk -v t="$mb" 'BEGIN {print t / 1e9}')" "$mr" "$runs"
done
