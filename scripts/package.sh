#!/usr/bin/env bash
# Builds the packages into build/packages. See --help (and the README's
# "Version, installing and packages").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

usage() {
  cat <<'EOF'
Usage: scripts/package.sh [--out DIR] [deb|wheel|win64|win32]...
Builds the named packages (all four kinds by default) into build/packages, or
into DIR. V is the version of project() in CMakeLists.txt.

  deb    from build/deb, configured with the prefix /usr and Debian's build
         flags (dpkg-buildflags), without tests:
           libondrel1_V_amd64.deb      the shared library in /usr/lib/<multiarch>
           libondrel-dev_V_amd64.deb   ondrel.h, libondrel.so, CMake package, ondrel.pc
           ondrel-tools_V_amd64.deb    ondrel, ondrel-check, vespane, manual pages
           python3-ondrel_V_all.deb    the Python module, using the system's library
         then lintian on the four: any error or warning fails the packaging
  wheel  ondrel-V-py3-none-manylinux_X_Y_ARCH.whl: the Python module with
         libondrel.so.1 of build/wheel inside (configured as build/deb, with
         libstdc++ and libgcc linked into the library); X.Y is the newest
         GLIBC_X.Y symbol version the library needs (objdump -T)
  win64, win32
         from build/win64 and build/win32:
           ondrel-V-winNN.zip          stripped images, libondrel.dll.a and ondrel.lib,
                                       ondrel.h, README.md, LICENSE
           ondrel-V-winNN-dbg.zip      their debug information: bin/NAME.debug for each
                                       image, which names it in its .gnu_debuglink section

After all four kinds it prints their sizes (scripts/package-sizes.sh DIR).
A build tree that is missing is configured (without tests) and built first; one
that exists is brought up to date. Exit status: 0 when every package was built
(and lintian found nothing), 1 otherwise, 2 for a usage error.
EOF
}

out=$root/build/packages
kinds=()
while [ $# -gt 0 ]; do
  case $1 in
    -h|--help) usage; exit 0 ;;
    --out) [ $# -ge 2 ] || { usage >&2; exit 2; }; out=$2; shift 2 ;;
    deb|wheel|win64|win32) kinds+=("$1"); shift ;;
    *) echo "package.sh: unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done
[ ${#kinds[@]} -gt 0 ] || kinds=(deb wheel win64 win32)
mkdir -p "$out"
out=$(cd "$out" && pwd)
mkdir -p build
work=$(mktemp -d "$root/build/package-stage.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
# A Python with pip builds the wheels: PYTHON, else Debian's, else python3.
python=${PYTHON:-}
if [ -z "$python" ]; then
  for p in /usr/bin/python3 python3; do "$p" -m pip --version >/dev/null 2>&1 && { python=$p; break; }; done
fi

# Runs a command; shows its output only when it fails.
quiet() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; echo "failed: $*" >&2; exit 1; }; }

# The build tree of a kind, configured and built (every product, or the target named).
build_tree() {  # deb|wheel|win64|win32 [target]
  local tree=$1 dir=build/$1 target=${2:-ondrel_products} args=()
  case $tree in
    deb) args=(-DCMAKE_INSTALL_PREFIX=/usr) ;;
    wheel) args=(-DCMAKE_INSTALL_PREFIX=/usr) ;;
    win64) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake") ;;
    win32) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake") ;;
  esac
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    if [ "$tree" = deb ] || [ "$tree" = wheel ]; then
      # Debian's hardening and optimisation flags, as a Debian build gets them.
      flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
      export CFLAGS="$(flags CFLAGS) $(flags CPPFLAGS)" CXXFLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
        LDFLAGS=$(flags LDFLAGS)
      # The wheel's library brings its C++ runtime: a wheel may not rely on the
      # libstdc++ of the machine it is installed on being as new as ours. The
      # version script keeps all of it hidden behind AdvancedCheck.
      [ "$tree" != wheel ] || args+=("-DCMAKE_SHARED_LINKER_FLAGS=$LDFLAGS -static-libstdc++ -static-libgcc")
    fi
    quiet cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_TESTS=OFF "${args[@]}"
    unset CFLAGS CXXFLAGS LDFLAGS
  else
    quiet cmake "$dir"
  fi
  quiet cmake --build "$dir" -j 2 --target "$target"
  # shellcheck source=/dev/null
  . "$dir/packaging/package.env"
}

# Installs components of build/deb (or of the tree in $tree_dir) into a staging root.
stage() {  # destination, component...
  local dest=$1; shift
  for component in "$@"; do
    DESTDIR=$dest quiet cmake --install "${tree_dir:-build/deb}" --component "$component"
  done
}

