#!/usr/bin/env bash
# Builds the benchmarks (native, Release) and runs them once, a few minutes:
#  1. MD5 and CRC-32 over one 256 MiB buffer against OpenSSL's MD5 and zlib's crc32;
#  2. AdvancedCheck with one MD5 rule and one CRC32 rule on a 1 GiB file in the
#     page cache, against `openssl dgst -md5`, `md5sum` and a zlib crc32 loop
#     (in turns, best of 3; the ratios are speeds, above 1 when ours is faster),
#     then what reading the file alone costs and each digest over memory, and
#     the bound these set on each ratio for a reader that hashes on the
#     thread that reads;
#  3. "SECMD5" on a 200 MiB image against the "MD5" rule over the same bytes;
#  4. the "MD5" rule on a tiny file against a digest cache of 1,000 and of
#     100,000 other names, and the memory one cached name takes;
#  5. the largest resident set of ondrel-check running each rule that reads
#     bytes on a 5 GiB sparse file (an image with two sections of 1 GiB),
#     measured with /usr/bin/time -v;
#  6. catalogues: identify of 1,000 files against 10,000 entries, against
#     reading and digesting the files once; the bytes a host reads for the
#     lists make --against writes for 100 files of 4 MiB;
#  7. the directory search with wildcards over 10,000 names: an ordinary
#     pattern and hostile ones of 4,001 characters;
#  8. make on a hostile image of 99,856 resources in 5.5 KB: in the process
#     (--rules all and resources, as make reads the file and with the rules
#     reading it), then `ondrel make --rules all` timed by /usr/bin/time.
# Usage: bench/run.sh [build dir]      (default build/bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
build=${1:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_BENCH=ON -DONDREL_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target checksum_bench check_bench sections_bench cache_bench identify_bench find_bench \
  make_bench ondrel-check ondrel_tool >/dev/null

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

echo "== largest resident set of each rule on a 5 GiB sparse file"
rm -f "$data/one-gib.bin"
five="$data/five-gib.bin"
truncate -s 5G "$five"
"$build/bin/sections_bench" --headers "$five"
for rule in "CRC32=00000000" "MD5=X" "ENDMD5=0|X" "SIZEMD5=0|\$FFFFFFFE|X" "SECSIZE=0" "SSECMD5=.sect-X" \
            "SECMD5=X" "ICONMD5=X" "BRMD5=X" "RESMD5=10|1|X" "INI=needle"; do
  /usr/bin/time -v "$build/bin/ondrel-check" "$five" "$rule" >"$data/out.txt" 2>"$data/time.txt" || true
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$data/time.txt")
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$data/time.txt")
  awk -v r="$rule" -v k="$rss" -v w="$wall" 'BEGIN { printf "%-24s peak %6.1f MiB  %s\n", r, k / 1024, w }'
done

echo "== catalogues: identify, make --against"
rm -f "$five"
"$build/bin/identify_bench" 5 100

echo "== directory search with wildcards over 10,000 names"
"$build/bin/find_bench"

echo "== make on images of 99,856 resources"
"$build/bin/make_bench" 3 --image "$data"
for image in "$data"/ondrel-hostile-*.dll; do
  /usr/bin/time -f "ondrel make --rules all $(basename "$image"): %e s wall, %U s user, peak %M KiB" \
    "$build/bin/ondrel" make --rules all "$image" >/dev/null
done
