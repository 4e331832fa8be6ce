#!/usr/bin/env bash
# Builds the benchmarks (native, Release) and runs them once, about a minute:
#  1. MD5 and CRC-32 over one 256 MiB buffer against OpenSSL's MD5 and zlib's crc32;
#  2. AdvancedCheck with one MD5 rule and one CRC32 rule on a 1 GiB file in the
#     page cache, against `openssl dgst -md5` and a zlib crc32 loop;
#  3. "SECMD5" on a 200 MiB image against the "MD5" rule over the same bytes;
#  4. the "MD5" rule on a tiny file against a digest cache of 1,000 and of
#     100,000 other names, and the memory one cached name takes;
#  5. the largest resident set of ondrel-check digesting a 3 GiB range
#     (SIZEMD5 over a sparse file), measured with /usr/bin/time -v.
# Usage: bench/run.sh [build dir]      (default build/bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
build=${1:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_BENCH=ON -DONDREL_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target checksum_bench check_bench sections_bench cache_bench ondrel-check >/dev/null

data=$(mktemp -d "${TMPDIR:-/tmp}/ondrel-bench.XXXXXX")
trap 'rm -rf "$data"' EXIT

echo "== MD5 and CRC-32 over one buffer"
"$build/bin/checksum_bench" 256 3

echo "== AdvancedCheck end to end"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$data/one-gib.bin"
cat "$data/one-gib.bin" >/dev/null    # into the page cache
"$build/bin/check_bench" "$data/one-gib.bin" 3

echo "== SECMD5 against MD5 over the same 200 MiB"
"$build/bin/sections_bench" 200

echo "== MD5 on a tiny file against 1,000 and 100,000 cached names"
"$build/bin/cache_bench" 5

echo "== memory of a 3 GiB range (SIZEMD5=0|\$BFFFFFFF|...)"
truncate -s 3G "$data/three-gib.bin"
rm -f "$data/one-gib.bin"
/usr/bin/time -v "$build/bin/ondrel-check" "$data/three-gib.bin" "SIZEMD5=0|\$BFFFFFFF|X" >"$data/out.txt" 2>"$data/time.txt" || true
grep -E "computed" "$data/out.txt" || true
grep -E "Maximum resident set size|Elapsed" "$data/time.txt"
