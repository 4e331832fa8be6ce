#!/usr/bin/env bash
# Builds the native tool and runs the main job: ondrel check on the bundled
# sample file with a sample check list.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh" --native
cmake -S . -B build/sample -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_TESTS=OFF >/dev/null
cmake --build build/sample --target ondrel_tool >/dev/null
list=${1:-"FILESIZE>=16,FILESIZE<=4096,FILESIZE=90,INI=tools\\app,CRC32=502AEC05,MD5=0B60F564B3F039C656BA02BFA0A4E22B"}
echo "ondrel check samples/sample.ini \"$list\""
build/sample/bin/ondrel check samples/sample.ini "$list"
