#!/usr/bin/env bash
# The ondrel program, grouped by subcommand: help, version and exit
# statuses; check; make (rule sets as written, several files, JSON, the
# walk, names the size rules cannot express); inspect; verify (the path
# rule from wherever the manifest is, standard input, missing files,
# streams and summaries); write errors; threads the system will not start
# and memory running out; and, under Wine, manifests made by
# the Windows build verified by the native one and the other way round.
# Usage: ondrel_cli_test.sh EMULATOR-OR-EMPTY TOOL PE-SAMPLE-FOLDER [NATIVE-TOOL]
set -u
emulator=$1 tool=$(readlink -f "$2") samples=$(readlink -f "$3") native_tool=${4:-}
dir=$(mktemp -d); trap 'chmod -R u+rwx "$dir"; rm -rf "$dir"' EXIT
. "$(dirname "$0")/support/cli_expect.sh"
# A file's name as the tool takes it. Under Wine, drive Z: is the root of the
# Linux file system (no winepath: it needs 32-bit Wine, which not every kernel runs).
native() { if [ -n "$emulator" ]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi; }
flip() {  # flips the lowest bit of the byte at the middle of a file
  local f=$1 size off b
  size=$(stat -c %s "$f"); off=$((size / 2))
  b=$(od -An -tu1 -j"$off" -N1 "$f" | tr -d ' ')
  printf "\\$(printf %03o $((b ^ 1)))" | dd of="$f" bs=1 seek="$off" conv=notrunc status=none
}

# ---- the command: help, version, usage ----
expect help 0 'check' '' -- --help
for sub in check make inspect verify; do
  expect "help $sub" 0 "Usage: ondrel $sub" '' -- "$sub" --help
  expect "help $sub: its own exit statuses" 0 '^Exit status: 0' '' -- "$sub" --help
done
expect "inspect help names no other subcommand's statuses" 0 'the file was inspected' '' -- inspect --help
run inspect --help | grep -q 'every file held' && bad "inspect help shows verify's statuses" || ok
run verify --help | grep -qE 'UINT|TEXT|\[1 - 1024\]' && bad "validator noise in the help" || ok
expect "help of the path rule" 0 '#root-from-list' '' -- verify --help
expect version 0 '^ondrel [0-9]+\.[0-9]+\.[0-9]+$' '' -- --version
expect "no subcommand" 2 '' '' --
expect "unknown subcommand" 2 '' 'unknown subcommand "bogus"' -- bogus x

# ---- check ----
printf 'hello, world\n' > "$dir/text"
text=$(native "$dir/text")
expect "check holds" 0 '^result: 1 \(holds\)$' '' -- check "$text" "FILESIZE=13"
expect "check fails" 1 '^result: 0 \(does not hold\)$' '' -- check "$text" "FILESIZE=14"
expect "one argument" 2 '' '' -- check onlyfile
expect "reason" 1 '^    reason:   not found$' '' -- check "$(native "$dir/missing")" "CRC32=00000000"
expect "hint blanks" 1 'hint: +blanks end an entry' '' -- check "$text" "FILESIZE = 13"
expect "hint bound" 1 'write FILESIZE>=4096' '' -- check "$text" "FILESIZE>4096"
expect "hint keyword" 1 'nearest known one is FILESIZE' '' -- check "$text" "FILSIZE=13"
expect "check quiet" 1 '^$' '' -- check --quiet "$text" "FILESIZE=14"
expect "check json" 0 '"result": true' '' -- check --json "$text" "FILESIZE=13"
expect "check quiet and json exclude each other" 2 '' 'excludes' -- check --quiet --json "$text" "FILESIZE=13"
expect "help is no file name" 0 'Usage' '' -- check --help FILESIZE=0
# A list with no entry holds for any file: the library's answer, with a note.
for list in "" " " $'\x01\x02'; do
  expect "check of a list with no entry: note" 0 '^note: the list has no entry: an empty list holds for any file$' '' -- check "$text" "$list"
done
expect "check json of a list with no entry: note" 0 '"notes": \[$' '' -- check --json "$text" " "
expect "check json of a list with an entry: no note" 0 '"notes": \[\]' '' -- check --json "$text" "FILESIZE=13"
# Unknown keywords are hinted at wherever they stand, also after the entry that stopped the evaluation.
while IFS='|' read -r name list pattern; do
  expect "unknown keyword hinted: $name" 1 "$pattern" '' -- check "$text" "$list"
  expect "unknown keyword hinted: $name (json)" 1 "$pattern" '' -- check --json "$text" "$list"
done <<'EOF_ROWS'
first entry|FILSIZE=5|unknown keyword FILSIZE; the nearest known one is FILESIZE
after a failure|FILESIZE=1,FILSIZE=5|unknown keyword FILSIZE; the nearest known one is FILESIZE
after an unknown one|COLOUR=1,FILSIZE=5|unknown keyword FILSIZE; the nearest known one is FILESIZE
no keyword after a failure|FILESIZE=1,MD5|an entry needs \\?"=\\?" after its keyword
EOF_ROWS
expect "known keyword after a failure: no hint" 1 '^    outcome:  not evaluated$' '' -- check "$text" "FILESIZE=1,MD5=0"
grep -q 'hint:' "$dir/stdout" && bad "a hint for a known keyword: $(cat "$dir/stdout")" || ok
# FILE and CHECKLIST the other way round: a hint on standard error, the status unchanged.
printf 'x' > "$dir/SIZE=1"
while IFS='|' read -r name want hinted file list; do
  for json in "" --json; do
    expect "swapped arguments: $name $json" "$want" '' '' -- check $json "$file" "$list"
    if grep -q 'did you swap them? (ondrel check FILE CHECKLIST)' "$dir/stderr"; then said=yes; else said=no; fi
    [ "$said" = "$hinted" ] && ok || bad "swapped arguments: $name $json: hint said: $said"
    if [ -n "$json" ]; then
      grep -q '"hints": \[\]' "$dir/stdout" && said=no || said=yes
      [ "$said" = "$hinted" ] && ok || bad "swapped arguments: $name json: hints: $(cat "$dir/stdout")"
    fi
  done
