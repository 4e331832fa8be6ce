#!/usr/bin/env bash
# Prints the sizes of the packages scripts/package.sh built, in bytes, as the
# Markdown table of the README ("Packages"): the Debian packages, the wheel,
# the zips, in that order. Exit status 1 when DIR holds none of them.
# Usage: scripts/package-sizes.sh [DIR]      (default: build/packages)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build/packages}
[ -d "$dir" ] || { echo "package-sizes.sh: no folder $dir (scripts/package.sh builds it)" >&2; exit 1; }

# 812864 -> 812,864
grouped() { sed -E ':a; s/([0-9])([0-9]{3})($|,)/\1,\2\3/; ta' <<<"$1"; }

rows=0
shopt -s nullglob
for pattern in 'libondrel1_*.deb' 'libondrel-dev_*.deb' 'ondrel-tools_*.deb' 'python3-ondrel_*.deb' 'ondrel-*.whl' \
    'ondrel-*-win64.zip' 'ondrel-*-win64-dbg.zip' 'ondrel-*-win32.zip' 'ondrel-*-win32-dbg.zip'; do
  for file in "$dir"/$pattern; do
    [ $rows != 0 ] || printf '| package | bytes |\n|---|---:|\n'
    printf '| `%s` | %s |\n' "$(basename "$file")" "$(grouped "$(stat -c %s "$file")")"
    rows=$((rows + 1))
  done
done
[ $rows != 0 ] || { echo "package-sizes.sh: no package in $dir" >&2; exit 1; }
