#!/usr/bin/env bash
# Builds every deliverable (native Linux, 64-bit and 32-bit Windows) and runs
# every test: the native tests (also under ASan and UBSan), the thread stress
# test under ThreadSanitizer, the Windows tests under Wine, every fuzz corpus
# replayed, the packages, short fuzz runs.
# Usage: scripts/test-all.sh            (build trees under build/)
#
# The 32-bit Windows suite needs a kernel that executes 32-bit programs (32-bit
# Wine is one). Where the kernel cannot, every i686 target is still built, the
# test programs too (so that they keep compiling for a 32-bit size_t), the
# export and import tables are checked, and the run is reported as skipped; the
# 64-bit suite runs everywhere. ONDREL_ASSUME_NO_32BIT=1 rehearses that case.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

jobs=$(nproc)
status=0
summary=()
total_passed=0 total_failed=0
windows_ran=0

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

run_ctest() {  # build dir, suite name, ctest arguments...
  local dir=$1 label=$2 passed failed; shift 2
  rm -rf "$dir/test-results"; mkdir -p "$dir/test-results"
  if ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"; then :; else status=1; fi
  read -r passed failed < <(count_results "$dir")
  echo "$label gtest cases: $passed passed, $failed failed"
  summary+=("$label: $passed passed, $failed failed")
  total_passed=$((total_passed + passed)); total_failed=$((total_failed + failed))
  [ "$failed" = 0 ] || status=1
  case $label in windows-*) [ "$passed" = 0 ] || windows_ran=1 ;; esac
}

win32_runnable() { why_not_win32=$(bash "$root/scripts/win32-runnable.sh"); }

built_in_full=()
build_tree() {  # dir, extra cmake arguments...: every target of the tree
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

windows_suite() {  # dir, suite name, WINEARCH, Wine loader
  local dir=$1 label=$2 arch=$3 loader=$4
  (
    export WINEPREFIX="$root/$dir/wineprefix" WINEDEBUG=-all WINEARCH=$arch
    [ "$arch" = win64 ] && export WINELOADER=$loader
    # Start the wine server and its services before the tests, detached from our
    # output: a service that inherited a test's output pipe would hold CTest open.
    wineserver -p >/dev/null 2>&1 </dev/null || true
    "$loader" wineboot --init >/dev/null 2>&1 </dev/null || true
  )
  WINEPREFIX="$root/$dir/wineprefix" run_ctest "$dir" "$label"
  WINEPREFIX="$root/$dir/wineprefix" wineserver -k >/dev/null 2>&1 || true
}

echo "== native build"
build_tree build/native
built_in_full+=(native)
run_ctest build/native native

echo "== native build with AddressSanitizer and UndefinedBehaviorSanitizer (clang)"
CC=clang CXX=clang++ build_tree build/asan -DONDREL_SANITIZE=address,undefined
built_in_full+=(asan)
run_ctest build/asan native-asan

echo "== thread stress test under ThreadSanitizer (native, clang)"
CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_TESTS=ON \
  -DONDREL_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target thread_stress_test
# A reported race fails the run even when every answer was right.
TSAN_OPTIONS="halt_on_error=1 exitcode=66" run_ctest build/tsan native-tsan -R '^thread_stress_test$'

echo "== 64-bit Windows build, tests under 64-bit Wine"
build_tree build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
built_in_full+=(win64)
windows_suite build/win64 windows-x64 win64 /usr/lib/wine/wine64

echo "== 32-bit Windows build"
# Every target is built whether or not it can run here: a test program that no
# longer compiles for a 32-bit size_t fails this run, not a user's machine.
build_tree build/win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
built_in_full+=(win32)
if win32_runnable; then
  echo "-- tests under 32-bit Wine"
  windows_suite build/win32 windows-i686 win32 wine
else
  # The export and import tables need no execution: they are checked, the
  # test programs that cannot run are built and not run.
  echo "-- $why_not_win32: every i686 target built, the images checked, the tests not run"
  if ctest --test-dir build/win32 --output-on-failure -L static; then :; else status=1; fi
  summary+=("windows-i686: skipped ($why_not_win32; every target built)")
  echo "windows-i686: skipped ($why_not_win32; every target built)"
fi

echo "== packages: the Debian package and the zips, installed and used as a user would"
version=$(sed -n 's/^project(ondrel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if scripts/package.sh && bash tests/packages_test.sh build/packages "$version"; then
  summary+=("packages: built and tested")
else
  summary+=("packages: FAILED"); status=1
fi

if [ -d fuzz ] && [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzz targets, short runs"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_FUZZ=ON -DONDREL_TESTS=OFF >/dev/null
  cmake --build build/fuzz -j "$jobs" --target ondrel_fuzzers
  if "$root/fuzz/run-all.sh" build/fuzz "${ONDREL_FUZZ_SECONDS:-15}"; then :; else status=1; fi
fi

echo "== summary"
echo "trees built in full (every target): ${built_in_full[*]}; build/tsan: the thread stress test; build/fuzz: the fuzz targets"
printf '%s\n' "${summary[@]}"
[ "$windows_ran" = 1 ] || { echo "no Windows test ran"; status=1; }
[ "$status" = 0 ] || echo "some step failed: see its output above"
echo "total: $total_passed passed, $total_failed failed"
exit $status