done <<EOF_ROWS
swapped|1|yes|FILESIZE=13|$text
swapped, misspelt|1|yes|FILSIZE=13|$text
in order|0|no|$text|FILESIZE=13
a file named like an entry is there|1|no|SIZE=1|$text
the second is missing|1|no|FILESIZE=13|$(native "$dir/missing")
EOF_ROWS
expect "swapped arguments, quiet: nothing said" 1 '^$' '^$' -- check --quiet "FILESIZE=13" "$text"

# ---- make: round trips over built, sample and system files ----
roundtrip() {  # unix-path
  local file=$1 name list copy
  name=$(native "$file")
  list=$(run make "$name" --rules all 2>/dev/null | tr -d '\r')
  if [ -z "$list" ]; then bad "make $file: empty list"; return; fi
  if run check --quiet "$name" "$list"; then ok; else bad "round trip $file: $list"; fi
  copy="$dir/copy-$(basename "$file")"
  cp "$file" "$copy"; flip "$copy"
  if run check --quiet "$(native "$copy")" "$list"; then bad "changed copy of $file holds"; else ok; fi
}
for f in "$dir/text" "$samples"/*; do roundtrip "$f"; done
if [ -n "$emulator" ]; then
  for f in kernel32.dll user32.dll notepad.exe; do
    u="$WINEPREFIX/drive_c/windows/system32/$f"
    [ -f "$u" ] && roundtrip "$u"
  done
else
  for f in "$(command -v sh)" /etc/passwd "$(ls /usr/lib/x86_64-linux-gnu/libc.so.6 2>/dev/null || true)"; do
    [ -f "$f" ] && roundtrip "$(readlink -f "$f")"
  done
fi

# ---- make: options as written, several files, JSON ----
expect "rules before FILE" 0 '^MD5=[0-9A-F]{32}$' '' -- make --rules md5 "$text"
expect "rules after FILE" 0 '^MD5=[0-9A-F]{32}$' '' -- make "$text" --rules md5
expect "rules=" 0 '^FILESIZE=13,MD5=' '' -- make --rules=md5,size "$text"
expect "rules repeated" 0 '^CRC32=[0-9A-F]{8},MD5=' '' -- make --rules md5 --rules crc32 "$text"
expect "unknown rule set" 2 '' 'unknown rule set "nonsense"' -- make "$text" --rules nonsense
expect "FILE and --manifest exclude each other" 2 '' '' -- make "$text" --manifest "$(native "$dir")"
printf 'second' > "$dir/second"
at="$dir/.." expect "several files: a manifest" 0 "^FILESIZE=6	$(basename "$dir")/second\$" '' -- make --rules size "$(basename "$dir")/text" "$(basename "$dir")/second"
expect "make json" 0 '"checkList": "FILESIZE=13"' '' -- make --json --rules size "$text"
expect "make of a missing file" 1 '' 'missing: not found' -- make "$(native "$dir/missing")"
# Every file that gets no list says why; one format per option.
expect "make of no PE image with image rules only" 1 '^$' 'text: not a PE image \(no MZ\): the rule sets chosen describe PE images only' -- make --rules secmd5 "$text"
expect "make --lines of one file: a manifest" 0 '^FILESIZE=13	' '' -- make --lines --rules size "$text"
expect "--lines is for FILE... alone" 2 '' '--lines goes with FILE' -- make --lines --catalog name "$text"
mkdir -p "$dir/pe"; cp "$samples/sections.dll" "$dir/pe/"
expect "a manifest takes the whole-file rules" 0 '^FILESIZE=[0-9]+,CRC32=[0-9A-F]{8},MD5=[0-9A-F]{32}	sections.dll$' '' -- make --manifest "$(native "$dir/pe")"
expect "one file takes the image rules too" 0 'SECMD5=' '' -- make "$(native "$dir/pe/sections.dll")"
# The OTHERs of --against often come from a glob that holds FILE too.
ln "$dir/text" "$dir/text-link"
expect "--against leaves FILE out" 0 '^FILESIZE=13$' 'text-link: left out of --against: it is FILE itself' -- make "$text" --against "$text" "$(native "$dir/second")" "$(native "$dir/text-link")"
expect "--against of FILE alone" 2 '' 'names no file but' -- make "$text" --against "$text"
if [ -z "$emulator" ] && command -v script > /dev/null; then
  # A progress line on a terminal, erased at the end; none when standard error is no terminal.
  ONDREL_PROGRESS_AFTER_MS=0 script -qec "'$tool' make --manifest '$dir/pe' > '$dir/pty.list'" /dev/null > "$dir/pty.err"
  grep -q $'\rondrel make: [0-9]* files, walking\e\[K' "$dir/pty.err" || bad "make: no progress line on a terminal: $(cat -A "$dir/pty.err")"
  [ "$(tail -c 4 "$dir/pty.err" | od -An -c | tr -d ' ')" = '\r033[K' ] || bad "make: the progress line is not erased: $(cat -A "$dir/pty.err")"
  grep -q 'sections.dll$' "$dir/pty.list" || bad "make: the manifest made on a terminal lacks its line"
  ONDREL_PROGRESS_AFTER_MS=0 script -qec "'$tool' verify -j 1 '$dir/pty.list'" /dev/null > "$dir/vpty.err"
  grep -q $'\r\\[#* *\\] [0-9]*% [0-9]* files\e\\[K' "$dir/vpty.err" || bad "verify: no progress bar on a terminal: $(cat -A "$dir/vpty.err")"
  grep -q $'\r\e\\[K1 held, 0 failed, 0 missing' "$dir/vpty.err" || bad "verify: the bar is not erased before the summary: $(cat -A "$dir/vpty.err")"
  ONDREL_PROGRESS_AFTER_MS=0 "$tool" make --manifest "$dir/pe" > /dev/null 2> "$dir/pipe.err"
  [ ! -s "$dir/pipe.err" ] || bad "make: a progress line where standard error is no terminal: $(cat -A "$dir/pipe.err")"
fi
if [ -z "$emulator" ]; then  # a backslash is a name's own only outside Windows
  expect "names in notes escaped and marked" 1 '' '^ondrel make: \\.*/back\\\\slash: not found$' -- make "$dir/back\\slash"
