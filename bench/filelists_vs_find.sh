#!/bin/sh
# Times building a file list of a synthetic form tree beside "find . | LC_ALL=C sort" on
# the same tree, alternating the two, and prints the median of each and their ratio.
# The list also examines every file (size, times, owner, mode), which plain find does
# not, so "find . -printf ... | LC_ALL=C sort" with the same examination is timed too.
#
#   sh <source>/bench/filelists_vs_find.sh [FILES [ROUNDS]]   (in the build tree, or
#   with BKFLISTS_BENCH naming the benchmark program)
set -eu
files=${1:-100000}
rounds=${2:-7}
bench=${BKFLISTS_BENCH:-$(pwd)/bench/BkFLists_bench}
work=$(mktemp -d "${TMPDIR:-/tmp}/filelists_vs_find.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The program starts like every suite program; keep its run-time files here.
export ZOLTDAT="$work/dat" VM_CUSTOMER="$work/customer" TMP="$work"
mkdir -p "$ZOLTDAT" "$VM_CUSTOMER"

"$bench" --make-tree "$work/tree" "$files"
cd "$work/tree"
find . >/dev/null  # warm the caches once

ms() { echo $(($(date +%s%N) / 1000000)); }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
: >"$work/list" ; : >"$work/find" ; : >"$work/findstat" ; : >"$work/walk"
i=0
while [ "$i" -lt "$rounds" ]; do
  t0=$(ms); find . | LC_ALL=C sort >/dev/null; t1=$(ms)
  "$bench" --list . >/dev/null; t2=$(ms)
  find . -printf '%s %T@ %m %U %G %n %i %p\n' | LC_ALL=C sort -k 8 >/dev/null; t3=$(ms)
  "$bench" --walk . >/dev/null; t4=$(ms)
  echo $((t1 - t0)) >>"$work/find"
  echo $((t2 - t1)) >>"$work/list"
  echo $((t3 - t2)) >>"$work/findstat"
  echo $((t4 - t3)) >>"$work/walk"
  i=$((i + 1))
done
f=$(median <"$work/find"); l=$(median <"$work/list"); s=$(median <"$work/findstat")
w=$(median <"$work/walk")
entries=$("$bench" --list . | cut -d' ' -f1)
echo "tree: $files files, $entries entries; medians of $rounds rounds (whole process, ms)"
echo "find . | LC_ALL=C sort:              $f"
echo "find -printf attributes | sort:      $s"
echo "walk alone, every file examined:     $w"
echo "file list (BkFLists_BuildFileList1): $l"
awk -v l="$l" -v f="$f" -v s="$s" -v w="$w" 'BEGIN {
  printf "list / find|sort = %.2f   list / find-with-attributes|sort = %.2f\n", l / f, l / s
  printf "walk alone / find|sort = %.2f   list / walk alone = %.2f\n", w / f, l / w }'
