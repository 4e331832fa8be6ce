#!/usr/bin/env bash
# Writes the inputs of the compiled resource script: a 16x16 two-colour icon,
# a 16x16 two-colour bitmap and a block of data. Usage: make_inputs.sh FOLDER
set -euo pipefail
out=$1
mkdir -p "$out"
rows() { local i; for ((i = 0; i < 16; i++)); do printf "$1"; done; }
info() {  # BITMAPINFOHEADER of a 16-pixel-wide, 1-bit image of the given height byte
  printf '\x28\x00\x00\x00\x10\x00\x00\x00'"$1"'\x00\x00\x00\x01\x00\x01\x00'
  printf '\x00\x00\x00\x00%.0s' 1 2 3 4 5 6
}
palette() { printf '\x00\x00\x00\x00\xff\xff\xff\x00'; }
{
  printf '\x00\x00\x01\x00\x01\x00'                                   # icon directory, one image
  printf '\x10\x10\x02\x00\x01\x00\x01\x00\xb0\x00\x00\x00\x16\x00\x00\x00'
  info '\x20'; palette
  rows '\xaa\x55\x00\x00'                                             # colour rows
  rows '\x00\x00\x00\x00'                                             # mask rows
} >"$out/icon.ico"
{
  printf 'BM\x7e\x00\x00\x00\x00\x00\x00\x00\x3e\x00\x00\x00'
  info '\x10'; palette
  rows '\xf0\x0f\x00\x00'
} >"$out/bitmap.bmp"
printf 'resource data named in letters\n' >"$out/data.bin"
