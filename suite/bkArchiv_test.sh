#!/usr/bin/env bash
# Runs the archive scripts' library against every kind of medium: a file-system root, a
# disk image and a virtual tape. Each case writes scripts the way the tool does, runs
# them, reads every data file back with stock tar or cpio and restores through the
# library. Usage: bkArchiv_test.sh LIBRARY (vtape on PATH).
set -u
LIB=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
T=$(mktemp -d "${TMPDIR:-/tmp}/bkArchiv_test.XXXXXX")
[ -n "${KEEP:-}" ] || trap 'rm -rf "$T"' EXIT
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
check() { local what=$1; shift; "$@" || fail "$what"; }

# A source tree with awkward names, a directory, a symbolic link and a larger file.
SRC=$T/src
mkdir -p "$SRC/order 1/sub" "$SRC/info"
printf 'pdf\n' >"$SRC/order 1/a\$b 'q'.pdf"
printf 'dash\n' >"$SRC/order 1/-n"
printf 'top dash\n' >"$SRC/-n"
printf 'star\n' >"$SRC/order 1/*"
printf 'tilde\n' >"$SRC/order 1/~x"
printf 'brackets\n' >"$SRC/order 1/b[1]\\x?.pdf"
head -c 300000 /dev/urandom >"$SRC/order 1/sub/big.bin"
printf 'aif\n' >"$SRC/info/o1.aif"
ln -s o1.aif "$SRC/info/link"
touch -d '2020-01-02 03:04:05' "$SRC/info/o1.aif"
chmod 640 "$SRC/info/o1.aif"

# Script text: head for the medium, then the given body lines.
mkscript() {  # dir mfmt devType device dirSize body...
  local dir=$1 fmt=$2 type=$3 dev=$4 dsize=$5; shift 5
  mkdir -p "$dir"
  {
    echo "#!/usr/bin/env bash"
    echo "scriptDir=$dir"; echo "scriptName=$dir/s"; echo "scriptSubdir=1"
    echo "export scriptDir scriptName scriptSubdir"
    echo "mfmt=$fmt"; echo "VERSION=10"; echo "devType=$type"; echo "device=$dev"
    echo "fmDirName=$dir/FMDIR"; echo "blkHeader=512"; echo "blkData=10240"; echo "blkDevice=0"
    echo "dirFile=HEADER"; echo "dirFileM=${DIRM:-DHEADER}"; echo "dirSize=$dsize"
    echo "softCompress=${SOFT:-}"; echo "isArchive="; echo "DISPLAY="
    echo 'notifyOK=done\\nok'; echo 'notifyError=failed'
    echo "cd \$scriptDir"; echo ". $LIB || exit 1"; echo "expectLabel=${LABEL:-}"
    printf '%s\n' "$@"
  } >"$dir/s"
  # The file-mark directory as the tool passes it: that of the medium's header, if any.
  if [ -n "${FMFROM:-}" ]; then
    { echo 0; sed -n '/^BEGIN FMDIR/,/^END FMDIR/p' "$FMFROM" | sed '1d;$d'; } >"$dir/FMDIR"
  else
    printf '0\n0 0\n' >"$dir/FMDIR"
  fi
  printf '10\n%s\nTEST\n01.02.2026 10:11:12\n01.02.2026 10:11:12\n' "${NAME:-2026020101.05}" >"$dir/HEADER"
}

WRITE_BODY=(
  "REW" "CheckFail" "WriteHeader" "CheckFail"
  "baseDir=$SRC" 'cd "$baseDir" || Exit'
  "(" 'echo order\ 1/' "echo order\\ 1/a\\\$b\\ \\'q\\'.pdf" 'echo -n' 'echo order\ 1/-n' 'echo order\ 1/\*'
  'echo order\ 1/\~x' 'echo order\ 1/b\[1\]\\x\?.pdf' 'echo order\ 1/sub/' 'echo order\ 1/sub/big.bin' ") | WriteFileList" "CheckFail"
  "WFM" "CheckFail"
  "(" "echo info/" "echo info/o1.aif" "echo info/link" ") | WriteFileList" "CheckFail"
  "HeaderPartition" "CheckFail" "REW" "CheckFail" "WriteHeader" "CheckFail"
  'UpdateMediaInfo "$expectLabel" ""' "Unload" "Exit")

