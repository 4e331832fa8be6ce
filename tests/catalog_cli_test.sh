#!/usr/bin/env bash
# Catalogues through the ondrel program, grouped by subcommand: help and
# exit statuses; make --catalog; make --against and --against-catalog
# (cheap lists that hold for their file and fail for the others, --explain,
# --json, files that cannot be told apart); identify (names, unknown files,
# -r, --json, --quiet, damaged lines, standard input); catalog check;
# catalog index (used when fresh, said and left alone when stale, the same
# output either way).
# Usage: catalog_cli_test.sh EMULATOR-OR-EMPTY TOOL
set -u
emulator=$1 tool=$(readlink -f "$2")
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
. "$(dirname "$0")/support/cli_expect.sh"
# out ARGS...: standard output of the tool run in the test folder, no CRs.
out() { (cd "$dir" && run "$@" 2>/dev/null </dev/null) | tr -d '\r'; }
holds() { (cd "$dir" && run check --quiet "$1" "$2" </dev/null >/dev/null 2>&1); }
flip() {  # flip FILE OFFSET: the lowest bit of one byte, in place
  local b
  b=$(od -An -tu1 -j"$2" -N1 "$dir/$1" | tr -d ' ')
  printf "\\$(printf %03o $((b ^ 1)))" | dd of="$dir/$1" bs=1 seek="$2" conv=notrunc status=none
}

# Three versions of one file of 64 KiB, differing in a byte near the start,
# in the middle and near the end; a fourth of another size; a copy.
mkdir -p "$dir/versions/sub" "$dir/empty"
head -c 65536 /dev/urandom >"$dir/versions/v1.bin"
cp "$dir/versions/v1.bin" "$dir/versions/v2.bin"; flip versions/v2.bin 20
cp "$dir/versions/v1.bin" "$dir/versions/sub/v3.bin"; flip versions/sub/v3.bin 65530
head -c 1000 /dev/urandom >"$dir/versions/short.bin"
cp "$dir/versions/v1.bin" "$dir/copy.bin"
v=(versions/v1.bin versions/v2.bin versions/sub/v3.bin versions/short.bin)

# ---- help and usage ----
for sub in identify "catalog check"; do
  # shellcheck disable=SC2086
  expect "help $sub" 0 "Usage: ondrel $sub" '' -- $sub --help
  # shellcheck disable=SC2086
  expect "help $sub: its exit statuses" 0 '^Exit status: 0' '' -- $sub --help
done
expect "help catalog" 0 'catalog check' '' -- catalog --help
expect "catalog needs a subcommand" 2 '' '' -- catalog
expect "help make: against" 0 '--against-catalog' '' -- make --help
expect "help lists identify" 0 'identify' '' -- --help

# ---- make --catalog ----
expect "catalogue line" 0 '^app 1\.0	FILESIZE=65536,CRC32=[0-9A-F]{8},MD5=[0-9A-F]{32}$' '' -- make --catalog "app 1.0" versions/v1.bin
expect "catalogue line: rules" 0 '^v1	MD5=[0-9A-F]{32}$' '' -- make --catalog v1 versions/v1.bin --rules md5
expect "catalogue line: escapes" 0 '^a\\tb\\\\c	FILESIZE=1000$' '' -- make --catalog "a	b\\c" versions/short.bin --rules size
expect "catalogue name reads as a comment" 2 '' 'cannot start with "#"' -- make --catalog " #1" versions/v1.bin
expect "catalogue of two files" 2 '' 'one FILE' -- make --catalog x versions/v1.bin versions/v2.bin
expect "catalogue and json" 2 '' 'excludes' -- make --catalog x --json versions/v1.bin
expect "catalogue of a missing file" 1 '' 'missing.bin: not found' -- make --catalog x missing.bin