fi

# ---- inspect ----
expect "inspect" 0 '^    SSECMD5=CODE-' '' -- inspect "$(native "$samples/sections.dll")"
expect "inspect rules" 0 '^rule:   MD5=[0-9A-F]{32}$' '' -- inspect "$(native "$samples/sections.dll")"
expect "inspect resources" 0 '^    RESMD5=' '' -- inspect "$(native "$samples/resources.dll")"
expect "inspect json" 0 '"sections": \[' '' -- inspect --json "$(native "$samples/sections.dll")"
# Each resource's digest names its language, and is the one the rule reads.
expect "inspect: the digest's language" 0 '^    RESMD5=[^ ]+  \(language [0-9A-F]{4}\)$' '' -- inspect "$(native "$samples/resources.dll")"
expect "inspect json: the digest's language" 0 '"digestLanguage": [0-9]+,' '' -- inspect --json "$(native "$samples/resources.dll")"
# RT_BITMAP "100" of resources.dll has German and English (United States) data and no neutral
# data: the Windows build's lookup follows the locale (Wine takes it from LC_ALL), ours on
# Linux takes English. (resources64.dll lists the two unsorted, so the binary search of the
# lookup finds English whatever the locale.) Whichever it is, every entry inspect prints holds.
in_locale() {  # LOCALE ARGS...: the tool with LC_ALL set for it alone
  local locale=$1; shift
  if [ -n "$emulator" ]; then env LC_ALL="$locale" "$emulator" "$tool" "$@"; else env LC_ALL="$locale" "$tool" "$@"; fi
}
while IFS='|' read -r locale linux windows; do
  want=$linux; [ -n "$emulator" ] && want=$windows
  for f in resources.dll resources64.dll; do
    shown=$(in_locale "$locale" inspect "$(native "$samples/$f")" 2>/dev/null | tr -d '\r')
    [ "$f" = resources64.dll ] && want=0409
    grep -qE "^    RESMD5=RT_BITMAP\|100\|[0-9A-F]{32}  \(language $want\)\$" <<<"$shown" && ok ||
      bad "inspect $f under $locale: not language $want: $shown"
    entries=$(sed -n 's/^    \(RESMD5=[^ ]*\)  (language .*)$/\1/p' <<<"$shown" | paste -sd, -)
    [ -n "$entries" ] && in_locale "$locale" check --quiet "$(native "$samples/$f")" "$entries" && ok ||
      bad "inspect's RESMD5 entries of $f under $locale: $entries"
  done
done <<'EOF_ROWS'
C.UTF-8|0409|0409
de_DE.UTF-8|0409|0407
fr_FR.UTF-8|0409|0409
EOF_ROWS
expect "inspect no image" 0 '^not a PE image: no MZ$' '' -- inspect "$text"
expect "inspect no image json" 0 '"whyNotPe": "no MZ"' '' -- inspect --json "$text"
expect "inspect missing" 1 '' 'not found' -- inspect "$(native "$dir/missing")"

# ---- make --manifest and verify: odd names, results, summaries ----
mkdir -p "$dir/tree/sub dir" "$dir/lists"
printf 'a' > "$dir/tree/blank name"
printf 'b' > "$dir/tree/comma,name"
printf 'c' > "$dir/tree/sub dir/plain"
: > "$dir/tree/empty"
if [ -z "$emulator" ]; then
  printf 'd' > "$dir/tree/quote\"name"
  printf 'e' > "$dir/tree/$(printf 'caf\xe9')"
  printf 'f' > "$dir/tree/tab	name"
fi
count=$(find "$dir/tree" -type f | wc -l)
at="$dir" expect "make --manifest" 0 '^#root	tree$' '' -- make --manifest tree
# The walk streams through a window of files: its edges change nothing.
for window in 1 2 3; do
  (cd "$dir" && ONDREL_WINDOW=$window run make --manifest tree --rules size,md5 > "$dir/w.out" 2>&1; echo "status $?" >> "$dir/w.out")
  (cd "$dir" && run make --manifest tree --rules size,md5 > "$dir/d.out" 2>&1; echo "status $?" >> "$dir/d.out")
  cmp -s "$dir/w.out" "$dir/d.out" && ok || bad "make --manifest through a window of $window: $(diff "$dir/d.out" "$dir/w.out")"