# Restores mark 0 and 2 into $1 and compares with the source.
restore_and_compare() {  # kind fmt type dev dsize dest
  local kind=$1 fmt=$2 type=$3 dev=$4 dsize=$5 dest=$6
  mkscript "$T/$kind.r" "$fmt" "$type" "$dev" "$dsize" \
    "REW" "CheckFail" "baseDir=$dest" '[ -d "$baseDir" ] || mkdir -m 777 -p "$baseDir" || Exit' 'cd "$baseDir" || Exit' \
    "AssertFileMark 0" "(" 'echo order\ 1/' 'echo order\ 1/-n' 'echo order\ 1/\*' 'echo order\ 1/b\[1\]\\x\?.pdf' 'echo order\ 1/sub/' 'echo order\ 1/sub/big.bin' \
    ") | ReadFileList #--- fileList0" "CheckFail" "FileF 1 2" "CheckFail" "AssertFileMark 2" \
    "(" "echo info/" "echo info/o1.aif" "echo info/link" ") | ReadFileList #--- fileList2" "CheckFail" "REW" "Unload" "Exit"
  bash "$T/$kind.r/s" >"$T/$kind.r/out" 2>&1 || { fail "$kind: restore script failed"; cat "$T/$kind.r/out"; return; }
  grep -q "data file 2 of 2 (number 2 on the medium): restoring into $dest\$" "$T/$kind.r/bkArchiv.log" ||
    fail "$kind: no progress line for the restore's last data file"
  for f in "order 1/-n" "order 1/*" 'order 1/b[1]\x?.pdf' "order 1/sub/big.bin" "info/o1.aif"; do
    cmp -s "$SRC/$f" "$dest/$f" || fail "$kind: $f differs after restore"
  done
  [ -e "$dest/order 1/~x" ] && fail "$kind: a file not asked for was restored"
  [ "$(readlink "$dest/info/link")" = o1.aif ] || fail "$kind: symbolic link not restored"
  [ "$(stat -c '%a %Y' "$dest/info/o1.aif")" = "$(stat -c '%a %Y' "$SRC/info/o1.aif")" ] ||
    fail "$kind: mode or time of o1.aif not kept"
}

# ---- file-system medium
FS=$T/fsroot; mkdir -p "$FS"
mkscript "$T/fs.w" mfmtStdD filesys "$FS" -1 "DataPartition" "CheckFail" "${WRITE_BODY[@]}"
check "fs: write script" env VM_JOB_PROGRESS="$T/fs.progress" bash "$T/fs.w/s"
# Progress: a log line per data file, counted against the script's steps; the job
# server's progress file holds the latest one only.
grep -q "data file 1 of 2 (number 0 on the medium): writing $SRC\$" "$T/fs.w/bkArchiv.log" ||
  fail "fs: no progress line for the first data file"
grep -q "data file 2 of 2 (number 2 on the medium): writing $SRC\$" "$T/fs.w/bkArchiv.log" ||
  fail "fs: no progress line for the last data file"
[ "$(wc -l <"$T/fs.progress")" = 1 ] && grep -q 'data file 2 of 2 ' "$T/fs.progress" ||
  fail "fs: the progress file does not hold the latest step alone"
