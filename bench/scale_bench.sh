#!/usr/bin/env bash
# ondrel at scale: manifests of millions of lines, trees of a million files,
# catalogues of millions of entries. Each command runs once, timed by GNU time
# (wall seconds and the largest resident set), beside the standard tool doing
# the same work where there is one:
#   ROW          ondrel                                    peer
#   verify-1M    verify -q LIST, 1,000,000 absent files     md5sum -c SUMS, the same names
#   verify-10M   verify -q LIST, 10,000,000 absent files    md5sum -c SUMS
#   verify-200k  verify -q LIST, 200,000 files of 3 bytes   md5sum -c SUMS
#                in 200 folders
#   make-100k    make --manifest T --rules md5, 100,000     find T -type f -print0 | xargs -0 md5sum
#                empty files in folders of 1,000
#   make-1M      the same, 1,000,000 empty files            the same
#   identify-1M  identify -q CAT FILE, 1,000,000 entries    (none)
#   identify-10M identify -q CAT FILE, 10,000,000 entries   (none)
#   index-1M     catalog index CAT, then identify -q CAT FILE with the index
#   index-10M    the same, 10,000,000 entries (both only when the tool has
#                "catalog index")
# Absent files make ondrel and md5sum exit 1; that is their answer, not a
# failure. Every other row must exit 0 (each real file holds, the file is
# identified by its one entry). A command that exits otherwise, or is killed,
# is said at once and makes the script end with status 1 (after the table).
# The data is made under WORK/SIZES (default /tmp/ondrel-scale/full), each
# piece once and only for the rows that run, and reused by later runs: about
# 2.5 GB and 1.2 million inodes for the full sizes. "--sizes small" divides
# every count by 100 (the ROW names stay those of the full sizes).
# Catalogue entries are "nameN<TAB>FILESIZE=<size>,MD5=<32 HEX>" with random
# sizes (1 to 1 MiB) and digests from a fixed start value, and one last entry
# for the file identified (1,000 bytes), so that it is recognised. Digests are
# written in capitals, as make writes them: the rule compares them as text.
# Usage: bench/scale_bench.sh [--sizes full|small] [--work DIR] [--ondrel PATH]
#                             [--skip ROW[,ROW...]]... [--limit SECONDS]
#                             [--index-make ARGS] [--index-identify ARGS]
#   --ondrel      the tool (or $ONDREL; default build/bench/bin/ondrel, else
#                 build/native/bin/ondrel), so that two builds can be compared
#   --limit       stop any command after SECONDS (the row says so)
#   --index-make, --index-identify
#                 the arguments of the two index commands, CAT and FILE
#                 replaced (default "catalog index CAT", "identify -q CAT FILE")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { sed -n '/^# Usage:/,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; }
sizes=full
work=/tmp/ondrel-scale
ondrel=${ONDREL:-}
skip=,
limit=
index_make="catalog index CAT"
index_identify="identify -q CAT FILE"
while [ $# -gt 0 ]; do
  case $1 in
    --sizes) sizes=${2:?--sizes needs full or small}; shift 2 ;;
    --work) work=${2:?--work needs a folder}; shift 2 ;;
    --ondrel) ondrel=${2:?--ondrel needs a path}; shift 2 ;;
    --skip) skip="$skip${2:?--skip needs row names},"; shift 2 ;;
    --limit) limit=${2:?--limit needs seconds}; shift 2 ;;
    --index-make) index_make=${2:?}; shift 2 ;;
    --index-identify) index_identify=${2:?}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "scale_bench.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
case $sizes in
  full) scale=1 ;;
  small) scale=100 ;;
  *) echo "scale_bench.sh: --sizes is full or small" >&2; exit 2 ;;
esac
for row in ${skip//,/ }; do
  case $row in
    verify-1M|verify-10M|verify-200k|make-100k|make-1M|identify-1M|identify-10M|index-1M|index-10M) ;;
    *) echo "scale_bench.sh: no row $row to skip" >&2; exit 2 ;;
  esac
done
if [ -z "$ondrel" ]; then
  for candidate in build/bench/bin/ondrel build/native/bin/ondrel; do
    if [ -x "$root/$candidate" ]; then ondrel=$root/$candidate; break; fi
  done
fi
if [ -z "$ondrel" ] || [ ! -x "$ondrel" ]; then
  echo "scale_bench.sh: no ondrel (build build/native or give --ondrel PATH)" >&2
  exit 2
