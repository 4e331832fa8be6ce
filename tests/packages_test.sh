#!/usr/bin/env bash
# The packages as a user gets them (scripts/package.sh writes them):
#   the Debian package, unpacked into a throwaway root (dpkg -x): its files, and
#   tests/consumer built against it with find_package and with pkg-config;
#   each Windows zip, unpacked: its files, and a C host (tests/consumer) built
#   with the mingw-w64 compiler against its header and import library, then run
#   under Wine beside its DLL (32-bit only where this kernel runs 32-bit programs).
# Usage: packages_test.sh PACKAGE-DIR VERSION
set -u
dir=$(cd "$1" && pwd) version=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
passed=0 failed=0 skipped=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
bad() { echo "FAIL: $*"; failed=$((failed + 1)); }

has_files() {  # label, listing, expected paths...
  local label=$1 listing=$2 missing=(); shift 2
  for f in "$@"; do grep -qxF -- "$f" <<<"$listing" || missing+=("$f"); done
  if [ ${#missing[@]} = 0 ]; then ok "$label holds its $# files"; else bad "$label lacks ${missing[*]}"; fi
}

# The Debian package.
deb=$dir/ondrel_${version}_amd64.deb
if [ -f "$deb" ]; then
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
  has_files "$(basename "$deb")" "$listing" /usr/lib/libondrel.so.$version /usr/lib/libondrel.so.${version%%.*} /usr/lib/libondrel.so \
    /usr/include/ondrel.h /usr/lib/pkgconfig/ondrel.pc /usr/lib/cmake/ondrel/ondrelConfig.cmake \
    /usr/lib/cmake/ondrel/ondrelConfigVersion.cmake /usr/lib/cmake/ondrel/ondrelTargets.cmake /usr/bin/vespane \
    /usr/share/man/man1/vespane.1.gz /usr/share/doc/ondrel/copyright /usr/share/doc/ondrel/changelog.gz
  depends=$(dpkg-deb --field "$deb" Depends)
  if grep -q 'libc6 (>= ' <<<"$depends"; then ok "Depends: $depends"; else bad "Depends: [$depends]"; fi
  [ "$(dpkg-deb --field "$deb" Version)" = "$version" ] && ok "Version $version" || bad "Version is not $version"
  dpkg -x "$deb" "$work/deb-root" || bad "dpkg -x"
  for with in cmake pkg-config; do
    if bash "$root/tests/consumer_test.sh" "$with" --prefix "$work/deb-root/usr"; then ok "consumer with $with against the Debian package"
    else bad "consumer with $with against the Debian package"; fi
  done
else
  bad "no $deb"
fi

# Whether this kernel executes 32-bit x86 programs (32-bit Wine needs it).
runs_32bit() { why_not_win32=$(bash "$root/scripts/win32-runnable.sh"); }

# The Windows zips.
for arch in win64 win32; do
  zip=$dir/ondrel-$version-$arch.zip
  [ -f "$zip" ] || { bad "no $zip"; continue; }
  case $arch in win64) cross=x86_64 ;; win32) cross=i686 ;; esac
  top=ondrel-$version-$arch
  listing=$(unzip -Z1 "$zip")
  has_files "$(basename "$zip")" "$listing" $top/bin/ondrel.dll $top/lib/libondrel.dll.a $top/include/ondrel.h \
    $top/bin/Vespane.exe $top/README.md $top/LICENSE
  tools=$(grep -cE "^$top/bin/ondrel[^/]*\.exe$" <<<"$listing")
  [ "$tools" -gt 0 ] && ok "$arch: $tools command-line tool(s)" || bad "$arch: no command-line tool"
  unzip -q "$zip" -d "$work/$arch" || { bad "unzip $zip"; continue; }
  tree=$work/$arch/$top out=$work/$arch/host
  mkdir -p "$out"
  if ! "$cross-w64-mingw32-gcc" -Wall -Werror "$root/tests/consumer/consumer.c" -I"$tree/include" -L"$tree/lib" -londrel \
      -o "$out/consumer.exe"; then
    bad "$arch: the host does not build against the zip's import library"; continue
  fi
  if "$cross-w64-mingw32-objdump" -p "$out/consumer.exe" | sed -n '/DLL Name: ondrel.dll/,/^$/p' | grep -qE '\bAdvancedCheck$'; then
    ok "$arch: host links, imports AdvancedCheck from ondrel.dll"
  else bad "$arch: host does not import AdvancedCheck from ondrel.dll"; continue; fi
  if [ $arch = win32 ] && ! runs_32bit; then
    echo "skipped: $arch host run ($why_not_win32)"; skipped=$((skipped + 1)); continue
  fi
  cp "$tree/bin/ondrel.dll" "$out/"
  for i in $(seq 1 100); do printf 'row %d of the zip data\r\n' "$i"; done >"$out/data.bin"
  size=$(stat -c %s "$out/data.bin") md5=$(md5sum "$out/data.bin" | cut -c1-32)
  export WINEPREFIX=$root/build/$arch/wineprefix
  [ -d "$WINEPREFIX" ] || WINEPREFIX=$work/wineprefix-$arch
  results=$(cd "$out" && while IFS='|' read -r list expected; do
      "$root/scripts/wine-run.sh" ./consumer.exe data.bin "$list" "$expected" >/dev/null 2>&1 && echo pass || echo "fail [$list]"
    done <<EOF2
FILESIZE=$size,MD5=$(tr a-f A-F <<<"$md5")|1
FILESIZE=$((size - 1))|0
MD5=$md5|0
|1
EOF2
  )
  unset WINEPREFIX
  if [ "$(grep -c '^pass$' <<<"$results")" = 4 ]; then ok "$arch: host run under Wine, 4 answers right"
  else bad "$arch: host run under Wine: $(grep -v '^pass$' <<<"$results" | tr '\n' ' ')"; fi
done

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
