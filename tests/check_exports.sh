#!/usr/bin/env bash
# The library exports AdvancedCheck and nothing else; the DLL imports system DLLs only.
# Usage: check_exports.sh dll DLL [ARCH]  |  check_exports.sh so LIBRARY VERSION
set -u
kind=$1 lib=$2 arch=${3:-i686}
fail() { echo "FAIL: $*"; exit 1; }
if [ "$kind" = dll ]; then
  dump=$("$arch-w64-mingw32-objdump" -p "$lib") || fail "objdump"
  # The export name table: lines "[ordinal-index] name" after "[Ordinal/Name Pointer] Table".
  names=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[')
  echo "exports: $names"
  [ "$(printf '%s\n' "$names" | wc -l)" = 1 ] || fail "expected exactly one exported name"
  printf '%s\n' "$names" | grep -qE '^\s*\[\s*0\] AdvancedCheck$' || fail "the export is not the undecorated AdvancedCheck"
  printf '%s\n' "$dump" | grep -q 'Export Address Table -- Ordinal Base 1' || fail "ordinal base is not 1"
  addresses=$(printf '%s\n' "$dump" | sed -n '/Export Address Table -- Ordinal Base/,/^$/p' | grep -cE '^\s+\[')
  [ "$addresses" = 1 ] || fail "expected exactly one export address, found $addresses"
  echo "ordinal base 1, one address"
  imports=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  echo "imports:" $imports
  for dll in $imports; do
    case "$dll" in
      kernel32.dll|user32.dll|advapi32.dll|imagehlp.dll|msvcrt.dll) ;;
      *) fail "imports $dll, not a system DLL" ;;
    esac
  done
else
  # One function, AdvancedCheck, in the version node it came with, ONDREL_<major>.0
  # (a minor release adds no symbol, and a program linked against the node must
  # find it again; nm lists the node itself as an absolute symbol); SONAME
  # libondrel.so.<major>.
  version=${3:?usage: check_exports.sh so LIBRARY VERSION}
  major=${version%%.*}
  node=ONDREL_$major.0
  defined=$(nm -D --defined-only "$lib") || fail "nm"
  syms=$(printf '%s\n' "$defined" | awk '$2 != "A" {print $2, $3}')
  nodes=$(printf '%s\n' "$defined" | awk '$2 == "A" {print $3}')
  echo "exports: $syms"
  echo "version nodes: $nodes"
  [ "$syms" = "T AdvancedCheck@@$node" ] || fail "expected exactly the function AdvancedCheck@@$node"
  [ "$nodes" = "$node" ] || fail "expected exactly the version node $node"
  soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  echo "soname: $soname"
  [ "$soname" = "libondrel.so.$major" ] || fail "SONAME is not libondrel.so.$major"
fi
echo "1 passed, 0 failed"