fi
ondrel=$(readlink -f "$ondrel")
# Peak memory needs GNU time; the shell's time keyword has none.
if [ ! -x /usr/bin/time ] || ! /usr/bin/time --version 2>&1 | grep -q GNU; then
  echo "scale_bench.sh: GNU time (/usr/bin/time) is not installed; it gives the peak memory (Debian: apt-get install time)" >&2
  exit 2
fi

load_start=$(cut -d ' ' -f 1-3 /proc/loadavg)
data=$work/$sizes
mkdir -p "$data"
cd "$data"

# Counts, divided for the small sizes.
n() { echo $(($1 / scale)); }
# 1234567 -> 1,234,567
commas() { echo "$1" | sed ':a; s/\B[0-9]\{3\}\>/,&/; ta'; }
say() { echo "$*" >&2; }
skipped() { case $skip in *,"$1",*) return 0 ;; esac; return 1; }

# --- The data. Each piece is written under a temporary name and renamed
# when whole (trees get a ".done" mark), so an interrupted run is redone.

absent_lists() {  # absent-N.list and absent-N.md5: N names of files that are not there
  local count=$1
  [ -f "absent-$count.list" ] && [ -f "absent-$count.md5" ] && return
  say "writing absent-$count.list and .md5"
  mawk -v n="$count" 'BEGIN { for (i = 1; i <= n; i++) printf "FILESIZE=3\tabsent/%d\n", i }' >"absent-$count.list.tmp"
  # md5sum -c needs a digest on each line: that of 3 bytes ("abc").
  mawk -v n="$count" 'BEGIN { for (i = 1; i <= n; i++) printf "900150983cd24fb0d6963f7d28e17f72  absent/%d\n", i }' \
    >"absent-$count.md5.tmp"
  mv "absent-$count.list.tmp" "absent-$count.list"
  mv "absent-$count.md5.tmp" "absent-$count.md5"
}

