#!/usr/bin/env bash
# The one version, VERSION (project(... VERSION) in CMakeLists.txt), where each
# deliverable shows it:
#   --tool PROGRAM     PROGRAM --version ends in VERSION
#   --library LIBRARY  libondrel.so -> libondrel.so.MAJOR -> libondrel.so.VERSION
#   --image IMAGE      a Windows image's version resource, decompiled with WINDRES
# Usage: version_test.sh VERSION [EMULATOR=...] [WINDRES=...] (--tool P | --library L | --image I)...
set -u
version=$1; shift
emulator= windres=
passed=0 failed=0
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
major=${version%%.*} rest=${version#*.}
minor=${rest%%.*} patch=${rest#*.}
while [ $# -gt 0 ]; do
  case "$1" in
    EMULATOR=*) emulator=${1#EMULATOR=}; shift; continue ;;
    WINDRES=*) windres=${1#WINDRES=}; shift; continue ;;
  esac
  kind=$1 file=$2; shift 2
  name=$(basename "$file")
  case "$kind" in
    --tool)
      if [ -n "$emulator" ]; then out=$("$emulator" "$file" --version 2>&1); else out=$("$file" --version 2>&1); fi
      status=$?
      out=$(tr -d '\r' <<<"$out" | head -1)
      echo "$name --version: $out"
      if [ $status != 0 ]; then fail "$name" "--version exits $status"
      elif [ "${out##* }" != "$version" ]; then fail "$name" "--version says [$out], not $version"
      else passed=$((passed + 1)); fi ;;
    --library)
      dir=$(dirname "$file")
      chain="$(readlink "$dir/libondrel.so") $(readlink "$dir/libondrel.so.$major")"
      echo "links: $chain"
      if [ "$chain" = "libondrel.so.$major libondrel.so.$version" ] && [ -f "$dir/libondrel.so.$version" ]; then
        passed=$((passed + 1))
      else fail "$name" "expected libondrel.so -> libondrel.so.$major -> libondrel.so.$version"; fi ;;
    --image)
      rc=$("$windres" -i "$file" -O rc 2>&1) || { fail "$name" "windres: $rc"; continue; }
      case "$name" in *.dll|*.DLL) type=0x2 ;; *) type=0x1 ;; esac
      ok=1
      for line in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" "FILETYPE $type" \
        "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
        "VALUE \"CompanyName\", \"ondrel\"" "VALUE \"ProductName\", \"ondrel\"" "VALUE \"OriginalFilename\", \"$name\""; do
        grep -qxF -- "$line" <<<"$(sed 's/^ *//' <<<"$rc")" || { fail "$name" "no line [$line]"; ok=0; }
      done
      description=$(sed -n 's/^ *VALUE "FileDescription", "\(.*\)"$/\1/p' <<<"$rc")
      echo "$name: FileDescription \"$description\""
      [ -n "$description" ] || { fail "$name" "no FileDescription"; ok=0; }
      [ $ok = 1 ] && passed=$((passed + 1)) ;;
    *) echo "usage: version_test.sh VERSION [EMULATOR=...] [WINDRES=...] (--tool P | --library L | --image I)..."; exit 2 ;;
  esac
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
