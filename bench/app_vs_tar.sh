#!/usr/bin/env bash
# Backup and restore of a job root through the whole application, side by side with
# plain "tar -cf" / "tar -xf" of the same files on the same disk:
#
#   app_vs_tar.sh [MEGABYTES (default 2048)] [REPEATS (default 3)] [BUILD_DIR]
#
# The backup dialog is driven by a dialog script on the virtual display; the write job
# goes through our job server and writes the data through bkArchiv.sh to the file-system
# medium. The restore dialog brings the orders back the same way, and the restored forms
# are compared with the originals. The application's time runs from starting the program
# until the job server has no job left to run. Each round backs up onto a blank medium
# and restores into an empty job root; the medians of the rounds are compared. The
# file-system medium compresses (gzip) by default, so tar -czf / tar -xzf, the same
# work, are timed as well.
set -euo pipefail
MB=${1:-2048}
REPEATS=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${3:-$here/../build/release}" && pwd)
# shellcheck source=app_sandbox.sh
. "$here/app_sandbox.sh"
# shellcheck source=fresh_cache.sh
. "$here/fresh_cache.sh"

# About two in five bytes of the sample orders lie in forms in production.
make_orders 8 "$((MB * 5 / 2))M"
echo "job root: $(du -sm "$W/projects" | cut -f1) MB in $(find "$W/projects" | wc -l) entries"
start_servers
write_scripts 8

timeit() {  # command...: seconds
  local t0
  fresh_cache "$W/projects" "$W"/media/fs/* "$W/ref.tar" "$W/ref.tgz"
  t0=$(now)
  "$@" >"$W/out" 2>&1 || { echo "failed: $*" >&2; cat "$W/out" >&2; exit 1; }
  echo "$(now) - $t0" | bc
}
# The dialog's own part (until the program ends) is noted in $W/dialog.
app() {  # mode
  local t0
  t0=$(now)
  ZAREDAV_SCRIPT=$W/$1.script zaredav "$1" >"$W/$1.out" 2>&1 || return 1
  echo "$(now) - $t0" | bc >"$W/dialog"
  wait_jobs
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

mv "$W/projects/forms" "$W/forms.orig"
for ((r = 1; r <= REPEATS; r++)); do
  # A blank medium and the forms where the job root expects them.
  rm -rf "$W/media/fs" "$W/projects/forms" "$W/ref.tar" "$W/ref.tgz" "$W/ref.out"
  mkdir -p "$W/media/fs" "$W/ref.out"
  cp -a "$W/forms.orig" "$W/projects/forms"
  sync
  tc=$(timeit tar -cf "$W/ref.tar" -C "$W/projects" forms orders)
  tcz=$(timeit tar -czf "$W/ref.tgz" -C "$W/projects" forms orders)
  sync
  bc_=$(timeit app backup)
  bd=$(cat "$W/dialog")
  # The restore brings the forms back where they were: they go first.
  rm -rf "$W/projects/forms" "$restoreroot" && mkdir -p "$W/projects/forms" "$restoreroot"
  sync
  tx=$(timeit tar -xf "$W/ref.tar" -C "$W/ref.out")
  rm -rf "$W/ref.out" && mkdir "$W/ref.out" && sync
  txz=$(timeit tar -xzf "$W/ref.tgz" -C "$W/ref.out")
  sync
  rx=$(timeit app restore)
  rd=$(cat "$W/dialog")
  diff -r --no-dereference "$W/forms.orig" "$W/projects/forms" >&2 ||
    { echo "the restored forms differ from the originals" >&2; exit 1; }
  for aif in "$jobroot"/*.aif; do
    cmp "$aif" "$restoreroot/${aif##*/}" || { echo "order info file ${aif##*/} not restored" >&2; exit 1; }
  done
  printf 'round %d: backup %6.2fs (dialog %.2fs)  tar -cf %6.2fs  tar -czf %6.2fs   restore %6.2fs (dialog %.2fs)  tar -xf %6.2fs  tar -xzf %6.2fs\n' \
    "$r" "$bc_" "$bd" "$tc" "$tcz" "$rx" "$rd" "$tx" "$txz"
  echo "$bc_ $tc $rx $tx $tcz $txz" >>"$W/rounds"
done
col() { cut -d' ' -f"$1" "$W/rounds" | median; }
b=$(col 1) t=$(col 2) r=$(col 3) x=$(col 4) tz=$(col 5) xz=$(col 6)
printf 'medians:   backup %6.2fs (tar -cf %6.2fs, %.2fx)  restore %6.2fs (tar -xf %6.2fs, %.2fx)\n' \
  "$b" "$t" "$(echo "$b / $t" | bc -l)" "$r" "$x" "$(echo "$r / $x" | bc -l)"
printf 'same work: backup %.2fx of tar -czf (%6.2fs)  restore %.2fx of tar -xzf (%6.2fs)\n' \
  "$(echo "$b / $tz" | bc -l)" "$tz" "$(echo "$r / $xz" | bc -l)" "$xz"
