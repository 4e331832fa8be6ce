#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix that lives in the build tree.
# The program's PE machine field picks the Wine: 32-bit Wine (WINEARCH=win32)
# for i386 images, the 64-bit loader (WINEARCH=win64) for x86-64 images, so a
# 64-bit program runs even where the kernel cannot execute 32-bit programs.
# WINEPREFIX may be set by the caller; otherwise the prefix sits beside the
# program's build folder.
set -e
program=$1

# The machine field of a PE image: the 16-bit word after "PE\0\0".
pe_machine() {
  local off
  off=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || return 1
  [ -n "$off" ] || return 1
  od -An -t x2 -j $((off + 4)) -N 2 "$1" 2>/dev/null | tr -d ' '
}

machine=$(pe_machine "$program" || true)
if [ "$machine" = 8664 ]; then
  export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
  loader=/usr/lib/wine/wine64
else
  export WINEARCH=win32
  loader=wine
fi
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Start the server and the prefix's services detached from our output first:
# a service that inherited the caller's output pipe would keep it open. The
# server outlives its last program by a few seconds (ONDREL_WINESERVER_LINGER),
# so that programs run one after another, or two at a time as CTest -j2 runs
# them, share one server, and none is left running once they are done.
running=no
if [ -d "$WINEPREFIX" ]; then
  server="server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
  for sock in /tmp/.wine-"$(id -u)"/"$server"/socket /tmp/wine-*/"$server"/socket; do
    [ -S "$sock" ] && running=yes
  done
fi
if [ $running = no ]; then
  { wineserver -p"${ONDREL_WINESERVER_LINGER:-5}"; "$loader" wineboot --init; } >/dev/null 2>&1 </dev/null || true
fi
exec "$loader" "$@"
