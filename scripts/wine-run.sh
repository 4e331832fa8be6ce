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
# Start the server and the prefix's services detached from our output first:
# a service that inherited the caller's output pipe would keep it open.
running=no
if [ -d "$WINEPREFIX" ]; then
  server="server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
  for sock in /tmp/.wine-"$(id -u)"/"$server"/socket /tmp/wine-*/"$server"/socket; do
    [ -S "$sock" ] && running=yes
  done
fi
if [ $running = no ]; then
  { wineserver -p; wineboot --init; } >/dev/null 2>&1 </dev/null || true
fi
exec wine "$@"
