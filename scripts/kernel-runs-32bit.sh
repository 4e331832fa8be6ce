#!/usr/bin/env bash
# Exit 0 when this kernel executes 32-bit x86 programs (32-bit Wine needs it),
# 1 when it refuses them with "Exec format error". 32-bit Wine runs on the
# 32-bit loader of the i386 C library, so that loader is what is tried.
# ONDREL_ASSUME_NO_32BIT=1 answers 1, to rehearse such a kernel.
[ -z "${ONDREL_ASSUME_NO_32BIT:-}" ] || exit 1
for ld in /lib/ld-linux.so.2 /usr/lib32/ld-linux.so.2 /usr/lib/wine/wine; do
  [ -e "$ld" ] || continue
  if err=$("$ld" --version 2>&1 >/dev/null); then exit 0; fi
  case "$err" in *"Exec format error"*|*"cannot execute binary file"*) exit 1 ;; esac
  exit 0  # another failure: let the 32-bit tests run and show it
done
exit 0
