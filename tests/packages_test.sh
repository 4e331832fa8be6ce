#!/usr/bin/env bash
# The packages as users get them (scripts/package.sh writes them):
#   the Debian packages: their files and fields; unpacked together into a
#     throwaway root (dpkg -x): pkg-config's answer, tests/consumer built with
#     find_package and with pkg-config, ondrel-check beside ondrel check, the
#     Python module's tests on the library; as root (and only when none of them
#     is installed), a real dpkg -i / apt-get remove round trip;
#   the wheel: installed into a fresh virtual environment, the module's tests
#     against the library inside it; then pip install of python/ offline;
#   each Windows zip: stripped images whose .debug files are in the -dbg zip; a
#     C host built by mingw-w64 against libondrel.dll.a, and one without a C
#     runtime linked by lld-link against ondrel.lib, run under Wine beside the
#     DLL (32-bit only where this kernel runs 32-bit programs).
# Usage: packages_test.sh PACKAGE-DIR VERSION
set -u
dir=$(cd "$1" && pwd) version=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
installed_here=()
cleanup() {  # the round trip's packages go, whatever happened
  [ ${#installed_here[@]} = 0 ] || dpkg --purge "${installed_here[@]}" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
passed=0 failed=0 skipped=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
bad() { echo "FAIL: $*"; failed=$((failed + 1)); }
skip() { echo "skipped: $*"; skipped=$((skipped + 1)); }
check() { local label=$1; shift; if "$@"; then ok "$label"; else bad "$label"; fi; }
export PYTHONDONTWRITEBYTECODE=1

has_files() {  # label, listing, expected paths...
  local label=$1 listing=$2 missing=(); shift 2
  for f in "$@"; do grep -qxF -- "$f" <<<"$listing" || missing+=("$f"); done
  if [ ${#missing[@]} = 0 ]; then ok "$label holds its $# files"; else bad "$label lacks ${missing[*]}"; fi
}
# pkg-config's answer, spaces squeezed.
pc_answer() { pkg-config --cflags --libs ondrel | xargs; }
# A tool named NAME-VERSION or NAME: clang, lld-link and llvm's tools.
tool() { for t in "$1" "$1"-16 "$1"-15 "$1"-14; do command -v "$t" && return; done; echo "$1"; }
# A Python with pytest and venv: Debian's, whose python3-pytest the venvs see.
python=
for p in /usr/bin/python3 python3; do
  "$p" -c 'import pytest, ensurepip' 2>/dev/null && { python=$p; break; }
done

# ---- Debian packages
arch=$(dpkg --print-architecture) multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
lib=/usr/lib/$multiarch major=${version%%.*}
packages=(libondrel1 libondrel-dev ondrel-tools python3-ondrel)
declare -A deb listing
debs=()
for pkg in "${packages[@]}"; do
  a=$arch; [ "$pkg" = python3-ondrel ] && a=all
  deb[$pkg]=$dir/${pkg}_${version}_$a.deb
  if [ -f "${deb[$pkg]}" ]; then
    debs+=("${deb[$pkg]}")
    listing[$pkg]=$(dpkg-deb -c "${deb[$pkg]}" | awk '{print $6}' | sed 's|^\./|/|')
  else bad "no ${deb[$pkg]}"; listing[$pkg]=; fi
done
doc() { echo "/usr/share/doc/$1/copyright /usr/share/doc/$1/changelog.gz"; }
# shellcheck disable=SC2046
{
  has_files libondrel1 "${listing[libondrel1]}" $lib/libondrel.so.$version $lib/libondrel.so.$major $(doc libondrel1)
  has_files libondrel-dev "${listing[libondrel-dev]}" /usr/include/ondrel.h $lib/libondrel.so $lib/pkgconfig/ondrel.pc \
    $lib/cmake/ondrel/ondrelConfig.cmake $lib/cmake/ondrel/ondrelConfigVersion.cmake $lib/cmake/ondrel/ondrelTargets.cmake \
    $(doc libondrel-dev)
  has_files ondrel-tools "${listing[ondrel-tools]}" /usr/bin/ondrel /usr/bin/ondrel-check /usr/bin/vespane \
    /usr/share/man/man1/ondrel.1.gz /usr/share/man/man1/ondrel-check.1.gz /usr/share/man/man1/vespane.1.gz $(doc ondrel-tools)
  has_files python3-ondrel "${listing[python3-ondrel]}" /usr/lib/python3/dist-packages/ondrel/__init__.py $(doc python3-ondrel)
}
files=$(for pkg in "${packages[@]}"; do grep -v '/$' <<<"${listing[$pkg]}"; done)
dups=$(sort <<<"$files" | uniq -d)
check "no file in two packages${dups:+: $dups}" [ -z "$dups" ]
outside=$(grep -E '^/usr/lib/[^/]+\.(so|pc)|^/usr/lib/pkgconfig/' <<<"$files")
check "nothing outside the multiarch folder${outside:+: $outside}" [ -z "$outside" ]

# Fields: package|field|extended regular expression the value matches.
while IFS='|' read -r pkg field pattern; do
  [ -f "${deb[$pkg]}" ] || continue
  value=$(dpkg-deb --field "${deb[$pkg]}" "$field")
  if grep -qE -- "$pattern" <<<"$value"; then ok "$pkg $field: $value"; else bad "$pkg $field: [$value], want /$pattern/"; fi
done <<EOF
libondrel1|Version|^$version\$
libondrel1|Depends|libc6 \(>= 
libondrel1|Multi-Arch|^same\$
libondrel1|Section|^libs\$
libondrel-dev|Depends|^libondrel1 \(= $version\)\$
libondrel-dev|Section|^libdevel\$
ondrel-tools|Depends|libc6 \(>= 
ondrel-tools|Version|^$version\$
python3-ondrel|Depends|python3:any.*libondrel1 \(>= $version\)|libondrel1 \(>= $version\).*python3:any
python3-ondrel|Architecture|^all\$
EOF

# The library's control files: shlibs and symbols name libondrel1; ldconfig runs
# through the trigger only.
if [ -f "${deb[libondrel1]}" ]; then
  mkdir -p "$work/control"
  dpkg-deb --control "${deb[libondrel1]}" "$work/control"
  c=$work/control
  check "libondrel1 shlibs: $(cat "$c/shlibs" 2>/dev/null)" grep -qx "libondrel $major libondrel1 (>= $version)" "$c/shlibs"
  check "libondrel1 symbols: AdvancedCheck@ONDREL_$major.0 in libondrel1" eval '
    grep -q "^libondrel.so.$major libondrel1 #MINVER#" "$c/symbols" && grep -q " AdvancedCheck@ONDREL_$major.0 " "$c/symbols"'
  check "libondrel1 triggers: activate-noawait ldconfig" grep -qx 'activate-noawait ldconfig' "$c/triggers"
fi
scripts=()
for pkg in "${packages[@]}"; do
  [ -f "${deb[$pkg]}" ] || continue
  mkdir -p "$work/control-$pkg"; dpkg-deb --control "${deb[$pkg]}" "$work/control-$pkg"
  for s in preinst postinst prerm postrm; do [ -f "$work/control-$pkg/$s" ] && scripts+=("$work/control-$pkg/$s"); done
done
check "no maintainer script calls ldconfig" eval '! grep -l ldconfig "${scripts[@]}" /dev/null >/dev/null'

# The packages unpacked together into a throwaway root.
r=$work/root
for d in "${debs[@]}"; do dpkg -x "$d" "$r" || bad "dpkg -x $(basename "$d")"; done
check "pkg-config for the system prefix: -londrel" [ "$(PKG_CONFIG_LIBDIR=$r$lib/pkgconfig pc_answer)" = "-londrel" ]
check "pkg-config in the root as sysroot: its folders" \
  [ "$(PKG_CONFIG_SYSROOT_DIR=$r PKG_CONFIG_LIBDIR=$r$lib/pkgconfig pc_answer)" = "-I$r/usr/include -L$r$lib -londrel" ]
check "consumer with cmake against the unpacked packages" bash "$root/tests/consumer_test.sh" cmake --prefix "$r/usr"
check "consumer with pkg-config against the unpacked packages" \
  env PKG_CONFIG_SYSROOT_DIR="$r" bash "$root/tests/consumer_test.sh" pkg-config --prefix "$r/usr"

# Any other prefix: the folders of the tree, also once it has moved.
if [ -f "$root/build/deb/CMakeCache.txt" ]; then
  for c in runtime dev; do cmake --install "$root/build/deb" --prefix "$work/opt/ondrel" --component $c >/dev/null; done
  mv "$work/opt/ondrel" "$work/opt/moved"
  answer=($(PKG_CONFIG_LIBDIR=$work/opt/moved/lib/$multiarch/pkgconfig pc_answer) - - -)
  check "pkg-config for another prefix, moved: ${answer[*]:0:3}" eval '[ "${answer[0]#-I}" -ef "$work/opt/moved/include" ] &&
    [ "${answer[1]#-L}" -ef "$work/opt/moved/lib/$multiarch" ] && [ "${answer[2]}" = -londrel ]'
fi

# ondrel-check is ondrel check: the same output and exit status for each call.
data=$work/abc.bin; printf abc >"$data"
if [ -x "$r/usr/bin/ondrel-check" ]; then
  alias_size=$(stat -c %s "$r/usr/bin/ondrel-check")
  check "ondrel-check is a link or a small alias ($alias_size bytes)" eval '[ -L "$r/usr/bin/ondrel-check" ] || [ "$alias_size" -lt 1024 ]'
  same=0 differ=()
  while IFS= read -r args; do
    eval "set -- $args"
    a=$("$r/usr/bin/ondrel-check" "$@" 2>&1; echo "status $?")
    b=$("$r/usr/bin/ondrel" check "$@" 2>&1; echo "status $?")
    if [ "$a" = "$b" ]; then same=$((same + 1)); else differ+=("[$args]"); fi
  done <<EOF
"$data" FILESIZE=3,MD5=900150983CD24FB0D6963F7D28E17F72
"$data" FILESIZE=4
"$data" NOPE=1 --json
"$data" FILESIZE=3 --quiet
"$work/none.bin" CRC32=00000000,FLAGIFNOFILE=
--help
--version

EOF
  check "ondrel-check and ondrel check answer alike ($same calls)${differ:+; not for ${differ[*]}}" [ ${#differ[@]} = 0 ]
fi
check "ondrel --version: $version" eval '[ "$("$r/usr/bin/ondrel" --version | head -1)" = "ondrel $version" ]'

# The Debian module finds the system's library by its name.
site=$r/usr/lib/python3/dist-packages
check "python3-ondrel loads libondrel.so.1 from the search path" eval '[ "$(LD_LIBRARY_PATH=$r$lib PYTHONPATH=$site \
  python3 -c "import ondrel; print(ondrel.library_path())")" = libondrel.so.1 ]'
check "the module's tests on python3-ondrel" env ONDREL_TEST_INSTALLED=1 PYTHONPATH="$site" \
  bash "$root/tests/python_test.sh" "$r$lib/libondrel.so.1"

# ---- the wheel
# What a library needs beyond the glibc X.Y of a manylinux_X_Y tag, read with
# objdump -T (the versions of its undefined dynamic symbols) and objdump -p
# (the libraries it loads): GLIBC_ versions newer than X.Y, any other version
# (GLIBCXX_, CXXABI_, GCC_: a libstdc++ or libgcc of ours), any library that
# is not glibc's own. Empty when the tag holds.
beyond_manylinux() {  # library X.Y
  local v major_minor
  objdump -T "$1" | awk '/\*UND\*/ { v = $(NF - 1); gsub(/[()]/, "", v); print v }' | sort -u | while read -r v; do
    case $v in
      Base) ;;
      GLIBC_[0-9]*.[0-9]*)
        major_minor=$(cut -d. -f1,2 <<<"${v#GLIBC_}")
        [ "$(printf '%s\n' "$major_minor" "$2" | sort -V | tail -1)" = "$2" ] || echo "$v" ;;
      *) echo "$v" ;;
    esac
  done
  objdump -p "$1" | awk '$1 == "NEEDED" {print $2}' |
    grep -vxE 'libc\.so\.6|libm\.so\.6|libdl\.so\.2|librt\.so\.1|libpthread\.so\.0|ld-linux-x86-64\.so\.2'
}
wheels=("$dir/ondrel-$version"-py3-none-*.whl)
wheel=${wheels[0]}
tag=${wheel##*-py3-none-}; tag=${tag%.whl}
if [ ${#wheels[@]} != 1 ] || [ ! -f "$wheel" ]; then bad "not one wheel in $dir: ${wheels[*]##*/}"
elif [ -z "$python" ]; then bad "no Python with pytest and venv (python3-pytest, python3-venv)"
else
  info=ondrel-$version.dist-info
  has_files "$(basename "$wheel")" "$(unzip -Z1 "$wheel")" ondrel/__init__.py ondrel/libondrel.so.1 \
    $info/METADATA $info/WHEEL $info/RECORD
  check "WHEEL: not pure, tag py3-none-$tag, a manylinux_X_Y_$(uname -m) tag" eval 'unzip -p "$wheel" $info/WHEEL |
    grep -qx "Root-Is-Purelib: false" && unzip -p "$wheel" $info/WHEEL | grep -qx "Tag: py3-none-$tag" &&
    grep -qxE "manylinux_[0-9]+_[0-9]+_$(uname -m)" <<<"$tag"'
  glibc=$(sed -E 's/^manylinux_([0-9]+)_([0-9]+)_.*/\1.\2/' <<<"$tag")
  unzip -q -o "$wheel" ondrel/libondrel.so.1 -d "$work/wheel"
  beyond=$(beyond_manylinux "$work/wheel/ondrel/libondrel.so.1" "$glibc")
  check "the wheel's library needs nothing beyond glibc $glibc (objdump -T, -p)${beyond:+: $(echo $beyond)}" [ -z "$beyond" ]
  # The same reading refuses the Debian package's library, which loads the
  # system's libstdc++ (so a check that passes everything fails here).
  if [ -f "$r$lib/libondrel.so.$version" ]; then
    beyond=$(beyond_manylinux "$r$lib/libondrel.so.$version" "$glibc")
    check "the reading refuses libondrel1's library (shared libstdc++): $(echo $beyond | cut -c1-60)" \
      eval 'grep -q "^GLIBCXX_" <<<"$beyond" && grep -qx "libstdc++.so.6" <<<"$beyond"'
  fi
  venv=$work/venv
  "$python" -m venv --system-site-packages "$venv" && "$venv/bin/python" -m pip install -q --no-index \
    --disable-pip-version-check "$wheel" || bad "the wheel does not install into a fresh venv"
  bundled=$("$venv/bin/python" -c 'import ondrel, os; print(os.path.dirname(ondrel.__file__))')/libondrel.so.1
  check "the bundled library exports AdvancedCheck, SONAME libondrel.so.$major" \
    bash "$root/tests/check_exports.sh" so "$bundled" "$version"
  # Found before a copy on the loader's path (and before an installed one).
  check "the wheel's module loads its own library first" eval '[ "$(cd "$work" && LD_LIBRARY_PATH=$r$lib \
    "$venv/bin/python" -c "import ondrel; print(ondrel.library_path())")" = "$bundled" ]'
  check "the module's tests on the installed wheel" env ONDREL_TEST_INSTALLED=1 ONDREL_PYTHON="$venv/bin/python" \
    bash "$root/tests/python_test.sh" "$bundled"
  # From the source folder, offline, in place of the wheel: the module alone,
  # over the system's library.
  check "pip install --no-build-isolation python/ offline" \
    "$venv/bin/python" -m pip install -q --no-index --no-build-isolation --disable-pip-version-check "$root/python"
  check "python/ installed from source loads libondrel.so.1 from the search path" eval '[ "$(cd "$work" &&
    LD_LIBRARY_PATH=$r$lib "$venv/bin/python" -c "import ondrel; print(ondrel.library_path())")" = libondrel.so.1 ]'
fi

# ---- as root: installed for real, used, removed
round_trip() {
  local present=() p
  # ondrel: the single package of 1.0.0, which two of these replace.
  for p in "${packages[@]}" ondrel; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] && present+=("$p")
  done
  if [ "$(id -u)" != 0 ]; then skip "dpkg -i round trip (needs root)"; return; fi
  if [ ${#present[@]} != 0 ]; then skip "dpkg -i round trip (${present[*]} installed already; left as found)"; return; fi
  [ ${#debs[@]} = 4 ] || { bad "dpkg -i round trip: packages missing"; return; }
  installed_here=("${packages[@]}")
  check "dpkg -i of the four packages" eval 'dpkg -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; false; }'
  check "ldconfig's cache has $lib/libondrel.so.$major (the trigger ran)" \
    eval 'ldconfig -p | grep -qE "libondrel\.so\.$major .*=> (/usr)?/lib/$multiarch/libondrel\.so\.$major\$"'
  check "pkg-config --cflags --libs ondrel: -londrel" eval '[ "$(unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR; pc_answer)" = -londrel ]'
  check "consumer with cmake against the installed packages" bash "$root/tests/consumer_test.sh" cmake --prefix /usr
  check "consumer with pkg-config against the installed packages" bash "$root/tests/consumer_test.sh" pkg-config --prefix /usr
  check "ondrel-check on the path" eval '[ "$(ondrel-check "$data" FILESIZE=3 | tail -1)" = "result: 1 (holds)" ]'
  check "python3 imports the installed module over the system's library" eval '[ "$(cd / && /usr/bin/python3 -c \
    "import ondrel; print(ondrel.library_path(), ondrel.check(\"$data\", \"FILESIZE=3\"))")" = "libondrel.so.1 True" ]'
  check "apt-get remove --purge of the four" eval 'apt-get remove --purge -y -qq "${packages[@]}" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; false; }'
  left=()
  for p in "${packages[@]}"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] && left+=("$p")
  done
  [ ${#left[@]} = 0 ] && installed_here=()
  check "removed: no package, no file, nothing in ldconfig's cache" eval '[ ${#left[@]} = 0 ] &&
    [ ! -e "$lib/libondrel.so.$major" ] && [ ! -e /usr/include/ondrel.h ] && [ ! -e /usr/bin/ondrel-check ] &&
    [ ! -e /usr/lib/python3/dist-packages/ondrel ] && ! ldconfig -p | grep -q libondrel'
}
round_trip

# ---- the Windows zips
# Whether this kernel executes 32-bit x86 programs (32-bit Wine needs it).
runs_32bit() { why_not_win32=$(bash "$root/scripts/win32-runnable.sh"); }
clang=$(tool clang) lld_link=$(tool lld-link) dlltool=$(tool llvm-dlltool) readobj=$(tool llvm-readobj)


for arch in win64 win32; do
  zip=$dir/ondrel-$version-$arch.zip dbg=$dir/ondrel-$version-$arch-dbg.zip
  [ -f "$zip" ] || { bad "no $zip"; continue; }
  [ -f "$dbg" ] || { bad "no $dbg"; continue; }
  case $arch in win64) cross=x86_64 msvc=x64 machine=i386:x86-64 ;; win32) cross=i686 msvc=x86 machine=i386 ;; esac
  top=ondrel-$version-$arch
  listing=$(unzip -Z1 "$zip")
  has_files "$(basename "$zip")" "$listing" $top/bin/ondrel.dll $top/lib/libondrel.dll.a $top/lib/ondrel.lib \
    $top/include/ondrel.h $top/bin/Vespane.exe $top/README.md $top/LICENSE
  tools=$(grep -cE "^$top/bin/ondrel[^/]*\.exe$" <<<"$listing")
  [ "$tools" -gt 0 ] && ok "$arch: $tools command-line tool(s)" || bad "$arch: no command-line tool"
  # Both into one place, as a user debugging them would unpack them.
  unzip -q "$zip" -d "$work/$arch" && unzip -q "$dbg" -d "$work/$arch" || { bad "unzip $zip"; continue; }
  tree=$work/$arch/$top out=$work/$arch/host
  mkdir -p "$out"

  # Each image stripped; objdump follows its .gnu_debuglink (name and CRC-32)
  # to the .debug file beside it and reads the debug information there.
  lean=() fat=()
  for image in "$tree"/bin/*.exe "$tree"/bin/*.dll; do
    name=$(basename "$image")
    if ! "$cross-w64-mingw32-objdump" -h "$image" | grep -q '\.debug_' &&
       "$cross-w64-mingw32-nm" "$image" 2>&1 | grep -q 'no symbols' &&
       "$cross-w64-mingw32-objdump" --dwarf=follow-links --dwarf=info "$image" 2>&1 | head -3 |
         grep -qF "(loaded from $tree/bin/$name.debug)"; then
      lean+=("$name")
    else fat+=("$name"); fi
  done
  check "$arch: stripped, with their .debug files in the -dbg zip: ${lean[*]}${fat:+; not ${fat[*]}}" [ ${#fat[@]} = 0 ]

  # ondrel-check.exe runs the ondrel.exe beside it: a few KB that import kernel32 alone.
  alias_exe=$tree/bin/ondrel-check.exe
  if [ -f "$alias_exe" ]; then
    alias_size=$(stat -c %s "$alias_exe")
    alias_dlls=$("$cross-w64-mingw32-objdump" -p "$alias_exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
    check "$arch: ondrel-check.exe is small ($alias_size bytes), imports only ${alias_dlls}" \
      eval '[ "$alias_size" -lt 16384 ] && [ "$(echo $alias_dlls | tr a-z A-Z)" = KERNEL32.DLL ]'
  else bad "$arch: no ondrel-check.exe"; fi

  # ondrel.lib: one short import, AdvancedCheck undecorated; on i686 under _AdvancedCheck@8.
  implib=$("$readobj" "$tree/lib/ondrel.lib")
  case $arch in win64) symbol=AdvancedCheck nametype=name ;; win32) symbol=_AdvancedCheck@8 nametype=undecorate ;; esac
  check "$arch: ondrel.lib holds one short import, symbol $symbol, name type $nametype" eval '
    [ "$(grep -c "^Format: COFF-import-file" <<<"$implib")" = 1 ] && grep -qx "Symbol: $symbol" <<<"$implib" &&
    grep -qx "Name type: $nametype" <<<"$implib"'

  # A host as users of Microsoft's tools link one: lld-link, no C runtime.
  def=ExitProcess; [ $arch = win32 ] && def=ExitProcess@4
  printf 'LIBRARY kernel32.dll\nEXPORTS\n    %s\n' $def >"$out/kernel32.def"
  if "$dlltool" -m $machine -k -d "$out/kernel32.def" -l "$out/kernel32.lib" &&
     "$clang" --target=$cross-pc-windows-msvc -c -O2 -Wall -Werror -ffreestanding -fno-stack-protector -fno-builtin \
       -I"$tree/include" "$root/tests/consumer/nocrt_host.c" -o "$out/nocrt_host.obj" &&
     "$lld_link" /nologo /entry:start /subsystem:console /nodefaultlib /machine:$msvc "$out/nocrt_host.obj" \
       "$tree/lib/ondrel.lib" "$out/kernel32.lib" /out:"$out/nocrt_host.exe"; then
    imports=$("$cross-w64-mingw32-objdump" -p "$out/nocrt_host.exe" | sed -n '/DLL Name: ondrel.dll/,/^$/p')
    check "$arch: lld-link host imports AdvancedCheck (hint 1) from ondrel.dll" grep -qE '^\s+[0-9a-f]+\s+1\s+AdvancedCheck$' <<<"$imports"
  else
    bad "$arch: the host without a C runtime does not link against ondrel.lib"
  fi

  if ! "$cross-w64-mingw32-gcc" -Wall -Werror "$root/tests/consumer/consumer.c" -I"$tree/include" -L"$tree/lib" -londrel \
      -o "$out/consumer.exe"; then
    bad "$arch: the host does not build against the zip's import library"; continue
  fi
  if "$cross-w64-mingw32-objdump" -p "$out/consumer.exe" | sed -n '/DLL Name: ondrel.dll/,/^$/p' | grep -qE '\bAdvancedCheck$'; then
    ok "$arch: host links, imports AdvancedCheck from ondrel.dll"
  else bad "$arch: host does not import AdvancedCheck from ondrel.dll"; continue; fi
  if [ $arch = win32 ] && ! runs_32bit; then
    echo "skipped: $arch host runs ($why_not_win32)"; skipped=$((skipped + 1)); continue
  fi
  cp "$tree/bin/ondrel.dll" "$out/"
  for i in $(seq 1 100); do printf 'row %d of the zip data\r\n' "$i"; done >"$out/data.bin"
  size=$(stat -c %s "$out/data.bin") md5=$(md5sum "$out/data.bin" | cut -c1-32)
  export WINEPREFIX=$root/build/$arch/wineprefix
  [ -d "$WINEPREFIX" ] || WINEPREFIX=$work/wineprefix-$arch
  results=$(cd "$out" && while IFS='|' read -r list expected; do
      "$root/scripts/wine-run.sh" ./consumer.exe data.bin "$list" "$expected" >/dev/null 2>&1 && echo pass || echo "fail [$list]"
    done <<EOF2
FILESIZE=$size,MD5=$(tr a-f A-F <<<"$md5")|1
FILESIZE=$((size - 1))|0
MD5=$md5|0
|1
EOF2
  )
  if [ "$(grep -c '^pass$' <<<"$results")" = 4 ]; then ok "$arch: host run under Wine, 4 answers right"
  else bad "$arch: host run under Wine: $(grep -v '^pass$' <<<"$results" | tr '\n' ' ')"; fi
  if [ -f "$out/nocrt_host.exe" ]; then
    mkdir -p "$out/nocrt" && cp "$tree/bin/ondrel.dll" "$out/nocrt_host.exe" "$out/nocrt/" && printf abc >"$out/nocrt/data.bin"
    (cd "$out/nocrt" && "$root/scripts/wine-run.sh" ./nocrt_host.exe >/dev/null 2>&1); wrong=$?
    check "$arch: lld-link host run under Wine, 6 answers right (wrong-answer bits: $wrong)" [ "$wrong" = 0 ]
  fi

  # ondrel-check.exe answers as ondrel.exe check does: output, errors and exit
  # status, arguments with spaces, quotes, a trailing backslash, an empty one;
  # both from a folder whose name has a space, as its own name then is quoted.
  if [ -f "$alias_exe" ]; then
    bin="$out/alias/bin dir"
    mkdir -p "$bin" "$out/alias/sub dir" "$out/alias/lone" && printf abc >"$out/alias/my data.bin"
    cp "$tree"/bin/*.exe "$tree"/bin/*.dll "$bin/"
    same=0 differ=()
    while IFS= read -r args; do
      eval "set -- $args"
      a=$(cd "$out/alias" && "$root/scripts/wine-run.sh" "$bin/ondrel-check.exe" "$@" 2>&1; echo "status $?")
      b=$(cd "$out/alias" && "$root/scripts/wine-run.sh" "$bin/ondrel.exe" check "$@" 2>&1; echo "status $?")
      if [ "$a" = "$b" ]; then same=$((same + 1)); else differ+=("[$args]: [$a] [$b]"); fi
    done <<'EOF2'
"my data.bin" FILESIZE=3,MD5=900150983CD24FB0D6963F7D28E17F72
"my data.bin" FILESIZE=4
"my data.bin" 'NOPE="a b",FILESIZE=3' --json
"my data.bin" 'INI=a\"b c\'
'sub dir\' FILESIZE=0
"" FLAGIFNOFILE=
none.bin CRC32=00000000,FLAGIFNOFILE=
--quiet --json x y
--help
--version
EOF2
    check "$arch: ondrel-check.exe and ondrel.exe check answer alike under Wine ($same calls)${differ:+; not for ${differ[*]}}" \
      [ ${#differ[@]} = 0 ]
    # Alone, it says why it cannot answer and exits with 127, as a shell's exec would.
    cp "$alias_exe" "$out/alias/lone/"
    a=$(cd "$out/alias" && "$root/scripts/wine-run.sh" lone/ondrel-check.exe x y 2>&1; echo "status $?")
    check "$arch: ondrel-check.exe without ondrel.exe beside it: status 127, a reason" \
      eval 'grep -q "cannot start ondrel.exe" <<<"$a" && [ "$(tail -1 <<<"$a")" = "status 127" ]'
  fi
  unset WINEPREFIX
done

# ---- the sizes: scripts/package-sizes.sh names every package with its size in
# bytes; the README's table (made by it) names the same packages. Its figures
# are not compared: they differ from one compiler to the next.
sizes=$(bash "$root/scripts/package-sizes.sh" "$dir"); sizes_status=$?
sizes=$(tr -d , <<<"$sizes")
unnamed=() built=()
for f in "$dir"/*.deb "$dir"/*.whl "$dir"/*.zip; do
  [ -f "$f" ] || continue
  built+=("$(basename "$f")")
  grep -qxF "| \`$(basename "$f")\` | $(stat -c %s "$f") |" <<<"$sizes" || unnamed+=("$(basename "$f")")
done
check "package-sizes.sh: status $sizes_status, ${#built[@]} packages with their sizes${unnamed:+; not ${unnamed[*]}}" \
  eval '[ $sizes_status = 0 ] && [ ${#built[@]} = 9 ] && [ ${#unnamed[@]} = 0 ]'
# Names with the version and the wheel's glibc left out.
generic() { sed -E "s/$(sed 's/\./\\./g' <<<"$version")/V/; s/manylinux_[0-9]+_[0-9]+_/manylinux_X_Y_/" | sort; }
in_readme=$(sed -nE 's/^\| `([^`]+\.(deb|whl|zip))` \| [0-9,]+ \|$/\1/p' "$root/README.md" | generic)
in_build=$(printf '%s\n' "${built[@]}" | generic)
check "the README's sizes table names the packages built" [ "$in_readme" = "$in_build" ]

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