real_tree() {  # real-N/dDDD/fFFF, 3 bytes each, 1,000 a folder; real-N.list as make --manifest writes it, real-N.md5
  local count=$1
  [ -f "real-$count.done" ] && return
  say "writing real-$count (files of 3 bytes), real-$count.list and .md5"
  rm -rf "real-$count" "real-$count.list" "real-$count.md5"
  python3 - "real-$count" "$count" <<'EOF'
import hashlib, os, sys
top, count = sys.argv[1], int(sys.argv[2])
with open(top + ".list.tmp", "w") as manifest, open(top + ".md5.tmp", "w") as sums:
    manifest.write("# ondrel manifest: check list, TAB, path (see ondrel verify --help)\n")
    manifest.write("#root\t%s\n" % top)
    for i in range(count):
        folder = "d%03d" % (i // 1000)
        if i % 1000 == 0:
            os.makedirs(os.path.join(top, folder))
        name = "%s/f%03d" % (folder, i % 1000)
        content = b"%03d" % (i % 1000)
        with open(os.path.join(top, name), "wb") as f:
            f.write(content)
        digest = hashlib.md5(content).hexdigest()
        manifest.write("MD5=%s\t%s\n" % (digest.upper(), name))
        sums.write("%s  %s/%s\n" % (digest, top, name))
EOF
  mv "real-$count.list.tmp" "real-$count.list"
  mv "real-$count.md5.tmp" "real-$count.md5"
  touch "real-$count.done"
}

empty_tree() {  # empty-N/pP/dDDD/fFFF: N empty files, 1,000 a folder; part p0 holds the first tenth of the folders
  local count=$1
  [ -f "empty-$count.done" ] && return
  say "writing empty-$count (empty files)"
  rm -rf "empty-$count"
  python3 - "empty-$count" "$count" <<'EOF'
import os, sys
top, count = sys.argv[1], int(sys.argv[2])
folders = count // 1000
for d in range(folders):
    folder = os.path.join(top, "p%d" % (d * 10 // folders), "d%03d" % d)
    os.makedirs(folder)
    for f in range(1000):
        os.close(os.open(os.path.join(folder, "f%03d" % f), os.O_CREAT | os.O_WRONLY, 0o644))
EOF
  touch "empty-$count.done"
}

target_file() {  # target.bin: the file identified, 1,000 bytes
  [ -f target.bin ] && return
  mawk 'BEGIN { for (i = 0; i < 100; i++) printf "line %04d\n", i }' >target.bin.tmp
  mv target.bin.tmp target.bin
}

catalogue() {  # cat-N.txt: N random entries, then the entry of target.bin
  local count=$1
  target_file
  [ -f "cat-$count.txt" ] && return
  say "writing cat-$count.txt"
  local digest
  digest=$(md5sum target.bin | cut -d ' ' -f 1)
  mawk -v n="$count" -v d="$digest" 'BEGIN {
      srand(7)
      for (i = 1; i <= n; i++)
        printf "name%d\tFILESIZE=%d,MD5=%08X%08X%08X%08X\n", i, 1 + int(rand() * 1048576), int(rand() * 4294967296),
               int(rand() * 4294967296), int(rand() * 4294967296), int(rand() * 4294967296)
      printf "target\tFILESIZE=1000,MD5=%s\n", toupper(d) }' >"cat-$count.txt.tmp"
  mv "cat-$count.txt.tmp" "cat-$count.txt"
}

# --- Timing.

status=0
ok_status=0  # the highest exit status that is an answer: 1 where files are absent, else 0
rows=()
err=$data/stderr.txt

# run ERRFILE COMMAND...: runs it once under GNU time (and timeout with
# --limit); sets figures to "MiB seconds", or to what stopped it.
run() {
  local errfile=$1
  shift
  local wrap=()
  [ -n "$limit" ] && wrap=(timeout "$limit")
  local rc=0
  /usr/bin/time -f '%e %M' -o "$data/time.txt" "${wrap[@]}" "$@" >/dev/null 2>"$errfile" || rc=$?
  local last
  last=$(tail -1 "$data/time.txt")
  if grep -q '^Command terminated by signal' "$data/time.txt"; then
    figures="FAILED ($(sed -n 's/^Command terminated by //p' "$data/time.txt"))"
  elif [ -n "$limit" ] && [ "$rc" -eq 124 ]; then
    figures="stopped after $limit s"
    say "  stopped after $limit s: $*"
    return
  elif [ "$rc" -le "$ok_status" ]; then
    figures=$(echo "$last" | mawk '{ printf "%.1f %.2f", $2 / 1024, $1 }')
    return
  else
    figures="FAILED (exit $rc)"
  fi
  status=1
  say "  $figures: $*"
  [ "$errfile" != /dev/null ] && tail -5 "$errfile" >&2
  return 0
}

# row ID SHOWN SIZE PEER-SHOWN -- COMMAND... [-- PEER-COMMAND...]
row() {
  local id=$1 shown=$2 size=$3 peer=$4
  shift 5
  local a=() b=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do a+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  b=("$@")
  say "$shown, $size"
  run "$err" "${a[@]}"
  local ours=$figures theirs="- -"
  if [ ${#b[@]} -gt 0 ]; then
    say "  peer: $peer"
    run /dev/null "${b[@]}"
    theirs=$figures
  fi
  rows+=("$(cells "$shown" "$size" "$ours" "$peer" "$theirs")")
}

# cells SHOWN SIZE "MiB s"|WHY PEER "MiB s"|WHY: one line of the table.
cells() {
  local ours=$3 theirs=$5
  case $ours in [0-9]*) ours="${ours% *} | ${ours#* }" ;; *) ours="$ours | " ;; esac
  case $theirs in [0-9]*) theirs="${theirs% *} | ${theirs#* }" ;; "- -") theirs="- | -" ;; *) theirs="$theirs | " ;; esac
  echo "| $1 | $2 | $ours | $4 | $theirs |"
}

not_run() { rows+=("$(cells "$1" "$2" "not run: $3" "" "- -")"); say "$1, $2: not run ($3)"; }

warm_files() { cat "$@" >/dev/null; }
warm_tree() { find "$1" -type f -print0 | xargs -0 -r cat >/dev/null; }

# --- The rows.

for full in 1000000 10000000; do
  count=$(n $full)
  id=verify-$((full / 1000000))M
  if skipped "$id"; then not_run '`ondrel verify -q LIST`' "$(commas "$count") absent files" "--skip $id"; continue; fi
  absent_lists "$count"
  warm_files "absent-$count.list" "absent-$count.md5"
  ok_status=1
  row "$id" '`ondrel verify -q LIST`' "$(commas "$count") absent files" '`md5sum -c SUMS > /dev/null 2>&1`' -- \
    "$ondrel" verify -q "absent-$count.list" -- md5sum -c "absent-$count.md5"
  ok_status=0
done

count=$(n 200000)
if skipped verify-200k; then
  not_run '`ondrel verify -q LIST`' "$(commas "$count") files of 3 bytes" "--skip verify-200k"
