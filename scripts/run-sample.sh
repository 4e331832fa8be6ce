#!/usr/bin/env bash
# Builds the native tool and runs the main job: ondrel check on the bundled
# sample file with a sample check list. One line says what each stage does; on
# a terminal Ninja shows its progress, otherwise the build prints nothing
# unless it fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "run-sample: $*"; }

say "installing build dependencies (Debian packages, only those missing)..."
"$root/scripts/install-deps.sh" --native
say "configuring build/sample (CMake)..."
mkdir -p build/sample
if ! cmake -S . -B build/sample -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_TESTS=OFF >build/sample/configure.log 2>&1; then
  cat build/sample/configure.log >&2; exit 1
fi
if [ -t 1 ]; then
  say "building the ondrel command (Ninja shows its progress)..."
  cmake --build build/sample --target ondrel_tool
else
  say "building the ondrel command (its output only if it fails)..."
  if ! cmake --build build/sample --target ondrel_tool >build/sample/build.log 2>&1; then
    tail -n 40 build/sample/build.log >&2; echo "run-sample: the build failed (build/sample/build.log)" >&2; exit 1
  fi
fi
list=${1:-"FILESIZE>=16,FILESIZE<=4096,FILESIZE=90,INI=tools\\app,CRC32=502AEC05,MD5=0B60F564B3F039C656BA02BFA0A4E22B"}
say "running ondrel check on samples/sample.ini:"
echo "ondrel check samples/sample.ini \"$list\""
build/sample/bin/ondrel check samples/sample.ini "$list"
