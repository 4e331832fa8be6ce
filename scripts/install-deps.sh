#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian machine, only when missing.
# Usage: install-deps.sh            everything: native, Windows cross builds, Wine, fuzzing
#        install-deps.sh --native   only what the native build of the tools needs
set -euo pipefail
need=()
have() { command -v "$1" >/dev/null 2>&1; }
pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
# The ondrel command's argument and JSON libraries (header-only).
pkg_installed libcli11-dev || need+=(libcli11-dev)
pkg_installed nlohmann-json3-dev || need+=(nlohmann-json3-dev)
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
  have help2man || need+=(help2man)
  # Packages and their tests: CPack's Debian package (dpkg-shlibdeps), lintian,
  # the consumer builds (pkg-config), the zips, the Python module's tests.
  have dpkg-shlibdeps || need+=(dpkg-dev)
  have lintian || need+=(lintian)
  have pkg-config || need+=(pkg-config)
  have zip || need+=(zip)
  have unzip || need+=(unzip)
  have pytest-3 || need+=(python3-pytest)
  # useradd and groupadd: the launcher tests run as root make an ordinary user.
  PATH="$PATH:/usr/sbin:/sbin" have useradd || need+=(passwd)
  # 64-bit Wine runs the x86-64 suite on any kernel; 32-bit Wine (i386
  # architecture) installs everywhere, though only some kernels can run it.
  pkg_installed wine64 || need+=(wine64)
  if ! have wine || ! pkg_installed wine32:i386; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then dpkg --add-architecture i386; fi
    need+=(wine wine32:i386)
  fi
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