else
  real_tree "$count"
  warm_files "real-$count.list" "real-$count.md5"
  warm_tree "real-$count"
  row verify-200k '`ondrel verify -q LIST`' "$(commas "$count") files of 3 bytes" '`md5sum -c --quiet SUMS`' -- \
    "$ondrel" verify -q "real-$count.list" -- md5sum -c --quiet "real-$count.md5"
fi

count=$(n 1000000)
for id in make-100k make-1M; do
  if [ $id = make-100k ]; then tree=empty-$count/p0 files=$((count / 10)); else tree=empty-$count files=$count; fi
  if skipped $id; then not_run '`ondrel make --manifest T --rules md5 > /dev/null`' "$(commas $files) empty files" "--skip $id"; continue; fi
  empty_tree "$count"
  find "$tree" >/dev/null
  row $id '`ondrel make --manifest T --rules md5 > /dev/null`' "$(commas $files) empty files" \
    '`find T -type f -print0 \| xargs -0 md5sum > /dev/null`' -- \
    "$ondrel" make --manifest "$tree" --rules md5 -- sh -c "find '$tree' -type f -print0 | xargs -0 md5sum"
done

has_index=no
"$ondrel" catalog --help 2>/dev/null | grep -qE '^[[:space:]]+index([[:space:]]|$)' && has_index=yes
# with_paths WORDS CAT FILE: the words, CAT and FILE replaced.
with_paths() {
  local word out=()
  for word in $1; do
    case $word in CAT) out+=("$2") ;; FILE) out+=("$3") ;; *) out+=("$word") ;; esac
  done
  printf '%s\n' "${out[@]}"
}
for full in 1000000 10000000; do
  count=$(n $full)
  id=identify-$((full / 1000000))M
  if skipped "$id"; then not_run '`ondrel identify -q CAT FILE`' "$(commas "$count") entries" "--skip $id"; continue; fi
  catalogue "$count"
  warm_files "cat-$count.txt" target.bin
  row "$id" '`ondrel identify -q CAT FILE`' "$(commas "$count") entries" - -- \
    "$ondrel" identify -q "cat-$count.txt" target.bin
done

for full in 1000000 10000000; do
  count=$(n $full)
  id=index-$((full / 1000000))M
  entries="$(commas "$count") entries"
  shown_make="\`ondrel ${index_make}\`"
  shown_identify="\`ondrel ${index_identify}\`, with the index"
  if [ $has_index = no ]; then
    not_run "$shown_make, then $shown_identify" "$entries" "this ondrel has no catalog index"
    continue
  fi
  if skipped "$id"; then not_run "$shown_make, then $shown_identify" "$entries" "--skip $id"; continue; fi
  # The index rows get a catalogue of their own (a hard link) in a folder of
  # their own, so that an index made beside it serves only these rows.
  catalogue "$count"
  mkdir -p "indexed-$count"
  find "indexed-$count" -mindepth 1 -delete
  ln "cat-$count.txt" "indexed-$count/cat.txt"
  # A new link changes the catalogue's change time: an index of a catalogue
  # changed within two seconds keeps its MD5 and checks it at every use.
  # Catalogues are indexed once they are written, so the row waits that out.
  sleep 3
  warm_files "cat-$count.txt" target.bin
  mapfile -t args < <(with_paths "$index_make" "indexed-$count/cat.txt" target.bin)
  row "$id" "$shown_make" "$entries" - -- "$ondrel" "${args[@]}"
  mapfile -t args < <(with_paths "$index_identify" "indexed-$count/cat.txt" target.bin)
  row "$id" "$shown_identify" "$entries" - -- "$ondrel" "${args[@]}"
done

# --- The table.

echo
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "load average (1, 5, 15 min): $load_start at the start, $(cut -d ' ' -f 1-3 /proc/loadavg) at the end"
echo "ondrel: $ondrel ($("$ondrel" --version 2>/dev/null | head -1)); sizes: $sizes; data: $data"
echo
echo "| command | size | peak memory (MiB) | time (s) | peer | peer peak memory (MiB) | peer time (s) |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "One run of each command, wall time and largest resident set by GNU time (of a pipeline: its largest"
echo "process). The page cache was warm: every list, catalogue and file was read (trees: listed) just before"
echo "its row. The data is synthetic: absent files, files of 3 bytes and empty files (so the figures are the"
echo "work per line, per name and per file, not reading), random catalogues. CAT, FILE, LIST, SUMS and T stand"
echo "for the paths under the data folder. Absent files make both verify and md5sum -c exit 1."
exit $status