done
(cd "$dir" && run make --manifest tree > tree.list 2>"$dir/stderr") || bad "make --manifest: $(cat "$dir/stderr")"
expect "verify holds" 0 '^$' "^$count held, 0 failed, 0 missing\$" -- verify tree.list
[ ! -s "$dir/stdout" ] && ok || bad "verify printed on stdout: $(cat "$dir/stdout")"
expect "verify -v" 0 "^tree/blank name: OK\$" '' -- verify -v tree.list
expect "verify -v json" 0 '"verdict": "held"' '' -- verify -v --json tree.list
expect "verify -v and -q exclude each other" 2 '' '' -- verify -v -q tree.list
cp "$dir/tree.list" "$dir/good.list"
rm "$dir/tree/empty"
expect "a deleted empty file is missing" 1 "^tree/empty: MISSING \\(not found\\)\$" "1 missing" -- verify tree.list
expect "ignore missing" 0 '^$' '1 missing \(ignored\)' -- verify --ignore-missing tree.list
printf 'changed' > "$dir/tree/blank name"
rm "$dir/tree/comma,name"
printf '# a comment\n\nno tab on this line\nFOO=1\tsub dir/plain\n' >> "$dir/tree.list"
damaged=$(( $(wc -l < "$dir/tree.list") - 1 ))
expect "verify fails" 1 '' "^$((count - 3)) held, 2 failed, 2 missing, 1 damaged line\$" -- verify tree.list
expect "verify failed line" 1 "^tree/blank name: FAILED at [A-Z]+=" '' -- verify tree.list
expect "unknown keyword said" 1 'FAILED at FOO=1 \(unknown keyword FOO\)$' '' -- verify tree.list
expect "damaged line number" 1 '' "tree.list:$damaged: damaged line" -- verify tree.list
expect "verify quiet" 1 '^$' '' -- verify --quiet tree.list
expect "verify json" 1 '"missing": 2' '' -- verify --json tree.list
expect "results in manifest order on one job" 1 "blank name: FAILED" '' -- verify --jobs 1 tree.list
# Report lines show "/" between folders on every system, and a name escaped
# as the manifest writes it behind a leading backslash.
order=$(cd "$dir" && run verify -v -j 4 good.list 2>/dev/null | tr -d '\r' | sed -E 's/: (OK|FAILED.*|MISSING.*)$//; s/^\\//')
[ "$order" = "$(grep -av '^#' "$dir/good.list" | tr -d '\r' | cut -f2 | sed 's|^|tree/|')" ] && ok || bad "results not in manifest order: $order"

# ---- verify: lists that cannot be read, or list nothing ----
expect "list not found" 2 '' 'no-such.list: not found' -- verify no-such.list
expect "list is a folder" 2 '' 'a folder' -- verify tree
printf '# nothing\n' > "$dir/empty.list"
expect "empty manifest" 1 '' 'no file listed' -- verify empty.list
: > "$dir/void.list"
expect "manifest of no bytes" 1 '' 'no file listed' -- verify void.list
expect "several lists" 1 '' '^good.list: ' -- verify good.list tree.list
expect "one list read of two: its summary without its name" 2 '' '^[0-9]+ held, [0-9]+ failed' -- verify good.list no-such.list

# ---- verify: the edges of a small window ----
# The pool holds ONDREL_WINDOW items at once; with 1 and 2, damaged lines,
# MISSING and FAILED files and lists that cannot be read or list nothing
# fall on either side of each refill, and everything comes out as with the
# default window, in the same order, warnings among the results.
mkdir -p "$dir/win"
for i in 1 2 3 4 5 6 7 8; do printf '%s' "$i" > "$dir/win/f$i"; done
(cd "$dir" && run make --manifest win --rules size > win.list 2>/dev/null)
rm "$dir/win/f2" "$dir/win/f6"
printf 'xx' > "$dir/win/f3"; printf 'yy' > "$dir/win/f8"
{ head -n 3 "$dir/win.list"; printf 'damaged line\n'; tail -n +4 "$dir/win.list" | head -n 3
  printf 'FILESIZE=1\twin/f9\n#root\t\\q\n'; tail -n +7 "$dir/win.list"; } > "$dir/edges.list"
printf '# nothing\n' > "$dir/nothing.list"
for args in "-v edges.list" "edges.list" "-v -j 1 edges.list nothing.list no-such.list edges.list" \
            "--json -j 3 edges.list nothing.list edges.list" "--ignore-missing -v edges.list" "-C $(native "$dir") -v edges.list"; do
  # shellcheck disable=SC2086
  (cd "$dir" && run verify $args > "$dir/whole.txt" 2>&1; echo "status $?" >> "$dir/whole.txt")
  for window in 1 2; do
    # shellcheck disable=SC2086
    (cd "$dir" && ONDREL_WINDOW=$window run verify $args > "$dir/window.txt" 2>&1; echo "status $?" >> "$dir/window.txt")
    cmp -s "$dir/whole.txt" "$dir/window.txt" && ok || { bad "verify $args, window $window:"; diff "$dir/whole.txt" "$dir/window.txt"; }
  done
done
grep -q 'edges.list:4: damaged line' "$dir/whole.txt" && grep -q 'MISSING' "$dir/whole.txt" && ok || bad "the window cases lack their lines"

