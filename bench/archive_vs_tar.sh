#!/usr/bin/env bash
# Backup and restore of a mixed tree to a file-system medium through an archive script
# and bkArchiv.sh, side by side with plain "tar -cf" / "tar -xf" of the same tree on the
# same disk, and with the peer doing the same work where ours does more: "tar -cf" then
# xxh128sum of every file for a backup with checksums (sha256sum for the SHA-256 sums a
# site may ask for instead), stock "cpio -o" / "cpio -i" (GNU and bsdcpio) for the cpio
# format. A partial restore (every other name of the tree) stands beside "tar -xf" of the
# same names given with -T. Every figure is the median of REPEAT runs (default 3), the
# runs of ours and of the peers taken in turn.
# Usage: archive_vs_tar.sh [MEGABYTES (default 2048)] [WORKDIR]
# Needs bkArchiv.sh and bksums on PATH (the build tree's bin/). TREE=DIR takes the tree
# from DIR (left as it is) instead of making one, so that runs can be repeated on one tree.
set -eu
MB=${1:-2048}
REPEAT=${REPEAT:-3}
W=$(mktemp -d "${2:-${TMPDIR:-/var/tmp}}/archive_bench.XXXXXX")
trap 'rm -rf "$W"' EXIT
command -v bkArchiv.sh >/dev/null || { echo "bkArchiv.sh is not on PATH" >&2; exit 2; }
# shellcheck source=fresh_cache.sh
. "$(cd "$(dirname "$0")" && pwd)/fresh_cache.sh"
SRC=${TREE:-$W/tree}
if [ -z "${TREE:-}" ]; then
  mkdir -p "$SRC"
  # Mixed sizes: a quarter of the volume in many 4-32 KiB files, the rest in 8 MiB files.
  small=$((MB * 1024 / 4 / 18))
  for ((i = 0; i < small; i++)); do
    d=$SRC/orders/o$((i / 200))
    [ -d "$d" ] || mkdir -p "$d"
    head -c $((4096 + (i % 8) * 4096)) /dev/urandom >"$d/f$i.pdf"
  done
  for ((i = 0; i < MB * 3 / 4 / 8; i++)); do head -c 8M /dev/urandom >"$SRC/large$i.tif"; done
fi
(cd "$SRC" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) >"$W/names"
nfiles=$(wc -l <"$W/names")
awk 'NR % 2' "$W/names" >"$W/half"
sed 's|^|./|' "$W/half" | tr '\n' '\0' >"$W/half.tar"  # as the reference archive names them
nhalf=$(grep -c -e '\.pdf$' -e '\.tif$' "$W/half")
sync

