#!/usr/bin/env bash
# Exit 0 when 32-bit Windows programs can run here under 32-bit Wine; else
# print why (one line) and exit 1. Two things can be missing: a kernel that
# executes 32-bit x86 programs (scripts/kernel-runs-32bit.sh), and 32-bit Wine
# itself, which install-deps.sh may have failed to install (its i386 packages
# come from a second package index, which a mirror in the middle of a sync
# can fail to serve).
root=$(cd "$(dirname "$0")/.." && pwd)
if ! bash "$root/scripts/kernel-runs-32bit.sh"; then
  echo "this kernel cannot execute 32-bit programs"; exit 1
fi
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "32-bit Wine (wine32:i386) is not installed: see install-deps.sh's output"; exit 1
fi
exit 0
