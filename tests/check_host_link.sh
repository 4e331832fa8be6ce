#!/usr/bin/env bash
# A C host built as the README shows: ondrel.h and the import library, with the
# mingw-w64 compiler of the build's architecture; then run beside the DLL.
# Usage: check_host_link.sh ARCH SOURCE-ROOT IMPORT-LIBRARY DLL OUTPUT-DIR [EMULATOR]
# Without an emulator the host is only built and linked.
set -u
arch=$1 src=$2 implib=$3 dll=$4 out=$5 emulator=${6:-}
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$out"; mkdir -p "$out"
"$arch-w64-mingw32-gcc" -Wall -Werror "$src/tests/host/host.c" -I"$src/include" \
  -L"$(dirname "$implib")" -londrel -o "$out/host.exe" || fail "the host does not build against the import library"
imports=$("$arch-w64-mingw32-objdump" -p "$out/host.exe" | sed -n '/DLL Name: ondrel.dll/,/^$/p')
printf '%s\n' "$imports" | grep -qE '\bAdvancedCheck$' || fail "the host does not import AdvancedCheck from ondrel.dll: $imports"
echo "built and linked: imports AdvancedCheck from ondrel.dll"
if [ -z "$emulator" ]; then echo "1 passed, 0 failed"; exit 0; fi
cp "$dll" "$out/"
(cd "$out" && "$emulator" ./host.exe) | tr -d '\r' || fail "the host's checks failed"
