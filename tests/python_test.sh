#!/usr/bin/env bash
# The Python module's tests (python/tests) with pytest against LIBRARY. Fails when
# pytest is missing, collects nothing (its exit status 5), or skips anything.
# Usage: python_test.sh LIBRARY
# ONDREL_PYTHON names the interpreter that runs pytest (default: pytest-3's).
set -u
library=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
if [ -n "${ONDREL_PYTHON:-}" ]; then
  pytest=("$ONDREL_PYTHON" -m pytest)
elif command -v pytest-3 >/dev/null; then
  pytest=(pytest-3)
elif python3 -c 'import pytest' 2>/dev/null; then
  pytest=(python3 -m pytest)
else
  echo "FAIL: pytest not found (Debian package python3-pytest)"; exit 1
fi
export ONDREL_LIBRARY=$library PYTHONDONTWRITEBYTECODE=1
"${pytest[@]}" -p no:cacheprovider -rs -q --junitxml="$work/results.xml" "$root/python/tests"
status=$?
[ $status = 5 ] && { echo "FAIL: pytest collected no tests"; exit 1; }
[ $status = 0 ] || exit $status
xml=$(tr '>' '\n' <"$work/results.xml" | grep -m1 '<testsuite ')
count() { sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$xml"; }
tests=$(count tests) skipped=$(count skipped) failures=$(count failures) errors=$(count errors)
echo "pytest: $tests tests, $skipped skipped, $failures failures, $errors errors"
[ "${tests:-0}" -gt 0 ] && [ "${skipped:-1}" = 0 ] && [ "${failures:-1}" = 0 ] && [ "${errors:-1}" = 0 ]
