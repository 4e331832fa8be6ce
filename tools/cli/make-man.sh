#!/usr/bin/env bash
# Writes the manual page of ondrel: the command's own help through help2man,
# each subcommand's help as a section of its own, and the sections that help
# texts do not carry (check lists, manifests and their path rule, catalogues, examples,
# exit statuses, see also) from tools/cli/ondrel.h2m.
# Usage: make-man.sh HELP2MAN TOOL OUTPUT
set -euo pipefail
help2man=$1 tool=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$(dirname "$out")"
include=$(mktemp); trap 'rm -f "$include"' EXIT
for sub in check make inspect verify identify "catalog check"; do
  printf '[SUBCOMMAND %s]\n' "$(tr a-z A-Z <<<"$sub")"
  # shellcheck disable=SC2086  # "catalog check" is two words
  "$tool" $sub --help | sed -e 's/\\/\\e/g' -e 's/^\./\\\&./' -e 's/$/\n.br/'
done > "$include"
cat "$here/ondrel.h2m" >> "$include"
"$help2man" --no-info --no-discard-stderr --section 1 \
  --name "recognise one exact version of a file by a check list" \
  --include "$include" --output "$out" "$tool"
