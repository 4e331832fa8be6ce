#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix that lives in the build tree.
# WINEPREFIX may be set by the caller; otherwise the prefix sits beside the program's build folder.
set -e
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=-all
export WINEARCH=win32
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
