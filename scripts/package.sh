#!/usr/bin/env bash
# Builds the packages with CPack into build/packages:
#   ondrel_<version>_amd64.deb      from build/native (lintian is run on it)
#   ondrel-<version>-win64.zip      from build/win64
#   ondrel-<version>-win32.zip      from build/win32
# A build tree that is missing is configured (without tests) and built first;
# one that exists is brought up to date as it is configured.
# Usage: scripts/package.sh [native|win64|win32]...     (all three by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=$root/build/packages
mkdir -p "$out"
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(native win64 win32)
status=0

for tree in "${trees[@]}"; do
  dir=build/$tree
  case $tree in
    native) toolchain=() ;;
    win64) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake") ;;
    win32) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake") ;;
    *) echo "unknown build tree: $tree"; exit 2 ;;
  esac
  echo "== $tree"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_TESTS=OFF "${toolchain[@]}" >/dev/null
  else
    cmake "$dir" >/dev/null
  fi
  cmake --build "$dir" -j 2 >/dev/null
  log=$(cpack --config "$dir/CPackConfig.cmake" -B "$out" 2>&1) || { echo "$log"; exit 1; }
  package=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' <<<"$log")
  [ -f "$package" ] || { echo "$log"; echo "no package from $dir"; exit 1; }
  echo "$(basename "$package"): $(stat -c %s "$package") bytes"
  if [ "$tree" = native ]; then
    dpkg-deb --field "$package" Package Version Architecture Depends Section
    if command -v lintian >/dev/null; then
      echo "-- lintian $(basename "$package")"
      # Errors fail the packaging; warnings and information are shown.
      if lintian --display-info "$package" 2>&1 | grep -v "running with root privileges"; [ "${PIPESTATUS[0]}" = 0 ]; then :; else status=1; fi
    else
      echo "lintian not installed"; status=1
    fi
  fi
done
rm -rf "$out/_CPack_Packages"
exit $status