# ---- verify: a manifest verifies from wherever it is ----
rm -rf "$dir/tree"; mkdir -p "$dir/tree/sub"
printf 'one' > "$dir/tree/one"; printf 'two' > "$dir/tree/sub/two"
(cd "$dir" && run make --manifest tree --rules md5 > beside.list && run make --manifest tree --rules md5 > lists/tree.list \
  && run make --manifest tree --rules md5 > tree/sub/inside.list) 2>"$dir/stderr" || bad "make lists: $(cat "$dir/stderr")"
expect "beside the tree" 0 '' '^2 held, 0 failed, 0 missing$' -- verify beside.list
expect "in another folder" 0 '' '^2 held, 0 failed, 0 missing$' -- verify lists/tree.list
grep -q '^#root-from-list	\.\.' "$dir/tree/sub/inside.list" && ok || bad "a list inside the tree: $(cat "$dir/tree/sub/inside.list")"
grep -q 'inside.list' "$dir/tree/sub/inside.list" && bad "the list holds itself" || ok
expect "inside the tree" 0 '' '^2 held, 0 failed, 0 missing$' -- verify "$(native "$dir/tree/sub/inside.list")"
at=/ expect "inside the tree, from elsewhere" 0 '' '^2 held, 0 failed, 0 missing$' -- verify "$(native "$dir/tree/sub/inside.list")"
in="$dir/beside.list" expect "standard input" 0 '' '^2 held, 0 failed, 0 missing$' -- verify -
cp -r "$dir/tree" "$dir/copy"
at=/ expect "a copied tree with the list inside" 0 '' '^2 held, 0 failed, 0 missing$' -- verify "$(native "$dir/copy/sub/inside.list")"
mv "$dir/copy" "$dir/moved"
expect "--root names the base" 0 '' '^2 held' -- verify --root moved lists/tree.list
expect "--root names the base by its full name" 0 '' '^2 held' -- verify --root "$(native "$dir/moved")" beside.list
expect "MISSING shows the path tried" 1 "^elsewhere/one: MISSING" '' -- verify --root elsewhere beside.list
if [ -z "$emulator" ]; then
  (cd "$dir" && run verify /dev/stdin < beside.list 2>&1 | grep -q '^2 held') && ok || bad "/dev/stdin"
  (cd "$dir" && run verify <(cat beside.list) 2>&1 | grep -q '^2 held') && ok || bad "a pipe by name"
  (cd "$dir" && run make --manifest tree | run verify - 2>&1 | grep -q '^3 held') && ok || bad "make | verify - (the list inside counts too)"
fi

# ---- verify: report lines scripts can parse ----
# The name of a report line has "/" between folders on every system (under
# Wine too, where the tool is given "\"), and one that holds a backslash, TAB
# or line feed is escaped as the manifest writes it, behind a leading
# backslash, so that each line names one file.
mkdir -p "$dir/names/sub"
printf 'p' > "$dir/names/sub/plain"
if [ -z "$emulator" ]; then  # such names cannot exist on Windows
  printf 'b' > "$dir/names/back\\slash"; printf 't' > "$dir/names/tab	name"; printf 'l' > "$dir/names/lit
name"
fi
(cd "$dir" && run make --manifest names --rules size > names.list 2>"$dir/stderr") || bad "make names.list: $(cat "$dir/stderr")"
while IFS='|' read -r name only pattern; do
  [ "$only" = native ] && [ -n "$emulator" ] && continue
  expect "report line: $name" 0 "$pattern" '' -- verify -v names.list
done <<'EOF_ROWS'
plain name, no mark|all|^names/sub/plain: OK$
backslash doubled, marked|native|^\\names/back\\\\slash: OK$
TAB escaped, marked|native|^\\names/tab\\tname: OK$
line feed escaped, marked|native|^\\names/lit\\nname: OK$
EOF_ROWS
expect "report line: one line per file" 0 '' '' -- verify -v names.list
[ "$(tr -d '\r' < "$dir/stdout" | grep -c ': OK$')" = "$(tr -d '\r' < "$dir/stdout" | wc -l)" ] && ok || bad "a name ran over two lines: $(cat "$dir/stdout")"
rm "$dir/names/sub/plain"
at=/ expect "report line: the full name with / (MISSING)" 1 '^[^\\]*/names/sub/plain: MISSING \(not found\)$' '' -- \
  verify --root "$(native "$dir/names")" "$(native "$dir/names.list")"
printf 'p' > "$dir/names/sub/plain"
[ -z "$emulator" ] && printf 'BB' > "$dir/names/back\\slash"
[ -z "$emulator" ] && expect "report line: FAILED, marked" 1 '^\\names/back\\\\slash: FAILED at FILESIZE=1' '' -- verify names.list

# ---- verify: a check list given for a manifest ----
# A list with no file line whose first damaged line has no TAB and names
# known keywords alone is said to be a check list, once; the status is that
# of any damaged list.
while IFS='|' read -r name text hinted; do
  printf '%b' "$text" > "$dir/given.list"
  expect "check list given: $name" 1 '' '' -- verify given.list
  said=$(grep -c 'given.list: this is a check list, not a manifest; check a file against it with: ondrel check FILE given.list' "$dir/stderr")
  [ "$said" = "$hinted" ] && ok || bad "check list given: $name: hint said $said times: $(cat "$dir/stderr")"
  grep -q 'given.list:1: damaged line' "$dir/stderr" && ok || bad "check list given: $name: no damaged line said"