now() { date +%s.%N; }
# Seconds of one run; the page cache is written back first, so no run pays for the last.
timeit() {
  local t0; fresh_cache "$SRC" "$W"/medium/* "$W/ref.tar" "$W/ref.cpio"; t0=$(now)
  "$@" >/dev/null 2>"$W/err" || { echo "failed: $*" >&2; cat "$W/err" >&2; exit 1; }
  echo "$(now) - $t0" | bc
}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { echo "$1 / $2" | bc -l; }

# The script lines the toolkit writes for one archive in one data file of a file-system medium.
script() {  # dir fmt mode(write|read) dest names
  local dir=$1 fmt=$2 mode=$3 dest=${4:-} names=${5:-$W/names}
  mkdir -p "$dir"
  printf '10\nBENCH\nTEST\n01.01.2026 00:00:00\n01.01.2026 00:00:00\n' >"$dir/HEADER"
  printf '0\n0 0\n' >"$dir/FMDIR"
  {
    echo "scriptDir=$dir"; echo "mfmt=$fmt"; echo "devType=filesys"; echo "device=$W/medium"
    echo "fmDirName=$dir/FMDIR"; echo "dirFile=HEADER"; echo "dirFileM=DHEADER"; echo "dirSize=-1"
    echo "blkData=10240"; echo "notifyOK=ok"; echo "notifyError=failed"; echo "DISPLAY="
    echo "cd \$scriptDir"; echo ". bkArchiv.sh || exit 1"; echo "DataPartition"; echo "CheckFail"; echo "REW"; echo "CheckFail"
    if [ "$mode" = write ]; then
      echo "baseDir=$SRC"; echo 'cd "$baseDir" || Exit'; echo "("
      sed 's/[] \t`!#$&|;'"'"'"(){}[<>*?\\~]/\\&/g; s/^/echo /' "$W/names"
      echo ") | WriteFileList"; echo "CheckFail"
      echo "HeaderPartition"; echo "CheckFail"; echo "REW"; echo "CheckFail"; echo "WriteHeader"; echo "CheckFail"
    else
      echo "baseDir=$dest"; echo '[ -d "$baseDir" ] || mkdir -m 777 -p "$baseDir" || Exit'; echo 'cd "$baseDir" || Exit'
      echo "AssertFileMark 0"; echo "("
      sed 's/[] \t`!#$&|;'"'"'"(){}[<>*?\\~]/\\&/g; s/^/echo /' "$names"
      echo ") | ReadFileList"; echo "CheckFail"
    fi
    echo "Exit"
  } >"$dir/s"
}

# A restore must give back the whole tree.
same_tree() {  # dir
  [ "$(cd "$1" && find . -mindepth 1 | wc -l)" -eq "$nfiles" ] &&
    cmp -s "$SRC/large0.tif" "$1/large0.tif" && cmp -s "$SRC/orders/o0/f7.pdf" "$1/orders/o0/f7.pdf" ||
    { echo "restore into $1 differs from the tree" >&2; exit 1; }
}
# A partial restore must give back the files asked for and no others.
same_part() {  # dir
  [ "$(find "$1" -type f | wc -l)" -eq "$nhalf" ] && cmp -s "$SRC/large0.tif" "$1/large0.tif" ||
    { echo "partial restore into $1 differs from the names asked for" >&2; exit 1; }
}
peer_sums() { tar -cf "$W/ref.tar" -C "$SRC" . && (cd "$SRC" && find . -type f -print0 | xargs -0 "$1" >/dev/null); }

echo "tree: $MB MB in $nfiles entries; work directory on $(df -P "$W" | awk 'NR==2 { print $1 }');" \
  "medians of $REPEAT runs; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for fmt in mfmtStdTar mfmtStdD; do
  T=(); J=(); S=(); P=(); H=(); Q=(); X=(); R=(); CO=(); CI=(); BI=(); XP=(); RP=()
  script "$W/w.$fmt" "$fmt" write
  script "$W/r.$fmt" "$fmt" read "$W/out"
  script "$W/p.$fmt" "$fmt" read "$W/out" "$W/half"
  for ((r = 0; r < REPEAT; r++)); do
    rm -rf "$W/medium" "$W/ref.tar"; mkdir -p "$W/medium"
    T+=("$(timeit tar -cf "$W/ref.tar" -C "$SRC" .)")
    J+=("$(timeit bash "$W/w.$fmt/s")")
    rm -rf "$W/medium" "$W/ref.tar"; mkdir -p "$W/medium"
    P+=("$(timeit peer_sums xxh128sum)")
    S+=("$(VM_BK_CHECKSUMS=1 timeit bash "$W/w.$fmt/s")")
    rm -rf "$W/medium" "$W/ref.tar"; mkdir -p "$W/medium"
    Q+=("$(timeit peer_sums sha256sum)")
    H+=("$(VM_BK_CHECKSUMS=sha256 timeit bash "$W/w.$fmt/s")")
    rm -rf "$W/out" "$W/ref.out"; mkdir -p "$W/ref.out"
    X+=("$(timeit tar -xf "$W/ref.tar" -C "$W/ref.out")")
    R+=("$(timeit bash "$W/r.$fmt/s")")
    same_tree "$W/out"
    rm -rf "$W/out" "$W/ref.out"; mkdir -p "$W/ref.out"
    XP+=("$(timeit tar -xf "$W/ref.tar" -C "$W/ref.out" --no-recursion --null --verbatim-files-from -T "$W/half.tar")")
    RP+=("$(timeit bash "$W/p.$fmt/s")")
    same_part "$W/out"
    if [ "$fmt" = mfmtStdD ]; then
      rm -f "$W/ref.cpio"; rm -rf "$W/ref.out"; mkdir -p "$W/ref.out"
      CO+=("$(timeit bash -c "cd '$SRC' && cpio -o -H odc --quiet -O '$W/ref.cpio' <'$W/names'")")
      CI+=("$(timeit bash -c "cd '$W/ref.out' && cpio -i -dmu --quiet -I '$W/ref.cpio'")")
      rm -rf "$W/ref.out"; mkdir -p "$W/ref.out"
      BI+=("$(timeit bash -c "cd '$W/ref.out' && bsdcpio -i -dmu --quiet <'$W/ref.cpio'")")
      rm -f "$W/ref.cpio"
    fi
  done
  t=$(median "${T[@]}") j=$(median "${J[@]}") s=$(median "${S[@]}") p=$(median "${P[@]}")
  x=$(median "${X[@]}") rs=$(median "${R[@]}") xp=$(median "${XP[@]}") rp=$(median "${RP[@]}")
  h=$(median "${H[@]}") q=$(median "${Q[@]}")
  printf '%-10s backup          %6.2fs  tar -cf %6.2fs  %.2fx\n' "$fmt" "$j" "$t" "$(ratio "$j" "$t")"
  printf '%-10s with checksums  %6.2fs  tar -cf %6.2fs  %.2fx   (tar -cf + xxh128sum %6.2fs: %.2fx)\n' \
    "" "$s" "$t" "$(ratio "$s" "$t")" "$p" "$(ratio "$s" "$p")"
  printf '%-10s with SHA-256    %6.2fs  tar -cf %6.2fs  %.2fx   (tar -cf + sha256sum %6.2fs: %.2fx)\n' \
    "" "$h" "$t" "$(ratio "$h" "$t")" "$q" "$(ratio "$h" "$q")"
  printf '%-10s restore         %6.2fs  tar -xf %6.2fs  %.2fx\n' "" "$rs" "$x" "$(ratio "$rs" "$x")"
  printf '%-10s partial restore %6.2fs  tar -xf -T %6.2fs  %.2fx   (%s files of %s entries)\n' \
    "" "$rp" "$xp" "$(ratio "$rp" "$xp")" "$nhalf" "$nfiles"
  if [ "$fmt" = mfmtStdD ]; then
    co=$(median "${CO[@]}") ci=$(median "${CI[@]}") bi=$(median "${BI[@]}")
    printf '%-10s same work:      backup %.2fx of GNU cpio -o (%6.2fs), with checksums %.2fx; restore %.2fx of GNU cpio -i (%6.2fs)\n' \
      "" "$(ratio "$j" "$co")" "$co" "$(ratio "$s" "$co")" "$(ratio "$rs" "$ci")" "$ci"
    printf '%-10s extractors:     GNU cpio -i %6.2fs, bsdcpio -i %6.2fs\n' "" "$ci" "$bi"
  fi
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