check "fs: header on the medium" cmp -s "$T/fs.w/HEADER" "$FS/DHEADER"
check "fs: stock cpio lists data file 0" bash -c "cpio -it <'$FS/0' 2>/dev/null | grep -qx 'order 1/sub/big.bin'"
check "fs: stock cpio lists data file 2" bash -c "cpio -it <'$FS/2' 2>/dev/null | grep -qx 'info/link'"
check "fs: empty data file 1" test -e "$FS/1" -a ! -s "$FS/1"
grep -q 'OK: done / ok' "$T/fs.w/bkArchiv.log" || fail "fs: log line of success"
restore_and_compare fs mfmtStdD filesys "$FS" -1 "$T/fs.out"
# cpio data files extract with bsdcpio where it is installed, with GNU cpio when the flag
# asks for it: a stand-in for the other one that fails tells which ran.
mkdir -p "$T/no-bsd" "$T/no-gnu"; printf '#!/bin/sh\nexit 9\n' >"$T/no-bsd/bsdcpio"; chmod +x "$T/no-bsd/bsdcpio"
PATH="$T/no-bsd:$PATH" VM_BK_GNU_CPIO=1 restore_and_compare fs.gnu mfmtStdD filesys "$FS" -1 "$T/fs.gnu.out"
if command -v bsdcpio >/dev/null; then
  cp "$T/no-bsd/bsdcpio" "$T/no-gnu/cpio"
  PATH="$T/no-gnu:$PATH" restore_and_compare fs.bsd mfmtStdD filesys "$FS" -1 "$T/fs.bsd.out"
fi
# A second generation appends behind data file 2.
mkscript "$T/fs.a" mfmtStdD filesys "$FS" -1 "DataPartition" "CheckFail" "EOD 3" "CheckFail" \
  "baseDir=$SRC" 'cd "$baseDir" || Exit' "(" "echo info/o1.aif" ") | WriteFileList" "CheckFail" \
  "HeaderPartition" "CheckFail" "REW" "CheckFail" "WriteHeader" "CheckFail" "Exit"
check "fs: append" bash "$T/fs.a/s"
check "fs: second generation" bash -c "cpio -it <'$FS/3' 2>/dev/null | grep -qx 'info/o1.aif'"
# A medium holding more than its header knows is not appended to.
mkscript "$T/fs.e" mfmtStdD filesys "$FS" -1 "EOD 3" "CheckFail" "Exit"
bash "$T/fs.e/s" >/dev/null 2>&1 && fail "fs: EOD at a wrong end succeeded"
grep -q 'FAILED' "$T/fs.e/bkArchiv.log" || fail "fs: failure not logged"