done <<'EOF_ROWS'
one rule|FILESIZE=3\n|1
several rules, lower case|md5=0123,filesize=3\n|1
two such lines, said once|FILESIZE=3\nMD5=0123\n|1
an ordinary damaged line|no tab on this line\n|0
an unknown keyword|FILESIZE=3,COLOUR=2\n|0
a TAB on the line|FILESIZE=3\t\n|0
a sound file line after it|FILESIZE=3\nFILESIZE=1\tone\n|0
EOF_ROWS

# ---- verify -C: as if started in DIR ----
# The LIST names, "#root" lines and paths without a root are taken from DIR,
# "#root-from-list" from the list's folder as ever; --root keeps its meaning.
printf 'FILESIZE=3\tone\n' > "$dir/bare.list"
while IFS='|' read -r name want errpattern args; do
  # shellcheck disable=SC2086
  at=/ expect "-C: $name" "$want" '' "$errpattern" -- verify -C "$(native "$dir")" $args
done <<'EOF_ROWS'
a relative list and its #root line|0|^2 held, 0 failed, 0 missing$|beside.list
a #root line in a list in another folder|0|^2 held, 0 failed, 0 missing$|lists/tree.list
#root-from-list from the list's folder|0|^2 held, 0 failed, 0 missing$|tree/sub/inside.list
--root taken from DIR too|0|^2 held|--root moved lists/tree.list
paths without a root from DIR|1|^0 held, 0 failed, 1 missing$|bare.list
EOF_ROWS
at=/ expect "-C: paths without a root from DIR, not the list's folder" 0 '' '^1 held' -- verify -C "$(native "$dir/tree")" ../bare.list
rm "$dir/bare.list"
expect "-C: a folder that is not there" 2 '^$' '^ondrel verify: no-such-folder: not found$' -- verify -C no-such-folder beside.list
expect "-C: a file" 2 '^$' '^ondrel verify: beside.list: ' -- verify -C beside.list beside.list
expect "-C: an empty name is no folder" 2 '^$' '^ondrel verify: : not found$' -- verify -C "" beside.list
expect "--root is no longer -C" 2 '' '' -- verify -C moved lists/tree.list

# ---- verify --new: the files a manifest does not list ----
mkdir -p "$dir/audit/tree/sub"
printf 'a' > "$dir/audit/tree/a"; printf 'b' > "$dir/audit/tree/sub/b"
(cd "$dir/audit" && run make --manifest tree --rules size > tree.list && run make --manifest tree --rules size > tree/sub/in.list) \
  2>"$dir/stderr" || bad "make audit lists: $(cat "$dir/stderr")"
mkdir -p "$dir/audit/tree/deep/er"
printf 'n' > "$dir/audit/tree/sub/new1"; printf 'm' > "$dir/audit/tree/deep/er/new2"
at="$dir/audit" expect "--new: a new file in a subfolder" 0 '^tree/sub/new1: NEW$' '^2 held, 0 failed, 0 missing, 3 new$' -- verify --new tree.list
# In the walk's order, after the manifest's own results; the list is left out of its own audit.
(cd "$dir/audit" && run verify -v --new tree/sub/in.list 2>"$dir/stderr" | tr -d '\r' > "$dir/stdout")
printf 'tree/sub/../a: OK\ntree/sub/../sub/b: OK\ntree/sub/../deep/er/new2: NEW\ntree/sub/../sub/new1: NEW\n' | cmp -s - "$dir/stdout" &&
  ok || bad "--new: the lines and their order: $(cat "$dir/stdout")"
while IFS='|' read -r name want pattern errpattern args; do
  # shellcheck disable=SC2086
  at="$dir/audit" expect "--new: $name" "$want" "$pattern" "$errpattern" -- verify $args
done <<'EOF_ROWS'
the list inside is not its own|0||^2 held, 0 failed, 0 missing, 2 new$|--new tree/sub/in.list
--strict fails for NEW|1|^tree/sub/\.\./sub/new1: NEW$|2 new$|--new --strict tree/sub/in.list
JSON verdict|0|"verdict": "new"||--new --json tree.list
JSON counts|0|"new": 3||--new --json tree.list
quiet: nothing said|0|^$|^$|--new -q tree.list
quiet and --strict: the status tells|1|^$|^$|--new -q --strict tree.list
without --new, no count|0|^$|^2 held, 0 failed, 0 missing$|tree.list
--strict needs --new|2|||--strict tree.list
--root names the root|0|^tree/deep/er/new2: NEW$|2 new$|--new --root tree tree/sub/in.list
EOF_ROWS
grep -q 'in.list' "$dir/stdout" && bad "--new reported the list itself" || ok
printf 'FILESIZE=1\ta\n' > "$dir/audit/noroot.list"
at="$dir/audit/tree" expect "--new: a manifest without a root line is refused" 2 '' \
  '^ondrel verify: \.\./noroot.list: --new needs a root line \(or --root DIR\)$' -- verify --new ../noroot.list
