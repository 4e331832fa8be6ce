#!/usr/bin/env bash
# Builds the native tool and runs the main job: ondrel-check on the bundled
# sample file with a sample check list.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/native --target ondrel-check >/dev/null
list=${1:-"FILESIZE>=16,FILESIZE<=4096,FILESIZE=90,INI=tools\\app"}
echo "ondrel-check samples/sample.ini \"$list\""
build/native/bin/ondrel-check samples/sample.ini "$list"