# ---- make --against ----
expect "near the start" 0 '^FILESIZE=65536,SIZEMD5=20\|20\|[0-9A-F]{32}$' '' -- make versions/v2.bin --against versions/v1.bin
expect "near the end" 0 '^FILESIZE=65536,ENDMD5=1\|5\|[0-9A-F]{32}$' '' -- make versions/sub/v3.bin --against versions/v1.bin
expect "other sizes: the size alone" 0 '^FILESIZE=1000$' '' -- make versions/short.bin --against versions/v1.bin versions/v2.bin
expect "explain: each rule" 0 '^# SIZEMD5=20\|20\|[0-9A-F]{32}: reads 1 byte \(the byte at offset 20\)' '' -- make versions/v2.bin --against versions/v1.bin versions/sub/v3.bin --explain
expect "explain: the total" 0 '^# a host reads 1 of the file.s 65536 bytes' '' -- make versions/v2.bin --against versions/v1.bin --explain
expect "explain: the list last" 0 '^FILESIZE=65536,SIZEMD5=' '' -- make versions/v2.bin --against versions/v1.bin --explain
expect "against, catalogue line" 0 '^two	FILESIZE=65536,SIZEMD5=20\|20\|' '' -- make --catalog two versions/v2.bin --against versions/v1.bin
expect "against json" 0 '"bytesRead": 1,' '' -- make --json versions/v2.bin --against versions/v1.bin
expect "same bytes" 1 '^$' 'copy\.bin holds the same bytes as versions/v1\.bin: no check list can tell them apart' -- make versions/v1.bin --against versions/v2.bin copy.bin
expect "same bytes, json" 1 '"same": \[' 'same bytes' -- make --json versions/v1.bin --against copy.bin
expect "against a missing file" 1 '' 'missing\.bin: not found' -- make versions/v1.bin --against missing.bin
expect "against and rules" 2 '' 'excludes' -- make versions/v1.bin --rules md5 --against versions/v2.bin
expect "explain alone" 2 '' '--explain goes with --against' -- make versions/v1.bin --explain
expect "against, two files" 2 '' 'give one FILE' -- make versions/v1.bin versions/v2.bin --against-catalog x

# --against-catalog: the entries' names lead to the files (the one of FILE left out).
(cd "$dir" && for f in "${v[@]}"; do run make --catalog "$f" "$f"; done) | tr -d '\r' >"$dir/paths.cat"
for i in 0 1 2 3; do
  list=$(out make "${v[$i]}" --against-catalog paths.cat)
  holds "${v[$i]}" "$list" && ok || bad "against-catalog ${v[$i]}: $list"
  for j in 0 1 2 3; do
    [ "$j" = "$i" ] && continue
    if holds "${v[$j]}" "$list"; then bad "against-catalog: ${v[$i]}'s $list holds for ${v[$j]}"; else ok; fi
  done
done
printf 'versions/v1.bin\tMD5=1\nnowhere.bin\tMD5=2\n' >"$dir/nowhere.cat"
expect "against-catalog: a name that leads nowhere" 1 '' 'nowhere\.cat:2: "nowhere\.bin" names no regular file' -- make versions/v2.bin --against-catalog nowhere.cat
printf 'versions/v1.bin\tMD5=1\nbroken line\n' >"$dir/broken.cat"
expect "against-catalog: damaged" 2 '' 'broken\.cat:2: damaged line: no TAB' -- make versions/v2.bin --against-catalog broken.cat

# ---- identify ----
: >"$dir/known.cat"
for i in 0 1 2 3; do
  others=()
  for j in 0 1 2 3; do [ "$j" = "$i" ] || others+=("${v[$j]}"); done
  out make --catalog "version $i" "${v[$i]}" --against "${others[@]}" >>"$dir/marked.cat"
done
grep -v '^#against' "$dir/marked.cat" >"$dir/known.cat"  # the entries alone, one per line
expect "identify one" 0 '^versions/v2\.bin	version 1$' '' -- identify known.cat versions/v2.bin
expect "identify all" 0 '^versions/sub/v3\.bin	version 2$' '^4 files: 4 identified' -- identify known.cat "${v[@]}"
# Lists made --against tell their file from those files only: marked, and said.
[ "$(grep -c '^#against	3$' "$dir/marked.cat")" = 4 ] && ok || bad "make --catalog --against: no mark before each entry"
cp "$dir/versions/v1.bin" "$dir/build.bin"; flip build.bin 30000  # an unknown build of version 0
expect "a match through a marked entry is said" 0 '^build\.bin	version 0$' 'build\.bin: "version 0" tells its version only from the files its list was made against' -- identify marked.cat build.bin
expect "the summary counts them" 0 '' '^1 file: 1 identified \(1 only from known neighbours\),' -- identify marked.cat build.bin
expect "--strict refuses them" 1 '^build\.bin	version 0$' 'refused \(--strict\)' -- identify --strict marked.cat build.bin
expect "--json names them" 0 '"neighboursOnly": \[$' '' -- identify --json marked.cat build.bin
make_full() { out make --catalog "$1" "$2" --rules md5; }
make_full "full 0" versions/v1.bin >"$dir/full.cat"
expect "an entry with the whole digest is no such match" 0 '^versions/v1\.bin	full 0$' '^1 file: 1 identified, ' -- identify --strict full.cat versions/v1.bin
if [ -z "$emulator" ]; then  # names that hold a TAB or a backslash: not on Windows
  cp "$dir/versions/v1.bin" "$dir/tab	name.bin"
  expect "identify: an escaped line starts with a backslash" 0 '^\\tab\\tname\.bin	full 0$' '' -- identify full.cat "tab	name.bin"
