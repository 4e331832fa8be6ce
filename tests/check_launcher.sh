#!/usr/bin/env bash
# The launcher stands alone: Vespane.exe is a console program of the build's architecture importing
# system DLLs only; vespane on Linux needs no library of this repository.
set -u
kind=$1 program=$2 arch=${3:-i686}
fail() { echo "FAIL: $*"; exit 1; }
if [ "$kind" = exe ]; then
  dump=$("$arch-w64-mingw32-objdump" -p "$program") || fail "objdump"
  case $arch in
    i686) format=pei-i386 ;;
    x86_64) format=pei-x86-64 ;;
    *) fail "unknown architecture $arch" ;;
  esac
  printf '%s\n' "$dump" | grep -q "file format $format" || fail "not a $format image"
  printf '%s\n' "$dump" | grep -qE '^Subsystem\s+00000003' || fail "not a console program"
  imports=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  echo "imports:" $imports
  for dll in $imports; do
    case "$dll" in
      kernel32.dll|advapi32.dll|msvcrt.dll) ;;
      *) fail "imports $dll" ;;
    esac
  done
  printf '%s\n' "$imports" | grep -qx advapi32.dll || fail "the safer service is not imported"
else
  needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  echo "needs:" $needed
  for lib in $needed; do
    case "$lib" in
      libc.so.*|libm.so.*|libgcc_s.so.*|libstdc++.so.*|ld-linux*) ;;
      *) fail "needs $lib" ;;
    esac
  done
fi
echo "1 passed, 0 failed"
