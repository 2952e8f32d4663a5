#!/usr/bin/env bash
# Backup and restore of a mixed tree to a file-system medium through an archive script
# and bkArchiv.sh, side by side with plain "tar -cf" / "tar -xf" of the same tree on the
# same disk (and stock "cpio -o" for the cpio format). Usage: archive_vs_tar.sh [MEGABYTES (default 2048)] [WORKDIR]
# Needs bkArchiv.sh on PATH (the build tree's bin/). Prints seconds and ratios.
set -eu
MB=${1:-2048}
W=$(mktemp -d "${2:-${TMPDIR:-/var/tmp}}/archive_bench.XXXXXX")
trap 'rm -rf "$W"' EXIT
LIB=$(command -v bkArchiv.sh)
SRC=$W/tree
mkdir -p "$SRC"

# Mixed sizes: a quarter of the volume in many 4-32 KiB files, the rest in 8 MiB files.
small=$((MB * 1024 / 4 / 18))
for ((i = 0; i < small; i++)); do
  d=$SRC/orders/o$((i / 200))
  [ -d "$d" ] || mkdir -p "$d"
  head -c $((4096 + (i % 8) * 4096)) /dev/urandom >"$d/f$i.pdf"
done
for ((i = 0; i < MB * 3 / 4 / 8; i++)); do head -c 8M /dev/urandom >"$SRC/large$i.tif"; done
(cd "$SRC" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) >"$W/names"
nfiles=$(wc -l <"$W/names")
sync

now() { date +%s.%N; }
timeit() { local t0; t0=$(now); "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; echo "$(now) - $t0" | bc; }

# The script lines the toolkit writes for one archive in one data file of a file-system medium.
script() {  # dir fmt mode(write|read) dest
  local dir=$1 fmt=$2 mode=$3 dest=${4:-}
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
      sed 's/[] \t`!#$&|;'"'"'"(){}[<>*?\\~]/\\&/g; s/^/echo /' "$W/names"
      echo ") | ReadFileList"; echo "CheckFail"
    fi
    echo "Exit"
  } >"$dir/s"
}

echo "tree: $MB MB in $nfiles entries; work directory on $(df -P "$W" | awk 'NR==2 { print $1 }')"
for fmt in mfmtStdD mfmtStdTar; do
  rm -rf "$W/medium" "$W/ref.tar" "$W/out" "$W/ref.out"; mkdir -p "$W/medium"
  t_tar=$(timeit tar -cf "$W/ref.tar" -C "$SRC" .)
  script "$W/w.$fmt" "$fmt" write
  t_job=$(timeit bash "$W/w.$fmt/s")
  rm -rf "$W/medium"; mkdir -p "$W/medium"; sync
  script "$W/ws.$fmt" "$fmt" write
  t_sum=$(VM_BK_CHECKSUMS=1 timeit bash "$W/ws.$fmt/s")
  mkdir -p "$W/ref.out"; sync
  t_untar=$(timeit tar -xf "$W/ref.tar" -C "$W/ref.out")
  script "$W/r.$fmt" "$fmt" read "$W/out"
  t_rest=$(timeit bash "$W/r.$fmt/s")
  cmp -s "$SRC/large0.tif" "$W/out/large0.tif" || { echo "restore differs" >&2; exit 1; }
  printf '%-11s backup %6.2fs (tar -cf %6.2fs, %.2fx)  with checksums %6.2fs (%.2fx)  restore %6.2fs (tar -xf %6.2fs, %.2fx)\n' \
    "$fmt" "$t_job" "$t_tar" "$(echo "$t_job / $t_tar" | bc -l)" "$t_sum" "$(echo "$t_sum / $t_tar" | bc -l)" \
    "$t_rest" "$t_untar" "$(echo "$t_rest / $t_untar" | bc -l)"
  if [ "$fmt" = mfmtStdD ]; then
    # The cpio format's peer is stock cpio writing the same tree, not tar.
    t_cpio=$(timeit bash -c "cd '$SRC' && cpio -o -H odc --quiet -O '$W/ref.cpio' <'$W/names'")
    printf '%-11s backup %6.2fs (cpio -o %6.2fs, %.2fx)  with checksums %6.2fs (%.2fx)\n' \
      "" "$t_job" "$t_cpio" "$(echo "$t_job / $t_cpio" | bc -l)" "$t_sum" "$(echo "$t_sum / $t_cpio" | bc -l)"
    rm -f "$W/ref.cpio"
  fi
done
