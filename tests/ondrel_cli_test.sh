#!/usr/bin/env bash
# The ondrel program: help and version, exit statuses, make/check round trips
# over built, sample and system files, inspect, manifests and verify.
# Usage: ondrel_cli_test.sh EMULATOR-OR-EMPTY TOOL PE-SAMPLE-FOLDER
set -u
emulator=$1 tool=$(readlink -f "$2") samples=$(readlink -f "$3")
if [ -n "$emulator" ] && [ -z "${WINEPREFIX:-}" ]; then
  # The system files below come from the prefix the emulator runs the tool in.
  b=$(dirname "$tool")
  while [ "$b" != "/" ] && [ ! -f "$b/CMakeCache.txt" ]; do b=$(dirname "$b"); done
  export WINEPREFIX="$b/wineprefix"
fi
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
run() { if [ -n "$emulator" ]; then "$emulator" "$tool" "$@"; else "$tool" "$@"; fi; }
# A file's name as the tool takes it. Under Wine, drive Z: is the root of the
# Linux file system (no winepath: it needs 32-bit Wine, which not every kernel runs).
native() { if [ -n "$emulator" ]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi; }
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL $*"; }
# expect NAME STATUS [grep-pattern-on-stdout] -- ARGS...
expect() {
  local name=$1 want=$2 pattern=$3; shift 4
  local out status
  run "$@" >"$dir/stdout" 2>"$dir/stderr"; status=$?
  out=$(tr -d '\r' <"$dir/stdout")
  [ "$status" = "$want" ] || { bad "$name: status $status, want $want"; echo "$out"; cat "$dir/stderr"; return; }
  if [ -n "$pattern" ] && ! grep -qE -- "$pattern" <<<"$out"; then bad "$name: no [$pattern] in"; echo "$out"; return; fi
  ok
}
flip() {  # flips the lowest bit of the byte at the middle of a file
  local f=$1 size off b
  size=$(stat -c %s "$f"); off=$((size / 2))
  b=$(od -An -tu1 -j"$off" -N1 "$f" | tr -d ' ')
  printf "\\$(printf %03o $((b ^ 1)))" | dd of="$f" bs=1 seek="$off" conv=notrunc status=none
}

# Help on standard output with status 0, for the command and each subcommand.
expect help 0 'check' -- --help
for sub in check make inspect verify; do expect "help $sub" 0 "$sub" -- "$sub" --help; done
[ ! -s "$dir/stderr" ] && ok || bad "help wrote to stderr"
expect version 0 '^ondrel [0-9]+\.[0-9]+\.[0-9]+$' -- --version

# Usage errors: 2.
expect "no subcommand" 2 '' --
expect "one argument" 2 '' -- check onlyfile
expect "unknown subcommand" 2 '' -- frobnicate x
expect "unknown rule set" 2 '' -- make "$(native "$samples/sections.dll")" --rules nonsense
expect "unreadable manifest" 2 '' -- verify "$(native "$dir/no-such.list")"
expect "manifest is a folder" 2 '' -- verify "$(native "$dir")"

# check: 0 holds, 1 does not; reasons, hints, quiet, JSON.
printf 'hello, world\n' > "$dir/text"
text=$(native "$dir/text")
expect "check holds" 0 '^result: 1 \(holds\)$' -- check "$text" "FILESIZE=13"
expect "check fails" 1 '^result: 0 \(does not hold\)$' -- check "$text" "FILESIZE=14"
expect "reason" 1 '^    reason:   not found$' -- check "$(native "$dir/missing")" "CRC32=00000000"
expect "hint blanks" 1 'hint: +blanks end an entry' -- check "$text" "FILESIZE = 13"
expect "hint bound" 1 'write FILESIZE>=4096' -- check "$text" "FILESIZE>4096"
expect "hint keyword" 1 'nearest known one is FILESIZE' -- check "$text" "FILSIZE=13"
expect "quiet" 1 '^$' -- check --quiet "$text" "FILESIZE=14"
expect "json" 0 '"result": true' -- check --json "$text" "FILESIZE=13"
expect "help is no file name" 0 'Usage' -- check --help FILESIZE=0

# Round trips: the list made from a file holds, and fails once a byte changes.
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

# inspect: sections and resources with the rule to paste.
expect "inspect" 0 '^    SSECMD5=CODE-' -- inspect "$(native "$samples/sections.dll")"
expect "inspect resources" 0 '^    RESMD5=' -- inspect "$(native "$samples/resources.dll")"
expect "inspect json" 0 '"sections": \[' -- inspect --json "$(native "$samples/sections.dll")"
expect "inspect no image" 0 '^not a PE image: no MZ$' -- inspect "$text"
expect "inspect no image json" 0 '"whyNotPe": "no MZ"' -- inspect --json "$text"

# Manifests: odd names, relative paths, failures, missing files, damaged lines.
mkdir -p "$dir/tree/sub dir"
printf 'a' > "$dir/tree/blank name"
printf 'b' > "$dir/tree/comma,name"
printf 'c' > "$dir/tree/sub dir/plain"
if [ -z "$emulator" ]; then
  printf 'd' > "$dir/tree/quote\"name"
  printf 'e' > "$dir/tree/$(printf 'caf\xe9')"
  printf 'f' > "$dir/tree/tab	name"
fi
count=$(find "$dir/tree" -type f | wc -l)
(cd "$dir" && run make --manifest tree > tree.list 2>"$dir/stderr") || bad "make --manifest: $(cat "$dir/stderr")"
expect "verify holds" 0 "^$count held, 0 failed, 0 missing\$" -- verify "$(native "$dir/tree.list")"
# Standard error is no terminal here: no progress bar.
[ ! -s "$dir/stderr" ] && ok || bad "verify wrote to a redirected stderr: $(cat "$dir/stderr")"
printf 'changed' > "$dir/tree/blank name"
rm "$dir/tree/comma,name"
printf '# a comment\n\nno tab on this line\n' >> "$dir/tree.list"
damaged=$(( $(wc -l < "$dir/tree.list") ))
expect "verify fails" 1 "^$((count - 2)) held, 1 failed, 1 missing, 1 damaged line\$" -- verify "$(native "$dir/tree.list")"
expect "verify failed line" 1 'blank name: FAILED at [A-Z]+=' -- verify "$(native "$dir/tree.list")"
expect "verify missing line" 1 'comma,name: MISSING$' -- verify "$(native "$dir/tree.list")"
run verify "$(native "$dir/tree.list")" 2>&1 >/dev/null | tr -d '\r' | grep -q ":$damaged: damaged line" && ok || bad "damaged line number"
expect "verify quiet" 1 '^$' -- verify --quiet "$(native "$dir/tree.list")"
expect "verify json" 1 '"missing": 1' -- verify --json "$(native "$dir/tree.list")"
expect "verify one job" 1 "^$((count - 2)) held" -- verify --jobs 1 "$(native "$dir/tree.list")"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