at="$dir/audit/tree" expect "--new: --root stands for the root line" 0 '^\./deep/er/new2: NEW$' '4 new$' -- verify --new --root . ../noroot.list
printf '#root\ttree\nFILESIZE=1\t./a\nFILESIZE=1\tsub/./b\nFILESIZE=1\tsub/../sub/new1\n' > "$dir/audit/dots.list"
at="$dir/audit" expect "--new: ./ dropped, .. kept" 0 '^tree/sub/new1: NEW$' '3 held, 0 failed, 0 missing, 3 new$' -- verify --new dots.list
grep -qE '^tree/(a|sub/b): NEW' "$dir/stdout" && bad "--new: a path with ./ not matched: $(cat "$dir/stdout")" || ok
# Roots one inside another: each file is listed from either, and walked once.
printf '#root\ttree\nFILESIZE=1\ta\n#root\ttree/sub\nFILESIZE=1\tb\nFILESIZE=1\tnew1\n#root\ttree/\nFILESIZE=1\tdeep/er/new2\n' > "$dir/audit/nested.list"
at="$dir/audit" expect "--new: nested roots: only the unlisted file" 0 '^tree/sub/in\.list: NEW$' '^4 held, 0 failed, 0 missing, 1 new$' -- verify --new nested.list
[ "$(tr -d '\r' < "$dir/stdout" | grep -c 'NEW$')" = 1 ] && ok || bad "--new: nested roots walked twice: $(cat "$dir/stdout")"
if [ -z "$emulator" ]; then
  ln -s nowhere "$dir/audit/tree/dangling"
  at="$dir/audit" expect "--new: what the walk cannot take fails the run" 1 '' 'tree/dangling: a link that leads to nothing' -- verify --new tree.list
  rm "$dir/audit/tree/dangling"
fi

# ---- make --manifest: where the list lies, known before the walk ----
# The root line comes first, so the place is found by the folders' identity
# up front; a name of the list the walk meets is left out all the same.
if [ -z "$emulator" ]; then
  mklist() {  # NAME DIR LIST: make --manifest DIR > LIST (from the test folder), status 0
    local s; (cd "$dir" && run make --manifest "$2" --rules md5 > "$3" 2>"$dir/stderr"); s=$?
    [ $s = 0 ] || bad "$1: status $s: $(cat "$dir/stderr")"
  }
  root_line() { sed -n 2p "$dir/$1"; }
  ln -s tree "$dir/treelink"
  mklist "the tree through a link" treelink tree/top.list
  [ "$(root_line tree/top.list)" = "#root-from-list	." ] && ok || bad "through a link: $(root_line tree/top.list)"
  grep -q 'top.list' "$dir/tree/top.list" && bad "the list holds itself (through a link)" || ok
  mklist "the tree as ./tree/sub/.." ./tree/sub/.. tree/sub/deeper.list
  [ "$(root_line tree/sub/deeper.list)" = "#root-from-list	.." ] && ok || bad "relative: $(root_line tree/sub/deeper.list)"
  [ "$(grep -vc '^#' "$dir/tree/sub/deeper.list")" = 4 ] && ok || bad "one, sub/inside.list, sub/two, top.list: $(cat "$dir/tree/sub/deeper.list")"
  rm "$dir/tree/top.list" "$dir/tree/sub/deeper.list"
  # A second name in the tree of a list written outside it: its place is not
  # known, the root is named as given, and the half-written list left out.
  : > "$dir/lists/twin.list"; ln "$dir/lists/twin.list" "$dir/tree/twin.list"
  mklist "a second name in the tree" tree lists/twin.list
  [ "$(root_line lists/twin.list)" = "#root	tree" ] && ok || bad "a second name: $(root_line lists/twin.list)"
  grep -q 'twin.list' "$dir/lists/twin.list" && bad "the list holds its second name" || ok
  rm "$dir/tree/twin.list"
  # A folder reached through a link in the tree is not walked: a list there is not in the tree.
  mkdir "$dir/elsewhere"; ln -s ../elsewhere "$dir/tree/out"
  mklist "a list behind a link in the tree" tree tree/out/x.list
  [ "$(root_line elsewhere/x.list)" = "#root	tree" ] && ok || bad "behind a link: $(root_line elsewhere/x.list)"
  rm "$dir/tree/out"
fi

# ---- make: what cannot be walked or expressed (POSIX names and links) ----
if [ -z "$emulator" ]; then
  mkdir -p "$dir/w/d" "$dir/w/locked"
  printf 'xa-5b' > "$dir/w/xa"; printf 'abc' > "$dir/w/x*"; printf 'q' > "$dir/w/d/kept"
  ln -s "$dir/nowhere" "$dir/w/dangling"
  ln -s "$dir/w/d" "$dir/w/dirlink"
  expect "wildcard name: no size rules" 0 '^MD5=900150983CD24FB0D6963F7D28E17F72$' 'FILESIZE: the name holds' -- make --rules size,md5 "$dir/w/x*"
  expect "dangling link said, walk goes on" 1 '	d/kept$' "w/dangling: a link that leads to nothing" -- make --manifest w --rules md5
  expect "link to a folder said" 1 '' "w/dirlink: a link to a folder, not followed" -- make --manifest w --rules md5
  rm "$dir/w/dangling"
  ln -s d "$dir/w/link"
  expect "paths kept as walked" 0 '^#root	w/link/\.\.$' '' -- make --manifest w/link/.. --rules md5
  if [ "$(id -u)" != 0 ]; then
    chmod 000 "$dir/w/locked"
    expect "unreadable folder said, walk goes on" 1 '	xa$' "w/locked: the folder cannot be read" -- make --manifest w --rules md5
    chmod 700 "$dir/w/locked"
  fi
  # Write errors on standard output end with status 2.
  for args in "check $dir/text FILESIZE=13" "make $dir/text" "inspect $dir/text" "verify -v $dir/beside.list"; do
    # shellcheck disable=SC2086
    (cd "$dir" && run $args > /dev/full 2>"$dir/stderr"); s=$?
    [ $s = 2 ] && grep -q 'write error' "$dir/stderr" && ok || bad "$args > /dev/full: status $s"
  done