# Strips the ELF files under a folder as dh_strip does: shared libraries keep
# their dynamic symbols only; neither keeps .comment or .note.
strip_elf() {  # folder
  local file
  while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    case $file in
      *.so|*.so.*) strip --remove-section=.comment --remove-section=.note --strip-unneeded "$file" ;;
      *) strip --remove-section=.comment --remove-section=.note "$file" ;;
    esac
  done < <(find "$1" -type f -print0)
}

size_line() { echo "$(basename "$1"): $(stat -c %s "$1") bytes"; }

# The Python module as a wheel, with the library named (and its platform tag) or without one.
wheel() {  # out-dir [library platform-tag]
  local settings=()
  [ -n "$python" ] || { echo "no Python with pip (Debian package python3-pip)"; exit 1; }
  [ -z "${2:-}" ] || settings=(--config-settings "library=$2" --config-settings "plat-name=$3")
  PYTHONDONTWRITEBYTECODE=1 quiet "$python" -m pip wheel --disable-pip-version-check --no-deps --no-index \
    --no-build-isolation -w "$1" "$root/python" "${settings[@]}"
}

# One Debian package from its staging root: documents, permissions, control files.
deb_package() {  # package, staging root
  local pkg=$1 dir=$2 meta=build/deb/packaging/debian/$1 docs depends=
  docs=$dir/usr/share/doc/$pkg
  mkdir -p "$docs" "$dir/DEBIAN"
  cp packaging/debian/copyright "$docs/"
  gzip -9nc packaging/debian/changelog >"$docs/changelog.gz"
  find "$dir/usr/share/man" -type f -name '*.[1-9]' -exec gzip -9n {} + 2>/dev/null || true
  strip_elf "$dir"
  find "$dir" -type d -exec chmod 0755 {} +
  find "$dir" -type f -exec chmod 0644 {} +
  [ ! -d "$dir/usr/bin" ] || find "$dir/usr/bin" -type f -exec chmod 0755 {} +

  # Dependencies of the ELF files on other packages' libraries.
  local elf=()
  while IFS= read -r -d '' f; do
    [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] && elf+=(-e"$f")
  done < <(find "$dir" -type f -print0)
  if [ ${#elf[@]} -gt 0 ]; then
    mkdir -p "$work/shlibdeps/debian"
    printf 'Source: ondrel\n\nPackage: %s\nArchitecture: any\n' "$pkg" >"$work/shlibdeps/debian/control"
    depends=$(cd "$work/shlibdeps" && quiet dpkg-shlibdeps -O "${elf[@]}" && sed -n 's/^shlibs:Depends=//p' "$work/log")
  fi
  local size
  size=$(du -k -s --apparent-size --exclude=DEBIAN "$dir" | cut -f1)
  for f in "$meta"/*; do
    case $(basename "$f") in
      control) sed -e "s/\${Installed-Size}/$size/" -e "s/\${shlibs:Depends}/$depends/" "$f" \
                 | sed -E '/^[A-Za-z-]+: *$/d' >"$dir/DEBIAN/control" ;;
      postinst|prerm|postrm|preinst) install -m 0755 "$f" "$dir/DEBIAN/" ;;
      *) install -m 0644 "$f" "$dir/DEBIAN/" ;;
    esac
  done
  (cd "$dir" && find . -path ./DEBIAN -prune -o -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum \
    | sed 's|  \./|  |') >"$dir/DEBIAN/md5sums"
  local arch
  arch=$(sed -n 's/^Architecture: //p' "$dir/DEBIAN/control")
  quiet dpkg-deb --root-owner-group -Zxz --build "$dir" "$out/${pkg}_${version}_$arch.deb"
  size_line "$out/${pkg}_${version}_$arch.deb"
  debs+=("$out/${pkg}_${version}_$arch.deb")
}

make_debs() {
  build_tree deb
  rm -f "$out"/*.deb
  local s=$work/deb
  stage "$s/libondrel1" runtime
  stage "$s/libondrel-dev" dev
  stage "$s/ondrel-tools" tools man
  # The module as the wheel without a library holds it, less the RECORD of
  # pip's installs: dpkg owns these files.
  local site=$s/python3-ondrel/usr/lib/python3/dist-packages
  mkdir -p "$site" "$work/pure"
  wheel "$work/pure"
  (cd "$site" && unzip -q "$work/pure/$name-$version-py3-none-any.whl" && rm "$name-$version.dist-info/RECORD")
  # The README, which documents the C interface, goes with the development files.
  mkdir -p "$s/libondrel-dev/usr/share/doc/libondrel-dev"
  gzip -9nc README.md >"$s/libondrel-dev/usr/share/doc/libondrel-dev/README.md.gz"
  debs=()
  for pkg in libondrel1 libondrel-dev ondrel-tools python3-ondrel; do
    deb_package "$pkg" "$s/$pkg"
  done
  for deb in "${debs[@]}"; do
    echo "  $(dpkg-deb --field "$deb" Package Depends | paste -sd ' ' | sed 's/Depends:/ Depends:/')"
  done
  if command -v lintian >/dev/null; then
    echo "-- lintian"
    local report
    report=$(lintian --display-info "${debs[@]}" 2>&1 | grep -v "running with root privileges" || true)
    if [ -n "$report" ]; then echo "$report"; else echo "(nothing to report)"; fi
    ! grep -qE '^[EW]: ' <<<"$report" || status=1
  else
    echo "lintian not installed"; status=1
  fi
}

# The manylinux tag (PEP 600) a shared library allows, from the symbol versions
# its undefined dynamic symbols need (objdump -T): manylinux_X_Y_ARCH for the
# newest GLIBC_X.Y. It may need glibc's own libraries only, and no version of
# anything else: a GLIBCXX_, CXXABI_ or GCC_ version would tie the wheel to a
# libstdc++ or libgcc as new as ours, which the glibc version alone does not
# promise (each manylinux policy caps them apart); linked in, they need nothing.
manylinux_tag() {  # library
  local versions needed bad glibc
  versions=$(objdump -T "$1" | sed -nE 's/.*\*UND\*\s+[0-9a-f]+\s+\(?([^ )]+)\)?\s+.*/\1/p' | sort -u)
  needed=$(objdump -p "$1" | awk '$1 == "NEEDED" {print $2}')
  bad=$(grep -vxE 'Base|GLIBC_[0-9]+\.[0-9]+(\.[0-9]+)?' <<<"$versions"; grep -vxE \
    'libc\.so\.6|libm\.so\.6|libdl\.so\.2|librt\.so\.1|libpthread\.so\.0|ld-linux-x86-64\.so\.2' <<<"$needed")
  if [ -n "$bad" ]; then
    echo "$(basename "$1") needs more than glibc: $(tr '\n' ' ' <<<"$bad")(no manylinux tag)" >&2; return 1
  fi
  glibc=$(grep -E '^GLIBC_' <<<"$versions" | sed 's/^GLIBC_//' | sort -V | tail -1)
  [ -n "$glibc" ] || glibc=2.5  # nothing versioned: the oldest manylinux glibc
  echo "$(basename "$1") needs $(grep '^GLIBC_' <<<"$versions" | sort -V | tr '\n' ' ')" >&2
  glibc=$(cut -d. -f1,2 <<<"$glibc")  # GLIBC_2.2.5 counts as 2.2
  echo "manylinux_${glibc%%.*}_${glibc#*.}_$(uname -m)"
}

make_wheel() {
  local tree_dir=build/wheel
  build_tree wheel ondrel
  rm -f "$out/$name"-*.whl
  local lib=$work/wheel-lib tag
  stage "$lib" runtime
  strip_elf "$lib"
  tag=$(manylinux_tag "$lib/usr/$libdir/libondrel.so.1") || exit 1
  echo "libondrel.so.1: $tag"
  wheel "$out" "$lib/usr/$libdir/libondrel.so.1" "$tag"
  size_line "$(ls "$out/$name-$version"-py3-none-*.whl)"
}

# A Windows zip and its -dbg zip: each image stripped, its debug information
# in NAME.debug, which the image names (with a CRC) in .gnu_debuglink.
make_zip() {  # win64|win32
  local tree=$1 triple
  case $tree in win64) triple=x86_64-w64-mingw32 ;; win32) triple=i686-w64-mingw32 ;; esac
  build_tree "$tree"
  local top=$name-$version-$system zip=$out/$name-$version-$system.zip dbg=$out/$name-$version-$system-dbg.zip
  rm -f "$zip" "$dbg"
  mkdir -p "$work/$tree" "$work/$tree-dbg/$top/bin"
  quiet cmake --install "build/$tree" --prefix "$work/$tree/$top"
  for image in "$work/$tree/$top"/bin/*.exe "$work/$tree/$top"/bin/*.dll; do
    local debug=$work/$tree-dbg/$top/bin/$(basename "$image").debug
    "$triple-objcopy" --only-keep-debug "$image" "$debug"
    "$triple-strip" --strip-all "$image"
    "$triple-objcopy" --add-gnu-debuglink="$debug" "$image"
    chmod 0644 "$debug"
  done
  (cd "$work/$tree" && zip -qrX9 "$zip" "$top")
  (cd "$work/$tree-dbg" && zip -qrX9 "$dbg" "$top")
  size_line "$zip"
  size_line "$dbg"
}

for kind in "${kinds[@]}"; do
  echo "== $kind"
  case $kind in
    deb) make_debs ;;
    wheel) make_wheel ;;
    win64|win32) make_zip "$kind" ;;
  esac
done
# All four kinds: their sizes as the README's table (scripts/package-sizes.sh).
if [ ${#kinds[@]} = 4 ]; then
  echo "== sizes"
  "$root/scripts/package-sizes.sh" "$out" || status=1
fi
exit $status