fi
head -c 65000 /dev/urandom >"$dir/stranger.bin"  # no list of these can hold for it
# Files are given and walked through a window: its edges change nothing.
for window in 1 2; do
  [ "$(ONDREL_WINDOW=$window out identify known.cat stranger.bin -r versions missing.bin "${v[@]}")" = "$(out identify known.cat stranger.bin -r versions missing.bin "${v[@]}")" ] && ok || bad "identify through a window of $window"
done
expect "identify unknown" 1 '^stranger\.bin	unknown$' '1 unknown' -- identify known.cat stranger.bin
expect "identify missing" 1 '^missing\.bin	unknown$' 'missing\.bin: not found' -- identify known.cat missing.bin
expect "identify a copy" 0 '^copy\.bin	version 0$' '' -- identify known.cat copy.bin
expect "identify -r" 0 '^versions/sub/v3\.bin	version 2$' '^4 files: 4 identified' -- identify known.cat -r versions
expect "identify json" 0 '"names": \[' '' -- identify --json known.cat versions/v1.bin
expect "identify json summary" 1 '"unknown": 1' '' -- identify --json known.cat stranger.bin
expect "identify quiet" 1 '^$' '^$' -- identify -q known.cat stranger.bin
expect "identify quiet holds" 0 '^$' '^$' -- identify -q known.cat versions/v1.bin
expect "identify, no file" 2 '' 'give FILE' -- identify known.cat
expect "identify, no catalogue" 2 '' 'missing\.cat: not found' -- identify missing.cat versions/v1.bin
expect "identify, -r of a file" 2 '' 'not a folder' -- identify known.cat -r versions/v1.bin
in="$dir/known.cat" expect "identify, catalogue on standard input" 0 '	version 0$' '' -- identify - versions/v1.bin

# Several entries for one file; entries without a size rule; damaged lines;
# CR LF and a byte-order mark.
head -c 16 "$dir/versions/v1.bin" >"$dir/h16"
first16=$(out check h16 "MD5=" | sed -n 's/^    computed: //p')
{
  printf '\357\273\277# versions, with CR LF\r\n'              # line 1
  sed 's/$/\r/' "$dir/known.cat"                             # lines 2 to 5
  printf 'any 64 KiB\tFILESIZE=65536\r\n'                     # 6
  printf 'no tab here\r\n'                                    # 7
  printf 'holds for none\tSIZEMD5=0|0|0123456789ABCDEF0123456789ABCDEF\r\n'  # 8
  printf 'first 16 bytes of v1\tSIZEMD5=0|15|%s\r\n' "$first16"  # 9
} >"$dir/mixed.cat"
expect "identify: several entries" 1 '^versions/v2\.bin	version 1	any 64 KiB	first 16 bytes of v1$' 'mixed\.cat:7: damaged line: no TAB' -- identify mixed.cat versions/v2.bin
expect "identify: an entry without a size rule" 1 '^versions/short\.bin	version 3$' '' -- identify mixed.cat versions/short.bin

# A list of blanks or control bytes names no file: a damaged line, not an
# entry that every file would match.
printf 'app 9.9\t \nctl\t\001\002\ncommas\t, ,\n' >"$dir/blank.cat"
expect "identify: a list with no entry is damaged" 1 '^stranger\.bin	unknown$' 'blank\.cat:1: damaged line: no entry' -- identify blank.cat stranger.bin
expect "identify: every such line reported" 1 '' 'blank\.cat:3: damaged line: no entry' -- identify blank.cat stranger.bin
printf ' \tstranger.bin\n' >"$dir/blank.list"
expect "verify: a list with no entry is damaged" 1 '' 'blank\.list:1: damaged line: no entry' -- verify blank.list

# ---- catalog check ----
expect "catalog check: exact" 0 '^4 files, 4 entries: 4 recognised by exactly one entry, 0 by several, 0 by none; 0 entries hold for several files, 0 for none$' '' -- catalog check known.cat versions
cp "$dir/versions/v1.bin" "$dir/versions/v1-copy.bin"
expect "catalog check: an entry for two files" 0 '^entry "version 0" \(line 1\) holds for 2 files: versions/v1-copy\.bin, versions/v1\.bin$' '' -- catalog check known.cat versions
rm "$dir/versions/v1-copy.bin"
expect "catalog check: a file of several entries" 1 '^file versions/v2\.bin is recognised by 3 entries: "version 1", "any 64 KiB", "first 16 bytes of v1"$' '' -- catalog check mixed.cat versions
expect "catalog check: an entry for none" 1 '^entry "holds for none" \(line 8\) holds for no file$' '' -- catalog check mixed.cat versions
cp "$dir/stranger.bin" "$dir/versions/"
expect "catalog check: a file of no entry" 1 '^file versions/stranger\.bin is recognised by no entry$' '' -- catalog check known.cat versions
expect "catalog check json" 1 '"recognisedNone": 1' '' -- catalog check --json known.cat versions
expect "catalog check: no folder" 2 '' 'not a folder' -- catalog check known.cat versions/v1.bin
expect "catalog check: empty folder" 1 '^0 files' '' -- catalog check known.cat empty

