#!/usr/bin/env bash
# Builds both deliverables (native Linux and 32-bit Windows) and runs every
# test: the native tests, the thread stress test under ThreadSanitizer, the
# Windows tests under Wine, and short fuzz runs.
# Usage: scripts/test-all.sh            (build trees under build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

jobs=$(nproc)
native=build/native
win32=build/win32
fuzz=build/fuzz
tsan=build/tsan
status=0

count_results() {  # sums the gtest XML reports of a build: "passed failed"
  local dir=$1 tests=0 failures=0 t f
  for x in "$dir"/test-results/*.xml; do
    [ -f "$x" ] || continue
    t=$(sed -n 's/.*<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)".*/\1/p' "$x" | head -1)
    f=$(sed -n 's/.*<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)".*/\2/p' "$x" | head -1)
    tests=$((tests + ${t:-0})); failures=$((failures + ${f:-0}))
  done
  echo "$((tests - failures)) $failures"
}

run_ctest() {  # build dir, label
  local dir=$1 label=$2
  rm -rf "$dir/test-results"; mkdir -p "$dir/test-results"
  if ctest --test-dir "$dir" --output-on-failure -j "$jobs"; then :; else status=1; fi
  read -r passed failed < <(count_results "$dir")
  echo "$label gtest cases: $passed passed, $failed failed"
  eval "${label}_passed=$passed ${label}_failed=$failed"
}

echo "== native build"
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$native" -j "$jobs"
run_ctest "$native" native

echo "== thread stress test under ThreadSanitizer (native, clang)"
CC=clang CXX=clang++ cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_TSAN=ON >/dev/null
cmake --build "$tsan" -j "$jobs" --target thread_stress_test
rm -rf "$tsan/test-results"; mkdir -p "$tsan/test-results"
# A reported race fails the run even when every answer was right.
tsan_ok=yes
TSAN_OPTIONS="halt_on_error=1 exitcode=66" timeout 600 \
  "$tsan/bin/thread_stress_test" --gtest_output=xml:"$tsan/test-results/thread_stress_test.xml" || tsan_ok=no
read -r tsan_passed tsan_failed < <(count_results "$tsan")
if [ $tsan_ok = no ] && [ "$tsan_failed" = 0 ]; then tsan_passed=0 tsan_failed=1; fi
echo "tsan gtest cases: $tsan_passed passed, $tsan_failed failed"

echo "== 32-bit Windows build, tests under Wine"
cmake -S . -B "$win32" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$win32" -j "$jobs"
export WINEPREFIX="$root/$win32/wineprefix" WINEDEBUG=-all WINEARCH=win32
# Start the wine server and its services before the tests, detached from our
# output: a service that inherited a test's output pipe would hold CTest open.
wineserver -p >/dev/null 2>&1 </dev/null || true
wineboot --init >/dev/null 2>&1 </dev/null || true
run_ctest "$win32" windows
wineserver -k >/dev/null 2>&1 || true
unset WINEPREFIX

if [ -d fuzz ] && [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzz targets, short runs"
  CC=clang CXX=clang++ cmake -S . -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_FUZZ=ON -DONDREL_TESTS=OFF >/dev/null
  cmake --build "$fuzz" -j "$jobs"
  if "$root/fuzz/run-all.sh" "$fuzz" "${ONDREL_FUZZ_SECONDS:-30}"; then :; else status=1; fi
fi

echo "== summary"
echo "native: $native_passed passed, $native_failed failed"
echo "tsan: $tsan_passed passed, $tsan_failed failed"
echo "windows: $windows_passed passed, $windows_failed failed"
[ "$native_failed" = 0 ] && [ "$windows_failed" = 0 ] && [ "$tsan_failed" = 0 ] || status=1
[ "$windows_passed" -gt 0 ] || { echo "no Windows test ran"; status=1; }
echo "total: $((native_passed + tsan_passed + windows_passed)) passed, $((native_failed + tsan_failed + windows_failed)) failed"
exit $status