# ---- content checksums: computed from the streams, kept beside the header copy; XXH3 by
# default, SHA-256 when the site asks; the cpio format once more through GNU cpio's writer
FS2=$T/fsroot2; mkdir -p "$FS2"
for run in mfmtStdD:1:xxh128sum: mfmtStdD:sha256:sha256sum:cpio mfmtStdTar:1:xxh128sum:; do
  IFS=: read -r fmt flag tool writer <<<"$run"
  rm -rf "$FS2"/* "$T/sum.$fmt"; mkdir -p "$T/sum.$fmt"
  mkscript "$T/sum.$fmt" "$fmt" filesys "$FS2" -1 "${WRITE_BODY[@]/UpdateMediaInfo \"\$expectLabel\" \"\"/newHdr=$T/copy.$fmt}" 
  sed -i "s|^Unload\$|cd \$scriptDir; cp \$dirFile $T/copy.$fmt; UpdateMediaInfo \"\" $T/copy.$fmt|" "$T/sum.$fmt/s"
  # The failing stand-ins of the restores above tell which cpio wrote.
  stand=$T/no-gnu; [ -n "$writer" ] && stand=$T/no-bsd
  PATH="$stand:$PATH" env ${writer:+VM_BK_GNU_CPIO=1} VM_BK_CHECKSUMS=$flag bash "$T/sum.$fmt/s" >/dev/null 2>&1 ||
    fail "sums $run: write failed"
  (cd "$SRC" && $tool -- "order 1/sub/big.bin" "info/o1.aif") >"$T/want.sums"
  grep -v '^#' "$T/copy.$fmt.sums" 2>/dev/null | grep -F -e big.bin -e o1.aif | sort >"$T/got.sums"
  sort "$T/want.sums" | cmp -s - "$T/got.sums" || fail "sums $run: manifest does not match the files"
  [ "$(head -n 1 "$T/copy.$fmt.sums")" = "# checksums ${tool%sum}" ] || fail "sums $run: algorithm not named"
  grep -q '^[0-9a-f]\{32,64\}  order 1/\*$' "$T/copy.$fmt.sums" || fail "sums $run: name with '*' missing"
  [ "$fmt" = mfmtStdTar ] || (cd "$SRC" && cpio -it --quiet <"$FS2/0" | LC_ALL=C sort | cmp -s - <(printf '%s\n' \
    -n 'order 1' 'order 1/*' 'order 1/-n' "order 1/a\$b 'q'.pdf" 'order 1/sub' 'order 1/sub/big.bin' \
    'order 1/~x' 'order 1/b[1]\x?.pdf' | LC_ALL=C sort)) || fail "sums $run: cpio lists other members"
done
# A file the cpio format cannot hold (8 GiB and more) fails the step, naming it, with either
# writer, and leaves no data file behind; both cpio themselves only say so and end with 0.
truncate -s 9G "$SRC/order 1/huge.tif"
for writer in "" cpio; do
  rm -rf "$FS2"/*
  mkscript "$T/big" mfmtStdD filesys "$FS2" -1 "baseDir=$SRC" 'cd "$baseDir" || Exit' \
    "(" "echo order\ 1/-n" "echo order\ 1/huge.tif" ") | WriteFileList" "CheckFail" "Exit"
  env ${writer:+VM_BK_GNU_CPIO=1} bash "$T/big/s" >/dev/null 2>&1 && fail "too large ($writer): write claimed success"
  grep -q 'ERROR: data file 0: .*huge.tif' "$T/big/bkArchiv.log" || fail "too large ($writer): file not named"
  [ -e "$FS2/0" ] && fail "too large ($writer): a data file was left"
done
rm -f "$SRC/order 1/huge.tif"

# A flag set to a word for "off" is off, as for the tool.
rm -f "$T/copy.mfmtStdD.sums"
VM_BK_CHECKSUMS=Off bash "$T/sum.mfmtStdD/s" >/dev/null 2>&1 || fail "sums off: write failed"
[ -e "$T/copy.mfmtStdD.sums" ] && fail "sums off: a manifest was written"

# ---- hostile restores: "..", absolute names, a link planted in the same data file
EV=$T/evil; mkdir -p "$EV/src" "$T/outside"
ln -s "$T/outside" "$EV/src/lnk"
(cd "$EV/src" && printf 'lnk\n' | cpio -o -H odc -O "$FS/10" 2>/dev/null && tar -cf "$FS/14" lnk)
rm "$EV/src/lnk"; mkdir "$EV/src/lnk"; echo evil >"$EV/src/lnk/x"; echo good >"$EV/src/ok [1]\x"
(cd "$EV/src" && printf 'lnk/x\nok [1]\\x\n' | cpio -o -A -H odc -O "$FS/10" 2>/dev/null && tar -rf "$FS/14" lnk/x 'ok [1]\x')
# The same data files compressed: each is read once, through the guard in front of the archiver.
gzip -c "$FS/10" >"$FS/13"; gzip -c "$FS/14" >"$FS/15"
for h in "h 10 mfmtStdD" "hz 13 mfmtStdD 1" "tl 14 mfmtStdTar" "tlz 15 mfmtStdTar 1"; do
  read -r k n fmt soft <<<"$h"
  mkdir -p "$T/outside"
  SOFT=$soft mkscript "$T/fs.$k" "$fmt" filesys "$FS" -1 "REW" "FileF $n $n" "CheckFail" "baseDir=$T/evil.$k" \
    '[ -d "$baseDir" ] || mkdir -m 777 -p "$baseDir" || Exit' 'cd "$baseDir" || Exit' \
    "(" "echo lnk" "echo lnk/x" "echo ../escape" "echo /etc/passwd" 'echo ok\ \[1\]\\x' ") | ReadFileList" "CheckFail" "Exit"
  bash "$T/fs.$k/s" >"$T/fs.$k/out" 2>&1 && fail "hostile $k: restore claimed success"
  [ -e "$T/outside/x" ] && fail "hostile $k: wrote through a planted link"
  [ "$(readlink "$T/evil.$k/lnk")" = "$T/outside" ] || fail "hostile $k: the link itself was not restored"
  [ "$(cat "$T/evil.$k/ok [1]\x" 2>/dev/null)" = good ] || fail "hostile $k: the harmless file was not restored"
  grep -q "not restored: lnk/x (below the symbolic link lnk)" "$T/fs.$k/bkArchiv.log" || fail "hostile $k: link refusal not reported"
  grep -q "../escape" "$T/fs.$k/bkArchiv.log" || fail "hostile $k: '..' refusal not reported"
done
# tar: a link already on the disk is not written through either; "..", absolute names refused.
mkdir -p "$EV/t/lnk" "$T/evil.t" "$T/outside.t"; echo evil >"$EV/t/lnk/x"; echo good >"$EV/t/ok"
(cd "$EV/t" && tar -cf "$FS/11" lnk/x ok)
ln -s "$T/outside.t" "$T/evil.t/lnk"
mkscript "$T/fs.ht" mfmtStdTar filesys "$FS" -1 "REW" "FileF 11 11" "CheckFail" "baseDir=$T/evil.t" 'cd "$baseDir" || Exit' \
  "(" "echo lnk/x" "echo ../escape" "echo /etc/passwd" "echo ok" ") | ReadFileList" "CheckFail" "Exit"
bash "$T/fs.ht/s" >/dev/null 2>&1 && fail "hostile tar: restore claimed success"
[ -e "$T/outside.t/x" ] && fail "hostile tar: wrote through a link on the disk"
[ "$(cat "$T/evil.t/ok" 2>/dev/null)" = good ] || fail "hostile tar: the harmless file was not restored"
for why in "lnk/x (below the symbolic link lnk)" "../escape (a name with '..')" "/etc/passwd (an absolute name)"; do
  grep -qF "not restored: $why" "$T/fs.ht/bkArchiv.log" || fail "hostile tar: '$why' not reported"
done
# A name list that dies before its end fails the step: the data file would lack the rest.
mkscript "$T/fs.k" mfmtStdD filesys "$FS" -1 "EOD 12" "CheckFail" "baseDir=$SRC" 'cd "$baseDir" || Exit' \
  "(" "echo info/o1.aif" 'kill -KILL $BASHPID' "echo info/link" ") | WriteFileList" "CheckFail" "Exit"
bash "$T/fs.k/s" >/dev/null 2>&1 && fail "killed name list: job claimed success"
grep -q "list of names of the step stopped" "$T/fs.k/bkArchiv.log" || fail "killed name list: not reported"
# Names the generator refused make the job fail.
mkscript "$T/fs.rf" mfmtStdD filesys "$FS" -1 "Exit"
printf 'a\\nb\n' >"$T/fs.rf/REFUSED"
bash "$T/fs.rf/s" >/dev/null 2>&1 && fail "refused names: job claimed success"

# ---- long name lists: more names than a shell's usual stack holds commands for
LONG=$T/long; mkdir -p "$LONG/src"
for ((d = 0; d < 50; d++)); do mkdir "$LONG/src/d$d"; done
(cd "$LONG/src" && for ((i = 0; i < 25000; i++)); do echo "d$((i % 50))/f$i"; done | xargs touch)
echo kept >"$LONG/src/d7/f7"
(cd "$LONG/src" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) >"$LONG/names"
for fmt in mfmtStdD mfmtStdTar; do
  rm -rf "$LONG/fs" "$LONG/out" "$LONG/part"; mkdir -p "$LONG/fs"
  mkscript "$LONG/w.$fmt" "$fmt" filesys "$LONG/fs" -1 "REW" "CheckFail" "baseDir=$LONG/src" 'cd "$baseDir" || Exit' \
    "(" "$(sed 's/^/echo /' "$LONG/names")" ") | WriteFileList" "CheckFail" "Exit"
  (ulimit -S -s 8192; VM_BK_CHECKSUMS=1 bash "$LONG/w.$fmt/s") >/dev/null 2>&1 || fail "long $fmt: write failed"
  if [ "$fmt" = mfmtStdD ]; then got=$(cpio -it <"$LONG/fs/0" 2>/dev/null | wc -l); else got=$(tar -tf "$LONG/fs/0" | wc -l); fi
  [ "$got" -eq 25050 ] || fail "long $fmt: $got members in the data file, not 25050"
  # All of it, then a part of it: both restore what was asked for and nothing else.
  for what in out part; do
    names=$LONG/names; [ $what = part ] && { grep -e '^d7' -e '^d9' "$LONG/names" >"$LONG/some"; names=$LONG/some; }
    mkscript "$LONG/r.$fmt.$what" "$fmt" filesys "$LONG/fs" -1 "REW" "CheckFail" "baseDir=$LONG/$what" \
      'mkdir -p "$baseDir" && cd "$baseDir" || Exit' "AssertFileMark 0" "(" "$(sed 's/^/echo /' "$names")" \
      ") | ReadFileList" "CheckFail" "Exit"
    (ulimit -S -s 8192; bash "$LONG/r.$fmt.$what/s") >/dev/null 2>&1 || fail "long $fmt: restore of $what failed"
    (cd "$LONG/$what" 2>/dev/null && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) | cmp -s - "$names" ||
      fail "long $fmt: restore of $what gave other files than asked for"
    [ "$(cat "$LONG/$what/d7/f7" 2>/dev/null)" = kept ] || fail "long $fmt: content of d7/f7 lost in $what"
  done
done

# ---- disk image
IMG=$T/disk.img; truncate -s 4M "$IMG"
# A blank medium is what the toolkit expects when it could not recognise the start.
LABEL=unkown_label mkscript "$T/dk.b" mfmtStdD disk "$IMG" 65536 'LoadMedia "$expectLabel" "$device"' "CheckFail" "Exit"
check "disk: blank medium taken for an unrecognised one" bash "$T/dk.b/s"
LABEL=2026020101.05 mkscript "$T/dk.n" mfmtStdD disk "$IMG" 65536 'LoadMedia "$expectLabel" "$device"' "CheckFail" "Exit"
bash "$T/dk.n/s" >/dev/null 2>&1 && fail "disk: blank medium taken for a labelled one"
mkscript "$T/dk.w" mfmtStdD disk "$IMG" 65536 "DataPartition" "CheckFail" "${WRITE_BODY[@]}"
check "disk: write script" bash "$T/dk.w/s"
check "disk: header member" bash -c "dd if='$IMG' bs=512 count=128 status=none | cpio -it 2>/dev/null | grep -qx DHEADER"
grep -q '^BEGIN FMDIR' "$T/dk.w/HEADER" || fail "disk: no file-mark directory in the header"
start0=$(sed -n 's/^0 \([0-9]*\)$/\1/p' "$T/dk.w/HEADER")
check "disk: stock cpio reads data file 0" bash -c "dd if='$IMG' bs=512 skip=$start0 status=none | cpio -it 2>/dev/null | grep -qx 'order 1/sub/big.bin'"
# The reader finds the data files through the header's file-mark directory.
FMFROM=$T/dk.w/HEADER
restore_and_compare dk mfmtStdD disk "$IMG" 65536 "$T/dk.out"
# A data file larger than the image fails, and the old header stays.
head -c 5000000 /dev/urandom >"$SRC/huge.bin"
before=$(md5sum <"$IMG" | head -c 32)
mkscript "$T/dk.f" mfmtStdD disk "$IMG" 65536 "EOD 3" "CheckFail" "baseDir=$SRC" 'cd "$baseDir" || Exit' \
  "(" "echo huge.bin" ") | WriteFileList" "CheckFail" "HeaderPartition" "CheckFail" "REW" "CheckFail" "WriteHeader" "CheckFail" "Exit"
bash "$T/dk.f/s" >/dev/null 2>&1 && fail "disk: a full medium claimed success"
[ "$(stat -c %s "$IMG")" = 4194304 ] || fail "disk: the image grew"
check "disk: old header still there" bash -c "dd if='$IMG' bs=512 count=128 status=none | cpio -i --to-stdout DHEADER 2>/dev/null | grep -q '^BEGIN FMDIR'"
FMFROM=
rm -f "$SRC/huge.bin"

# ---- virtual tape
if command -v vtape >/dev/null 2>&1; then
  TAPE=$T/tape; vtape create "$TAPE" 2M >/dev/null || fail "vtape create"
  # No header area on tape: the body up to its data files, then unload.
  DIRM=SHEADER mkscript "$T/tp.w" mfmtStdTar tape "$TAPE" 0 "${WRITE_BODY[@]:0:25}" "Unload" "Exit"
  check "tape: write script" bash "$T/tp.w/s"
  vtape -f "$TAPE" load
  check "tape: header member first" bash -c "vtape -f '$TAPE' read | tar -tf - | grep -qx SHEADER"
  check "tape: stock tar lists data file 1" bash -c "vtape -f '$TAPE' read | tar -tf - | grep -qx 'order 1/sub/big.bin'"
  vtape -f "$TAPE" rewind
  # The tape holds header 0, data 1, empty 2, data 3: restore marks 1 and 3.
  mkscript "$T/tp.r" mfmtStdTar tape "$TAPE" 0 "REW" "CheckFail" "FileF 1 1" "CheckFail" "baseDir=$T/tp.out" \
    '[ -d "$baseDir" ] || mkdir -m 777 -p "$baseDir" || Exit' 'cd "$baseDir" || Exit' \
    "AssertFileMark 1" "(" 'echo order\ 1/sub/big.bin' ") | ReadFileList" "CheckFail" \
    "FileF 1 3" "CheckFail" "AssertFileMark 3" "(" "echo info/o1.aif" ") | ReadFileList" "CheckFail" "Unload" "Exit"
  check "tape: restore script" bash "$T/tp.r/s"
  check "tape: big.bin restored" cmp -s "$SRC/order 1/sub/big.bin" "$T/tp.out/order 1/sub/big.bin"
  check "tape: o1.aif restored" cmp -s "$SRC/info/o1.aif" "$T/tp.out/info/o1.aif"
  # A tape that fills up ends the job with an error.
  vtape create "$T/small" 200k >/dev/null
  DIRM=SHEADER mkscript "$T/tp.f" mfmtStdTar tape "$T/small" 0 "REW" "CheckFail" "WriteHeader" "CheckFail" \
    "baseDir=$SRC" 'cd "$baseDir" || Exit' "(" 'echo order\ 1/sub/big.bin' ") | WriteFileList" "CheckFail" "Exit"
  bash "$T/tp.f/s" >/dev/null 2>&1 && fail "tape: a full tape claimed success"
  grep -q 'medium full' "$T/tp.f/bkArchiv.log" || fail "tape: full tape not reported"
else
  fail "vtape is not on PATH"
fi

[ $fails -eq 0 ] && echo "all bkArchiv.sh cases passed"
exit $((fails > 0))