fi

# ---- limits: threads the system will not start, memory running out (Linux) ----
# verify and make go on with the threads they get, down to the main thread
# alone, and say so once; out of memory, in a worker thread or not, ends
# with "ondrel: out of memory" and status 2 after the lines printed before.
if [ -z "$emulator" ]; then
  chmod a+rx "$dir"; mkdir -p "$dir/limits/t"
  for i in $(seq 1 30); do head -c $((i * 3000)) /dev/urandom > "$dir/limits/t/f$i"; done
  chmod -R a+rX "$dir/limits"
  (cd "$dir/limits" && run make --manifest t --rules md5 > made.list 2>/dev/null && run verify -v made.list > verified.txt 2>/dev/null)
  # A sanitizer's leak check at exit starts a thread of its own.
  limited() {  # ULIMIT-OPTION VALUE ARGS...: the tool under that limit in $dir/limits, as $as_user
    local option=$1 value=$2; shift 2
    (cd "$dir/limits" && ASAN_OPTIONS=detect_leaks=0 "${as_user[@]}" bash -c 'ulimit "$1" "$2" && exec "${@:3}"' - \
      "$option" "$value" "$tool" "$@")
  }
  # The limit on processes binds no root: root runs the tool as nobody.
  as_user=()
  if [ "$(id -u)" = 0 ]; then as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
  if [ "$(id -u)" = 0 ] && ! command -v setpriv >/dev/null; then
    echo "skipped: threads the system will not start (root, and no setpriv to become nobody)"
  else
    # The process counts already: no thread may start.
    limited -u 1 verify -v -j 4 made.list > "$dir/stdout" 2> "$dir/stderr"; s=$?
    [ $s = 0 ] && cmp -s "$dir/stdout" "$dir/limits/verified.txt" && grep -q '^30 held, 0 failed, 0 missing$' "$dir/stderr" &&
      [ "$(grep -c '^ondrel verify: could start 0 of 4 threads (.*): going on with the main thread alone$' "$dir/stderr")" = 1 ] &&
      ok || { bad "verify without threads: status $s"; cat "$dir/stderr"; }
    limited -u 1 make --manifest t --rules md5 -j 4 > "$dir/stdout" 2> "$dir/stderr"; s=$?
    [ $s = 0 ] && cmp -s "$dir/stdout" "$dir/limits/made.list" && [ "$(wc -l < "$dir/stderr")" = 1 ] &&
      grep -q '^ondrel make: could start 0 of 4 threads (.*): going on with the main thread alone$' "$dir/stderr" &&
      ok || { bad "make without threads: status $s"; cat "$dir/stderr"; }
  fi
  as_user=()
  if grep -q __asan_init "$tool"; then
    echo "skipped: memory running out (a sanitizer's shadow memory needs far more address space)"
  else
    (cd "$dir/limits" && run make t/f1 t/f2 t/f3 > made3.txt 2>/dev/null)
    # From the least address space the program loads in, up: every run ends
    # whole, or with the message and what came before it; some run out.
    low=4000
    while ! limited -v "$low" --version > /dev/null 2>&1 && [ "$low" -lt 100000 ]; do low=$((low + 2000)); done
    ran_out=0
    for kib in $(seq "$low" 2000 $((low + 40000))); do
      for args in "verify -v -j 1 made.list:verified.txt" "make t/f1 t/f2 t/f3:made3.txt"; do
        whole="$dir/limits/${args#*:}"
        # shellcheck disable=SC2086
        limited -v "$kib" ${args%:*} > "$dir/stdout" 2> "$dir/stderr"; s=$?
        if [ $s = 0 ] && cmp -s "$dir/stdout" "$whole"; then
          ok
        elif [ $s = 2 ] && [ "$(tail -n 1 "$dir/stderr")" = "ondrel: out of memory" ] &&
             head -c "$(stat -c %s "$dir/stdout")" "$whole" | cmp -s - "$dir/stdout"; then
          ok; ran_out=$((ran_out + 1))
        else
          bad "${args%:*} in $kib KiB of address space: status $s"; tail -n 3 "$dir/stderr"
        fi
      done
    done
    [ "$ran_out" -gt 0 ] && ok || bad "no run ran out of memory from $low KiB up"
  fi
fi

# ---- manifests between the builds (under Wine, with the native build beside it) ----
# The tree holds one, sub/two and the list made inside it above.
if [ -n "$emulator" ] && [ -n "$native_tool" ] && [ -x "$native_tool" ]; then
  (cd "$dir" && run make --manifest tree --rules md5 > windows.list 2>/dev/null)
  (cd "$dir" && "$native_tool" verify windows.list 2>&1 | grep -q '^3 held, 0 failed, 0 missing$') && ok ||
    bad "a list made by the Windows build on Linux: $(cat "$dir/windows.list")"
  (cd "$dir" && "$native_tool" make --manifest tree --rules md5 > linux.list 2>/dev/null)
  expect "a list made on Linux under Windows" 0 '' '^3 held, 0 failed, 0 missing$' -- verify linux.list
  grep -q '\\' "$dir/windows.list" && bad "the Windows build wrote a backslash" || ok
elif [ -n "$emulator" ]; then
  echo "skipped: manifests between the builds (no native tool at ${native_tool:-?})"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
