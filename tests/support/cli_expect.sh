# Sourced by the tests of the command-line programs. Runs the program under
# test (under the emulator when there is one, in the Wine prefix of its build
# tree), counts passes and failures, and checks a run's exit status and
# output. The caller sets emulator, tool and dir (the test folder) first.
if [ -n "$emulator" ] && [ -z "${WINEPREFIX:-}" ]; then
  # What the program reads of the system comes from the prefix the emulator runs it in.
  b=$(dirname "$tool")
  while [ "$b" != "/" ] && [ ! -f "$b/CMakeCache.txt" ]; do b=$(dirname "$b"); done
  export WINEPREFIX="$b/wineprefix"
fi
run() { if [ -n "$emulator" ]; then "$emulator" "$tool" "$@"; else "$tool" "$@"; fi; }
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL $*"; }
# expect NAME STATUS STDOUT-PATTERN STDERR-PATTERN -- ARGS...: runs in $at
# (default the test folder) with standard input from $in (default nothing).
expect() {
  local name=$1 want=$2 pattern=$3 errpattern=$4; shift 5
  local out err status
  (cd "${at:-$dir}" && run "$@" <"${in:-/dev/null}" >"$dir/stdout" 2>"$dir/stderr"); status=$?
  out=$(tr -d '\r' <"$dir/stdout"); err=$(tr -d '\r' <"$dir/stderr")
  [ "$status" = "$want" ] || { bad "$name: status $status, want $want"; echo "$out"; echo "$err"; return; }
  if [ -n "$pattern" ] && ! grep -aqE -- "$pattern" <<<"$out"; then bad "$name: no [$pattern] in"; echo "$out"; return; fi
  if [ -n "$errpattern" ] && ! grep -aqE -- "$errpattern" <<<"$err"; then bad "$name: no [$errpattern] in stderr"; echo "$err"; return; fi
  ok
}
