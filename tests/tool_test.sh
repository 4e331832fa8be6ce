#!/usr/bin/env bash
# ondrel-check: one block per entry, the result line, --quiet and --json, exit 0 / 1 / 2.
# Usage: tool_test.sh EMULATOR-OR-EMPTY TOOL
set -u
emulator=$1 tool=$2
run() { if [ -n "$emulator" ]; then "$emulator" "$tool" "$@"; else "$tool" "$@"; fi; }
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
printf '12345' > "$dir/f.bin"
file="$dir/f.bin"
# Under Wine, drive Z: is the root of the Linux file system.
[ -n "$emulator" ] && file="Z:${dir//\//\\}\\f.bin"
passed=0 failed=0
check() {  # name expected-status list expected-output-lines...
  local name=$1 want=$2 list=$3; shift 3
  local out status
  out=$(run "$file" "$list" 2>/dev/null); status=$?
  out=$(tr -d '\r' <<<"$out")
  local ok=1
  [ "$status" = "$want" ] || { echo "FAIL $name: status $status, want $want"; ok=0; }
  for line in "$@"; do
    grep -qxF -- "$line" <<<"$out" || { echo "FAIL $name: missing line [$line]"; ok=0; }
  done
  if [ $ok = 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "$out"; fi
}
check holds 0 "FILESIZE=5,FILESIZE>=1" "[1] FILESIZE=5" "    keyword:  FILESIZE" "    computed: 5" "    outcome:  held" \
  "[2] FILESIZE>=1" "    keyword:  FILESIZE>" "result: 1 (holds)"
check fails 1 "FILESIZE=6,FILESIZE=5" "    computed: 5" "    outcome:  failed" "[2] FILESIZE=5" \
  "    outcome:  not evaluated" "result: 0 (does not hold)"
check unknown 1 "NOPE=1" "[1] NOPE=1" "    outcome:  unrecognised, failed" "result: 0 (does not hold)"
check flag 0 "FLAGIFNOFILE=" "    outcome:  result set to true" "result: 1 (holds)"
# --quiet: nothing printed, the status tells; --json: one object; not both.
out=$(run --quiet "$file" "FILESIZE=6" 2>/dev/null); status=$?
if [ "$status" = 1 ] && [ -z "$out" ]; then passed=$((passed + 1)); else echo "FAIL quiet: status $status [$out]"; failed=$((failed + 1)); fi
out=$(run --json "$file" "FILESIZE=5" 2>/dev/null | tr -d '\r'); status=$?
if [ "$status" = 0 ] && grep -q '"result": true' <<<"$out"; then passed=$((passed + 1)); else echo "FAIL json: status $status"; failed=$((failed + 1)); fi
run --quiet --json "$file" "FILESIZE=5" >/dev/null 2>&1; status=$?
if [ "$status" = 2 ]; then passed=$((passed + 1)); else echo "FAIL quiet with json: status $status"; failed=$((failed + 1)); fi
usage=$(run 2>&1 >/dev/null); status=$?
usage=$(tr -d '\r' <<<"$usage")
if [ "$status" = 2 ] && grep -q '^usage: ondrel-check FILE CHECKLIST' <<<"$usage"; then passed=$((passed + 1)); else
  echo "FAIL usage: status $status"; failed=$((failed + 1)); fi
# --help on standard output, status 0, also with a check list after it; --version.
for args in "--help" "--help FILESIZE=0" "--version"; do
  # shellcheck disable=SC2086
  run $args >"$dir/out" 2>/dev/null; status=$?
  out=$(tr -d '\r' <"$dir/out")
  if [ "$status" = 0 ] && grep -qE '^(Usage: ondrel check|ondrel [0-9])' <<<"$out"; then passed=$((passed + 1)); else
    echo "FAIL $args: status $status"; failed=$((failed + 1)); fi
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
