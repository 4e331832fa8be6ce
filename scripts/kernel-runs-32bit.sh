#!/usr/bin/env bash
# Exit 0 when this kernel executes 32-bit x86 programs (32-bit Wine needs it),
# 1 when it refuses them with "Exec format error".
# ONDREL_ASSUME_NO_32BIT=1 answers 1, to rehearse such a kernel.
#
# The first try needs nothing installed: a 93-byte static 32-bit program (an
# ELF header, one loadable segment, and mov eax,1; xor ebx,ebx; int 0x80: the
# exit system call with status 0). Where it cannot be run at all (a folder
# mounted noexec), the 32-bit loader of the i386 C library is tried, which
# 32-bit Wine runs on.
[ -z "${ONDREL_ASSUME_NO_32BIT:-}" ] || exit 1
refused() { case "$1" in *"Exec format error"*|*"cannot execute binary file"*) return 0 ;; esac; return 1; }
dir=$(mktemp -d) || exit 0
trap 'rm -rf "$dir"' EXIT
printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\010\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0'\
'\1\0\0\0\0\0\0\0\0\200\4\010\0\200\4\010\135\0\0\0\135\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\61\333\315\200' >"$dir/probe"
chmod +x "$dir/probe"
if err=$("$dir/probe" 2>&1 >/dev/null); then exit 0; fi
refused "$err" && exit 1
for ld in /lib/ld-linux.so.2 /usr/lib32/ld-linux.so.2 /usr/lib/wine/wine; do
  [ -e "$ld" ] || continue
  if err=$("$ld" --version 2>&1 >/dev/null); then exit 0; fi
  refused "$err" && exit 1
  exit 0  # another failure: let the 32-bit tests run and show it
done
exit 0
