#!/usr/bin/env bash
# Builds tests/consumer against an installed ondrel and checks what its program
# gets from AdvancedCheck.
# Usage: consumer_test.sh cmake|pkg-config --install BUILD-TREE   (installs it into a temporary prefix)
#        consumer_test.sh cmake|pkg-config --prefix PREFIX       (an installed or unpacked tree)
set -u
with=$1 how=$2 where=$3
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
case "$how" in
  --install)
    prefix=$work/prefix
    cmake --install "$where" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install"; } ;;
  --prefix) prefix=$(cd "$where" && pwd) ;;
  *) fail "usage" ;;
esac
libdir=$(dirname "$(find "$prefix" -name 'libondrel.so.1' | head -1)")
[ -d "$libdir" ] || fail "no libondrel.so.1 under $prefix"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# Nothing but the tree under test may be found.
export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
cmake -S "$here/consumer" -B "$work/build" "${generator[@]}" -DONDREL_FIND_WITH="$with" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
found=$(sed -n 's/^-- ondrel library: //p' "$work/configure.log")
echo "found with $with: $found"
case "$found" in "$prefix"/*) ;; *) fail "the library found is not the one under $prefix" ;; esac
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }

program=$work/build/consumer
loaded=$(LD_LIBRARY_PATH=$libdir ldd "$program" | awk '$1 == "libondrel.so.1" {print $3}')
echo "loads: $loaded"
[ "$loaded" -ef "$libdir/libondrel.so.1" ] || fail "the program does not load $libdir/libondrel.so.1"

# Expected answers from the file itself, computed with other tools.
file=$work/data.bin
for i in $(seq 1 300); do printf 'line %d of the consumer data\n' "$i"; done >"$file"
size=$(stat -c %s "$file")
md5=$(md5sum "$file" | cut -c1-32)
MD5=$(tr a-f A-F <<<"$md5")
passed=0 failed=0
while IFS='|' read -r name list expected; do
  if out=$(LD_LIBRARY_PATH=$libdir "$program" "$file" "$list" "$expected"); then
    passed=$((passed + 1))
  else
    echo "FAIL $name: [$list] $out, want $expected"; failed=$((failed + 1))
  fi
done <<EOF2
size and digest hold|FILESIZE=$size,MD5=$MD5|1
size one too many|FILESIZE=$((size + 1)),MD5=$MD5|0
digest in lower case|MD5=$md5|0
empty list|   |1
bounds hold|FILESIZE>=$size,FILESIZE<=$size|1
lower bound fails|FILESIZE>=$((size + 1))|0
EOF2
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
