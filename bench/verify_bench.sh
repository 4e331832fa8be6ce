#!/usr/bin/env bash
# ondrel verify and ondrel make --manifest against md5sum on the same files,
# all of them in the page cache, on three trees:
#   small  10,000 files of 4 KiB
#   large  16 files of 64 MiB
#   mixed  2,000 files whose sizes are log-uniform from 1 byte to 4 MiB
#          (sizes from a fixed generator start value, so every run has the
#          same tree; the bytes are random)
# and these pairs, each run in turns (A B A B ...) RUNS times after one run
# of each that is not counted:
#   verify -j 1        ondrel verify -q -j 1 LIST      md5sum -c --quiet SUMS
#   verify all cores   ondrel verify -q LIST           md5sum -c --quiet SUMS
#   make -j 1          ondrel make --manifest TREE --rules md5 -j 1 > LIST
#                                                      md5sum TREE/* > SUMS
#   verify -j 1, avx2  as verify -j 1, the AVX2 lanes forced (ONDREL_MD5_LANES=avx2)
# Each run is timed by the shell (wall, user and system seconds). A row gives
# the median of each command's times and the median, minimum and maximum of
# the ratios md5sum / ondrel pair by pair: of processor time (user + system)
# for the one-thread rows, of wall time for all cores. Both commands check
# the same digests: every file holds before anything is timed.
# Usage: bench/verify_bench.sh [build dir] [runs]     (default build/bench, 7)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build/bench}
runs=${2:-7}
if [ ! -x "$build/bin/ondrel" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j 2 --target ondrel_tool >/dev/null
ondrel=$(readlink -f "$build/bin/ondrel")
data=$(mktemp -d "${TMPDIR:-/tmp}/ondrel-verify.XXXXXX")
trap 'rm -rf "$data"' EXIT
cd "$data"

flags=$(grep -m1 '^flags' /proc/cpuinfo)
vector=$(for f in avx512f avx2 sse2; do case " $flags " in *" $f "*) printf '%s ' "$f" ;; esac; done)
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), ${vector}"
echo "building the trees in $data"
mkdir small large mixed
head -c $((10000 * 4096)) /dev/urandom | (cd small && split -a 4 -d -b 4096 - f)
for i in $(seq -w 1 16); do head -c $((64 * 1024 * 1024)) /dev/urandom >"large/f$i"; done
# Log-uniform sizes from a MINSTD generator (exact in awk's doubles).
awk 'BEGIN { x = 22; top = log(4 * 1024 * 1024)
             for (i = 0; i < 2000; i++) { x = (x * 48271) % 2147483647
                                          printf "%04d %d\n", i, int(exp(x / 2147483647 * top)) } }' |
  while read -r i size; do head -c "$size" /dev/urandom >"mixed/f$i"; done

# time_run FILE COMMAND...: appends "wall user sys" (seconds) of one run to
# FILE, as bash's time keyword gives them: from the command's start to its
# end, and its own processor time, to the millisecond. Nothing but the
# command runs in between (no subshell, no other program), so a command of a
# few tens of milliseconds is timed without the harness's own start-ups.
time_run() {
  local out=$1
  shift
  local TIMEFORMAT='%3R %3U %3S'
  { time "$@" >/dev/null 2>"$data/err"; } 2>>"$out" || { cat "$data/err" >&2; exit 1; }
}
median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# pair LABEL TREE MEASURE A-COMMAND -- B-COMMAND: one row; MEASURE is cpu or wall.
pair() {
  local label=$1 tree=$2 measure=$3
  shift 3
  local a=() b=()
  while [ "$1" != "--" ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  rm -f "$data/a" "$data/b"
  "${a[@]}" >/dev/null 2>&1; "${b[@]}" >/dev/null 2>&1  # not counted
  for _ in $(seq "$runs"); do
    time_run "$data/a" "${a[@]}"
    time_run "$data/b" "${b[@]}"
  done
  local col='$1'
  [ "$measure" = cpu ] && col='$2 + $3'
  paste -d ' ' "$data/a" "$data/b" | awk -v m="$measure" '{
      a = (m == "cpu") ? $2 + $3 : $1; b = (m == "cpu") ? $5 + $6 : $4; print b / a }' >"$data/r"
  local ma mb mr lo hi
  ma=$(awk "{ print $col }" "$data/a" | median)
  mb=$(awk "{ print $col }" "$data/b" | median)
  mr=$(median <"$data/r")
  lo=$(sort -g "$data/r" | head -1)
  hi=$(sort -g "$data/r" | tail -1)
  printf '| %-22s | %-6s | %-4s | %7.3f | %7.3f | %5.2fx (%.2f-%.2f) |\n' "$label" "$tree" "$measure" "$ma" "$mb" "$mr" "$lo" "$hi"
}

for tree in small large mixed; do
  "$ondrel" make --manifest "$tree" --rules md5 >"$tree.list"
  md5sum "$tree"/* >"$tree.md5"
  cat "$tree"/* >/dev/null  # into the page cache
  "$ondrel" verify -q "$tree.list"  # both must agree that every file holds
  md5sum -c --quiet "$tree.md5"
done

echo
echo "| pair (ondrel against md5sum) | tree | time | ondrel s | md5sum s | md5sum / ondrel, median (min-max) |"
echo "|---|---|---|---|---|---|"
for tree in small large mixed; do
  pair "verify -j 1" "$tree" cpu "$ondrel" verify -q -j 1 "$tree.list" -- md5sum -c --quiet "$tree.md5"
done
for tree in small large mixed; do
  pair "verify, all cores" "$tree" wall "$ondrel" verify -q "$tree.list" -- md5sum -c --quiet "$tree.md5"
done
for tree in small large mixed; do
  pair "make --rules md5 -j 1" "$tree" cpu sh -c "exec '$ondrel' make --manifest $tree --rules md5 -j 1 >made.list" \
    -- sh -c "exec md5sum $tree/* >made.md5"
done
if grep -q -w avx2 /proc/cpuinfo; then
  pair "verify -j 1, AVX2 lanes" mixed cpu env ONDREL_MD5_LANES=avx2 "$ondrel" verify -q -j 1 mixed.list \
    -- md5sum -c --quiet mixed.md5
fi
echo
echo "runs per row: $runs; cpu: user + system seconds of the process; wall: elapsed seconds"
