#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian machine, only when missing.
# Usage: install-deps.sh            everything: native, Windows cross builds, Wine, fuzzing,
#                                   packages
#        install-deps.sh --native   only what the native build and its outputs need (the
#                                   tools with their manual page)
set -euo pipefail
need=()
need_wine32=0
have() { command -v "$1" >/dev/null 2>&1; }
pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
# The ondrel command's argument and JSON libraries (header-only).
pkg_installed libcli11-dev || need+=(libcli11-dev)
pkg_installed nlohmann-json3-dev || need+=(nlohmann-json3-dev)
# Many files opened and read at once by the ondrel command (Linux).
pkg_installed liburing-dev || need+=(liburing-dev)
# The manual page ondrel(1), made from the tool's help texts.
have help2man || need+=(help2man)
if [ "${1:-}" != --native ]; then
  have clang++ || need+=(clang)
  have i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686 gcc-mingw-w64-i686)
  have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64)
  [ -d /usr/src/googletest ] && pkg_installed libgtest-dev || need+=(libgtest-dev googletest)
  pkg_installed libssl-dev || need+=(libssl-dev)
  pkg_installed zlib1g-dev || need+=(zlib1g-dev)
  pkg_installed libbenchmark-dev || need+=(libbenchmark-dev)
  pkg_installed libclang-rt-14-dev || need+=(libclang-rt-14-dev)
  have openssl || need+=(openssl)
  # Packages and their tests: the Debian packages (dpkg-shlibdeps,
  # dpkg-buildflags), lintian, the consumer builds (pkg-config), the zips, the
  # Windows hosts linked against ondrel.lib (clang, lld-link, llvm-dlltool,
  # llvm-readobj), the Python module's wheel and tests (pip, venv, pytest).
  have dpkg-shlibdeps || need+=(dpkg-dev)
  have lintian || need+=(lintian)
  have pkg-config || need+=(pkg-config)
  have zip || need+=(zip)
  have unzip || need+=(unzip)
  have llvm-dlltool || have llvm-dlltool-14 || need+=(llvm)
  have lld-link || have lld-link-14 || need+=(lld)
  have pytest-3 || need+=(python3-pytest)
  /usr/bin/python3 -c 'import ensurepip' 2>/dev/null || need+=(python3-venv)
  /usr/bin/python3 -m pip --version >/dev/null 2>&1 || need+=(python3-pip)
  # useradd and groupadd: the launcher tests run as root make an ordinary user.
  PATH="$PATH:/usr/sbin:/sbin" have useradd || need+=(passwd)
  # 64-bit Wine runs the x86-64 suite on any kernel; 32-bit Wine (i386
  # architecture) only where the kernel executes 32-bit programs: elsewhere it
  # could not run, and its second package index is not fetched at all.
  pkg_installed wine64 || need+=(wine64)
  have wine || need+=(wine)
  if ! bash "$(dirname "$0")/kernel-runs-32bit.sh"; then
    echo "install-deps: this kernel cannot execute 32-bit programs: 32-bit Wine is not installed"
  elif ! pkg_installed wine32:i386; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then dpkg --add-architecture i386; fi
    need_wine32=1
  fi
fi
if [ ${#need[@]} -gt 0 ] || [ "$need_wine32" = 1 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught in the middle of a sync fails one index now and then:
  # try again, and install from whatever indexes arrived.
  for attempt in 1 2 3; do
    apt-get update -qq && break
    echo "apt-get update failed (attempt $attempt)"; sleep $((attempt * 10))
  done
  for attempt in 1 2 3; do
    [ ${#need[@]} -eq 0 ] && break
    apt-get install -y -qq "${need[@]}" >/dev/null && break
    [ "$attempt" = 3 ] && { echo "apt-get install failed: ${need[*]}"; exit 1; }
    echo "apt-get install failed (attempt $attempt)"; sleep $((attempt * 10)); apt-get update -qq || true
  done
  # 32-bit Wine on its own: its i386 packages come from a second index. When
  # they cannot be installed, the 32-bit suite is reported as skipped
  # (scripts/win32-runnable.sh says why) and everything else still runs.
  if [ "$need_wine32" = 1 ]; then
    for attempt in 1 2 3; do
      apt-get install -y -qq wine32:i386 >/dev/null && break
      echo "apt-get install wine32:i386 failed (attempt $attempt)"
      [ "$attempt" = 3 ] || { sleep $((attempt * 20)); apt-get update -qq || true; }
    done
  fi
fi
