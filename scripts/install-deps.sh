#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian machine, only when missing.
set -euo pipefail
need=()
have() { command -v "$1" >/dev/null 2>&1; }
pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
have clang++ || need+=(clang)
have i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686 gcc-mingw-w64-i686)
[ -d /usr/src/googletest ] && pkg_installed libgtest-dev || need+=(libgtest-dev googletest)
pkg_installed libssl-dev || need+=(libssl-dev)
pkg_installed zlib1g-dev || need+=(zlib1g-dev)
pkg_installed libbenchmark-dev || need+=(libbenchmark-dev)
pkg_installed libclang-rt-14-dev || need+=(libclang-rt-14-dev)
have openssl || need+=(openssl)
pkg_installed libcli11-dev || need+=(libcli11-dev)
pkg_installed nlohmann-json3-dev || need+=(nlohmann-json3-dev)
have help2man || need+=(help2man)
if ! have wine || ! pkg_installed wine32:i386; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then dpkg --add-architecture i386; fi
  need+=(wine wine32:i386)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