# ---- catalog index ----
expect "help catalog index" 0 'CATALOG\.index' '' -- catalog index --help
expect "index of standard input" 2 '' 'not standard input' -- catalog index -
expect "index of a missing catalogue" 2 '' 'missing\.cat: not found' -- catalog index missing.cat
expect "index of a folder" 2 '' 'a folder' -- catalog index versions
# same NAME ARGS...: the output (standard output and error) and status
# without the index and with a fresh one are byte for byte the same.
same() {
  local name=$1 cat=$2; shift 2
  local without with
  rm -f "$dir/$cat.index"
  # Standard output and error apart: how the two interleave is the timing's.
  without=$(cd "$dir" && run "$@" 2>"$dir/err-without" </dev/null; echo "status $?"; cat "$dir/err-without")
  (cd "$dir" && run catalog index "$cat" >/dev/null 2>&1 </dev/null)
  [ -f "$dir/$cat.index" ] || { bad "$name: no index made"; return; }
  with=$(cd "$dir" && run "$@" 2>"$dir/err-with" </dev/null; echo "status $?"; cat "$dir/err-with")
  [ "$without" = "$with" ] && ok || { bad "$name: other output through the index"; diff <(echo "$without") <(echo "$with"); }
}
printf 'tab\\there\tFILESIZE=1000\nback\\\\slash\tFILESIZE=65536\nsized twice\tFILESIZE=65536,FILESIZE=1000\nfirst 16\tSIZEMD5=0|15|%s\n' "$first16" >"$dir/escapes.cat"
for cat in known.cat marked.cat mixed.cat blank.cat escapes.cat; do
  same "identify $cat" "$cat" identify "$cat" "${v[@]}" stranger.bin copy.bin missing.bin
  same "identify --json $cat" "$cat" identify --json "$cat" "${v[@]}" stranger.bin missing.bin
  same "identify -r $cat" "$cat" identify "$cat" -r versions
  same "catalog check $cat" "$cat" catalog check "$cat" versions
  same "catalog check --json $cat" "$cat" catalog check --json "$cat" versions
done
expect "index written" 0 '^known\.cat\.index: 4 entries \(0 without a size\), 0 damaged lines, [0-9]+ bytes$' '' -- catalog index known.cat
expect "index of damaged lines" 1 ' 1 damaged line, ' 'mixed\.cat:7: damaged line: no TAB' -- catalog index mixed.cat
expect "index used: no note" 0 '^versions/v2\.bin	version 1$' '^1 file: 1 identified' -- identify known.cat versions/v2.bin
grep -q stale "$dir/stderr" && bad "a fresh index said stale" || ok
cp "$dir/known.cat" "$dir/known.bak"
printf 'added\tMD5=00\n' >>"$dir/known.cat"
expect "stale said" 0 '^versions/v2\.bin	version 1$' 'known\.cat\.index: stale: the catalogue.s size changed' -- identify known.cat versions/v2.bin
expect "stale said once" 0 '' '' -- identify known.cat "${v[@]}"
[ "$(grep -c stale "$dir/stderr")" = 1 ] && ok || bad "stale said $(grep -c stale "$dir/stderr") times"
expect "stale, quiet" 0 '^$' '^$' -- identify -q known.cat versions/v2.bin
expect "stale, catalog check" 1 '4 recognised by exactly one entry' 'stale' -- catalog check known.cat versions
printf 'not an index at all, not one' >"$dir/known.cat.index"
expect "garbage index said" 0 '^versions/v2\.bin	version 1$' 'known\.cat\.index: damaged' -- identify known.cat versions/v2.bin
cp "$dir/known.bak" "$dir/known.cat"
(cd "$dir" && run catalog index known.cat >/dev/null 2>&1)
head -c 200 "$dir/known.cat.index" >"$dir/cut" && mv "$dir/cut" "$dir/known.cat.index"
expect "truncated index said" 0 '^versions/v2\.bin	version 1$' 'truncated' -- identify known.cat versions/v2.bin

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
